#include "engine/sources/BtProtocol.h"

#include <cstring>

namespace lf {

namespace bt {

namespace {

constexpr size_t kProtocolBytes = sizeof(kProtocolName) - 1;
static_assert(kProtocolBytes == 19);

void PutBE32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

uint32_t GetBE32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

// A message without payload: length 1 and the id.
std::array<uint8_t, 5> Bare(uint8_t id) {
    std::array<uint8_t, 5> m{};
    PutBE32(m.data(), 1);
    m[4] = id;
    return m;
}

std::array<uint8_t, 17> Triple(uint8_t id, uint32_t index, uint32_t begin, uint32_t length) {
    std::array<uint8_t, 17> m{};
    PutBE32(m.data(), 13);
    m[4] = id;
    PutBE32(m.data() + 5, index);
    PutBE32(m.data() + 9, begin);
    PutBE32(m.data() + 13, length);
    return m;
}

ReadState Fail(Message* m, WireFault f) {
    m->fault = f;
    return IsFatal(f) ? ReadState::kFatal : ReadState::kSkipped;
}

}  // namespace

Handshake BuildHandshake(const Hash20& infoHash, const Hash20& peerId) {
    Handshake h{};
    h[0] = static_cast<uint8_t>(kProtocolBytes);
    std::memcpy(h.data() + 1, kProtocolName, kProtocolBytes);
    std::memcpy(h.data() + 28, infoHash.data(), 20);
    std::memcpy(h.data() + 48, peerId.data(), 20);
    return h;
}

HandshakeCheck CheckHandshake(const uint8_t* bytes, const Hash20& infoHash,
                              const Hash20& ownPeerId) {
    if (bytes[0] != kProtocolBytes || std::memcmp(bytes + 1, kProtocolName, kProtocolBytes) != 0)
        return HandshakeCheck::kWrongProtocol;
    if (std::memcmp(bytes + 28, infoHash.data(), 20) != 0) return HandshakeCheck::kWrongInfoHash;
    if (std::memcmp(bytes + 48, ownPeerId.data(), 20) == 0) return HandshakeCheck::kOwnPeerId;
    return HandshakeCheck::kOk;
}

bool IsEnginePeerId(const uint8_t* peerId) {
    return peerId[0] == 0 && peerId[1] == 1 && peerId[2] == 'L' && peerId[3] == 'f';
}

bool UseDisguise(bool disguiseSwitch, int failedAttempts, bool overUdp) {
    if (overUdp) return false;
    return disguiseSwitch || failedAttempts % 3 == 1;
}

std::string BuildDisguiseRequest(uint32_t ipv4, uint16_t port, int failedAttempts) {
    uint8_t b[4];
    std::memcpy(b, &ipv4, 4);
    const uint32_t host = static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
                          (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
    std::string r = "GET / HTTP/1.0\r\n";
    if (failedAttempts % 2 == 0)
        r += "User-Agent: Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\n";
    r += "Host: " + std::to_string(host) + ":" + std::to_string(port % 6881) + "\r\n\r\n";
    return r;
}

std::string BuildDisguiseAnswer(int64_t clockSeconds, int64_t cachedSeconds) {
    std::string r = "HTTP/1.0 200 OK\r\nConnection: ";
    r += (clockSeconds & 1) != 0 ? "Close\r\n" : "Keep-Alive\r\n";
    if ((cachedSeconds & 1) == 0) r += "Content-Encoding: none\r\n";
    r += "\r\n";
    return r;
}

std::array<uint8_t, 5> BuildChoke() {
    return Bare(0);
}

std::array<uint8_t, 5> BuildUnchoke() {
    return Bare(1);
}

std::array<uint8_t, 9> BuildHave(uint32_t index) {
    std::array<uint8_t, 9> m{};
    PutBE32(m.data(), 5);
    m[4] = 4;
    PutBE32(m.data() + 5, index);
    return m;
}

std::string BuildBitfield(const uint8_t* bits, size_t size) {
    if (size == 0) return std::string();
    std::string m(5, '\0');
    PutBE32(reinterpret_cast<uint8_t*>(m.data()), static_cast<uint32_t>(size + 1));
    m[4] = 5;
    m.append(reinterpret_cast<const char*>(bits), size);
    return m;
}

std::array<uint8_t, 17> BuildRequest(uint32_t index, uint32_t begin, uint32_t length) {
    return Triple(6, index, begin, length);
}

std::array<uint8_t, 17> BuildCancel(uint32_t index, uint32_t begin, uint32_t length) {
    return Triple(8, index, begin, length);
}

std::array<uint8_t, 13> BuildPieceHeader(uint32_t index, uint32_t begin, uint32_t blockBytes) {
    std::array<uint8_t, 13> m{};
    PutBE32(m.data(), blockBytes + 9);
    m[4] = 7;
    PutBE32(m.data() + 5, index);
    PutBE32(m.data() + 9, begin);
    return m;
}

std::string BuildPiece(uint32_t index, uint32_t begin, const uint8_t* block, size_t size) {
    const auto h = BuildPieceHeader(index, begin, static_cast<uint32_t>(size));
    std::string m(reinterpret_cast<const char*>(h.data()), h.size());
    m.append(reinterpret_cast<const char*>(block), size);
    return m;
}

std::array<uint8_t, 18> BuildRejectNotice(uint32_t refusedIndex) {
    std::array<uint8_t, 18> m{};
    const auto h = BuildPieceHeader(0, 2, 5);
    std::memcpy(m.data(), h.data(), h.size());
    m[13] = kRejectMark;
    PutBE32(m.data() + 14, refusedIndex);
    return m;
}

uint64_t TorrentView::PieceSize(uint32_t index) const {
    if (index >= pieceCount) return 0;
    const uint64_t start = static_cast<uint64_t>(index) * pieceLength;
    if (start >= totalLength) return 0;
    const uint64_t rest = totalLength - start;
    return rest < pieceLength ? rest : pieceLength;
}

bool PieceBit(const uint8_t* bits, size_t size, uint32_t index) {
    const size_t byte = index / 8;
    return byte < size && (bits[byte] & (0x80u >> (index % 8))) != 0;
}

uint32_t CountPieces(const uint8_t* bits, size_t size, uint32_t pieceCount) {
    uint32_t count = 0;
    const size_t whole = pieceCount / 8 < size ? pieceCount / 8 : size;
    for (size_t i = 0; i < whole; ++i) count += static_cast<uint32_t>(__builtin_popcount(bits[i]));
    for (uint32_t i = static_cast<uint32_t>(whole) * 8; i < pieceCount; ++i)
        count += PieceBit(bits, size, i) ? 1 : 0;
    return count;
}

bool IsFatal(WireFault f) {
    switch (f) {
        case WireFault::kNone:
        case WireFault::kFixedLength:
        case WireFault::kZeroLength:
            return false;
        default:
            return true;
    }
}

bool CountsAgainstRemote(WireFault f) {
    switch (f) {
        case WireFault::kNone:
        case WireFault::kTooLong:
        case WireFault::kZeroLength:
        case WireFault::kHeaderTooLong:
            return false;
        default:
            return true;
    }
}

bool IsRejectNotice(const Message& m, uint32_t* refused) {
    if (m.type != MessageType::kPiece || m.index != 0 || m.begin != 2 || m.dataSize != 5 ||
        m.data == nullptr || m.data[0] != kRejectMark)
        return false;
    *refused = GetBE32(m.data + 1);
    return true;
}

ReadState ReadMessage(const uint8_t* data, size_t size, const TorrentView& view, Message* m) {
    *m = Message();
    if (size < 4) return ReadState::kNeedMore;
    const uint32_t length = GetBE32(data);
    m->wireBytes = 4 + static_cast<size_t>(length);
    if (length == 0) return ReadState::kMessage;  // keep-alive
    // A length of 2^31 or more is negative to a signed reader: too long too.
    if (length > kMaxMessageLength) return Fail(m, WireFault::kTooLong);
    if (size < 5) return ReadState::kNeedMore;
    const uint8_t id = data[4];
    const uint32_t payload = length - 1;
    const bool whole = size >= m->wireBytes;
    const uint8_t* p = data + 5;
    switch (id) {
        case 0:
        case 1:
        case 2:
        case 3: {
            // No length check: a payload, if any, is skipped with the message.
            if (!whole) return ReadState::kNeedMore;
            static constexpr MessageType kTypes[] = {MessageType::kChoke, MessageType::kUnchoke,
                                                     MessageType::kInterested,
                                                     MessageType::kNotInterested};
            m->type = kTypes[id];
            return ReadState::kMessage;
        }
        case 4: {
            if (!whole) return ReadState::kNeedMore;
            if (payload != 4) return Fail(m, WireFault::kFixedLength);
            m->type = MessageType::kHave;
            m->index = GetBE32(p);
            // Every index is checked against the piece count before it names
            // a bit of the remote's piece array.
            if (m->index >= view.pieceCount) return Fail(m, WireFault::kIndexRange);
            return ReadState::kMessage;
        }
        case 5: {
            if (payload == 0) return ReadState::kSkipped;  // an empty bitfield says nothing
            if (view.pieceCount != 0 && payload != view.BitfieldBytes())
                return Fail(m, WireFault::kBitfieldLength);
            if (!whole) return ReadState::kNeedMore;
            m->type = MessageType::kBitfield;
            m->data = p;
            m->dataSize = payload;
            return ReadState::kMessage;
        }
        case 6:
        case 8: {
            if (!whole) return ReadState::kNeedMore;
            if (payload != 12) return Fail(m, WireFault::kFixedLength);
            m->type = id == 6 ? MessageType::kRequest : MessageType::kCancel;
            m->index = GetBE32(p);
            m->begin = GetBE32(p + 4);
            m->length = GetBE32(p + 8);
            if (m->index >= view.pieceCount) return Fail(m, WireFault::kIndexRange);
            const uint64_t pieceSize = view.PieceSize(m->index);
            if (m->begin >= pieceSize) return Fail(m, WireFault::kBeginRange);
            if (m->length == 0) return Fail(m, WireFault::kZeroLength);
            // Uploads are read into 16 KiB buffers: a longer request, or one
            // reaching past its piece, is refused before anything is read.
            if (m->length > kMaxRequestLength) return Fail(m, WireFault::kRequestTooLong);
            if (static_cast<uint64_t>(m->begin) + m->length > pieceSize)
                return Fail(m, WireFault::kPastPieceEnd);
            return ReadState::kMessage;
        }
        case 7: {
            if (payload <= 8) {
                if (!whole) return ReadState::kNeedMore;
                return Fail(m, WireFault::kFixedLength);
            }
            m->type = MessageType::kPiece;
            m->length = payload - 8;
            if (m->length > kMaxBlockLength) return Fail(m, WireFault::kBlockLength);
            if (size < 13) return ReadState::kNeedMore;
            m->index = GetBE32(p);
            m->begin = GetBE32(p + 4);
            if (m->index >= view.pieceCount) return Fail(m, WireFault::kIndexRange);
            const uint64_t pieceSize = view.PieceSize(m->index);
            if (m->begin >= pieceSize) return Fail(m, WireFault::kBeginRange);
            if (static_cast<uint64_t>(m->begin) + m->length > pieceSize)
                return Fail(m, WireFault::kPastPieceEnd);
            if (!whole) return ReadState::kNeedMore;
            m->data = p + 8;
            m->dataSize = m->length;
            return ReadState::kMessage;
        }
        default:
            // Ids 9 and above (extensions nobody was offered) are skipped
            // whole, once all of the message is in.
            if (!whole) return ReadState::kNeedMore;
            return ReadState::kSkipped;
    }
}

ArrivingBlock PeekArrivingBlock(const uint8_t* data, size_t size) {
    ArrivingBlock a;
    if (size < 13 || data[4] != 7) return a;
    const uint32_t length = GetBE32(data);
    if (length <= 9 || length > kMaxMessageLength || size >= 4 + static_cast<size_t>(length))
        return a;
    a.arriving = true;
    a.index = GetBE32(data + 5);
    a.begin = GetBE32(data + 9);
    a.length = length - 9;
    return a;
}

void WireReader::Feed(const uint8_t* data, size_t size) {
    if (m_start == m_buffer.size()) {
        m_buffer.clear();
        m_start = 0;
    } else if (m_start > 0 && m_start >= m_buffer.size() / 2) {
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<ptrdiff_t>(m_start));
        m_start = 0;
    }
    m_buffer.insert(m_buffer.end(), data, data + size);
}

void WireReader::Drop(size_t n) {
    m_start += n;
}

WireReader::Header WireReader::StripHeader() {
    if (m_headerDone) return Header::kNone;
    const size_t avail = Buffered();
    if (avail == 0) return Header::kNeedMore;
    const char* p = reinterpret_cast<const char*>(m_buffer.data() + m_start);
    // The first byte picks the word; the buffer must then begin with all of it.
    static constexpr const char* kWords[] = {"HTTP", "POST", "GET"};
    const char* word = nullptr;
    for (const char* w : kWords)
        if (w[0] == p[0]) word = w;
    if (word != nullptr) {
        const size_t wordBytes = std::strlen(word);
        const size_t n = avail < wordBytes ? avail : wordBytes;
        if (std::memcmp(p, word, n) != 0) {
            word = nullptr;
        } else if (avail < wordBytes) {
            return Header::kNeedMore;
        }
    }
    if (word == nullptr) {
        m_headerDone = true;
        return Header::kNone;
    }
    switch (m_head.Scan(p, avail)) {
        case http::HeadScanner::kComplete:
            Drop(m_head.HeadBytes());
            m_headerDone = true;
            m_disguised = true;
            return Header::kStripped;
        case http::HeadScanner::kTooLong:
            return Header::kTooLong;
        default:
            return Header::kNeedMore;
    }
}

HandshakeState WireReader::ReadHandshake(const Hash20& infoHash, const Hash20& ownPeerId,
                                         HandshakeInfo* info) {
    switch (StripHeader()) {
        case Header::kNeedMore:
            return HandshakeState::kNeedMore;
        case Header::kTooLong:
            return HandshakeState::kHeaderTooLong;
        default:
            break;
    }
    if (Buffered() < kHandshakeBytes) return HandshakeState::kNeedMore;
    const uint8_t* p = m_buffer.data() + m_start;
    switch (CheckHandshake(p, infoHash, ownPeerId)) {
        case HandshakeCheck::kWrongProtocol:
            return HandshakeState::kWrongProtocol;
        case HandshakeCheck::kWrongInfoHash:
            return HandshakeState::kWrongInfoHash;
        case HandshakeCheck::kOwnPeerId:
            return HandshakeState::kOwnPeerId;
        case HandshakeCheck::kOk:
            break;
    }
    std::memcpy(info->peerId.data(), p + 48, 20);
    info->disguised = m_disguised;
    Drop(kHandshakeBytes);
    return HandshakeState::kOk;
}

ReadState WireReader::Next(Message* m) {
    const ReadState s = ReadMessage(m_buffer.data() + m_start, Buffered(), m_view, m);
    // A fatal message stays at the front: every later call answers the same.
    if (s == ReadState::kMessage || s == ReadState::kSkipped) Drop(m->wireBytes);
    return s;
}

ArrivingBlock WireReader::Arriving() const {
    return PeekArrivingBlock(m_buffer.data() + m_start, Buffered());
}

TransportChoice ChooseTransport(int priorityGroup, bool natTraversal, int failedAttempts,
                                const uint8_t* peerIdField, uint32_t ipv4) {
    TransportChoice c;
    bool zeroHead = true;
    for (int i = 0; i < 14; ++i) zeroHead = zeroHead && peerIdField[i] == 0;
    const bool compact = zeroHead && std::memcmp(peerIdField + 14, &ipv4, 4) == 0;
    std::memcpy(c.identity.data(), peerIdField + (compact ? 12 : 8), 8);
    bool named = false;
    for (uint8_t b : c.identity) named = named || b != 0;
    c.overUdp = named && priorityGroup <= 34 && natTraversal && failedAttempts >= 0 &&
                failedAttempts % 3 == 0;
    return c;
}

}  // namespace bt

}  // namespace lf
