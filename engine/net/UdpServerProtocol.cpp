#include "engine/net/UdpServerProtocol.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include "engine/log/LogApi.h"

namespace lf {

uint32_t ReadBe32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

void WriteBe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

UdpIdentity MakeUdpIdentity(const uint8_t seed[8]) {
    UdpIdentity id{};
    std::memcpy(id.data(), seed, 8);
    if (id[0] == 0) id[0] = 1;
    if (id[1] == 0) id[1] = 2;
    std::memcpy(id.data() + 8, "UDP0", 4);
    return id;
}

bool IsEndpointIdentity(const uint8_t seed[8]) {
    return seed[0] == 0 && seed[1] == 0;
}

QUdpServerCore::QUdpServerCore(IUdpDatagramOut* out) : m_out(out) {
    const uint8_t zero[8] = {};
    SetIdentitySeed(zero);
}

void QUdpServerCore::SetIdentitySeed(const uint8_t seed[8]) {
    m_identity = MakeUdpIdentity(seed);
}

void QUdpServerCore::SetKeepaliveSeconds(int seconds) {
    m_timings.keepaliveMs = static_cast<uint64_t>(std::max(seconds, 10)) * 1000;
}

void QUdpServerCore::SetRendezvous(uint32_t addressNet, uint16_t port) {
    m_rendezvousAddress = addressNet;
    m_rendezvousPort = port;
}

void QUdpServerCore::SetLocal(uint32_t addressNet, uint16_t port) {
    m_localAddress = addressNet;
    m_localPort = port;
}

void QUdpServerCore::OnSocketOpened() {
    m_registerNow = true;
}

void QUdpServerCore::OnSocketFailed() {
    m_publicAddress = 0;
}

bool QUdpServerCore::ResolveDue(uint64_t nowMs) {
    if (m_resolveTried && nowMs - m_lastResolve < m_timings.resolveRetryMs) return false;
    m_resolveTried = true;
    m_lastResolve = nowMs;
    return true;
}

bool QUdpServerCore::SendToService(const std::vector<uint8_t>& bytes) {
    if (m_out == nullptr || m_rendezvousAddress == 0) return false;
    return m_out->SendDatagram(bytes.data(), bytes.size(), m_rendezvousAddress,
                               htons(m_rendezvousPort));
}

std::vector<uint8_t> QUdpServerCore::BuildRegistration(uint32_t sequence) const {
    std::vector<uint8_t> m(kRegistrationSize, 0);
    WriteBe32(m.data() + 12, kRendezvousRegister);
    std::memcpy(m.data() + 16, m_identity.data(), 12);
    WriteBe32(m.data() + 28, sequence);
    std::memcpy(m.data() + 32, &m_localAddress, 4);
    WriteBe32(m.data() + 36, m_localPort);
    return m;
}

std::vector<uint8_t> QUdpServerCore::BuildPunch(const UdpIdentity& target) const {
    std::vector<uint8_t> m(kPunchSize, 0);
    std::memcpy(m.data() + 20, target.data(), 12);
    m[32] = static_cast<uint8_t>(m_localPort >> 8);
    m[33] = static_cast<uint8_t>(m_localPort);
    std::memcpy(m.data() + 36, m_identity.data(), 12);
    return m;
}

void QUdpServerCore::Register(uint64_t nowMs) {
    ++m_sequence;
    SendToService(BuildRegistration(m_sequence));
    ++m_registrationsSent;
    m_registered = false;
    m_registerNow = false;
    m_lastRegistration = nowMs;
    m_lastKeepalive = nowMs;
}

void QUdpServerCore::RunTimers(uint64_t nowMs) {
    if (!m_timersStarted) {
        m_timersStarted = true;
        m_lastRetransmit = m_lastAck = m_lastConnectionTimer = m_lastKeepalive = nowMs;
        m_lastRegistration = nowMs;
    }
    if (nowMs - m_lastRetransmit >= m_timings.retransmitMs) {
        m_lastRetransmit = nowMs;
        m_lastAck = nowMs;
        if (m_sink != nullptr) {
            m_sink->OnRetransmitPass(nowMs);
            m_sink->OnAckPass(nowMs);
        }
    } else if (nowMs - m_lastAck >= m_timings.ackMs) {
        m_lastAck = nowMs;
        if (m_sink != nullptr) m_sink->OnAckPass(nowMs);
    }
    if (nowMs - m_lastConnectionTimer >= m_timings.connectionTimerMs) {
        m_lastConnectionTimer = nowMs;
        PunchPass();
        if (m_sink != nullptr) m_sink->OnTimerPass(nowMs);
    }
    if (m_registerNow || nowMs - m_lastRegistration >= m_timings.registrationMs) {
        Register(nowMs);
        if (m_pool != nullptr) m_pool->Trim();
    } else if (nowMs - m_lastKeepalive >= m_timings.keepaliveMs) {
        m_lastKeepalive = nowMs;
        if (IsBehindNat()) {
            static const std::vector<uint8_t> keepalive(kServiceAnswerSize, 0);
            SendToService(keepalive);
            ++m_keepalivesSent;
        }
        // No answer for a whole period: the service may have lost us.
        if (!m_registered) m_registerNow = true;
    }
    if (!m_queryBuffer.empty()) SendQueryBuffer();
}

void QUdpServerCore::SendQueryBuffer() {
    if (m_queryBuffer.empty() || m_rendezvousAddress == 0) return;
    SendToService(m_queryBuffer);
    m_queryBuffer.clear();
}

uint32_t QUdpServerCore::QueueQuery(uint32_t remoteAddressNet, const uint8_t identity[12]) {
    if (m_queryBuffer.size() + kQueryEntrySize > kQueryBufferLimit) SendQueryBuffer();
    // Still full (nowhere to send it yet): start over rather than overflow.
    if (m_queryBuffer.size() + kQueryEntrySize > kQueryBufferLimit) m_queryBuffer.clear();
    if (m_queryBuffer.empty()) {
        m_queryBuffer.assign(kQueryHeaderSize, 0);
        uint8_t* h = m_queryBuffer.data();
        WriteBe32(h + 12, kRendezvousQuery);
        std::memcpy(h + 16, m_identity.data(), 12);
        ++m_sequence;
        WriteBe32(h + 28, m_sequence);
        if (m_pending.size() >= kPendingQueryLimit) m_pending.clear();
        m_pending.push_back(m_sequence);
        std::memcpy(h + 32, &m_localAddress, 4);
        WriteBe32(h + 36, m_localPort);
        WriteBe32(h + 40, 1);
    }
    uint8_t entry[kQueryEntrySize] = {};
    std::memcpy(entry, &remoteAddressNet, 4);
    std::memcpy(entry + 8, identity, 8);
    m_queryBuffer.insert(m_queryBuffer.end(), entry, entry + kQueryEntrySize);
    uint8_t* h = m_queryBuffer.data();
    WriteBe32(h + 44, ReadBe32(h + 44) + 1);
    return ReadBe32(h + 28);
}

void QUdpServerCore::DropPunches(uint32_t addressNet, uint16_t port) {
    std::erase_if(m_punches, [&](const UdpPunchEntry& e) {
        return e.addressNet == addressNet && e.port == port;
    });
}

UdpDatagramKind QUdpServerCore::Dispatch(const uint8_t* data, size_t size, uint32_t fromAddressNet,
                                         uint16_t fromPort, uint64_t nowMs) {
    if (data == nullptr || size == 0) return UdpDatagramKind::kIgnored;
    // Bencoded messages of a hash table node; this engine runs none.
    if (size > 8 && data[0] == 'd') return UdpDatagramKind::kDroppedBencoded;
    const bool fromService = m_rendezvousAddress != 0 && fromAddressNet == m_rendezvousAddress;
    if (size == kServiceAnswerSize && fromService) {
        HandleServiceAnswer(data);
        return UdpDatagramKind::kServiceAnswer;
    }
    if (size < 32) return UdpDatagramKind::kIgnored;
    const int32_t w = static_cast<int32_t>(ReadBe32(data));
    if (size == kRelayNoticeSize && static_cast<uint32_t>(w) == kRelayNoticeWord && fromService &&
        IsBehindNat()) {
        HandleRelayNotice(data);
        return UdpDatagramKind::kRelayNotice;
    }
    if (w == 0 && size == kPunchSize) {
        static const uint8_t zeros[20] = {};
        if (std::memcmp(data, zeros, 20) == 0 &&
            std::memcmp(data + 20, m_identity.data(), 8) == 0) {
            HandlePunch(data, fromAddressNet, fromPort, nowMs);
            return UdpDatagramKind::kPunch;
        }
    }
    if (w > 0 && size >= 64) {
        if (m_sink != nullptr)
            m_sink->OnStreamDatagram(data, size, fromAddressNet, htons(fromPort), nowMs);
        return UdpDatagramKind::kStream;
    }
    if (w <= 0 && size >= kMinAnswerSize && fromService && HandleQueryAnswer(data, size, nowMs))
        return UdpDatagramKind::kQueryAnswer;
    return UdpDatagramKind::kIgnored;
}

void QUdpServerCore::HandleServiceAnswer(const uint8_t* data) {
    m_registered = true;
    uint32_t address;
    std::memcpy(&address, data, 4);
    if (address != 0 && address != 0xFFFFFFFFu) m_publicAddress = address;
    const uint32_t port = ReadBe32(data + 4);
    if (port >= 1 && port <= 65535) m_publicPort = static_cast<uint16_t>(port);
    // Behind a router that gave the socket another port: said once per
    // port. A router that keeps the port (or maps it once for every
    // destination) lets punches through; one that takes a new port for
    // each destination does not, and connections over UDP then fail.
    if (IsBehindNat() && m_publicPort != 0 && m_publicPort != m_localPort &&
        m_publicPort != m_mappedPortLogged) {
        m_mappedPortLogged = m_publicPort;
        in_addr a{};
        a.s_addr = m_publicAddress;
        EngineLog::Printf(22,
                          "UDP port %u appears as %s:%u: the router changes ports, hole punching "
                          "fails if it does so for each destination",
                          static_cast<unsigned>(m_localPort), inet_ntoa(a),
                          static_cast<unsigned>(m_publicPort));
    }
}

void QUdpServerCore::HandleRelayNotice(const uint8_t* data) {
    UdpIdentity who;
    std::memcpy(who.data(), data + 4, 12);
    uint32_t address;
    std::memcpy(&address, data + 20, 4);
    const uint32_t port = ReadBe32(data + 24);
    if (address == 0 || address == 0xFFFFFFFFu || port < 1 || port > 65535) return;
    for (UdpPunchEntry& e : m_punches) {
        if (e.addressNet == address && e.port == port) {
            // Already punching there: renew the repeats, send nothing now.
            e.identity = who;
            e.repeats = 1;
            return;
        }
    }
    const std::vector<uint8_t> punch = BuildPunch(who);
    if (m_out != nullptr) {
        m_out->SendDatagram(punch.data(), punch.size(), address,
                            htons(static_cast<uint16_t>(port)));
        ++m_punchesSent;
    }
    if (m_punches.size() < kPunchListLimit)
        m_punches.push_back({who, address, static_cast<uint16_t>(port), 1});
}

void QUdpServerCore::PunchPass() {
    for (size_t i = 0; i < m_punches.size();) {
        UdpPunchEntry& e = m_punches[i];
        const std::vector<uint8_t> punch = BuildPunch(e.identity);
        if (m_out == nullptr ||
            !m_out->SendDatagram(punch.data(), punch.size(), e.addressNet, htons(e.port)))
            break;  // the rest waits for the next pass
        ++m_punchesSent;
        if (e.repeats > 1) {
            m_punches.erase(m_punches.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++e.repeats;
            ++i;
        }
    }
}

void QUdpServerCore::HandlePunch(const uint8_t* data, uint32_t fromAddressNet, uint16_t fromPort,
                                 uint64_t nowMs) {
    if (m_sink != nullptr) m_sink->OnPunch(data, fromAddressNet, htons(fromPort), nowMs);
}

namespace {
bool IsAliasMarker(const uint8_t* entry) {
    return ReadBe32(entry + 4) == kAliasPort && IsEndpointIdentity(entry + 8);
}
}  // namespace

bool QUdpServerCore::HandleQueryAnswer(const uint8_t* data, size_t size, uint64_t nowMs) {
    if (ReadBe32(data + 12) != kRendezvousAnswer) return false;
    if (std::memcmp(data + 16, m_identity.data(), 12) != 0) return false;
    const uint32_t sequence = ReadBe32(data + 28);
    const auto pending = std::find(m_pending.begin(), m_pending.end(), sequence);
    if (pending == m_pending.end()) return false;
    // The count must fit the datagram; written as a division so that no
    // count, however large, wraps the check.
    const uint32_t count = ReadBe32(data + 44);
    if (count > (size - kQueryHeaderSize) / kQueryEntrySize) return false;
    m_pending.erase(pending);
    auto report = [&](const uint8_t* asked, const uint8_t* entry) {
        const uint32_t port = ReadBe32(entry + 4);
        if (port < 1 || port > 65535) return;
        uint32_t address;
        std::memcpy(&address, entry, 4);
        if (m_sink != nullptr)
            m_sink->OnQueryEntry(asked, address, htons(static_cast<uint16_t>(port)), entry + 8,
                                 nowMs);
    };
    const uint8_t* entries = data + kQueryHeaderSize;
    for (uint32_t i = 0; i < count;) {
        const uint8_t* e = entries + static_cast<size_t>(i) * kQueryEntrySize;
        if (IsAliasMarker(e)) {
            if (i + 1 >= count) break;
            const uint8_t* next = e + kQueryEntrySize;
            if (IsAliasMarker(next)) {
                ++i;
                continue;
            }
            report(e + 8, next);
            i += 2;
            continue;
        }
        report(e + 8, e);
        ++i;
    }
    if (m_sink != nullptr) m_sink->OnQueryDone(sequence, nowMs);
    return true;
}

// ---- packet buffer pool ----

QPacketBufferPool::~QPacketBufferPool() {
    for (uint8_t* b : m_free) delete[] b;
}

uint8_t* QPacketBufferPool::Acquire() {
    std::lock_guard<std::mutex> guard(m_lock);
    ++m_inUse;
    if (!m_free.empty()) {
        uint8_t* b = m_free.back();
        m_free.pop_back();
        return b;
    }
    return new uint8_t[m_bufferBytes];
}

void QPacketBufferPool::Release(uint8_t* buffer) {
    if (buffer == nullptr) return;
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_inUse > 0) --m_inUse;
    m_free.push_back(buffer);
}

bool QPacketBufferPool::TrimKeeps(size_t inUse, size_t freeCount, size_t bufferBytes,
                                  size_t* keep) {
    const uint64_t used = static_cast<uint64_t>(inUse) * bufferBytes;
    const uint64_t total = static_cast<uint64_t>(inUse + freeCount) * bufferBytes;
    if (total <= 2048ull * 1024 || used * 100 > total * 35) return false;
    *keep = bufferBytes == 0 ? 0 : static_cast<size_t>(used / 5 / bufferBytes);
    return true;
}

size_t QPacketBufferPool::Trim() {
    std::unique_lock<std::mutex> guard(m_lock, std::try_to_lock);
    if (!guard.owns_lock()) return 0;
    size_t keep = 0;
    if (!TrimKeeps(m_inUse, m_free.size(), m_bufferBytes, &keep) || keep >= m_free.size()) return 0;
    const size_t released = m_free.size() - keep;
    for (size_t i = keep; i < m_free.size(); ++i) delete[] m_free[i];
    m_free.resize(keep);
    return released;
}

}  // namespace lf
