#include "engine/net/NetStream.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace lf {

namespace {

sockaddr_in MakeAddress(uint32_t addressNet, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addressNet;
    sa.sin_port = htons(port);
    return sa;
}

bool SetNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL, 0);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool WouldBlock(int e) {
    return e == EAGAIN || e == EWOULDBLOCK || e == EINTR;
}

}  // namespace

bool QTcpStream::Open() {
    Close();
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        m_error = errno;
        return false;
    }
    if (!SetNonBlocking(m_fd)) {
        m_error = errno;
        Close();
        return false;
    }
    return true;
}

bool QTcpStream::Bind(uint32_t addressNet, uint16_t port) {
    if (m_fd < 0) return false;
    int one = 1;
    setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in sa = MakeAddress(addressNet, port);
    if (bind(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
        m_error = errno;
        return false;
    }
    return true;
}

int QTcpStream::StartConnect(uint32_t addressNet, uint16_t port) {
    if (m_fd < 0) return -1;
    sockaddr_in sa = MakeAddress(addressNet, port);
    if (connect(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0) return 1;
    if (errno == EINPROGRESS || errno == EINTR) return 0;
    m_error = errno;
    return -1;
}

int QTcpStream::CheckConnect() {
    if (m_fd < 0) return -1;
    pollfd p{m_fd, POLLOUT, 0};
    int r = poll(&p, 1, 0);
    if (r == 0) return 0;
    if (r < 0) return WouldBlock(errno) ? 0 : -1;
    int err = 0;
    socklen_t len = sizeof(err);
    if (getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    if (err != 0) {
        m_error = err;
        return -1;
    }
    return 1;
}

bool QTcpStream::Listen(int backlog) {
    if (m_fd < 0) return false;
    if (listen(m_fd, backlog) != 0) {
        m_error = errno;
        return false;
    }
    return true;
}

std::unique_ptr<QNetStream> QTcpStream::Accept(uint32_t* addressNet, uint16_t* port) {
    if (m_fd < 0) return nullptr;
    sockaddr_in sa{};
    socklen_t len = sizeof(sa);
    int fd = accept4(m_fd, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        if (!WouldBlock(errno)) m_error = errno;
        return nullptr;
    }
    if (addressNet) *addressNet = sa.sin_addr.s_addr;
    if (port) *port = ntohs(sa.sin_port);
    return std::make_unique<QTcpStream>(fd);
}

long QTcpStream::Send(const uint8_t* data, size_t size) {
    if (m_fd < 0) return -1;
    if (size == 0) return 0;
    ssize_t n = send(m_fd, data, size, MSG_NOSIGNAL);
    if (n >= 0) return static_cast<long>(n);
    if (WouldBlock(errno)) return 0;
    m_error = errno;
    return -1;
}

long QTcpStream::Receive(uint8_t* data, size_t size) {
    if (m_fd < 0) return -1;
    if (size == 0) return 0;
    ssize_t n = recv(m_fd, data, size, 0);
    if (n > 0) return static_cast<long>(n);
    if (n == 0) {
        m_error = 0;
        return -1;
    }
    if (WouldBlock(errno)) return 0;
    m_error = errno;
    return -1;
}

int QTcpStream::Wait(bool forWrite, int timeoutMs) {
    if (m_fd < 0) return 1;
    pollfd p{m_fd, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
    int r = poll(&p, 1, timeoutMs < 0 ? -1 : timeoutMs);
    if (r < 0) return WouldBlock(errno) ? 0 : 1;
    return r > 0 ? 1 : 0;
}

bool QTcpStream::LocalAddress(uint32_t* addressNet, uint16_t* port) {
    if (m_fd < 0) return false;
    sockaddr_in sa{};
    socklen_t len = sizeof(sa);
    if (getsockname(m_fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return false;
    if (addressNet) *addressNet = sa.sin_addr.s_addr;
    if (port) *port = ntohs(sa.sin_port);
    return true;
}

void QTcpStream::SetReceiveBufferSize(int bytes) {
    if (m_fd >= 0) setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
}

void QTcpStream::Close() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

}  // namespace lf
