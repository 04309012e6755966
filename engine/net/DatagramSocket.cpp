#include "engine/net/DatagramSocket.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "engine/log/LogApi.h"

namespace lf {

namespace {

bool WouldBlock(int e) {
    return e == EWOULDBLOCK || e == EAGAIN || e == EINTR;
}

// Errors that a sent datagram's ICMP answer leaves on the socket (nothing
// listens at that address, no route). They tell about one remote, not about
// the socket, which stays usable for every other exchange.
bool RemoteError(int e) {
    return e == ECONNREFUSED || e == EHOSTUNREACH || e == ENETUNREACH || e == EHOSTDOWN;
}

}  // namespace

bool QDatagramSocket::Open(uint16_t port, uint32_t addressNet) {
    Close();
    m_localPort = port;
    m_localAddress = addressNet;
    m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        m_lastError = errno;
        EngineLog::Printf(38, "socket bind error : Last Error(%lu)",
                          static_cast<unsigned long>(m_lastError));
        return false;
    }
    if (m_reuseAddress) {
        const int one = 1;
        setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = addressNet;
    if (bind(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
        m_lastError = errno;
        Close();
        return false;
    }
    if (!m_blocking) {
        int flags = fcntl(m_fd, F_GETFL, 0);
        fcntl(m_fd, F_SETFL, flags | O_NONBLOCK);
    }
    m_open = true;
    return true;
}

bool QDatagramSocket::JoinGroup(uint32_t groupNet, uint32_t interfaceNet) {
    if (m_fd < 0 || !m_open) return false;
    ip_mreq mreq{};
    mreq.imr_multiaddr.s_addr = groupNet;
    mreq.imr_interface.s_addr = interfaceNet;
    if (setsockopt(m_fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof(mreq)) != 0) {
        m_lastError = errno;
        return false;
    }
    const unsigned char ttl = 1, loop = 1;
    setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl));
    setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof(loop));
    if (interfaceNet != 0) {
        in_addr ifa{};
        ifa.s_addr = interfaceNet;
        setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_IF, &ifa, sizeof(ifa));
    }
    return true;
}

void QDatagramSocket::Close() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
    m_open = false;
}

long QDatagramSocket::Send(const void* bytes, size_t size, uint32_t addressNet, int port) {
    if (bytes == nullptr || size == 0 || size > kMaxDatagram || addressNet == 0 || port < 1 ||
        port > 65535)
        return -1;
    if (!m_open && !Open(m_localPort, m_localAddress)) return -1;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = addressNet;
    ssize_t n =
        sendto(m_fd, bytes, size, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
    if (n == static_cast<ssize_t>(size)) return n;
    m_lastError = n < 0 ? errno : EMSGSIZE;
    if (n < 0 && WouldBlock(m_lastError)) return 0;
    // An earlier datagram's "port unreachable" surfaces here on Linux; the
    // datagram was not sent, but the socket is fine.
    if (n < 0 && RemoteError(m_lastError)) return 0;
    m_open = false;
    return -1;
}

long QDatagramSocket::Receive(void* buffer, size_t size) {
    if (!m_open || buffer == nullptr) return -1;
    sockaddr_in sa{};
    socklen_t len = sizeof(sa);
    for (;;) {
        ssize_t n = recvfrom(m_fd, buffer, std::min(size, kMaxDatagram), 0,
                             reinterpret_cast<sockaddr*>(&sa), &len);
        if (n > 0) {
            m_senderAddress = sa.sin_addr.s_addr;
            m_senderPort = ntohs(sa.sin_port);
            return n;
        }
        // An empty datagram carries nothing: read on.
        if (n == 0) continue;
        m_lastError = errno;
        if (WouldBlock(m_lastError)) return 0;
        // The ICMP answer to an earlier datagram is reported by the next
        // read; it is not a failure of this socket.
        if (RemoteError(m_lastError)) continue;
        m_open = false;
        return -1;
    }
}

void QDatagramSocket::SetBufferSizes(int sendBytes, int receiveBytes) {
    if (m_fd < 0) return;
    int s = sendBytes <= 0 ? 8192 : sendBytes;
    int r = receiveBytes <= 0 ? 8192 : receiveBytes;
    setsockopt(m_fd, SOL_SOCKET, SO_SNDBUF, &s, sizeof(s));
    setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &r, sizeof(r));
}

uint16_t QDatagramSocket::LocalPort() const {
    if (m_fd < 0) return 0;
    sockaddr_in sa{};
    socklen_t len = sizeof(sa);
    if (getsockname(m_fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
    return ntohs(sa.sin_port);
}

}  // namespace lf
