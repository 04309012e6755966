#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine/sources/BtProtocol.h"
#include "engine/sources/TrackerProtocol.h"

using namespace lf;

namespace {

using bt::HandshakeState;
using bt::Hash20;
using bt::Message;
using bt::MessageType;
using bt::ReadState;
using bt::TorrentView;
using bt::WireFault;
using bt::WireReader;

using Bytes = std::string;

template <size_t N>
Bytes Str(const std::array<uint8_t, N>& a) {
    return Bytes(reinterpret_cast<const char*>(a.data()), N);
}

Bytes BE32(uint32_t v) {
    const uint8_t b[4] = {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                          static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
    return Bytes(reinterpret_cast<const char*>(b), 4);
}

// A message with a length prefix that fits its payload.
Bytes Msg(uint8_t id, const Bytes& payload = Bytes()) {
    return BE32(static_cast<uint32_t>(payload.size() + 1)) + static_cast<char>(id) + payload;
}

Bytes Triple(uint32_t a, uint32_t b, uint32_t c) {
    return BE32(a) + BE32(b) + BE32(c);
}

Bytes Hex(const Bytes& b) {
    static const char* d = "0123456789abcdef";
    Bytes out;
    for (unsigned char c : b) {
        out += d[c >> 4];
        out += d[c & 15];
    }
    return out;
}

Hash20 Fill(uint8_t first, uint8_t rest) {
    Hash20 h;
    h.fill(rest);
    h[0] = first;
    return h;
}

const Hash20 kInfoHash = Fill(0x12, 0xab);
const Hash20 kOwnId = [] {
    Hash20 id = Fill(0, 0x77);
    id[1] = 1;
    id[2] = 'L';
    id[3] = 'f';
    return id;
}();
const Hash20 kRemoteId = [] {
    Hash20 id{};
    std::memcpy(id.data(), "-lt20A0-abcdefghijkl", 20);
    return id;
}();

// 73 pieces of 256 KiB, the last one 10000 bytes.
const TorrentView k73{73, 262144, 72ull * 262144 + 10000};

const char* FaultName(WireFault f) {
    switch (f) {
        case WireFault::kNone:
            return "none";
        case WireFault::kTooLong:
            return "too-long";
        case WireFault::kBitfieldLength:
            return "bitfield-length";
        case WireFault::kBlockLength:
            return "block-length";
        case WireFault::kIndexRange:
            return "index-range";
        case WireFault::kBeginRange:
            return "begin-range";
        case WireFault::kPastPieceEnd:
            return "past-piece-end";
        case WireFault::kRequestTooLong:
            return "request-too-long";
        case WireFault::kHeaderTooLong:
            return "header-too-long";
        case WireFault::kFixedLength:
            return "fixed-length";
        case WireFault::kZeroLength:
            return "zero-length";
    }
    return "?";
}

Bytes Describe(const Message& m) {
    // Blocks are summed rather than listed.
    auto sum = [&] {
        uint32_t s = 0;
        for (size_t i = 0; i < m.dataSize; ++i) s = s * 31 + m.data[i];
        return std::to_string(s);
    };
    const Bytes t =
        std::to_string(m.index) + " " + std::to_string(m.begin) + " " + std::to_string(m.length);
    switch (m.type) {
        case MessageType::kKeepAlive:
            return "keep-alive";
        case MessageType::kChoke:
            return "choke";
        case MessageType::kUnchoke:
            return "unchoke";
        case MessageType::kInterested:
            return "interested";
        case MessageType::kNotInterested:
            return "not-interested";
        case MessageType::kHave:
            return "have " + std::to_string(m.index);
        case MessageType::kBitfield:
            return "bitfield " + Hex(Bytes(reinterpret_cast<const char*>(m.data), m.dataSize));
        case MessageType::kRequest:
            return "request " + t;
        case MessageType::kCancel:
            return "cancel " + t;
        case MessageType::kPiece:
            return "piece " + t + " sum " + sum();
    }
    return "?";
}

const char* HandshakeName(HandshakeState s) {
    switch (s) {
        case HandshakeState::kNeedMore:
            return "need-more";
        case HandshakeState::kOk:
            return "ok";
        case HandshakeState::kWrongProtocol:
            return "wrong-protocol";
        case HandshakeState::kWrongInfoHash:
            return "wrong-info-hash";
        case HandshakeState::kOwnPeerId:
            return "own-peer-id";
        case HandshakeState::kHeaderTooLong:
            return "header-too-long";
    }
    return "?";
}

// Feeds `input` in chunks of `chunk` bytes as a connection would, reading
// after each chunk, and writes down everything that came out, '|'-separated.
Bytes Run(const Bytes& input, size_t chunk, bool handshake, const TorrentView& view = k73) {
    WireReader r(view);
    Bytes out;
    bool shaken = !handshake;
    bool ended = false;
    for (size_t at = 0; at < input.size() && !ended; at += chunk) {
        const size_t n = std::min(chunk, input.size() - at);
        r.Feed(reinterpret_cast<const uint8_t*>(input.data() + at), n);
        if (!shaken) {
            bt::HandshakeInfo info;
            const HandshakeState s = r.ReadHandshake(kInfoHash, kOwnId, &info);
            if (s == HandshakeState::kNeedMore) continue;
            out += Bytes("handshake ") + HandshakeName(s);
            if (s != HandshakeState::kOk) {
                ended = true;
                break;
            }
            out += Bytes(info.disguised ? " disguised " : " plain ") +
                   Bytes(reinterpret_cast<const char*>(info.peerId.data()), 20) + "|";
            shaken = true;
        }
        for (;;) {
            Message m;
            const ReadState s = r.Next(&m);
            if (s == ReadState::kNeedMore) break;
            if (s == ReadState::kMessage) {
                out += Describe(m) + "|";
            } else if (s == ReadState::kSkipped) {
                out += Bytes("skipped ") + FaultName(m.fault) + "|";
            } else {
                out += Bytes("fatal ") + FaultName(m.fault);
                ended = true;
                break;
            }
        }
    }
    if (!ended) out += "buffered " + std::to_string(r.Buffered());
    return out;
}

// Every chunk size for a short input; for the long ones (half a megabyte
// is quadratic to feed in every size) every size up to 2048, then a
// growing spread, and the whole.
std::vector<size_t> ChunkSizes(size_t n) {
    std::vector<size_t> sizes;
    for (size_t c = 1; c <= n && c <= 2048; ++c) sizes.push_back(c);
    for (size_t c = 2049; c < n; c += c / 7 + 1) sizes.push_back(c);
    if (n > 2048) sizes.push_back(n);
    return sizes;
}

struct StreamCase {
    const char* name;
    Bytes input;
    Bytes expect;  // what the whole input, fed at once, gives
    bool handshake = false;
    TorrentView view = k73;
};

void CheckEveryChunking(const StreamCase& c) {
    SCOPED_TRACE(c.name);
    const Bytes whole = Run(c.input, c.input.size() + 1, c.handshake, c.view);
    EXPECT_EQ(whole, c.expect);
    for (size_t chunk : ChunkSizes(c.input.size())) {
        const Bytes got = Run(c.input, chunk, c.handshake, c.view);
        if (got != whole) {
            ADD_FAILURE() << "chunks of " << chunk << ": " << got;
            return;
        }
    }
}

Bytes Handshake(const Hash20& info, const Hash20& id) {
    return Str(bt::BuildHandshake(info, id));
}

Bytes Block(size_t n) {
    Bytes b(n, '\0');
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<char>(i * 7 + 1);
    return b;
}

Bytes PieceMsg(uint32_t index, uint32_t begin, size_t n) {
    return Msg(7, BE32(index) + BE32(begin) + Block(n));
}

Bytes SumOf(size_t n) {
    const Bytes b = Block(n);
    uint32_t s = 0;
    for (unsigned char c : b) s = s * 31 + c;
    return std::to_string(s);
}

TEST(BtHandshakeTest, BlockByteForByte) {
    const Bytes h = Handshake(kInfoHash, kOwnId);
    ASSERT_EQ(h.size(), 68u);
    EXPECT_EQ(h.substr(0, 20), Bytes("\x13"
                                     "BitTorrent protocol"));
    EXPECT_EQ(h.substr(20, 8), Bytes(8, '\0'));
    EXPECT_EQ(h.substr(28, 20), Str(kInfoHash));
    EXPECT_EQ(h.substr(48, 4), Bytes("\x00\x01Lf", 4));
    EXPECT_EQ(h.substr(48), Str(kOwnId));
}

TEST(BtHandshakeTest, CheckTellsEachFaultApart) {
    struct Case {
        const char* name;
        size_t at;  // byte to change (68: none)
        char value;
        bt::HandshakeCheck expect;
    } cases[] = {
        {"as built", 68, 0, bt::HandshakeCheck::kOk},
        {"reserved bits set", 25, 0x10, bt::HandshakeCheck::kOk},
        {"pstrlen 18", 0, 18, bt::HandshakeCheck::kWrongProtocol},
        {"protocol text", 12, 'P', bt::HandshakeCheck::kWrongProtocol},
        {"info hash first byte", 28, 0x13, bt::HandshakeCheck::kWrongInfoHash},
        {"info hash last byte", 47, 0, bt::HandshakeCheck::kWrongInfoHash},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes h = Handshake(kInfoHash, kRemoteId);
        if (c.at < h.size()) h[c.at] = c.value;
        EXPECT_EQ(bt::CheckHandshake(reinterpret_cast<const uint8_t*>(h.data()), kInfoHash, kOwnId),
                  c.expect);
    }
    const Bytes self = Handshake(kInfoHash, kOwnId);
    EXPECT_EQ(bt::CheckHandshake(reinterpret_cast<const uint8_t*>(self.data()), kInfoHash, kOwnId),
              bt::HandshakeCheck::kOwnPeerId);
}

TEST(BtDisguiseTest, RequestTexts) {
    const uint32_t a1234 = inet_addr("1.2.3.4");
    struct Case {
        uint32_t ipv4;
        uint16_t port;
        int failed;
        const char* expect;
    } cases[] = {
        {a1234, 6882, 0,
         "GET / HTTP/1.0\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\n"
         "Host: 67305985:1\r\n\r\n"},
        {a1234, 6881, 1, "GET / HTTP/1.0\r\nHost: 67305985:0\r\n\r\n"},
        {a1234, 6881, 4,
         "GET / HTTP/1.0\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\n"
         "Host: 67305985:0\r\n\r\n"},
        {inet_addr("255.255.255.254"), 65535, 7, "GET / HTTP/1.0\r\nHost: 4278190079:3606\r\n\r\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(bt::BuildDisguiseRequest(c.ipv4, c.port, c.failed), c.expect);
}

TEST(BtDisguiseTest, AnswerTexts) {
    struct Case {
        int64_t clock, cached;
        const char* expect;
    } cases[] = {
        {1, 1, "HTTP/1.0 200 OK\r\nConnection: Close\r\n\r\n"},
        {1, 2, "HTTP/1.0 200 OK\r\nConnection: Close\r\nContent-Encoding: none\r\n\r\n"},
        {2, 3, "HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\n\r\n"},
        {4, 0, "HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\nContent-Encoding: none\r\n\r\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(bt::BuildDisguiseAnswer(c.clock, c.cached), c.expect);
}

TEST(BtDisguiseTest, WhenTheRequestIsSent) {
    struct Case {
        bool on;
        int failed;
        bool udp;
        bool expect;
    } cases[] = {
        {true, 0, false, true},   {true, 2, false, true},  {true, 0, true, false},
        {false, 0, false, false}, {false, 1, false, true}, {false, 2, false, false},
        {false, 4, false, true},  {false, 1, true, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(bt::UseDisguise(c.on, c.failed, c.udp), c.expect)
            << c.on << " " << c.failed << " " << c.udp;
}

TEST(BtMessageTest, BuiltBytes) {
    const uint8_t bits[] = {0xff, 0x80};
    struct Case {
        const char* name;
        Bytes got, expect;
    } cases[] = {
        {"choke", Str(bt::BuildChoke()), Bytes("\0\0\0\1\0", 5)},
        {"unchoke", Str(bt::BuildUnchoke()), Bytes("\0\0\0\1\1", 5)},
        {"opening", Str(bt::kOpeningMessages), Bytes("\0\0\0\1\2\0\0\0\1\1", 10)},
        {"have", Str(bt::BuildHave(0x01020304)), Bytes("\0\0\0\5\4\1\2\3\4", 9)},
        {"bitfield", bt::BuildBitfield(bits, 2), Bytes("\0\0\0\3\5\xff\x80", 7)},
        {"empty bitfield", bt::BuildBitfield(bits, 0), Bytes()},
        {"request", Str(bt::BuildRequest(1, 16384, 16384)),
         Bytes("\0\0\0\x0d\6\0\0\0\1\0\0\x40\0\0\0\x40\0", 17)},
        {"cancel", Str(bt::BuildCancel(1, 16384, 100)),
         Bytes("\0\0\0\x0d\x08\0\0\0\1\0\0\x40\0\0\0\0\x64", 17)},
        {"piece", bt::BuildPiece(2, 3, reinterpret_cast<const uint8_t*>("xyz"), 3),
         Bytes("\0\0\0\x0c\7\0\0\0\2\0\0\0\3xyz", 16)},
        {"reject notice", Str(bt::BuildRejectNotice(0x0a0b0c0d)),
         Bytes("\0\0\0\x0e\7\0\0\0\0\0\0\0\2\x35\x0a\x0b\x0c\x0d", 18)},
    };
    for (const Case& c : cases) EXPECT_EQ(Hex(c.got), Hex(c.expect)) << c.name;
}

TEST(BtMessageTest, RejectNoticeOnlyToOurEngines) {
    EXPECT_TRUE(bt::SendsRejectNotice(kOwnId.data()));
    EXPECT_FALSE(bt::SendsRejectNotice(kRemoteId.data()));
    Hash20 near = kOwnId;
    near[3] = 'F';
    EXPECT_FALSE(bt::SendsRejectNotice(near.data()));

    const auto notice = bt::BuildRejectNotice(72);
    Message m;
    ASSERT_EQ(bt::ReadMessage(notice.data(), notice.size(), k73, &m), ReadState::kMessage);
    uint32_t refused = 0;
    ASSERT_TRUE(bt::IsRejectNotice(m, &refused));
    EXPECT_EQ(refused, 72u);
    // An ordinary block at begin 2 is no notice.
    const Bytes block = PieceMsg(0, 2, 5);
    ASSERT_EQ(
        bt::ReadMessage(reinterpret_cast<const uint8_t*>(block.data()), block.size(), k73, &m),
        ReadState::kMessage);
    EXPECT_FALSE(bt::IsRejectNotice(m, &refused));
}

TEST(BtMessageTest, FaultClasses) {
    struct Case {
        WireFault f;
        bool fatal, counted;
    } cases[] = {
        {WireFault::kTooLong, true, false},       {WireFault::kBitfieldLength, true, true},
        {WireFault::kBlockLength, true, true},    {WireFault::kIndexRange, true, true},
        {WireFault::kBeginRange, true, true},     {WireFault::kPastPieceEnd, true, true},
        {WireFault::kRequestTooLong, true, true}, {WireFault::kHeaderTooLong, true, false},
        {WireFault::kFixedLength, false, true},   {WireFault::kZeroLength, false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(bt::IsFatal(c.f), c.fatal) << FaultName(c.f);
        EXPECT_EQ(bt::CountsAgainstRemote(c.f), c.counted) << FaultName(c.f);
    }
}

TEST(BtMessageTest, PieceLayoutIn64Bits) {
    const TorrentView big{400000, 16777216, 400000ull * 16777216};
    EXPECT_EQ(big.BlockNumber(300000, 16384), 300000ll * 1024 + 1);
    EXPECT_EQ(big.PieceSize(399999), 16777216u);
    EXPECT_EQ(big.PieceSize(400000), 0u);
    EXPECT_EQ(k73.PieceSize(72), 10000u);
    EXPECT_EQ(k73.BitfieldBytes(), 10u);
}

TEST(BtMessageTest, PieceBits) {
    const uint8_t bits[] = {0x80, 0x01, 0xff};  // pieces 0, 15, 16 to 23
    struct Case {
        uint32_t index;
        bool set;
    } cases[] = {{0, true},  {1, false}, {7, false},  {8, false},   {15, true},
                 {16, true}, {23, true}, {24, false}, {1000, false}};
    for (const Case& c : cases) EXPECT_EQ(bt::PieceBit(bits, 3, c.index), c.set) << c.index;
    struct Count {
        uint32_t pieceCount;
        uint32_t expect;
    } counts[] = {{0, 0}, {1, 1}, {15, 1}, {16, 2}, {19, 5}, {24, 10}, {73, 10}};
    for (const Count& c : counts)
        EXPECT_EQ(bt::CountPieces(bits, 3, c.pieceCount), c.expect) << c.pieceCount;
}

TEST(BtReaderTest, BlockArriving) {
    const Bytes piece = PieceMsg(3, 16384, 16384);
    WireReader r(k73);
    r.Feed(reinterpret_cast<const uint8_t*>(piece.data()), 12);
    EXPECT_FALSE(r.Arriving().arriving);
    r.Feed(reinterpret_cast<const uint8_t*>(piece.data()) + 12, 100);
    Message m;
    EXPECT_EQ(r.Next(&m), ReadState::kNeedMore);
    const bt::ArrivingBlock a = r.Arriving();
    EXPECT_TRUE(a.arriving);
    EXPECT_EQ(a.index, 3u);
    EXPECT_EQ(a.begin, 16384u);
    EXPECT_EQ(a.length, 16384u);
    r.Feed(reinterpret_cast<const uint8_t*>(piece.data()) + 112, piece.size() - 112);
    EXPECT_FALSE(r.Arriving().arriving);
    ASSERT_EQ(r.Next(&m), ReadState::kMessage);
    EXPECT_EQ(Describe(m), "piece 3 16384 16384 sum " + SumOf(16384));
    EXPECT_EQ(r.Buffered(), 0u);
}

// Messages after the handshake, each fed in chunks of every size.
TEST(BtReaderTest, MessagesInEveryChunking) {
    const Bytes have1 = Msg(4, BE32(1));
    const std::vector<StreamCase> cases = {
        {"simple messages",
         BE32(0) + Msg(0) + Msg(1) + Msg(2) + Msg(3) + Msg(4, BE32(72)) + Msg(0, "xyz"),
         "keep-alive|choke|unchoke|interested|not-interested|have 72|choke|buffered 0"},
        {"ids 9 and above skipped", Msg(9, "abc") + Msg(20, Bytes(100, 'e')) + have1,
         "skipped none|skipped none|have 1|buffered 0"},
        {"length 524288 accepted", Msg(9, Bytes(524287, 'x')) + have1,
         "skipped none|have 1|buffered 0"},
        {"length 524289 closes", have1 + Msg(9, Bytes(524288, 'x')) + have1,
         "have 1|fatal too-long"},
        {"negative length closes", BE32(0x80000000u) + "\x04" + BE32(1), "fatal too-long"},
        {"have at the piece count", have1 + Msg(4, BE32(73)) + Msg(4, BE32(2)),
         "have 1|fatal index-range"},
        {"have with a wrong length", Msg(4, Bytes("\0\0\1", 3)) + Msg(4, BE32(1) + "x") + have1,
         "skipped fixed-length|skipped fixed-length|have 1|buffered 0"},
        {"bitfield of 10 bytes for 73 pieces", Msg(5, Bytes(9, '\xff') + "\x80") + have1,
         "bitfield ffffffffffffffffff80|have 1|buffered 0"},
        {"bitfield of 9 bytes", Msg(5, Bytes(9, '\xff')) + have1, "fatal bitfield-length"},
        {"bitfield of 11 bytes", Msg(5, Bytes(11, '\xff')) + have1, "fatal bitfield-length"},
        {"empty bitfield", Msg(5) + have1, "skipped none|have 1|buffered 0"},
        {"request of 16 KiB", Msg(6, Triple(1, 16384, 16384)), "request 1 16384 16384|buffered 0"},
        {"request of 32 KiB", Msg(6, Triple(1, 0, 32768)) + have1, "fatal request-too-long"},
        {"request of 16385 bytes", Msg(6, Triple(1, 0, 16385)), "fatal request-too-long"},
        {"request at a piece's last block", Msg(6, Triple(0, 262144 - 16384, 16384)),
         "request 0 245760 16384|buffered 0"},
        {"request past the piece end", Msg(6, Triple(0, 262144 - 8192, 16384)),
         "fatal past-piece-end"},
        {"request of the short last piece", Msg(6, Triple(72, 0, 10000)),
         "request 72 0 10000|buffered 0"},
        {"request past the short last piece", Msg(6, Triple(72, 0, 10001)), "fatal past-piece-end"},
        {"request begin at the piece end", Msg(6, Triple(1, 262144, 1)), "fatal begin-range"},
        {"request index at the piece count", Msg(6, Triple(73, 0, 16384)), "fatal index-range"},
        {"request with a negative index", Msg(6, Triple(0xffffffffu, 0, 16384)),
         "fatal index-range"},
        {"request for no bytes", Msg(6, Triple(1, 0, 0)) + have1,
         "skipped zero-length|have 1|buffered 0"},
        {"request with a wrong length", Msg(6, Triple(1, 0, 16384) + "x") + have1,
         "skipped fixed-length|have 1|buffered 0"},
        {"cancel", Msg(8, Triple(2, 0, 16384)), "cancel 2 0 16384|buffered 0"},
        {"cancel index at the piece count", Msg(8, Triple(73, 0, 16384)), "fatal index-range"},
        {"block of 16 KiB", PieceMsg(1, 16384, 16384) + have1,
         "piece 1 16384 16384 sum " + SumOf(16384) + "|have 1|buffered 0"},
        {"block of 131072 bytes", PieceMsg(1, 131072, 131072),
         "piece 1 131072 131072 sum " + SumOf(131072) + "|buffered 0"},
        {"block of 131073 bytes", PieceMsg(1, 0, 131073), "fatal block-length"},
        {"piece without a block", Msg(7, BE32(1) + BE32(0)) + have1,
         "skipped fixed-length|have 1|buffered 0"},
        {"block at the piece count", PieceMsg(73, 0, 16), "fatal index-range"},
        {"block past the piece end", PieceMsg(72, 10000 - 16, 17), "fatal past-piece-end"},
        {"block begin beyond the piece", PieceMsg(72, 10000, 1), "fatal begin-range"},
        {"partial message waits", have1 + Msg(6, Triple(1, 0, 16384)).substr(0, 10),
         "have 1|buffered 10"},
    };
    for (const StreamCase& c : cases) CheckEveryChunking(c);
}

// Disguise headers and handshakes, each fed in chunks of every size.
TEST(BtReaderTest, HandshakesInEveryChunking) {
    const Bytes hs = Handshake(kInfoHash, kRemoteId);
    const Bytes id = Str(kRemoteId);
    const Bytes after = Msg(5, Bytes(10, '\0')) + Str(bt::kOpeningMessages);
    const Bytes opened = "bitfield 00000000000000000000|interested|unchoke|buffered 0";
    Bytes hello = "Hello" + hs;
    hello.resize(68);
    Bytes gex = "GEX / HTTP/1.0\r\n\r\n" + hs;
    const std::vector<StreamCase> cases = {
        {"plain", hs + after, "handshake ok plain " + id + "|" + opened, true},
        {"answer header first", bt::BuildDisguiseAnswer(1, 2) + hs + after,
         "handshake ok disguised " + id + "|" + opened, true},
        {"request header first", bt::BuildDisguiseRequest(inet_addr("1.2.3.4"), 6882, 0) + hs,
         "handshake ok disguised " + id + "|buffered 0", true},
        {"POST with bare line ends", "POST / HTTP/1.0\nHost: x\n\n" + hs,
         "handshake ok disguised " + id + "|buffered 0", true},
        {"only one header stripped", "GET / HTTP/1.0\r\n\r\nGET / HTTP/1.0\r\n\r\n" + hs,
         "handshake wrong-protocol", true},
        {"Hello first", hello, "handshake wrong-protocol", true},
        {"same first letters, other word", gex, "handshake wrong-protocol", true},
        {"own peer id", Handshake(kInfoHash, kOwnId) + after, "handshake own-peer-id", true},
        {"wrong info hash", Handshake(Fill(0x13, 0xab), kRemoteId) + after,
         "handshake wrong-info-hash", true},
        {"header without an end", "GET /" + Bytes(5000, 'a'), "handshake header-too-long", true},
        {"header without an end yet", "HTTP/1.0 200 OK\r\n", "buffered 17", true},
        {"short handshake waits", hs.substr(0, 67), "buffered 67", true},
    };
    for (const StreamCase& c : cases) CheckEveryChunking(c);
}

TEST(BtTransportTest, UdpChoiceAndIdentity) {
    const uint32_t ip = inet_addr("198.18.0.5");
    uint8_t engine[20];
    std::memcpy(engine, kOwnId.data(), 20);
    for (int i = 8; i < 20; ++i) engine[i] = static_cast<uint8_t>(i);
    uint8_t compact[20] = {0};
    std::memcpy(compact + 14, &ip, 4);
    compact[18] = 0x1a;
    compact[19] = 0xe1;
    uint8_t otherAddress[20] = {0};
    const uint32_t other = inet_addr("198.18.0.6");
    std::memcpy(otherAddress + 14, &other, 4);
    const uint8_t zero[20] = {0};
    const Bytes engineIdentity("\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f", 8);
    const Bytes compactIdentity =
        Bytes("\0\0", 2) + Bytes(reinterpret_cast<const char*>(&ip), 4) + "\x1a\xe1";
    struct Case {
        const char* name;
        int group;
        bool nat;
        int failed;
        const uint8_t* field;
        bool udp;
        Bytes identity;
    } cases[] = {
        {"first attempt", 19, true, 0, engine, true, engineIdentity},
        {"fourth attempt", 19, true, 3, engine, true, engineIdentity},
        {"second attempt", 19, true, 1, engine, false, engineIdentity},
        {"third attempt", 19, true, 2, engine, false, engineIdentity},
        {"group 34", 34, true, 0, engine, true, engineIdentity},
        {"LAN group 35", 35, true, 0, engine, false, engineIdentity},
        {"no NAT traversal", 19, false, 0, engine, false, engineIdentity},
        {"compact tracker entry", 19, true, 0, compact, true, compactIdentity},
        {"compact form, other address", 19, true, 0, otherAddress, true,
         Bytes(6, '\0') + "\xc6\x12"},
        {"no peer id at all", 19, true, 0, zero, false, Bytes(8, '\0')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const bt::TransportChoice t = bt::ChooseTransport(c.group, c.nat, c.failed, c.field, ip);
        EXPECT_EQ(t.overUdp, c.udp);
        EXPECT_EQ(Hex(Str(t.identity)), Hex(c.identity));
    }
}

// Another engine's handshake names its process identifier: the identity a
// UDP connect to it uses is the identifier's first 8 bytes.
TEST(BtTransportTest, EngineHandshakeCarriesTheUdpIdentity) {
    const uint8_t process[16] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 10, 11, 12, 13, 14, 15, 16};
    const auto id = tracker::MakePeerId("http://t.example/announce", 3, 99, 0x0100007f, process);
    Hash20 peerId;
    std::memcpy(peerId.data(), id.data(), 20);
    const Bytes hs = Handshake(kInfoHash, peerId);
    const bt::TransportChoice t = bt::ChooseTransport(
        19, true, 0, reinterpret_cast<const uint8_t*>(hs.data()) + 48, inet_addr("198.18.0.5"));
    EXPECT_TRUE(t.overUdp);
    EXPECT_EQ(Hex(Str(t.identity)), Hex(Bytes(reinterpret_cast<const char*>(process), 8)));
    EXPECT_TRUE(bt::SendsRejectNotice(reinterpret_cast<const uint8_t*>(hs.data()) + 48));
}

}  // namespace
