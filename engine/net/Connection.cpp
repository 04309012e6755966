#include "engine/net/Connection.h"

#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "engine/base/TimeThread.h"
#include "engine/net/NameResolve.h"

namespace lf {

namespace {

uint64_t NowMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

const uint8_t kEmpty[1] = {0};

}  // namespace

QConnection::~QConnection() {
    Close();
}

const uint8_t* QConnection::ReceivedData() const {
    return m_recv.Data() ? m_recv.Data() : kEmpty;
}

void QConnection::CloseStream() {
    if (m_stream) m_stream->Close();
    m_stream.reset();
    GiveSlot();
    m_connecting = false;
    m_connected = false;
    m_through = false;
    m_listening = false;
    m_leftover = false;
    m_step = Step::kNone;
    m_hsOut.clear();
    m_deadlineMs = 0;
}

void QConnection::Close() {
    CloseStream();
    m_send.Release();
    m_recv.Release();
    m_proxy = QProxyConfig{};
    m_viaProxy = false;
    m_proxyTargetName.clear();
    m_blocking = false;
    m_failure = Failure::kNone;
    m_proxyStatus = 0;
    m_lastError = 0;
    m_hostName.clear();
    m_targetAddress = 0;
    m_targetPort = 0;
    m_localAddress = 0;
    m_localPort = 0;
    m_bytesSent = 0;
    m_bytesReceived = 0;
    m_startTime = 0;
    m_connectTime = 0;
    m_receiveBufferSize = 0;
}

bool QConnection::Fail(Failure failure) {
    if (!m_through) m_recv.Release();  // proxy bytes, not the target's
    m_send.Release();
    CloseStream();
    m_failure = failure;
    return false;
}

int QConnection::MsUntilDeadline() const {
    if (m_deadlineMs == 0) return -1;
    uint64_t now = NowMs();
    return now >= m_deadlineMs ? 0 : static_cast<int>(m_deadlineMs - now);
}

bool QConnection::Connect(uint32_t addressNet, uint16_t port, bool blocking,
                          const QProxyConfig* proxy, const uint32_t* localAddress,
                          const QTransportId* transport) {
    Close();
    if (addressNet == 0 || addressNet == 0xffffffffu || port == 0) {
        m_failure = Failure::kInvalidTarget;
        return false;
    }
    QProxyConfig config = proxy ? *proxy : (m_net ? m_net->ProxyConfig() : QProxyConfig{});
    bool viaProxy = !transport && config.Usable();
    m_targetAddress = addressNet;
    m_targetPort = port;
    if (viaProxy)
        return StartConnect(config.address, config.port, blocking, config, true, localAddress,
                            transport);
    return StartConnect(addressNet, port, blocking, config, false, localAddress, transport);
}

bool QConnection::ConnectByName(const std::string& host, uint16_t port, bool blocking,
                                const QProxyConfig* proxy, const uint32_t* localAddress,
                                const QTransportId* transport) {
    QProxyConfig config = proxy ? *proxy : (m_net ? m_net->ProxyConfig() : QProxyConfig{});
    bool atProxy =
        !transport && config.Usable() && config.resolveAtProxy &&
        (config.type == kProxyHttp || config.type == kProxySocks5 || config.type == kProxySocks4a);
    bool ok;
    if (atProxy) {
        Close();
        if (host.empty() || host.size() > 255 || port == 0) {
            m_failure = Failure::kInvalidTarget;
            return false;
        }
        m_targetPort = port;
        m_proxyTargetName = host;
        ok = StartConnect(config.address, config.port, blocking, config, true, localAddress,
                          transport);
    } else {
        int error = 0;
        uint32_t address = ResolveHostName(host, m_net, &error);
        if (address == 0) {
            Close();
            m_failure = Failure::kHostNotFound;
            m_lastError = error;
            return false;
        }
        ok = Connect(address, port, blocking, &config, localAddress, transport);
    }
    if (ok) m_hostName = host;
    return ok;
}

bool QConnection::StartConnect(uint32_t connectAddress, uint16_t connectPort, bool blocking,
                               const QProxyConfig& config, bool viaProxy,
                               const uint32_t* localAddress, const QTransportId* transport) {
    m_startTime = CachedSeconds();
    m_blocking = blocking;
    m_proxy = config;
    m_viaProxy = viaProxy;
    if (!OpenStream(transport)) return false;
    if (localAddress && !m_stream->Bind(*localAddress, 0)) {
        m_lastError = m_stream->LastError();
        return Fail(Failure::kSocketError);
    }
    if (m_gate != nullptr) {
        if (!m_gate->TryTake()) return Fail(Failure::kHalfOpenFull);
        m_holdsSlot = true;
    }
    int r = m_stream->StartConnect(connectAddress, connectPort);
    if (r < 0) {
        m_lastError = m_stream->LastError();
        return Fail(Failure::kConnectFailed);
    }
    m_connecting = true;
    // A stream over the UDP transport has its own setup limit (its timeout
    // closes the record); its caller's limit applies (28 s for peers).
    int limit = viaProxy    ? config.TimeoutMs() / 2
                : transport ? kTransportConnectTimeoutMs
                            : ConnectTimeoutMs();
    m_deadlineMs = NowMs() + static_cast<uint64_t>(std::max(limit, 0));
    if (r == 1 && !OnConnected()) return false;
    // Sends the first handshake step when the socket is ready; replies are
    // read by the later calls.
    if (!Advance(false)) return false;
    if (!blocking) return true;
    while (!m_through) {
        bool needWrite = m_connecting || m_step == Step::kSendRequest;
        m_stream->Wait(needWrite, MsUntilDeadline());
        if (!Advance()) return false;
    }
    return true;
}

void QConnection::GiveSlot() {
    if (!m_holdsSlot) return;
    m_holdsSlot = false;
    m_gate->Give();
}

bool QConnection::OnConnected() {
    GiveSlot();
    m_connecting = false;
    m_connected = true;
    m_stream->LocalAddress(&m_localAddress, &m_localPort);
    m_connectTime = CachedSeconds();
    m_deadlineMs = 0;
    if (!m_viaProxy) {
        m_through = true;
        return true;
    }
    return BeginHandshake();
}

void QConnection::SetStep(Step step, Expect expect, const std::string& bytes, int timeoutMs) {
    m_step = step;
    m_expect = expect;
    m_hsOut = bytes;
    m_deadlineMs = NowMs() + static_cast<uint64_t>(std::max(timeoutMs, 0));
}

bool QConnection::BeginHandshake() {
    const int full = m_proxy.TimeoutMs();
    const bool byName = !m_proxyTargetName.empty();
    switch (m_proxy.type) {
        case kProxyHttp: {
            if (m_proxy.plainHttp) {
                m_through = true;
                return true;
            }
            std::string target = byName ? m_proxyTargetName : DottedAddress(m_targetAddress);
            std::string request =
                BuildHttpProxyRequest(m_proxy.method, HttpProxyTargetText(target, m_targetPort),
                                      m_proxy.user, m_proxy.password, m_proxy.domain);
            SetStep(Step::kSendRequest, Expect::kHttp, request, full);
            return true;
        }
        case kProxySocks4:
        case kProxySocks4a: {
            std::string request;
            if (byName)
                request = BuildSocks4aRequest(m_proxyTargetName, m_targetPort);
            else
                request = BuildSocks4Request(m_targetAddress, m_targetPort);
            if (request.empty()) return Fail(Failure::kInvalidTarget);
            SetStep(Step::kSendRequest, Expect::kSocks4, request, full);
            return true;
        }
        case kProxySocks5:
            SetStep(Step::kSendRequest, Expect::kSocks5Method,
                    BuildSocks5Greeting(!m_proxy.user.empty()), full / 2);
            return true;
        default:
            return Fail(Failure::kInvalidTarget);
    }
}

bool QConnection::HandleReply() {
    const uint8_t* data = m_recv.Data();
    size_t size = m_recv.Size();
    if (size == 0) return true;
    ProxyReply reply;
    switch (m_expect) {
        case Expect::kHttp:
            reply = ParseHttpProxyReply(data, size);
            break;
        case Expect::kSocks4:
            reply = ParseSocks4Reply(data, size);
            break;
        case Expect::kSocks5Method:
            reply = ParseSocks5MethodReply(data, size, !m_proxy.user.empty());
            break;
        case Expect::kSocks5Auth:
            reply = ParseSocks5AuthReply(data, size);
            break;
        case Expect::kSocks5Connect:
            reply = ParseSocks5ConnectReply(data, size);
            break;
    }
    switch (reply.status) {
        case ProxyReply::kNeedMore:
            return true;
        case ProxyReply::kRejected:
            m_proxyStatus = reply.code;
            return Fail(Failure::kProxyRejected);
        case ProxyReply::kMalformed:
            return Fail(Failure::kProxyMalformed);
        case ProxyReply::kOk:
            break;
    }
    const int full = m_proxy.TimeoutMs();
    if (m_expect == Expect::kSocks5Method && !m_proxy.user.empty()) {
        m_recv.Consume(reply.length);
        std::string auth = BuildSocks5Auth(m_proxy.user, m_proxy.password);
        if (auth.empty()) return Fail(Failure::kInvalidTarget);
        SetStep(Step::kSendRequest, Expect::kSocks5Auth, auth, full / 2);
        return true;
    }
    if (m_expect == Expect::kSocks5Method || m_expect == Expect::kSocks5Auth) {
        m_recv.Consume(reply.length);
        std::string request = m_proxyTargetName.empty()
                                  ? BuildSocks5ConnectAddress(m_targetAddress, m_targetPort)
                                  : BuildSocks5ConnectName(m_proxyTargetName, m_targetPort);
        if (request.empty()) return Fail(Failure::kInvalidTarget);
        SetStep(Step::kSendRequest, Expect::kSocks5Connect, request, full);
        return true;
    }
    // The final reply: the connection is through.
    m_proxyStatus = reply.code;
    bool tunnel =
        m_expect != Expect::kHttp || m_proxy.method.empty() || m_proxy.method == "CONNECT";
    if (tunnel) m_recv.Consume(reply.length);
    m_step = Step::kNone;
    m_deadlineMs = 0;
    m_through = true;
    m_connectTime = CachedSeconds();
    m_leftover = m_recv.Size() > 0;
    if (PushOut() < 0) return false;
    return true;
}

long QConnection::ReadSome(size_t size) {
    if (!m_recv.Reserve(size, 2048)) return 0;
    long n = m_stream->Receive(m_recv.WritePointer(), size);
    if (n > 0) {
        m_recv.Commit(static_cast<size_t>(n));
        m_bytesReceived += static_cast<uint64_t>(n);
        m_lifetimeReceived += static_cast<uint64_t>(n);
    } else if (n < 0) {
        m_lastError = m_stream->LastError();
    }
    return n;
}

bool QConnection::Advance(bool readReplies) {
    if (!m_stream) return false;
    if (m_listening || m_through) return true;
    if (m_connecting) {
        int r = m_stream->CheckConnect();
        if (r < 0) {
            m_lastError = m_stream->LastError();
            return Fail(Failure::kConnectFailed);
        }
        if (r == 0) {
            if (MsUntilDeadline() == 0) return Fail(Failure::kTimedOut);
            return true;
        }
        if (!OnConnected()) return false;
        if (m_through) return true;
    }
    for (;;) {
        if (m_step == Step::kSendRequest) {
            long n =
                m_stream->Send(reinterpret_cast<const uint8_t*>(m_hsOut.data()), m_hsOut.size());
            if (n < 0) {
                m_lastError = m_stream->LastError();
                return Fail(Failure::kProxyClosed);
            }
            m_bytesSent += static_cast<uint64_t>(n);
            m_lifetimeSent += static_cast<uint64_t>(n);
            m_hsOut.erase(0, static_cast<size_t>(n));
            if (!m_hsOut.empty()) break;
            m_step = Step::kWaitReply;
        }
        if (m_step != Step::kWaitReply || !readReplies) break;
        long n = ReadSome(4096);
        if (n < 0) return Fail(Failure::kProxyClosed);
        Expect before = m_expect;
        if (!HandleReply()) return false;
        if (m_through) return true;
        if (n == 0 && m_expect == before) break;  // nothing new: wait
    }
    if (MsUntilDeadline() == 0) return Fail(Failure::kTimedOut);
    return true;
}

long QConnection::PushOut() {
    long total = 0;
    while (m_stream && m_send.Size() > 0) {
        long n = m_stream->Send(m_send.Data(), m_send.Size());
        if (n < 0) {
            m_lastError = m_stream->LastError();
            Fail(Failure::kSocketError);
            return -1;
        }
        if (n > 0) {
            m_send.Consume(static_cast<size_t>(n));
            m_bytesSent += static_cast<uint64_t>(n);
            m_lifetimeSent += static_cast<uint64_t>(n);
            total += n;
            continue;
        }
        if (!m_blocking) break;
        if (m_stream->Wait(true, 1000) == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return total;
}

bool QConnection::Queue(const void* bytes, size_t size) {
    if (!m_stream) return false;
    return m_send.Append(bytes, size);
}

long QConnection::Flush() {
    if (!m_stream) return -1;
    if (!Advance()) return -1;
    if (!m_through) return 0;
    return PushOut();
}

long QConnection::SendData(const void* bytes, size_t size) {
    if (!Queue(bytes, size)) return -1;
    return Flush();
}

long QConnection::ReceiveData(size_t size) {
    if (size == 0) size = kDefaultReceiveSize;
    if (!m_stream) return -1;
    if (!Advance()) return -1;
    if (m_listening) return 0;
    if (!m_through) return 0;
    m_leftover = false;
    long n = ReadSome(size);
    if (n < 0) {
        Failure f = m_lastError == 0 ? Failure::kClosedByPeer : Failure::kSocketError;
        m_send.Release();
        CloseStream();
        m_failure = f;
        return -1;
    }
    return static_cast<long>(m_recv.Size());
}

long QConnection::ReceiveInto(uint8_t* destination, size_t size) {
    size_t placed = std::min(size, m_recv.Size());
    if (placed > 0) {
        std::memcpy(destination, m_recv.Data(), placed);
        m_recv.Consume(placed);
    }
    if (placed == size || !m_stream) return placed > 0 ? static_cast<long>(placed) : -1;
    if (!Advance()) return placed > 0 ? static_cast<long>(placed) : -1;
    if (m_listening || !m_through) return static_cast<long>(placed);
    m_leftover = false;
    long n = m_stream->Receive(destination + placed, size - placed);
    if (n > 0) {
        m_bytesReceived += static_cast<uint64_t>(n);
        m_lifetimeReceived += static_cast<uint64_t>(n);
        return static_cast<long>(placed) + n;
    }
    if (n < 0) {
        m_lastError = m_stream->LastError();
        Failure f = m_lastError == 0 ? Failure::kClosedByPeer : Failure::kSocketError;
        m_send.Release();
        CloseStream();
        m_failure = f;
        return placed > 0 ? static_cast<long>(placed) : -1;
    }
    return static_cast<long>(placed);
}

bool QConnection::PutBack(const uint8_t* bytes, size_t count) {
    if (count == 0) return true;
    if (m_recv.Size() == 0) return m_recv.Append(bytes, count);
    std::vector<uint8_t> rest(m_recv.Data(), m_recv.Data() + m_recv.Size());
    m_recv.Consume(rest.size());
    return m_recv.Append(bytes, count) && m_recv.Append(rest.data(), rest.size());
}

bool QConnection::WaitFor(bool forWrite, int seconds) {
    if (!m_stream) return m_failure != Failure::kNone;
    int limit = seconds == kWaitIfBlocking ? (m_blocking ? -1 : 0)
                : seconds < 0              ? -1
                                           : seconds * 1000;
    uint64_t end = limit < 0 ? 0 : NowMs() + static_cast<uint64_t>(limit);
    for (;;) {
        if (!Advance()) return true;
        int remaining = -1;
        if (limit >= 0) {
            uint64_t now = NowMs();
            remaining = now >= end ? 0 : static_cast<int>(end - now);
        }
        if (m_listening || m_through) {
            if (!forWrite && m_leftover) return true;
            return m_stream->Wait(forWrite, remaining) == 1;
        }
        if (remaining == 0) return false;
        int step = MsUntilDeadline();
        int wait = remaining < 0 ? step : (step < 0 ? remaining : std::min(remaining, step));
        bool needWrite = m_connecting || m_step == Step::kSendRequest;
        m_stream->Wait(needWrite, wait);
    }
}

bool QConnection::WaitReadable(int seconds) {
    return WaitFor(false, seconds);
}

bool QConnection::WaitWritable(int seconds) {
    return WaitFor(true, seconds);
}

bool QConnection::OpenStream(const QTransportId* transport) {
    std::unique_ptr<QNetStream> stream;
    if (transport)
        stream = m_net ? m_net->MakeTransportStream(*transport) : nullptr;
    else
        stream = std::make_unique<QTcpStream>();
    if (!stream) return Fail(Failure::kNoTransport);
    if (!stream->Open()) {
        m_lastError = stream->LastError();
        return Fail(Failure::kSocketError);
    }
    m_stream = std::move(stream);
    return true;
}

bool QConnection::Listen(uint16_t port, const uint32_t* localAddress,
                         const QTransportId* transport) {
    Close();
    if (!OpenStream(transport)) return false;
    uint32_t bindAddress = localAddress ? *localAddress : htonl(INADDR_ANY);
    if (!m_stream->Bind(bindAddress, port) || !m_stream->Listen(m_stream->DefaultBacklog())) {
        m_lastError = m_stream->LastError();
        return Fail(Failure::kSocketError);
    }
    m_stream->LocalAddress(&m_localAddress, &m_localPort);
    if (!localAddress) m_localAddress = ChooseLocalAddress();
    m_listening = true;
    m_startTime = CachedSeconds();
    return true;
}

std::unique_ptr<QConnection> QConnection::Accept() {
    if (!m_stream || !m_listening) return nullptr;
    uint32_t address = 0;
    uint16_t port = 0;
    std::unique_ptr<QNetStream> stream = m_stream->Accept(&address, &port);
    if (!stream) return nullptr;
    auto c = std::make_unique<QConnection>();
    c->m_stream = std::move(stream);
    c->m_connected = true;
    c->m_through = true;
    c->m_targetAddress = address;
    c->m_targetPort = port;
    c->m_hostName = DottedAddress(address);
    c->m_stream->LocalAddress(&c->m_localAddress, &c->m_localPort);
    c->m_startTime = c->m_connectTime = CachedSeconds();
    return c;
}

void QConnection::SetReceiveBufferSize(int bytes) {
    if (bytes < 1 || bytes > 1048576) bytes = 8192;
    m_receiveBufferSize = bytes;
    if (m_stream) m_stream->SetReceiveBufferSize(bytes);
}

}  // namespace lf
