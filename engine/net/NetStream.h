// The byte stream behind a connection (QConnection, Connection.h). A plain
// TCP socket is one kind (QTcpStream); the reliable streams over UDP plug in
// as another kind through QNetServices::SetTransportStreamFactory, and QConnection treats
// both alike. Addresses are IPv4 in network byte order; ports in host order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace lf {

// The 13-byte identity of a UDP transport stream: the 8 bytes after the
// address in the peer's socket address followed by "UDP", zero-filled.
struct QTransportId {
    uint8_t bytes[13] = {0};
};

class QNetStream {
public:
    virtual ~QNetStream() = default;

    // Creates the endpoint (non-blocking). False on failure.
    virtual bool Open() = 0;
    virtual bool Bind(uint32_t addressNet, uint16_t port) = 0;
    // Starts a connect: 1 connected, 0 in progress, -1 failed (LastError).
    virtual int StartConnect(uint32_t addressNet, uint16_t port) = 0;
    // After StartConnect answered 0: 1 connected, 0 still in progress, -1
    // failed (LastError holds the reason).
    virtual int CheckConnect() = 0;
    virtual bool Listen(int backlog) = 0;
    // An accepted stream with the peer's address, or none (nothing waiting
    // or an error).
    virtual std::unique_ptr<QNetStream> Accept(uint32_t* addressNet, uint16_t* port) = 0;
    // Bytes taken (0 when it would block), or -1 on an error.
    virtual long Send(const uint8_t* data, size_t size) = 0;
    // Bytes read, 0 when it would block, -1 when the peer closed (LastError
    // 0) or on an error.
    virtual long Receive(uint8_t* data, size_t size) = 0;
    // Waits up to timeoutMs (negative: no limit) until readable or writable:
    // 1 ready (also on an error or hang-up, which the next call reports), 0
    // when the time passed. A UDP stream answers at once when its service
    // set a pending-read or pending-write mark, and clears that mark.
    virtual int Wait(bool forWrite, int timeoutMs) = 0;
    virtual bool LocalAddress(uint32_t* addressNet, uint16_t* port) = 0;
    virtual void SetReceiveBufferSize(int bytes) = 0;
    virtual int LastError() const = 0;
    // The backlog Listen should use for this kind (32 for TCP, 1024 for UDP
    // streams).
    virtual int DefaultBacklog() const = 0;
    virtual bool IsTransport() const = 0;
    virtual void Close() = 0;
};

// A non-blocking TCP socket over IPv4.
class QTcpStream : public QNetStream {
public:
    QTcpStream() = default;
    explicit QTcpStream(int fd) : m_fd(fd) {}
    ~QTcpStream() override { Close(); }

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
    void SetReceiveBufferSize(int bytes) override;
    int LastError() const override { return m_error; }
    int DefaultBacklog() const override { return 32; }
    bool IsTransport() const override { return false; }
    void Close() override;

    int Handle() const { return m_fd; }

private:
    int m_fd = -1;
    int m_error = 0;
};

// Makes the stream for a transport identity; none when the transport is not
// available. The engine's QNetServices (NetServices.h) holds the one in use.
// A callable rather than a bare function so that it can carry the stream
// service it makes streams of (the UDP streams' endpoint).
using TransportStreamFactory =
    std::function<std::unique_ptr<QNetStream>(const QTransportId& identity)>;

}  // namespace lf
