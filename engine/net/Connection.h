// QConnection: the one connection object behind every TCP conversation of
// the engine (HTTP, FTP control and data, BitTorrent peer wire, trackers).
//
// It wraps a non-blocking stream (a TCP socket, or a reliable UDP stream
// when a transport identity is given, see NetStream.h), keeps a send and a
// receive buffer, counts bytes and times, and reaches its target directly or
// through a proxy (HTTP CONNECT, SOCKS4, SOCKS4A, SOCKS5; ProxyConfig.h).
// One object belongs to one task thread; it is not locked.
//
// Life cycle: new -> connecting -> connected -> through -> closed. "Through"
// means bytes flow to the target: as soon as the TCP connect completes for a
// direct connection, after the proxy's last reply otherwise. Close() returns the object to new, so
// the same object serves the next request of a source.
//
// Typical non-blocking use (an HTTP request):
//   QConnection c;
//   if (!c.ConnectByName("mirror.example", 80, false)) -> failed (LastFailure())
//   c.Queue(request.data(), request.size());        // held until through
//   each pass of the task:
//     if (c.Flush() < 0) -> failed                   // also drives the handshake
//     long n = c.ReceiveData();                      // bytes buffered, or -1
//     parse c.ReceivedData() / c.ReceivedSize(), then c.ConsumeReceived(k)
// Every call advances a connect in progress and the proxy handshake, so a
// caller needs no extra step; WaitReadable / WaitWritable wait for the
// handshake as well. A failure closes the socket; data already received
// stays readable until ConsumeReceived or Close.
//
// Addresses are IPv4 in network byte order; ports in host order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/net/HalfOpen.h"
#include "engine/net/NetBuffer.h"
#include "engine/net/NetServices.h"
#include "engine/net/NetStream.h"
#include "engine/net/ProxyConfig.h"

namespace lf {

class QConnection {
public:
    // Why the connection closed itself (kNone while it works or after Close).
    enum class Failure {
        kNone,
        kInvalidTarget,   // address 0 or 255.255.255.255, port 0, name too long for the proxy
        kHostNotFound,    // the name did not resolve (or failed before)
        kSocketError,     // socket creation, bind, or an I/O error
        kConnectFailed,   // refused or unreachable
        kTimedOut,        // the connect or a handshake step took too long
        kProxyClosed,     // the proxy closed during the handshake
        kProxyRejected,   // the proxy refused (HTTP status, SOCKS result): ProxyStatus()
        kProxyMalformed,  // the proxy answered something else than its protocol
        kClosedByPeer,    // the target closed the connection
        kNoTransport,     // a transport identity without a UDP stream service
        kHalfOpenFull,    // the half-open gate had no slot: try again later
    };

    // The special wait: no limit in blocking mode, none otherwise.
    static constexpr int kWaitIfBlocking = -2;
    // The connect limit of a stream over the UDP transport.
    static constexpr int kTransportConnectTimeoutMs = 30000;
    // Receive size when none is given.
    static constexpr size_t kDefaultReceiveSize = 43008;

    QConnection() = default;
    ~QConnection();
    QConnection(const QConnection&) = delete;
    QConnection& operator=(const QConnection&) = delete;

    // Connects to an IPv4 address. `blocking` waits until through (or failed,
    // each step bounded by its timeout) and makes every later wait
    // unbounded; otherwise the call answers true once the connect started
    // (false only for a failure seen at once) and the later calls finish it. `proxy` nullptr uses
    // the process-wide configuration; pass a type-0 record for a direct connection. `localAddress`
    // binds first (nullptr: any). `transport` picks a UDP stream instead of TCP (never through a
    // proxy).
    bool Connect(uint32_t addressNet, uint16_t port, bool blocking,
                 const QProxyConfig* proxy = nullptr, const uint32_t* localAddress = nullptr,
                 const QTransportId* transport = nullptr);
    // Connects to a host by name. With resolve-at-proxy on a usable proxy
    // of type 1, 3 or 4 the name goes to the proxy; otherwise it is resolved
    // here (ResolveHostName, NameResolve.h). Remembers the host name.
    bool ConnectByName(const std::string& host, uint16_t port, bool blocking,
                       const QProxyConfig* proxy = nullptr, const uint32_t* localAddress = nullptr,
                       const QTransportId* transport = nullptr);
    // Listens on a port (backlog 32 for TCP). Without a local address binds
    // all addresses and records ChooseLocalAddress() as the local address.
    // Port 0 picks a free port (LocalPort() tells which).
    bool Listen(uint16_t port, const uint32_t* localAddress = nullptr,
                const QTransportId* transport = nullptr);
    // A waiting incoming connection (through, connected, host name = the
    // peer's dotted address), or none.
    std::unique_ptr<QConnection> Accept();

