#include "engine/net/UdpStreamService.h"

#include <arpa/inet.h>

#include "engine/net/UdpServer.h"
#include "engine/net/UdpStream.h"

namespace lf {

UdpStreamService::UdpStreamService(QUInternalServer& server) : m_server(server) {}

std::shared_ptr<UdpStreamService> UdpStreamService::Make(QUInternalServer& server,
                                                         const std::array<uint8_t, 8>& seed,
                                                         uint32_t localAddressNet,
                                                         int timeoutSeconds, uint32_t firstKey) {
    std::shared_ptr<UdpStreamService> s(new UdpStreamService(server));
    s->m_self = s;
    UdpStreamConfig config;
    config.seed = seed;
    config.localAddressNet = localAddressNet;
    config.timeoutSeconds = timeoutSeconds;
    config.firstKey = firstKey != 0 ? firstKey : 1;
    config.clock = [] { return QUInternalServer::NowMs(); };
    s->m_endpoint = std::make_unique<UdpStreamEndpoint>(config, s.get(), s.get(),
                                                        &server.ServerLock().Native());
    // Until the server thread says it runs.
    s->m_endpoint->SetServiceRunning(server.ServiceRunning());
    return s;
}

UdpStreamService::~UdpStreamService() {
    // A retired service no longer touches the server (which may be gone).
    if (!m_retired.load()) Retire();
    // The endpoint's lock is the server's: the owner keeps the server alive
    // while a retired service's streams remain.
    m_endpoint.reset();
}

std::shared_ptr<UdpStreamEndpoint> UdpStreamService::SharedEndpoint() {
    std::shared_ptr<UdpStreamService> self = m_self.lock();
    if (!self) return nullptr;
    return std::shared_ptr<UdpStreamEndpoint>(self, m_endpoint.get());
}

void UdpStreamService::Attach() {
    QGuard guard(m_server.ServerLock());
    m_retired.store(false);
    m_server.SetStreamSink(m_endpoint.get());
    m_endpoint->SetServiceRunning(m_server.ServiceRunning());
    m_endpoint->SetSuspended(m_server.Suspended());
}

void UdpStreamService::Retire() {
    QGuard guard(m_server.ServerLock());
    // The streams end: their peers hear the close while the server still
    // sends.
    if (m_endpoint && !m_retired.load()) m_endpoint->CloseAll();
    m_retired.store(true);
    if (m_server.Protocol().Sink() == m_endpoint.get()) m_server.SetStreamSink(nullptr);
    if (m_endpoint) m_endpoint->SetServiceRunning(false);
}

TransportStreamFactory UdpStreamService::Factory() {
    return MakeUdpStreamFactory(SharedEndpoint());
}

bool UdpStreamService::SendDatagram(const uint8_t* data, size_t size, uint32_t addressNet,
                                    uint16_t portNet) {
    if (m_retired.load()) return false;
    return m_server.SendDatagram(data, size, addressNet, portNet);
}

uint32_t UdpStreamService::QueueQuery(uint32_t remoteAddressNet, const uint8_t* identity) {
    if (m_retired.load()) return 0;
    return m_server.QueueQuery(remoteAddressNet, identity);
}

void UdpStreamService::DropPunches(uint32_t addressNet, uint16_t portNet) {
    if (m_retired.load()) return;
    m_server.DropPunches(addressNet, ntohs(portNet));
}

}  // namespace lf
