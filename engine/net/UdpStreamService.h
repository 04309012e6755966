// The reliable streams of one run of the UDP service: a stream endpoint that
// the UDP server's thread drives (its sink), whose datagrams leave through
// the server's socket and whose rendezvous queries and punch drops go to the
// server's rendezvous client. The endpoint shares the server's lock.
//
// The engine's core makes one per start of the UDP service and retires it at
// the stop: a retired service sends nothing more, and the endpoint stays
// alive (shared) until the last stream made from it is gone, so a
// connection that outlives the service fails instead of touching freed
// memory.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

#include "engine/net/NetStream.h"
#include "engine/net/UdpPacketHooks.h"
#include "engine/net/UdpStreamEndpoint.h"

namespace lf {

class QUInternalServer;

class UdpStreamService : public IUdpDatagramOut, public IUdpRendezvous {
public:
    // `seed`: the identity the server registers under; `localAddressNet`:
    // what the streams report as their local address; `timeoutSeconds`: the
    // streams' setup and idle limit; `firstKey`: the first connection key.
    static std::shared_ptr<UdpStreamService> Make(QUInternalServer& server,
                                                  const std::array<uint8_t, 8>& seed,
                                                  uint32_t localAddressNet, int timeoutSeconds,
                                                  uint32_t firstKey);
    ~UdpStreamService() override;
    UdpStreamService(const UdpStreamService&) = delete;
    UdpStreamService& operator=(const UdpStreamService&) = delete;

    UdpStreamEndpoint& Endpoint() { return *m_endpoint; }
    // The endpoint, kept alive together with this service.
    std::shared_ptr<UdpStreamEndpoint> SharedEndpoint();
    // Registers the endpoint as the server's stream sink.
    void Attach();
    // Closes every stream (sending the closes while the server still
    // runs), detaches from the server (the sink is removed when it is still
    // this one) and stops every further send.
    void Retire();
    bool Retired() const { return m_retired.load(); }

    // The maker of transport streams for QNetServices.
    TransportStreamFactory Factory();

    // IUdpDatagramOut: through the server, nothing once retired.
    bool SendDatagram(const uint8_t* data, size_t size, uint32_t addressNet,
                      uint16_t portNet) override;
    // IUdpRendezvous: the server's rendezvous client (its punch list takes
    // ports in host order).
    uint32_t QueueQuery(uint32_t remoteAddressNet, const uint8_t* identity) override;
    void DropPunches(uint32_t addressNet, uint16_t portNet) override;

private:
    explicit UdpStreamService(QUInternalServer& server);

    QUInternalServer& m_server;
    std::unique_ptr<UdpStreamEndpoint> m_endpoint;
    std::atomic<bool> m_retired{false};
    std::weak_ptr<UdpStreamService> m_self;
};

}  // namespace lf
