#include "engine/net/UdpStreamEndpoint.h"

#include <arpa/inet.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace lf {

namespace {

uint32_t Get32(const uint8_t* p, size_t offset) {
    p += offset;
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void Put32(uint8_t* p, size_t offset, uint32_t v) {
    p += offset;
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// a after b in 32-bit serial order.
bool After(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a - b) > 0;
}

// Milliseconds from `then` to `now`; 0 when `then` is later (the operations
// and the passes may read the clock a little apart).
uint64_t Elapsed(uint64_t now, uint64_t then) {
    return now > then ? now - then : 0;
}

constexpr uint64_t kAckIntervalMs = 1200;
constexpr uint64_t kAckRefreshMs = 11999;
constexpr int kMaxRetries = 128;
constexpr uint64_t kStatsPeriodMs = 120000;
constexpr uint64_t kQueryRepeatMs = 3000;
constexpr int kMaxIncomingLimit = 4096;
// Early repair of a lost data packet. An acknowledgement that holds a later
// packet but not this one shows it missing; the packet goes again at once,
// and again after each repair interval while it stays missing, at most
// kMaxRepairs times before the retry timer takes over. The interval follows
// the measured delay from a send to its acknowledgement (which includes the
// peer's 20 ms acknowledgement pass).
constexpr int kMaxRepairs = 3;
constexpr uint64_t kRepairIntervalUnmeasuredMs = 200;
constexpr uint64_t kRepairIntervalMinMs = 80;
constexpr uint64_t kRepairIntervalMaxMs = 800;

}  // namespace

uint32_t UdpPacketChecksum(uint32_t key, const uint8_t* packet, size_t size) {
    if (size < 32) return key;
    return static_cast<uint32_t>(adler32(key, packet + 32, static_cast<uInt>(size - 32)));
}

int UdpWindowForLoss(int loss) {
    int w = (1260 - 12 * loss) / 100;
    return std::clamp(w, 0, kUdpSlots);
}

int UdpPayloadForLoss(int loss) {
    return loss <= 30 ? kUdpLargePayload : kUdpSmallPayload;
}

struct UdpStreamEndpoint::Record {
    List list = List::kActive;
    uint64_t serial = 0;
    std::array<uint8_t, 12> remoteIdentity{};
    int state = kUdpNew;
    uint32_t key = 0;
    uint32_t nonce = 0;
    uint32_t remoteKey = 0;
    uint32_t remoteIp = 0;
    uint16_t remotePort = 0;
    uint32_t portView = 0;     // incoming: the port the remote addressed us at
    uint32_t requestPort = 0;  // outgoing: the port value our requests carried
    uint32_t virtualPort = 0;
    bool hasQuery = false;
    uint32_t querySequence = 0;
    uint32_t sendCounter = 0;
    uint32_t lastSequence = 0;
    uint64_t stateTimerMs = 0;
    uint64_t queryTimeMs = 0;
    bool incoming = false;
    bool connected = false;
    bool closedByPeer = false;
    uint32_t sendBase = 0;
    int sendCount = 0;
    std::array<SendSlot, kUdpSlots> slots;
    std::array<bool, kUdpSlots> filled{};
    uint32_t sentEnd = 0;  // one past the highest packet number ever sent
    uint32_t nextExpected = 0;
    uint32_t remoteSendBase = 0;
    std::array<Payload, kUdpSlots> reorder;
    std::deque<Payload> delivery;
    uint64_t lastAckMs = 0;
    bool ackSoon = true;
    bool dataSinceAck = false;  // a data packet arrived since the last acknowledgement
    uint32_t packetsSent = 0;
    uint32_t retransmissions = 0;
    uint64_t statsStartMs = 0;
    uint32_t bytesAcknowledged = 0;
    uint32_t bytesReceived = 0;
    uint32_t repairs = 0;
    uint32_t ackDelayMs = 0;  // smoothed, 0 before the first sample
    // The latest send sequence among the data packets acknowledged.
    uint32_t ackedSendSequence = 0;
    uint64_t lastAckInMs = 0;  // when an acknowledgement last arrived

