#include "engine/net/UdpStream.h"

#include <vector>

namespace lf {

QUdpStream::QUdpStream(UdpStreamEndpoint& endpoint, const QTransportId& identity,
                       std::shared_ptr<UdpStreamEndpoint> owner)
    : m_owner(std::move(owner)), m_endpoint(endpoint), m_identity(identity) {}

QUdpStream::QUdpStream(UdpStreamEndpoint& endpoint, UdpHandle accepted,
                       std::shared_ptr<UdpStreamEndpoint> owner)
    : m_owner(std::move(owner)), m_endpoint(endpoint), m_handle(accepted) {}

bool QUdpStream::Open() {
    Close();
    m_handle = m_endpoint.UdpSocket(&m_error);
    return m_handle != 0;
}

bool QUdpStream::Bind(uint32_t addressNet, uint16_t port) {
    // A connecting stream has no local port of its own to bind; only a
    // listener binds (its virtual port).
    if (port == 0) return m_handle != 0;
    return m_endpoint.UdpBind(m_handle, addressNet, port, &m_error) == 0;
}

int QUdpStream::StartConnect(uint32_t addressNet, uint16_t port) {
    int error = 0;
    m_endpoint.UdpConnect(m_handle, addressNet, port, m_identity.bytes, &error);
    if (error == kUdpErrWouldBlock) {
        m_error = 0;
        return CheckConnect() == 1 ? 1 : 0;
    }
    m_error = error;
    return -1;
}

int QUdpStream::CheckConnect() {
    int r = m_endpoint.ConnectProgress(m_handle);
    if (r < 0) m_error = kUdpErrNotConnected;
    return r;
}

bool QUdpStream::Listen(int backlog) {
    return m_endpoint.UdpListen(m_handle, backlog, &m_error) == 0;
}

std::unique_ptr<QNetStream> QUdpStream::Accept(uint32_t* addressNet, uint16_t* port) {
    int error = 0;
    UdpHandle h = m_endpoint.UdpAccept(m_handle, addressNet, port, nullptr, &error);
    if (h == 0) {
        m_error = error == kUdpErrWouldBlock ? 0 : error;
        return nullptr;
    }
    m_error = 0;
    return std::unique_ptr<QNetStream>(new QUdpStream(m_endpoint, h, m_owner));
}

long QUdpStream::Send(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    int error = 0;
    long n = m_endpoint.UdpSend(m_handle, data, size, &error);
    if (n >= 0) return n;
    if (error == kUdpErrWouldBlock) return 0;
    m_error = error;
    return -1;
}

long QUdpStream::Receive(uint8_t* data, size_t size) {
    if (size == 0) return 0;
    int error = 0;
    long n = m_endpoint.UdpReceive(m_handle, data, size, &error);
    if (n > 0) return n;
    if (error == kUdpErrWouldBlock) return 0;
    // A close from the peer reads as the end of the stream.
    m_error = m_endpoint.ClosedByPeer(m_handle) ? 0 : error;
    return -1;
}

int QUdpStream::Wait(bool forWrite, int timeoutMs) {
    std::vector<UdpHandle> set{m_handle};
    std::vector<UdpHandle> errors{m_handle};
    int n = forWrite ? m_endpoint.UdpSelect(nullptr, &set, &errors, timeoutMs)
                     : m_endpoint.UdpSelect(&set, nullptr, &errors, timeoutMs);
    return n > 0 ? 1 : 0;
}

bool QUdpStream::LocalAddress(uint32_t* addressNet, uint16_t* port) {
    return m_endpoint.UdpLocalName(m_handle, addressNet, port, nullptr) == 0;
}

void QUdpStream::Close() {
    if (m_handle == 0) return;
    m_endpoint.UdpClose(m_handle);
    m_handle = 0;
}

TransportStreamFactory MakeUdpStreamFactory(UdpStreamEndpoint& endpoint) {
    UdpStreamEndpoint* e = &endpoint;
    return [e](const QTransportId& identity) -> std::unique_ptr<QNetStream> {
        return std::make_unique<QUdpStream>(*e, identity);
    };
}

TransportStreamFactory MakeUdpStreamFactory(std::shared_ptr<UdpStreamEndpoint> endpoint) {
    return [endpoint](const QTransportId& identity) -> std::unique_ptr<QNetStream> {
        return std::make_unique<QUdpStream>(*endpoint, identity, endpoint);
    };
}

}  // namespace lf
