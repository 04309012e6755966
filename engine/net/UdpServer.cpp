#include "engine/net/UdpServer.h"

#include <arpa/inet.h>
#include <poll.h>
#include <time.h>

#include <cstdlib>
#include <vector>

#include "engine/log/LogApi.h"
#include "engine/net/NameResolve.h"

#ifndef LF_RENDEZVOUS_HOST
#define LF_RENDEZVOUS_HOST ""
#endif
#ifndef LF_RENDEZVOUS_PORT
#define LF_RENDEZVOUS_PORT 82
#endif

namespace lf {

namespace {
constexpr size_t kHostLimit = 127;
constexpr int kBurst = 19;
constexpr int kLookupTimeoutMs = 10000;
}  // namespace

RendezvousEndpoint ConfiguredRendezvous() {
    RendezvousEndpoint r;
    r.host = LF_RENDEZVOUS_HOST;
    r.port = LF_RENDEZVOUS_PORT;
    if (const char* host = std::getenv("LANTERNFISH_RENDEZVOUS_HOST"); host != nullptr && *host)
        r.host = host;
    if (const char* port = std::getenv("LANTERNFISH_RENDEZVOUS_PORT"); port != nullptr && *port) {
        char* end = nullptr;
        const long v = std::strtol(port, &end, 10);
        if (*end == '\0' && v >= 1 && v <= 65535) r.port = static_cast<int>(v);
    }
    return r;
}

QUInternalServer::QUInternalServer() : m_core(std::make_unique<QUdpServerCore>(this)) {
    m_core->SetPool(&m_pool);
}

QUInternalServer::~QUInternalServer() {
    StopUdpService();
}

uint64_t QUInternalServer::NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

int QUInternalServer::StartUdpService(const UdpServiceConfig& config) {
    if (config.rendezvousHost.empty() || config.rendezvousHost.size() > kHostLimit) return -1;
    if (config.rendezvousPort < 1 || config.rendezvousPort > 65535) return -1;
    if (config.localPort < 1 || config.localPort > 65535) return -1;
    if (config.timeoutSeconds <= 0) return -1;
    if (IsRunning()) return 0;
    {
        QGuard guard(m_serverLock);
        m_config = config;
        if (m_config.keepaliveSeconds < 10) m_config.keepaliveSeconds = 10;
        IUdpStreamSink* sink = m_core->Sink();
        m_core = std::make_unique<QUdpServerCore>(this);
        m_core->SetPool(&m_pool);
        m_core->SetSink(sink);
        m_core->SetIdentitySeed(config.identitySeed.data());
        m_core->SetKeepaliveSeconds(m_config.keepaliveSeconds);
        m_core->SetRendezvous(0, static_cast<uint16_t>(m_config.rendezvousPort));
        uint32_t local = config.localAddress;
        if (local == 0) local = ChooseLocalAddress();
        m_core->SetLocal(local, static_cast<uint16_t>(m_config.localPort));
        Publish();
    }
    return Start("UDPServer") ? 0 : -1;
}

void QUInternalServer::StopUdpService() {
    StopAndWait();
    QGuard guard(m_serverLock);
    m_socket.Close();
    m_boundPort = 0;
    IUdpStreamSink* sink = m_core != nullptr ? m_core->Sink() : nullptr;
    // A fresh core: no queries, punches or pending sequences survive a stop.
    const UdpIdentity identity = m_core->Identity();
    const uint32_t local = m_core->LocalAddress();
    const uint16_t port = m_core->LocalPort();
    m_core = std::make_unique<QUdpServerCore>(this);
    m_core->SetPool(&m_pool);
    m_core->SetIdentitySeed(identity.data());
    m_core->SetLocal(local, port);
    m_core->SetSink(sink);
    m_publicAddress.store(0);
}

void QUInternalServer::SetLocalEndpoint(uint32_t addressNet, int port) {
    QGuard guard(m_serverLock);
    uint32_t address = m_core->LocalAddress();
    uint16_t localPort = m_core->LocalPort();
    if (addressNet != 0 && addressNet != 0xFFFFFFFFu) address = addressNet;
    if (port >= 1 && port <= 65535) localPort = static_cast<uint16_t>(port);
    if (address == m_core->LocalAddress() && localPort == m_core->LocalPort()) return;
    m_core->SetLocal(address, localPort);
    Publish();
}

UdpIdentity QUInternalServer::Identity() {
    QGuard guard(m_serverLock);
    return m_core->Identity();
}

uint16_t QUInternalServer::BoundPort() {
    QGuard guard(m_serverLock);
    return m_socket.IsOpen() ? m_boundPort : 0;
}

void QUInternalServer::SetStreamSink(IUdpStreamSink* sink) {
    QGuard guard(m_serverLock);
    m_core->SetSink(sink);
}

uint32_t QUInternalServer::QueueQuery(uint32_t remoteAddressNet, const uint8_t identity[12]) {
    QGuard guard(m_serverLock);
    return m_core->QueueQuery(remoteAddressNet, identity);
}

void QUInternalServer::DropPunches(uint32_t addressNet, uint16_t port) {
    QGuard guard(m_serverLock);
    m_core->DropPunches(addressNet, port);
}

bool QUInternalServer::SendDatagram(const uint8_t* data, size_t size, uint32_t addressNet,
                                    uint16_t portNet) {
    QGuard guard(m_serverLock);
    if (m_suspended.load() || !IsRunning()) return false;
    const int port = ntohs(portNet);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const bool wasOpen = m_socket.IsOpen();
        const long n = m_socket.Send(data, size, addressNet, port);
        if (!wasOpen && m_socket.IsOpen()) {
            // Send opened a new socket: the service must learn the endpoint.
            m_boundPort = m_socket.LocalPort();
            m_socket.SetBufferSizes(kSocketBufferBytes, kSocketBufferBytes);
            m_core->OnSocketOpened();
        }
        if (n > 0) return true;
        if (n == 0) return false;  // would block
    }
    return false;
}