    void FreeSend() {
        for (auto& s : slots) s = SendSlot{};
        filled.fill(false);
        sendCount = 0;
    }
    void FreeReceive() {
        for (auto& p : reorder) p = Payload{};
        delivery.clear();
    }
    void Reset() { *this = Record{}; }
};

UdpStreamEndpoint::UdpStreamEndpoint(UdpStreamConfig config, IUdpDatagramOut* out,
                                     IUdpRendezvous* rendezvous, std::recursive_mutex* sharedLock)
    : m_config(std::move(config)),
      m_out(out),
      m_rendezvous(rendezvous),
      m_lock(sharedLock ? sharedLock : &m_ownLock),
      m_nextKey(m_config.firstKey) {
    if (m_config.timeoutSeconds <= 0) m_config.timeoutSeconds = 30;
    std::memcpy(m_identity.data(), m_config.seed.data(), 8);
    std::memcpy(m_identity.data() + 8, "UDP0", 4);
}

UdpStreamEndpoint::~UdpStreamEndpoint() = default;

uint64_t UdpStreamEndpoint::Now() const {
    if (m_config.clock) return m_config.clock();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

void UdpStreamEndpoint::Fail(int* error, int code) const {
    if (error) *error = code;
}

uint32_t UdpStreamEndpoint::NextKey() {
    for (;;) {
        uint32_t k = m_nextKey++;
        if (k != 0 && m_records.count(k) == 0) return k;
    }
}

UdpStreamEndpoint::Record* UdpStreamEndpoint::TakeRecord(uint64_t nowMs) {
    std::unique_ptr<Record> r;
    bool reused = false;
    if (!m_pool.empty()) {
        r = std::move(m_pool.back());
        m_pool.pop_back();
        r->Reset();
        reused = true;
    } else {
        r = std::make_unique<Record>();
    }
    r->key = NextKey();
    r->serial = ++m_serial;
    r->nonce = static_cast<uint32_t>(nowMs) + (reused ? 1 : 0);
    if (r->nonce == 0) r->nonce = 1;
    r->statsStartMs = nowMs;
    Record* p = r.get();
    m_records[p->key] = std::move(r);
    return p;
}

void UdpStreamEndpoint::ReleaseRecord(uint32_t key) {
    auto it = m_records.find(key);
    if (it == m_records.end()) return;
    std::unique_ptr<Record> r = std::move(it->second);
    m_records.erase(it);
    if (m_pool.size() < kUdpFreeRecordPool) {
        r->Reset();
        m_pool.push_back(std::move(r));
    }
}

UdpStreamEndpoint::Record* UdpStreamEndpoint::Find(UdpHandle h) {
    auto it = m_records.find(h);
    if (it == m_records.end() || it->second->list == List::kIncoming) return nullptr;
    return it->second.get();
}

UdpStreamEndpoint::Record* UdpStreamEndpoint::FindIn(uint32_t key, List list) {
    auto it = m_records.find(key);
    if (it == m_records.end() || it->second->list != list) return nullptr;
    return it->second.get();
}

// ---- packets ----

void UdpStreamEndpoint::FillHeader(std::vector<uint8_t>& p, uint32_t key, uint32_t sequence,
                                   uint32_t type, const uint8_t* receiverIdentity) {
    Put32(p.data(), 0, static_cast<uint32_t>(p.size()));
    Put32(p.data(), 8, key);
    Put32(p.data(), 12, sequence);
    Put32(p.data(), 16, type);
    std::memcpy(p.data() + 20, receiverIdentity, 12);
    Put32(p.data(), 4, UdpPacketChecksum(key, p.data(), p.size()));
}

bool UdpStreamEndpoint::Transmit(Record& r, std::vector<uint8_t>& p, uint32_t /*key*/) {
    if (!m_out || r.remoteIp == 0 || r.remotePort == 0) return false;
    return m_out->SendDatagram(p.data(), p.size(), r.remoteIp, htons(r.remotePort));
}

// A control packet: key and sequence by type, then `times` copies.
bool UdpStreamEndpoint::SendControl(Record& r, uint32_t type, const std::vector<uint8_t>& body,
                                    int times) {
    std::vector<uint8_t> p = body;
    uint32_t key = (type == kUdpRequest || type == kUdpRequestAnswer) ? r.key : r.remoteKey;
    uint32_t sequence = static_cast<int32_t>(type) >= 0 ? ++r.sendCounter : r.lastSequence;
    FillHeader(p, key, sequence, type, r.remoteIdentity.data());
    bool ok = true;
    for (int i = 0; i < times; ++i) ok = Transmit(r, p, key) && ok;
    return ok;
}

void UdpStreamEndpoint::SendRequest(Record& r) {
    std::vector<uint8_t> b(kUdpHeaderSize, 0);
    r.requestPort = r.remotePort;
    Put32(b.data(), 32, r.remotePort);
    std::memcpy(b.data() + 36, m_identity.data(), 12);
    Put32(b.data(), 48, r.virtualPort);
    Put32(b.data(), 60, r.nonce);
    SendControl(r, kUdpRequest, b, 2);
}

void UdpStreamEndpoint::SendAnswer(Record& r) {
    std::vector<uint8_t> b(kUdpHeaderSize, 0);
    Put32(b.data(), 32, r.portView);
    std::memcpy(b.data() + 36, r.remoteIdentity.data(), 12);
    Put32(b.data(), 48, r.virtualPort);
    Put32(b.data(), 56, r.nonce);
    Put32(b.data(), 60, r.remoteKey);
    SendControl(r, kUdpRequestAnswer, b, 2);
}

void UdpStreamEndpoint::SendConfirm(Record& r) {
    std::vector<uint8_t> b(kUdpHeaderSize, 0);
    Put32(b.data(), 32, r.nonce);
    SendControl(r, kUdpAnswerConfirm, b, 2);
}

void UdpStreamEndpoint::SendKeepalive(Record& r) {
    std::vector<uint8_t> b(kUdpHeaderSize, 0);
    Put32(b.data(), 32, r.virtualPort);
    SendControl(r, kUdpKeepalive, b, 1);
}

void UdpStreamEndpoint::SendClose(Record& r) {
    std::vector<uint8_t> b(kUdpHeaderSize, 0);
    Put32(b.data(), 32, r.virtualPort);
    Put32(b.data(), 36, r.key);
    Put32(b.data(), 40, r.nonce);
    SendControl(r, kUdpClose, b, 2);
}

bool UdpStreamEndpoint::SendDataSlot(Record& r, SendSlot& s, uint64_t /*nowMs*/) {
    std::vector<uint8_t> p(kUdpHeaderSize + s.bytes.size(), 0);
    Put32(p.data(), 32, static_cast<uint32_t>(s.bytes.size()));
    Put32(p.data(), 36, s.number);
    if (!s.bytes.empty()) std::memcpy(p.data() + kUdpHeaderSize, s.bytes.data(), s.bytes.size());
    FillHeader(p, r.remoteKey, ++r.sendCounter, kUdpData, r.remoteIdentity.data());
    if (!Transmit(r, p, r.remoteKey)) return false;
    s.lastSendSequence = r.sendCounter;
    if (After(s.number + 1, r.sentEnd)) r.sentEnd = s.number + 1;
    return true;
}

bool UdpStreamEndpoint::SendAck(Record& r, int held, uint64_t /*nowMs*/) {
    std::vector<uint8_t> b(kUdpHeaderSize, 0);
    Put32(b.data(), 32, r.sendBase);
    Put32(b.data(), 36, r.nextExpected);
    for (int k = 0; k < kUdpSlots; ++k) b[40 + k] = r.reorder[k].present ? 1 : 0;
    return SendControl(r, kUdpAck, b, held >= 2 ? 2 : 1);
}

void UdpStreamEndpoint::SendRefusal(const uint8_t* request, uint32_t ip, uint16_t port) {
    if (!m_out) return;
    std::vector<uint8_t> p(kUdpHeaderSize, 0);
    std::memcpy(p.data() + 32, request + 32, 32);
    FillHeader(p, Get32(request, 8), Get32(request, 12), kUdpRefusal, request + 36);
    m_out->SendDatagram(p.data(), p.size(), ip, htons(port));
}

// ---- received packets ----

void UdpStreamEndpoint::OnStreamDatagram(const uint8_t* data, size_t size, uint32_t fromAddressNet,
                                         uint16_t fromPortNet, uint64_t nowMs) {
    std::lock_guard<std::recursive_mutex> g(*m_lock);
    if (!data || size < kUdpHeaderSize || size > 8192) return;
    if (Get32(data, 0) != size) return;
    if (std::memcmp(data + 20, m_identity.data(), 8) != 0) return;
    uint32_t key = Get32(data, 8);
    if (key == 0) return;
    if (Get32(data, 4) != UdpPacketChecksum(key, data, size)) return;
    if (m_suspended) return;
    uint16_t port = ntohs(fromPortNet);
    switch (Get32(data, 16)) {
        case kUdpData:
            HandleData(data, size, fromAddressNet, port, nowMs);
            break;
        case kUdpAck:
            HandleAck(data, fromAddressNet, port, nowMs);
            break;
        case kUdpRequest:
            HandleRequest(data, fromAddressNet, port, nowMs);
            break;
        case kUdpRequestAnswer:
            HandleAnswer(data, fromAddressNet, port, nowMs);
            break;
        case kUdpAnswerConfirm:
            HandleConfirm(data, fromAddressNet, port, nowMs);
            break;
        case kUdpKeepalive:
            HandleKeepalive(data, fromAddressNet, port, nowMs);
            break;
        case kUdpClose:
            HandleClose(data, fromAddressNet, nowMs);
            break;
        case kUdpRefusal:
            HandleRefusal(data, fromAddressNet);
            break;
        case kUdpPacketAck:
            HandlePacketAck(data, fromAddressNet, port, nowMs);
            break;
        default:
            break;
    }
    Notify();
}

void UdpStreamEndpoint::HandleData(const uint8_t* p, size_t size, uint32_t ip, uint16_t port,
                                   uint64_t nowMs) {
    Record* r = FindIn(Get32(p, 8), List::kActive);
    if (!r || r->state != kUdpEstablished || r->remoteIp != ip || r->remotePort != port) return;
    uint32_t length = Get32(p, 32);
    // No sender cuts more than the large payload; a larger
    // length is hostile and would only cost memory.
    if (length > static_cast<uint32_t>(kUdpLargePayload) || size != length + kUdpHeaderSize) return;
    uint32_t number = Get32(p, 36);
    int32_t d = static_cast<int32_t>(number - r->nextExpected);
    if (d > kUdpSlots - 1) {
        MoveInOrder(*r);
        d = static_cast<int32_t>(number - r->nextExpected);
        if (d > kUdpSlots - 1) return;
    }
    if (d >= 0 && !r->reorder[d].present) {
        Payload& slot = r->reorder[d];
        slot.bytes.assign(p + kUdpHeaderSize, p + size);
        slot.number = number;
        slot.readOffset = 0;
        slot.present = true;
        r->bytesReceived += length;
    }
    r->stateTimerMs = nowMs;
    r->ackSoon = true;
    r->dataSinceAck = true;
}

void UdpStreamEndpoint::HandleAck(const uint8_t* p, uint32_t ip, uint16_t port, uint64_t nowMs) {
    Record* r = FindIn(Get32(p, 8), List::kActive);
    if (!r || r->state != kUdpEstablished || r->remoteIp != ip || r->remotePort != port) return;
    uint32_t next = Get32(p, 36);
    // An acknowledgement that claims packets this side never sent is not
    // believed: it would free queued data that never left.
    if (After(next, r->sentEnd)) return;
    uint32_t remoteBase = Get32(p, 32);
    if (After(remoteBase, r->remoteSendBase)) r->remoteSendBase = remoteBase;
    for (int i = 0; i < r->sendCount; ++i) {
        if (!r->filled[i]) continue;
        SendSlot& s = r->slots[i];
        if (!s.everSent) continue;
        int32_t k = static_cast<int32_t>(r->sendBase + static_cast<uint32_t>(i) - next);
        if (k < 0 || (k < kUdpSlots && p[40 + k] != 0)) {
            if (!s.sentAgain) {
                // The delay of a packet sent once, smoothed by 1/8.
                uint64_t sample = std::min<uint64_t>(Elapsed(nowMs, s.lastSendMs), 60000);
                r->ackDelayMs =
                    r->ackDelayMs == 0
                        ? static_cast<uint32_t>(std::max<uint64_t>(sample, 1))
                        : static_cast<uint32_t>((uint64_t{r->ackDelayMs} * 7 + sample) / 8);
            }
            if (After(s.lastSendSequence, r->ackedSendSequence))
                r->ackedSendSequence = s.lastSendSequence;
            r->bytesAcknowledged += static_cast<uint32_t>(s.bytes.size());
            s = SendSlot{};
            r->filled[i] = false;
        }
    }
    // A packet that the remote lacks, although it holds one that left
    // after it, was lost (or overtaken on the way).
    for (int i = 0; i < r->sendCount; ++i) {
        SendSlot& s = r->slots[i];
        if (!r->filled[i] || !s.everSent) continue;
        int32_t k = static_cast<int32_t>(r->sendBase + static_cast<uint32_t>(i) - next);
        if (k >= 0 && k < kUdpSlots && After(r->ackedSendSequence, s.lastSendSequence))
            s.missing = true;
    }
    SlideSendWindow(*r);
    r->stateTimerMs = nowMs;
    r->lastAckInMs = nowMs;
    RepairHoles(*r, nowMs);
}

uint64_t UdpStreamEndpoint::RepairIntervalMs(const Record& r) {
    if (r.ackDelayMs == 0) return kRepairIntervalUnmeasuredMs;
    return std::clamp<uint64_t>(2 * uint64_t{r.ackDelayMs} + 40, kRepairIntervalMinMs,
                                kRepairIntervalMaxMs);
}

bool UdpStreamEndpoint::RepairHoles(Record& r, uint64_t nowMs) {
    const uint64_t interval = RepairIntervalMs(r);
    bool first = true;
    for (int i = 0; i < r.sendCount; ++i) {
        if (!r.filled[i]) continue;
        SendSlot& s = r.slots[i];
        if (!s.everSent || s.repairs >= kMaxRepairs) continue;
        // The oldest packet also goes again when the remote has been silent
        // for longer than it needs to answer, and so long since the packet
        // left: the acknowledgements were lost, or the packet was lost with
        // nothing after it. The remote acknowledges even a copy it has.
        const uint64_t quiet = 2 * interval + 40;
        bool probe = first && Elapsed(nowMs, s.lastSendMs) >= quiet &&
                     Elapsed(nowMs, r.lastAckInMs) >= quiet;
        first = false;
        if (!s.missing && !probe) continue;
        // The first repair goes at once; a repeated one only when the last
        // copy had time to be acknowledged (an older or doubled
        // acknowledgement brings no resend).
        if (!probe && s.repairs > 0 && Elapsed(nowMs, s.lastSendMs) < interval) continue;
        if (s.repairs == 0 && s.lastSendMs == nowMs) continue;
        if (!SendDataSlot(r, s, nowMs)) return false;
        ++s.repairs;
        s.sentAgain = true;
        s.lastSendMs = nowMs;
        ++r.repairs;
        ++r.retransmissions;
        ++r.packetsSent;
    }
    return true;
}

void UdpStreamEndpoint::HandlePacketAck(const uint8_t* p, uint32_t ip, uint16_t port,
                                        uint64_t nowMs) {
    Record* r = FindIn(Get32(p, 8), List::kActive);
    if (!r || r->state != kUdpEstablished || r->remoteIp != ip || r->remotePort != port) return;
    uint32_t length = Get32(p, 32);
    uint32_t number = Get32(p, 36);
    uint32_t i = number - r->sendBase;
    if (i < static_cast<uint32_t>(r->sendCount) && r->filled[i]) {
        SendSlot& s = r->slots[i];
        if (s.everSent && s.number == number && s.bytes.size() == length) {
            r->bytesAcknowledged += length;
            s = SendSlot{};
            r->filled[i] = false;
            SlideSendWindow(*r);
        }
    }
    r->stateTimerMs = nowMs;
}

void UdpStreamEndpoint::HandleRequest(const uint8_t* p, uint32_t ip, uint16_t port,
                                      uint64_t nowMs) {
    uint32_t portField = Get32(p, 32);
    uint32_t virtualPort = Get32(p, 48);
    if (portField == 0 || virtualPort == 0) return;
    if (m_rendezvous) m_rendezvous->DropPunches(ip, htons(port));
    uint32_t remoteKey = Get32(p, 8);
    uint32_t sequence = Get32(p, 12);
    uint32_t nonce = Get32(p, 60);
    auto matches = [&](const Record& r) {
        return r.state != kUdpClosed && r.remoteIp == ip && r.remotePort == port &&
               r.remoteKey == remoteKey && r.virtualPort == virtualPort &&
               std::memcmp(r.remoteIdentity.data(), p + 36, 8) == 0;
    };
    for (;;) {
        Record* match = nullptr;
        for (auto& [key, r] : m_records)
            if (r->list == List::kIncoming && matches(*r)) {
                match = r.get();
                break;
            }
        if (!match)
            for (auto& [key, r] : m_records)
                if (r->list == List::kActive && r->incoming && r->state == kUdpEstablished &&
                    matches(*r)) {
                    match = r.get();
                    break;
                }
        if (!match) break;
        if (nonce == match->nonce || nonce == 0) {
            bool pendingIncoming =
                match->list == List::kIncoming && match->state == kUdpRequestReceived;
            if (After(sequence, match->lastSequence) && !pendingIncoming) {
                match->lastSequence = sequence;
                SendAnswer(*match);
            }
            return;
        }
        bool newer = nonce > match->nonce || match->nonce - nonce > 0xFFFFFFu;
        if (!newer) return;
        CloseRecord(*match, false);
    }
    Record* listener = nullptr;
    for (auto& [key, r] : m_records)
        if (r->list == List::kBound && r->state == kUdpListening && r->virtualPort == virtualPort) {
            listener = r.get();
            break;
        }
    if (!listener || IncomingRecords() >= static_cast<size_t>(m_incomingLimit)) {
        SendRefusal(p, ip, port);
        return;
    }
    Record* r = TakeRecord(nowMs);
    r->list = List::kIncoming;
    r->incoming = true;
    r->state = kUdpRequestReceived;
    r->remoteIp = ip;
    r->remotePort = port;
    r->remoteKey = remoteKey;
    r->lastSequence = sequence;
    r->portView = portField;
    r->virtualPort = virtualPort;
    r->nonce = nonce;
    std::memcpy(r->remoteIdentity.data(), p + 36, 12);
    r->stateTimerMs = nowMs;
    SendAnswer(*r);
}

void UdpStreamEndpoint::HandleAnswer(const uint8_t* p, uint32_t ip, uint16_t port, uint64_t nowMs) {
    Record* r = FindIn(Get32(p, 60), List::kActive);
    if (!r || r->incoming) return;
    uint32_t key = Get32(p, 8);
    uint32_t sequence = Get32(p, 12);
    if (Get32(p, 48) != r->virtualPort || ip != r->remoteIp || Get32(p, 32) != r->requestPort)
        return;
    if (!After(sequence, r->lastSequence)) return;
    if (r->remoteKey != 0 && r->remoteKey != key) return;
    if (std::memcmp(p + 36, m_identity.data(), 8) != 0) return;
    if (r->state != kUdpRequesting && r->state != kUdpEstablished) return;
    uint32_t nonce = Get32(p, 56);
    if (nonce != r->nonce && nonce != 0) return;
    r->remotePort = port;
    r->remoteKey = key;
    r->lastSequence = sequence;
    r->stateTimerMs = nowMs;
    r->state = kUdpEstablished;
    r->connected = true;
    SendConfirm(*r);
}

void UdpStreamEndpoint::HandleConfirm(const uint8_t* p, uint32_t ip, uint16_t port,
                                      uint64_t nowMs) {
    Record* r = FindIn(Get32(p, 8), List::kIncoming);
    if (!r || r->state != kUdpRequestReceived || !r->incoming || r->remoteIp != ip) return;
    if (static_cast<int32_t>(r->sendCounter - Get32(p, 12)) < 0) return;
    uint32_t nonce = Get32(p, 32);
    if (nonce != r->nonce && nonce != 0) return;
    r->remotePort = port;
    r->stateTimerMs = nowMs;
    r->state = kUdpEstablished;
    r->connected = true;
}

void UdpStreamEndpoint::HandleKeepalive(const uint8_t* p, uint32_t ip, uint16_t port,
                                        uint64_t nowMs) {
    Record* r = FindIn(Get32(p, 8), List::kActive);
    if (!r || r->state != kUdpEstablished || r->remoteIp != ip) return;
    if (Get32(p, 32) != r->virtualPort) return;
    r->remotePort = port;
    r->stateTimerMs = nowMs;
}

void UdpStreamEndpoint::HandleClose(const uint8_t* p, uint32_t ip, uint64_t /*nowMs*/) {
    Record* r = FindIn(Get32(p, 8), List::kActive);
    if (!r || r->state != kUdpEstablished || r->remoteIp != ip) return;
    if (Get32(p, 32) != r->virtualPort) return;
    uint32_t nonce = Get32(p, 40);
    if (nonce != r->nonce && nonce != 0) return;
    uint32_t key = Get32(p, 36);
    if (key != 0 && key != r->remoteKey) return;
    r->closedByPeer = true;
    // What already arrived in order stays readable: the peer sent it before
    // it closed.
    CloseRecord(*r, true);
}

void UdpStreamEndpoint::HandleRefusal(const uint8_t* p, uint32_t ip) {
    Record* r = FindIn(Get32(p, 8), List::kActive);
    if (!r || r->state != kUdpRequesting || r->remoteIp != ip) return;
    if (Get32(p, 32) != r->requestPort || Get32(p, 48) != r->virtualPort) return;
    CloseRecord(*r, false);
}

// ---- rendezvous results ----

void UdpStreamEndpoint::OnQueryEntry(const uint8_t* askedSeed, uint32_t addressNet,
                                     uint16_t portNet, const uint8_t* seed, uint64_t nowMs) {
    std::lock_guard<std::recursive_mutex> g(*m_lock);
    if (!askedSeed || !seed || addressNet == 0 || portNet == 0) return;
    for (auto& [key, r] : m_records) {
        if (r->list != List::kActive || r->state != kUdpQuerying) continue;
        if (std::memcmp(r->remoteIdentity.data(), askedSeed, 8) != 0) continue;
        r->remoteIp = addressNet;
        r->remotePort = ntohs(portNet);
        std::memcpy(r->remoteIdentity.data(), seed, 8);
        r->state = kUdpRequesting;
        r->hasQuery = false;
        (void)nowMs;
    }
    Notify();
}

void UdpStreamEndpoint::OnQueryDone(uint32_t sequence, uint64_t /*nowMs*/) {
    std::lock_guard<std::recursive_mutex> g(*m_lock);
    for (auto& [key, r] : m_records)
        if (r->list == List::kActive && r->state == kUdpQuerying && r->hasQuery &&
            r->querySequence == sequence)
            CloseRecord(*r, false);
    Notify();
}

void UdpStreamEndpoint::OnPunch(const uint8_t* punch, uint32_t fromAddressNet, uint16_t fromPortNet,
                                uint64_t /*nowMs*/) {
    std::lock_guard<std::recursive_mutex> g(*m_lock);
    if (!punch || fromPortNet == 0) return;
    for (auto& [key, r] : m_records) {
        if (r->list != List::kActive || r->remoteIp != fromAddressNet) continue;
        if (r->state != kUdpQuerying && r->state != kUdpRequesting) continue;
        const uint8_t* id = r->remoteIdentity.data();
        if (r->state == kUdpQuerying && id[0] == 0 && id[1] == 0 &&
            std::memcmp(id + 2, &fromAddressNet, 4) == 0 && std::memcmp(id + 6, punch + 32, 2) == 0)
            std::memcpy(r->remoteIdentity.data(), punch + 36, 8);
        if (std::memcmp(r->remoteIdentity.data(), punch + 36, 8) == 0) {
            r->remotePort = ntohs(fromPortNet);
            r->state = kUdpRequesting;
            r->hasQuery = false;
            SendRequest(*r);
        }
    }
    Notify();
}

void UdpStreamEndpoint::SetSuspended(bool suspended) {
    std::lock_guard<std::recursive_mutex> g(*m_lock);
    m_suspended = suspended;
    Notify();
}

void UdpStreamEndpoint::SetServiceRunning(bool running) {
    std::lock_guard<std::recursive_mutex> g(*m_lock);
    m_running = running;
}

// ---- records ----

int UdpStreamEndpoint::Loss(const Record& r) {
    if (r.packetsSent <= 23) return 50;
    return static_cast<int>(uint64_t{r.retransmissions} * 100 / r.packetsSent);
}

void UdpStreamEndpoint::CloseRecord(Record& r, bool keepReceived) {
    r.state = kUdpClosed;
    r.FreeSend();
    if (!keepReceived) r.FreeReceive();
    Notify();
}

void UdpStreamEndpoint::SlideSendWindow(Record& r) {
    int drop = 0;
    while (drop < r.sendCount && !r.filled[drop]) ++drop;
    if (drop == 0) return;
    for (int i = drop; i < r.sendCount; ++i) {
        r.slots[i - drop] = std::move(r.slots[i]);
        r.filled[i - drop] = r.filled[i];
    }
    for (int i = r.sendCount - drop; i < r.sendCount; ++i) {
        r.slots[i] = SendSlot{};
        r.filled[i] = false;
    }
    r.sendCount -= drop;
    r.sendBase += static_cast<uint32_t>(drop);
}

void UdpStreamEndpoint::ShiftReorder(Record& r, int count) {
    for (int i = 0; i < kUdpSlots; ++i) {
        if (i + count < kUdpSlots)
            r.reorder[i] = std::move(r.reorder[i + count]);
        else
            r.reorder[i] = Payload{};
    }
}

int UdpStreamEndpoint::MoveInOrder(Record& r) {
    int moved = 0;
    while (moved < kUdpSlots && r.reorder[moved].present && r.delivery.size() < kUdpSlots) {
        r.nextExpected = r.reorder[moved].number + 1;
        r.delivery.push_back(std::move(r.reorder[moved]));
        ++moved;
    }
    if (moved > 0) ShiftReorder(r, moved);
    return moved;
}

bool UdpStreamEndpoint::HasData(const Record& r) const {
    return !r.delivery.empty() || r.reorder[0].present;
}

bool UdpStreamEndpoint::Readable(const Record& r) {
    if (r.state == kUdpClosed) return true;
    if (r.state == kUdpEstablished && r.connected && r.list == List::kActive) return HasData(r);
    if (r.state == kUdpListening) {
        for (auto& [key, o] : m_records)
            if (o->list == List::kIncoming && o->state == kUdpEstablished &&
                o->virtualPort == r.virtualPort)
                return true;
    }
    return false;
}

bool UdpStreamEndpoint::Writable(const Record& r) const {
    if (r.state == kUdpClosed) return true;
    return r.state == kUdpEstablished && r.connected && (r.sendCount < kUdpSlots || !r.filled[0]);
}

void UdpStreamEndpoint::Notify() {
    m_changed.notify_all();
}

// ---- passes ----

void UdpStreamEndpoint::OnAckPass(uint64_t nowMs) {
    std::lock_guard<std::recursive_mutex> g(*m_lock);
    if (m_suspended) return;
    for (auto& [key, rp] : m_records) {
        Record& r = *rp;
        if (r.list != List::kActive || r.state != kUdpEstablished) continue;
        if (!r.ackSoon && Elapsed(nowMs, r.lastAckMs) < kAckIntervalMs) continue;
        int held = 0;
        for (auto& s : r.reorder) held += s.present ? 1 : 0;
        MoveInOrder(r);
        SlideSendWindow(r);
        if (held == 0 && r.nextExpected == r.remoteSendBase && !r.ackSoon &&
            Elapsed(nowMs, r.lastAckMs) <= kAckRefreshMs)
            continue;
        // An acknowledgement of new arrivals goes twice, like one that
        // reports held packets: the reader usually takes packets before the
        // pass counts them, and a single lost copy would leave the sender
        // waiting until the 1200 ms refresh.
        if (!SendAck(r, r.dataSinceAck ? std::max(held, 2) : held, nowMs)) break;
        r.lastAckMs = nowMs;
        r.ackSoon = false;
        r.dataSinceAck = false;
    }
    Notify();
}

void UdpStreamEndpoint::OnRetransmitPass(uint64_t nowMs) {
    {
        std::lock_guard<std::recursive_mutex> g(*m_lock);
        if (m_suspended) return;
        bool blocked = false;
        for (auto& [key, rp] : m_records) {
            Record& r = *rp;
            if (r.list != List::kActive || r.state != kUdpEstablished || r.sendCount == 0) continue;
            int window = UdpWindowForLoss(Loss(r));
            int n = window / 2 + 2;
            int m = Loss(r) > 19 ? 2 : n;
            int seenFilled = 0, seenSent = 0, resent = 0;
            for (int i = 0; i < r.sendCount; ++i) {
                if (!r.filled[i]) continue;
                if (seenFilled >= n) break;
                ++seenFilled;
                SendSlot& s = r.slots[i];
                bool wasSent = s.everSent;
                if (wasSent) {
                    if (seenSent >= m) break;
                    ++seenSent;
                }
                if (s.retries > kMaxRetries) {
                    CloseRecord(r, false);
                    break;
                }
                uint64_t due = 1600 + 800 * static_cast<uint64_t>(s.retries);
                if (s.sendTick != 0 && Elapsed(nowMs, s.sendTick) <= due) continue;
                if (!SendDataSlot(r, s, nowMs)) {
                    blocked = true;
                    break;
                }
                if (wasSent) ++r.retransmissions;
                ++r.packetsSent;
                ++s.retries;
                s.sendTick = nowMs;
                s.sentAgain = s.sentAgain || wasSent;
                s.lastSendMs = nowMs;
                s.everSent = true;
                s.missing = false;
                s.repairs = 0;
                if (s.retries > 1) break;
                if (wasSent && ++resent >= m) break;
            }
            if (blocked) break;
            if (r.state == kUdpEstablished && !RepairHoles(r, nowMs)) break;
        }
    }
    OnAckPass(nowMs);
}

void UdpStreamEndpoint::OnTimerPass(uint64_t nowMs) {
    std::lock_guard<std::recursive_mutex> g(*m_lock);
    if (m_suspended) return;
    auto idleSeconds = [&](const Record& r) {
        return Elapsed(nowMs / 1000, r.stateTimerMs / 1000);
    };
    const uint64_t t = static_cast<uint64_t>(m_config.timeoutSeconds);
    std::vector<uint32_t> remove;
    for (auto& [key, rp] : m_records) {
        Record& r = *rp;
        if (Elapsed(nowMs, r.statsStartMs) >= kStatsPeriodMs) {
            r.packetsSent = 0;
            r.retransmissions = 0;
            r.statsStartMs = nowMs;
        }
        if (r.list == List::kIncoming) {
            if (r.state == kUdpClosed) {
                remove.push_back(key);
            } else if (r.state == kUdpRequestReceived) {
                if (idleSeconds(r) <= t)
                    SendAnswer(r);
                else
                    remove.push_back(key);
            } else if (r.state == kUdpEstablished && idleSeconds(r) > t) {
                // Established but never accepted: the requester has given up
                // long ago, and the record would hold a place of the
                // incoming limit for good.
                remove.push_back(key);
            }
            continue;
        }
        if (r.list != List::kActive) continue;
        if (r.state == kUdpQuerying || r.state == kUdpRequesting) {
            if (idleSeconds(r) > t) {
                CloseRecord(r, false);
                continue;
            }
            if (r.state == kUdpQuerying) {
                if (m_rendezvous && Elapsed(nowMs, r.queryTimeMs) > kQueryRepeatMs) {
                    r.queryTimeMs = nowMs;
                    r.querySequence = m_rendezvous->QueueQuery(r.remoteIp, r.remoteIdentity.data());
                    r.hasQuery = true;
                }
            } else {
                SendRequest(r);
            }
        } else if (r.state == kUdpEstablished) {
            uint64_t idle = idleSeconds(r);
            if (idle > t)
                CloseRecord(r, false);
            else if (idle > t / 2)
                SendKeepalive(r);
        }
    }
    for (uint32_t k : remove) ReleaseRecord(k);
    Notify();
}

// ---- operations ----

UdpHandle UdpStreamEndpoint::UdpSocket(int* error) {
    std::lock_guard<std::recursive_mutex> g(*m_lock);
    Record* r = TakeRecord(Now());
    r->list = List::kActive;
    r->state = kUdpNew;
    Fail(error, 0);
    return r->key;
}

int UdpStreamEndpoint::UdpConnect(UdpHandle h, uint32_t addressNet, uint16_t port,
                                  const uint8_t* seed8, int* error) {
    std::lock_guard<std::recursive_mutex> g(*m_lock);
    if (m_suspended || addressNet == 0 || addressNet == 0xFFFFFFFFu || port == 0 || !seed8) {
        Fail(error, kUdpErrUnreachable);
        return -1;
    }
    Record* r = FindIn(h, List::kActive);
    if (!r) {
        Fail(error, kUdpErrNotSocket);
        return -1;
    }
    if (r->state != kUdpNew) {
        Fail(error, kUdpErrInterrupted);
        return -1;
    }
    uint64_t now = Now();
    r->stateTimerMs = now;
    r->remoteIp = addressNet;
    r->remotePort = port;
    r->virtualPort = port;
    std::memcpy(r->remoteIdentity.data(), seed8, 8);
    std::memcpy(r->remoteIdentity.data() + 8, "UDP0", 4);
    if (m_rendezvous) {
        r->state = kUdpQuerying;
        r->queryTimeMs = now - 1000;
        r->querySequence = m_rendezvous->QueueQuery(addressNet, r->remoteIdentity.data());
        r->hasQuery = true;
    } else {
        // Without a rendezvous client the address names the remote's UDP
        // endpoint directly.
        r->state = kUdpRequesting;
        SendRequest(*r);
    }
    Fail(error, kUdpErrWouldBlock);
    return -1;
}

long UdpStreamEndpoint::UdpSend(UdpHandle h, const uint8_t* data, size_t size, int* error) {
    std::lock_guard<std::recursive_mutex> g(*m_lock);
    if (!data || size == 0 || m_suspended) {
        Fail(error, kUdpErrInvalid);
        return -1;
    }
    Record* r = FindIn(h, List::kActive);
    if (!r) {
        Fail(error, kUdpErrNotSocket);
        return -1;
    }
    if (r->state == kUdpRequesting) {
        Fail(error, kUdpErrWouldBlock);
        return -1;
    }
    if (r->state != kUdpEstablished || !r->connected) {
        Fail(error, kUdpErrNotConnected);
        return -1;
    }
    uint64_t now = Now();
    SlideSendWindow(*r);
    int loss = Loss(*r);
    int window = UdpWindowForLoss(loss);
    size_t payload = static_cast<size_t>(UdpPayloadForLoss(loss));
    size_t queued = 0;
    while (r->sendCount < kUdpSlots && queued < size) {
        size_t chunk = std::min(payload, size - queued);
        int i = r->sendCount++;
        SendSlot& s = r->slots[i];
        s = SendSlot{};
        s.bytes.assign(data + queued, data + queued + chunk);
        s.number = r->sendBase + static_cast<uint32_t>(i);
        r->filled[i] = true;
        queued += chunk;
        if (i < window && SendDataSlot(*r, s, now)) {
            s.sendTick = now - 5;
            s.lastSendMs = now;
            s.everSent = true;
            ++r->packetsSent;
        }
    }
    if (queued == 0) {
        Fail(error, kUdpErrWouldBlock);
        return -1;
    }
    Fail(error, 0);
    return static_cast<long>(queued);
}

long UdpStreamEndpoint::UdpReceive(UdpHandle h, uint8_t* buffer, size_t size, int* error) {
    std::lock_guard<std::recursive_mutex> g(*m_lock);
    if (!buffer || size == 0 || m_suspended) {
        Fail(error, kUdpErrInvalid);
        return -1;
    }
    Record* r = FindIn(h, List::kActive);
    if (!r) {
        Fail(error, kUdpErrNotSocket);
        return -1;
    }
    if (r->state == kUdpRequesting) {
        Fail(error, kUdpErrWouldBlock);
        return -1;
    }
    bool leftover = r->state == kUdpClosed && HasData(*r);
    if (!leftover && (r->state != kUdpEstablished || !r->connected)) {
        Fail(error, kUdpErrNotConnected);
        return -1;
    }
    size_t copied = 0;
    auto take = [&](Payload& pl) -> bool {  // true when the packet was read whole
        size_t rest = pl.bytes.size() - pl.readOffset;
        size_t n = std::min(rest, size - copied);
        std::memcpy(buffer + copied, pl.bytes.data() + pl.readOffset, n);
        pl.readOffset += n;
        copied += n;
        return pl.readOffset == pl.bytes.size();
    };
    while (copied < size && !r->delivery.empty()) {
        if (r->delivery.front().bytes.empty()) {
            CloseRecord(*r, false);
            Fail(error, kUdpErrInvalid);
            return -1;
        }
        if (!take(r->delivery.front())) break;
        r->delivery.pop_front();
    }
    while (copied < size && r->delivery.empty() && r->reorder[0].present) {
        if (r->reorder[0].bytes.empty()) {
            CloseRecord(*r, false);
            Fail(error, kUdpErrInvalid);
            return -1;
        }
        if (!take(r->reorder[0])) break;
        r->nextExpected = r->reorder[0].number + 1;
        ShiftReorder(*r, 1);
    }
    if (copied == 0) {
        Fail(error, kUdpErrWouldBlock);
        return -1;
    }
    Fail(error, 0);
    return static_cast<long>(copied);
}

int UdpStreamEndpoint::UdpBind(UdpHandle h, uint32_t /*addressNet*/, uint16_t virtualPort,
                               int* error) {
    std::lock_guard<std::recursive_mutex> g(*m_lock);
    if (virtualPort == 0) {
        Fail(error, kUdpErrInvalid);
        return -1;
    }
    for (auto& [key, r] : m_records)
        if (r->list == List::kBound && r->virtualPort == virtualPort) {
            Fail(error, kUdpErrAddressInUse);
            return -1;
        }
    Record* r = FindIn(h, List::kActive);
    if (!r) {
        Fail(error, kUdpErrNotSocket);
        return -1;
    }
    if (r->state != kUdpNew) {
        Fail(error, kUdpErrInvalid);
        return -1;
    }
    r->list = List::kBound;
    r->state = kUdpBound;
    r->virtualPort = virtualPort;
    Fail(error, 0);
    return 0;
}

int UdpStreamEndpoint::UdpListen(UdpHandle h, int backlog, int* error) {
    std::lock_guard<std::recursive_mutex> g(*m_lock);
    if (!m_running) {
        Fail(error, kUdpErrNotInitialised);
        return -1;
    }
    Record* r = FindIn(h, List::kBound);
    if (!r) {
        Fail(error, kUdpErrNotSocket);
        return -1;
    }
    r->state = kUdpListening;
    m_incomingLimit = std::min(std::max({backlog, m_incomingLimit, 5}), kMaxIncomingLimit);
    Fail(error, 0);
    return 0;
}

UdpHandle UdpStreamEndpoint::UdpAccept(UdpHandle h, uint32_t* addressNet, uint16_t* port,
                                       uint8_t* seed8, int* error) {
    std::lock_guard<std::recursive_mutex> g(*m_lock);
    if (m_suspended) {
        Fail(error, kUdpErrInvalid);
        return 0;
    }
    Record* l = FindIn(h, List::kBound);
    if (!l) {
        Fail(error, kUdpErrNotSocket);
        return 0;
    }
    if (l->state != kUdpListening) {
        Fail(error, kUdpErrInvalid);
        return 0;
    }
    Record* best = nullptr;
    for (auto& [key, r] : m_records)
        if (r->list == List::kIncoming && r->state == kUdpEstablished &&
            r->virtualPort == l->virtualPort && (!best || r->serial < best->serial))
            best = r.get();
    if (!best) {
        Fail(error, kUdpErrWouldBlock);
        return 0;
    }
    best->list = List::kActive;
    best->stateTimerMs = Now();
    if (addressNet) *addressNet = best->remoteIp;
    if (port) *port = best->remotePort;
    if (seed8) std::memcpy(seed8, best->remoteIdentity.data(), 8);
    Fail(error, 0);
    return best->key;
}

int UdpStreamEndpoint::UdpLocalName(UdpHandle h, uint32_t* addressNet, uint16_t* virtualPort,
                                    uint8_t* seed8, int* error) {
    std::lock_guard<std::recursive_mutex> g(*m_lock);
    Record* r = Find(h);
    if (!r || !r->connected || r->state != kUdpEstablished) {
        Fail(error, kUdpErrNotConnected);
        return -1;
    }
    if (addressNet) *addressNet = m_config.localAddressNet;
    if (virtualPort) *virtualPort = static_cast<uint16_t>(r->virtualPort);
    if (seed8) std::memcpy(seed8, m_identity.data(), 8);
    Fail(error, 0);
    return 0;
}

int UdpStreamEndpoint::UdpClose(UdpHandle h, int* error) {
    std::lock_guard<std::recursive_mutex> g(*m_lock);
    Record* r = Find(h);
    if (!r) {
        Fail(error, kUdpErrNotSocket);
        return -1;
    }
    if (r->list == List::kActive) {
        if (r->connected && r->state != kUdpClosed) SendClose(*r);
    } else {
        std::vector<uint32_t> drop;
        for (auto& [key, o] : m_records)
            if (o->list == List::kIncoming && o->virtualPort == r->virtualPort) drop.push_back(key);
        for (uint32_t k : drop) ReleaseRecord(k);
    }
    ReleaseRecord(h);
    Notify();
    Fail(error, 0);
    return 0;
}

void UdpStreamEndpoint::CloseAll() {
    std::lock_guard<std::recursive_mutex> g(*m_lock);
    for (auto& [key, r] : m_records) {
        if (r->list != List::kActive || r->state == kUdpClosed) continue;
        if (r->connected) SendClose(*r);
        CloseRecord(*r, true);
    }
    Notify();
}

int UdpStreamEndpoint::UdpSelect(std::vector<UdpHandle>* readSet, std::vector<UdpHandle>* writeSet,
                                 std::vector<UdpHandle>* errorSet, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    std::unique_lock<std::recursive_mutex> lock(*m_lock);
    for (;;) {
        int count = 0;
        std::vector<UdpHandle> r, w, e;
        auto check = [&](std::vector<UdpHandle>* set, std::vector<UdpHandle>& out, auto pred) {
            if (!set) return;
            for (UdpHandle h : *set) {
                Record* rec = Find(h);
                if (rec && pred(*rec)) out.push_back(h);
            }
            count += static_cast<int>(out.size());
        };
        check(readSet, r, [&](const Record& x) { return Readable(x); });
        check(writeSet, w, [&](const Record& x) { return Writable(x); });
        check(errorSet, e, [&](const Record& x) { return x.state == kUdpClosed; });
        if (count > 0 || (timeoutMs >= 0 && Clock::now() >= end)) {
            if (readSet) *readSet = std::move(r);
            if (writeSet) *writeSet = std::move(w);
            if (errorSet) *errorSet = std::move(e);
            return count;
        }
        auto step = std::chrono::milliseconds(10);
        if (timeoutMs >= 0)
            step = std::min(
                step, std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()) +
                          std::chrono::milliseconds(1));
        m_changed.wait_for(lock, step);
    }
}

int UdpStreamEndpoint::ConnectProgress(UdpHandle h) {
    std::lock_guard<std::recursive_mutex> g(*m_lock);
    Record* r = FindIn(h, List::kActive);
    if (!r || r->state == kUdpClosed) return -1;
    return r->state == kUdpEstablished && r->connected ? 1 : 0;
}

bool UdpStreamEndpoint::ClosedByPeer(UdpHandle h) {
    std::lock_guard<std::recursive_mutex> g(*m_lock);
    Record* r = Find(h);
    return r && r->state == kUdpClosed && r->closedByPeer;
}

UdpRecordInfo UdpStreamEndpoint::Info(UdpHandle h) {
    std::lock_guard<std::recursive_mutex> g(*m_lock);
    UdpRecordInfo info;
    auto it = m_records.find(h);
    if (it == m_records.end()) return info;
    const Record& r = *it->second;
    info.state = r.state;
    info.connected = r.connected;
    info.incoming = r.incoming;
    info.key = r.key;
    info.remoteKey = r.remoteKey;
    info.nonce = r.nonce;
    info.remoteAddressNet = r.remoteIp;
    info.remotePort = r.remotePort;
    info.virtualPort = r.virtualPort;
    info.loss = Loss(r);
    info.window = UdpWindowForLoss(info.loss);
    info.payload = UdpPayloadForLoss(info.loss);
    info.sendCount = r.sendCount;
    info.sendBase = r.sendBase;
    info.nextExpected = r.nextExpected;
    for (auto& s : r.reorder) info.reorderHeld += s.present ? 1 : 0;
    info.deliveryQueued = static_cast<int>(r.delivery.size());
    info.packetsSent = r.packetsSent;
    info.retransmissions = r.retransmissions;
    info.bytesAcknowledged = r.bytesAcknowledged;
    info.bytesReceived = r.bytesReceived;
    info.repairs = r.repairs;
    info.ackDelayMs = r.ackDelayMs;
    for (int i = 0; i < r.sendCount; ++i)
        if (r.filled[i]) info.maxRetries = std::max(info.maxRetries, r.slots[i].retries);
    return info;
}

size_t UdpStreamEndpoint::LiveRecords() {
    std::lock_guard<std::recursive_mutex> g(*m_lock);
    return m_records.size();
}

size_t UdpStreamEndpoint::IncomingRecords() {
    std::lock_guard<std::recursive_mutex> g(*m_lock);
    size_t n = 0;
    for (auto& [key, r] : m_records) n += r->list == List::kIncoming ? 1 : 0;
    return n;
}

size_t UdpStreamEndpoint::FreeRecords() {
    std::lock_guard<std::recursive_mutex> g(*m_lock);
    return m_pool.size();
}

}  // namespace lf
