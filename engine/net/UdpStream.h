// A reliable stream over UDP behind the QNetStream interface, so that a
// QConnection (and everything built on it) runs over it unchanged. "Would
// block" (10035) becomes the interface's 0 or "in progress".
#pragma once

#include <memory>

#include "engine/net/NetStream.h"
#include "engine/net/UdpStreamEndpoint.h"

namespace lf {

class QUdpStream : public QNetStream {
public:
    // A stream to connect: the identity's first 8 bytes name the remote.
    // `owner`, when given, keeps the endpoint alive while the stream lives.
    QUdpStream(UdpStreamEndpoint& endpoint, const QTransportId& identity,
               std::shared_ptr<UdpStreamEndpoint> owner = nullptr);
    ~QUdpStream() override { Close(); }

    bool Open() override;
    bool Bind(uint32_t addressNet, uint16_t port) override;
    int StartConnect(uint32_t addressNet, uint16_t port) override;
    int CheckConnect() override;
    bool Listen(int backlog) override;
    std::unique_ptr<QNetStream> Accept(uint32_t* addressNet, uint16_t* port) override;
    long Send(const uint8_t* data, size_t size) override;
    long Receive(uint8_t* data, size_t size) override;
    int Wait(bool forWrite, int timeoutMs) override;
    bool LocalAddress(uint32_t* addressNet, uint16_t* port) override;
    void SetReceiveBufferSize(int /*bytes*/) override {}
    int LastError() const override { return m_error; }
    int DefaultBacklog() const override { return 1024; }
    bool IsTransport() const override { return true; }
    void Close() override;

    UdpHandle Handle() const { return m_handle; }

private:
    QUdpStream(UdpStreamEndpoint& endpoint, UdpHandle accepted,
               std::shared_ptr<UdpStreamEndpoint> owner);

    std::shared_ptr<UdpStreamEndpoint> m_owner;
    UdpStreamEndpoint& m_endpoint;
    QTransportId m_identity;
    UdpHandle m_handle = 0;
    int m_error = 0;
};

// The maker of transport streams for QNetServices::SetTransportStreamFactory.
// The endpoint must outlive the factory and every stream it made (clear the
// factory and close the connections before the endpoint goes).
TransportStreamFactory MakeUdpStreamFactory(UdpStreamEndpoint& endpoint);
// The same for a shared endpoint: the factory and every stream it makes keep
// the endpoint alive, so the owner may drop it while streams remain.
TransportStreamFactory MakeUdpStreamFactory(std::shared_ptr<UdpStreamEndpoint> endpoint);

}  // namespace lf