    // Appends to the send buffer. False when out of memory or closed.
    bool Queue(const void* bytes, size_t size);
    // Sends from the send buffer: bytes sent now (0 while connecting, during
    // the proxy handshake or when the socket takes nothing), -1 on an error
    // (the socket closes). In blocking mode pushes everything out.
    long Flush();
    // Queue + Flush.
    long SendData(const void* bytes, size_t size);
    // Reads up to `size` bytes (default 43008) into the receive buffer.
    // Answers the bytes now buffered (0 while connecting or during the
    // handshake), -1 when the socket closed or failed (the socket closes;
    // bytes already buffered stay readable).
    long ReceiveData(size_t size = 0);
    // Like ReceiveData, but into the caller's memory: the bytes already
    // buffered first (they leave the buffer), then what the socket has, up to
    // `size` in all. Answers the bytes placed, or -1 when the socket closed
    // or failed with nothing placed (the socket closes).
    long ReceiveInto(uint8_t* destination, size_t size);
    // Puts bytes back in front of the buffered received bytes (a part that
    // ReceiveInto placed but the caller cannot use yet).
    bool PutBack(const uint8_t* bytes, size_t count);
    // The buffered received bytes (zero-terminated) and dropping them.
    const uint8_t* ReceivedData() const;
    size_t ReceivedSize() const { return m_recv.Size(); }
    void ConsumeReceived(size_t count) { m_recv.Consume(count); }
    // Bytes queued but not sent yet, and dropping them.
    size_t PendingSendSize() const { return m_send.Size(); }
    void ConsumeSend(size_t count) { m_send.Consume(count); }

    // Waits until readable / writable for up to `seconds` (negative: no
    // limit; kWaitIfBlocking: no limit in blocking mode, no wait otherwise).
    // Before the connection is through these drive the connect and the
    // handshake and answer true only once through. They answer true at once
    // when the connection failed (the next call reports it), and false when
    // it is closed or the time passed. WaitWritable(0) is the writability
    // test.
    bool WaitReadable(int seconds);
    bool WaitWritable(int seconds);

    // Closes the stream, returns both buffers to the pool, clears every
    // field (the object is new again).
    void Close();
    // 1..1048576 used as given, others become 8192.
    void SetReceiveBufferSize(int bytes);

    // State.
    bool IsOpen() const { return m_stream != nullptr; }
    bool IsConnecting() const { return m_stream && m_connecting; }
    // Connection attempts take a slot of this gate (none: no limit) from the
    // start of the attempt until connected or closed. Kept across Close.
    void SetHalfOpenGate(QHalfOpenGate* gate) { m_gate = gate; }
    // The engine's network services (connect and lookup limits, failed-name
    // set, transport streams); none means the defaults, no failed-name set
    // and no transport streams. Kept across Close.
    void SetNetServices(QNetServices* net) { m_net = net; }
    bool IsConnected() const { return m_stream && m_connected; }
    bool IsThrough() const { return m_stream && m_through; }
    bool IsListening() const { return m_stream && m_listening; }
    bool IsBlocking() const { return m_blocking; }
    bool IsTransport() const { return m_stream && m_stream->IsTransport(); }
    Failure LastFailure() const { return m_failure; }
    // The HTTP status or SOCKS result of a refusing proxy.
    int ProxyStatus() const { return m_proxyStatus; }
    // The last socket error (errno value).
    int LastError() const { return m_lastError; }