bool QUInternalServer::OpenSocket() {
    // Every address: the local IPv4 is only reported, so the socket stays
    // reachable whichever interface the traffic uses.
    if (!m_socket.Open(m_core->LocalPort(), 0)) {
        m_boundPort = 0;
        m_core->OnSocketFailed();
        Publish();
        return false;
    }
    m_socket.SetBufferSizes(kSocketBufferBytes, kSocketBufferBytes);
    m_boundPort = m_core->LocalPort();
    m_core->OnSocketOpened();
    return true;
}

uint32_t QUInternalServer::ResolveRendezvous() {
    const std::string host = m_config.rendezvousHost;
    if (const uint32_t dotted = ParseDottedAddress(host);
        dotted != 0 && inet_addr(host.c_str()) == dotted)
        return dotted;
    std::vector<uint32_t> addresses;
    if (LookupHostTimed(host, kLookupTimeoutMs, addresses) != kLookupOk || addresses.empty())
        return 0;
    return addresses.front();
}

void QUInternalServer::Publish() {
    m_publicAddress.store(m_core->PublicAddress());
    m_localAddress.store(m_core->LocalAddress());
}

void QUInternalServer::SleepUnlocked(int ms) {
    m_serverLock.Unlock();
    WaitForStop(ms);
    m_serverLock.Lock();
}

void QUInternalServer::WaitUnlocked(int ms) {
    const int fd = m_socket.Descriptor();
    if (fd < 0) {
        SleepUnlocked(ms);
        return;
    }
    m_serverLock.Unlock();
    // A send of another thread may replace the socket meanwhile; the wait
    // then ends early or late by at most ms, and the loop reads the new one.
    pollfd p{};
    p.fd = fd;
    p.events = POLLIN;
    ::poll(&p, 1, ms);
    m_serverLock.Lock();
}

void QUInternalServer::SetSuspended(bool on) {
    m_suspended.store(on);
    QGuard guard(m_serverLock);
    TellSuspended();
}

void QUInternalServer::TellSuspended() {
    const int now = m_suspended.load() ? 1 : 0;
    if (now == m_toldSuspended) return;
    m_toldSuspended = now;
    if (IUdpStreamSink* sink = m_core->Sink()) sink->SetSuspended(now != 0);
}

void QUInternalServer::Run() {
    m_serverLock.Lock();
    m_serviceRunning.store(true);
    m_toldSuspended = -1;
    if (IUdpStreamSink* sink = m_core->Sink()) sink->SetServiceRunning(true);
    TellSuspended();
    while (!OpenSocket() && !StopFlag()->load()) SleepUnlocked(1000);
    // The service's address; nothing else runs until it is known (the
    // lookup itself runs without the lock).
    while (!StopFlag()->load() && m_core->RendezvousAddress() == 0) {
        if (m_core->ResolveDue(NowMs())) {
            m_serverLock.Unlock();
            const uint32_t address = ResolveRendezvous();
            m_serverLock.Lock();
            if (address != 0) {
                m_core->SetRendezvous(address, static_cast<uint16_t>(m_config.rendezvousPort));
                break;
            }
        }
        SleepUnlocked(100);
    }
    std::vector<uint8_t> buffer(QDatagramSocket::kMaxDatagram);
    int idlePasses = 0;
    while (!StopFlag()->load()) {
        TellSuspended();
        if (m_suspended.load()) {
            m_socket.Close();
            m_boundPort = 0;
            SleepUnlocked(100);
            continue;
        }
        if (!m_socket.IsOpen() || m_boundPort != m_core->LocalPort()) {
            if (!OpenSocket()) {
                SleepUnlocked(1000);
                continue;
            }
        }
        int received = 0, longOnes = 0;
        bool readError = false;
        while (longOnes < kBurst) {
            const long n = m_socket.Receive(buffer.data(), buffer.size());
            if (n < 0) {
                readError = true;
                break;
            }
            if (n == 0) break;
            ++received;
            if (n > 8) ++longOnes;
            m_core->Dispatch(buffer.data(), static_cast<size_t>(n), m_socket.SenderAddress(),
                             m_socket.SenderPort(), NowMs());
        }
        if (readError) {
            m_socket.Close();
            OpenSocket();
            SleepUnlocked(2);
        }
        m_core->RunTimers(NowMs());
        Publish();
        if (received == 0) {
            // Waits for the next datagram, no longer than the next pass is
            // due: a datagram is handled as it arrives, not at the end of a
            // fixed sleep (an acknowledgement that waits frees the stream's
            // window late). Quiet for a while, only the 20 ms passes wake
            // the thread.
            ++idlePasses;
            WaitUnlocked(idlePasses > 3 ? 20 : 10);
        } else {
            idlePasses = 0;
            if (longOnes >= kBurst) SleepUnlocked(2);
        }
    }
    m_socket.Close();
    m_boundPort = 0;
    m_serviceRunning.store(false);
    if (IUdpStreamSink* sink = m_core->Sink()) sink->SetServiceRunning(false);
    m_serverLock.Unlock();
    EngineLog::Write(22, "UDPServer Thread Stopped.. ");
}

}  // namespace lf