    const std::string& HostName() const { return m_hostName; }
    uint32_t TargetAddress() const { return m_targetAddress; }
    uint16_t TargetPort() const { return m_targetPort; }
    uint32_t LocalAddress() const { return m_localAddress; }
    uint16_t LocalPort() const { return m_localPort; }
    uint64_t BytesSent() const { return m_bytesSent; }
    uint64_t BytesReceived() const { return m_bytesReceived; }
    // Totals over every connection this object has made (never reset), for
    // accounting that spans a reconnect.
    uint64_t LifetimeBytesSent() const { return m_lifetimeSent; }
    uint64_t LifetimeBytesReceived() const { return m_lifetimeReceived; }
    // Cached seconds (TimeThread.h): when Connect began, and when the
    // connection became connected (renewed when it got through a proxy).
    uint32_t StartTime() const { return m_startTime; }
    uint32_t ConnectTime() const { return m_connectTime; }
    const QProxyConfig& Proxy() const { return m_proxy; }

    // Limit for a connect to complete (direct, or to the proxy before the
    // handshake's own steps): the services' (default 12000 ms).
    int ConnectTimeoutMs() const { return lf::ConnectTimeoutMs(m_net); }

private:
    enum class Step {
        kNone,         // direct, or through
        kSendRequest,  // handshake bytes to send, then wait for `m_expect`
        kWaitReply,    // waiting for the reply of `m_expect`
    };
    enum class Expect { kHttp, kSocks4, kSocks5Method, kSocks5Auth, kSocks5Connect };

    bool StartConnect(uint32_t connectAddress, uint16_t connectPort, bool blocking,
                      const QProxyConfig& config, bool viaProxy, const uint32_t* localAddress,
                      const QTransportId* transport);
    // Moves a connect in progress and the handshake on without waiting.
    // False when the connection failed (it is then closed). Without
    // readReplies only the connect and sending are advanced.
    bool Advance(bool readReplies = true);
    // Creates and opens the stream (TCP, or a transport stream).
    bool OpenStream(const QTransportId* transport);
    bool BeginHandshake();
    bool OnConnected();
    void GiveSlot();
    bool HandleReply();
    void SetStep(Step step, Expect expect, const std::string& bytes, int timeoutMs);
    bool Fail(Failure failure);
    void CloseStream();
    bool WaitFor(bool forWrite, int seconds);
    long ReadSome(size_t size);
    long PushOut();
    int MsUntilDeadline() const;

    std::unique_ptr<QNetStream> m_stream;
    QNetBuffer m_send;
    QNetBuffer m_recv;
    QProxyConfig m_proxy;
    bool m_viaProxy = false;
    std::string m_proxyTargetName;  // name sent to the proxy (resolve at proxy)
    bool m_blocking = false;
    bool m_connecting = false;
    QHalfOpenGate* m_gate = nullptr;
    QNetServices* m_net = nullptr;
    bool m_holdsSlot = false;  // a slot of m_gate is taken
    bool m_connected = false;
    bool m_through = false;
    bool m_listening = false;
    bool m_leftover = false;  // target bytes arrived with the proxy reply
    Step m_step = Step::kNone;
    Expect m_expect = Expect::kHttp;
    std::string m_hsOut;        // handshake bytes still to send
    size_t m_hsReplyStart = 0;  // where the current reply begins in m_recv
    uint64_t m_deadlineMs = 0;  // monotonic; 0 = none
    Failure m_failure = Failure::kNone;
    int m_proxyStatus = 0;
    int m_lastError = 0;
    std::string m_hostName;
    uint32_t m_targetAddress = 0;
    uint16_t m_targetPort = 0;
    uint32_t m_localAddress = 0;
    uint16_t m_localPort = 0;
    uint64_t m_bytesSent = 0;
    uint64_t m_bytesReceived = 0;
    uint64_t m_lifetimeSent = 0;
    uint64_t m_lifetimeReceived = 0;
    uint32_t m_startTime = 0;
    uint32_t m_connectTime = 0;
    int m_receiveBufferSize = 0;
};

}  // namespace lf
