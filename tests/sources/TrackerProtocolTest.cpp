#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/sources/TrackerProtocol.h"
#include "tests/sources/TrackerBytes.h"

using namespace lf;

namespace {

using trackertest::AnnounceReply;
using trackertest::Compact;
using trackertest::ConnectReply;
using trackertest::Gzip;
using trackertest::PeerText;
using trackertest::Str;
using trackertest::TxOf;

using tracker::PeerEntry;
using tracker::Reply;
using tracker::ReplyState;

std::string Http(const std::string& body, bool withLength = true) {
    std::string r = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n";
    if (withLength) r += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return r + "\r\n" + body;
}

TEST(TrackerRequestTest, EscapingAndTargetByteForByte) {
    EXPECT_EQ(tracker::Escape(std::string("\x12\xab"
                                          "aZ9-_.~ /",
                                          11)),
              "%12%abaZ9%2d%5f%2e%7e%20%2f");
    tracker::AnnounceValues v;
    v.path = "/announce";
    v.infoHash.fill(0x41);
    v.infoHash[0] = 0x12;
    v.infoHash[1] = 0xab;
    const uint8_t id[20] = {0, 1, 'L', 'f', 0xff, 'x'};
    std::memcpy(v.peerId.data(), id, 20);
    v.listenPort = 6881;
    v.uploaded = 0;
    v.downloaded = 5;
    v.left = 5000000000ll;
    const std::string target = tracker::BuildAnnounceTarget(v);
    EXPECT_EQ(target,
              "/announce?info_hash=%12%abAAAAAAAAAAAAAAAAAA"
              "&peer_id=%00%01Lf%ffx%00%00%00%00%00%00%00%00%00%00%00%00%00%00"
              "&port=6881&uploaded=0&downloaded=5&left=5000000000"
              "&event=started&key=3800&compact=1&numwant=200");
    v.path = "/a?passkey=k";
    EXPECT_EQ(tracker::BuildAnnounceTarget(v).rfind("/a?passkey=k&info_hash=%12%ab", 0), 0u);
}

TEST(TrackerRequestTest, PeerIdForms) {
    const std::string text =
        "http://t.example/announce"
        "-2"
        "77"
        "1234"
        "16777343";
    unsigned char md5[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(text.data(), text.size(), md5, &n, EVP_md5(), nullptr);
    // An HTTP announce's: the marker, then 16 digest bytes.
    const auto http =
        tracker::MakePeerId("http://t.example/announce", 77, 1234, 0x0100007f, nullptr);
    EXPECT_EQ(std::memcmp(http.data(), "\x00\x01Lf", 4), 0);
    EXPECT_EQ(std::memcmp(http.data() + 4, md5, 16), 0);
    // The task's: bytes 8 to 19 from the process identifier.
    const uint8_t process[16] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 10, 11, 12, 13, 14, 15, 16};
    const auto task =
        tracker::MakePeerId("http://t.example/announce", 77, 1234, 0x0100007f, process);
    EXPECT_EQ(std::memcmp(task.data(), http.data(), 8), 0);
    EXPECT_EQ(std::memcmp(task.data() + 8, process, 12), 0);
}

TEST(TrackerRequestTest, HostCarriesThePortOnlyWhenNot80) {
    const struct {
        uint16_t port;
        const char* host;
    } cases[] = {{80, "Host: t.example\r\n"}, {6969, "Host: t.example:6969\r\n"}};
    for (const auto& c : cases) {
        EXPECT_EQ(tracker::BuildHttpRequest("/announce?x", "t.example", c.port),
                  std::string("GET /announce?x HTTP/1.0\r\nUser-Agent: BitTorrent/4.1.2\r\n") +
                      c.host + "Accept-Encoding: gzip\r\nConnection: close\r\n\r\n");
    }
}

struct ReplyCase {
    const char* name;
    std::string bytes;
    bool lengthKnown;  // complete before the close
    int32_t interval;
    std::vector<std::string> peers;
    int32_t donePeers = 0;
    int32_t completed = 0;
    const char* failure = nullptr;
};

// Every reply is fed as growing prefixes in chunks of every size: before
// the last byte it is incomplete, at its end the result is always the same.
TEST(TrackerReplyTest, TableInChunksOfEverySize) {
    const std::string two = Compact("198.18.0.5", 6881) + Compact("127.0.0.2", 51413);
    const std::string listPeers =
        "d5:peersld2:ip10:198.18.0.77:peer id20:ABCDEFGHIJKLMNOPQRST4:porti7000ee"
        "d2:ip10:198.18.0.84:porti7001eed2:ip7:0.0.0.04:porti7002ee"
        "d2:ip9:1.2.3.4.54:porti7003eed2:ip7:1.2.3.44:porti0eeee";
    const std::vector<ReplyCase> cases = {
        {"interval 60 gives 600",
         Http("d8:intervali60e5:peers" + Str(two) + "e"),
         true,
         600,
         {"198.18.0.5:6881", "127.0.0.2:51413"}},
        {"interval 61 kept", Http("d8:intervali61e5:peers0:e"), true, 61, {}},
        {"interval missing gives 600", Http("d5:peers0:e"), true, 600, {}},
        {"13 compact bytes give 2 peers",
         Http("d8:intervali1800e5:peers" + Str(two + "x") + "e"),
         true,
         1800,
         {"198.18.0.5:6881", "127.0.0.2:51413"}},
        {"port 0 and 0.0.0.0 skipped",
         Http("d5:peers" +
              Str(Compact("198.18.0.1", 0) + Compact("0.0.0.0", 1) + Compact("255.255.255.255", 2) +
                  Compact("198.18.0.9", 9)) +
              "e"),
         true,
         600,
         {"198.18.0.9:9"}},
        {"done peers and num completed",
         Http("d10:done peersi7e8:intervali900e13:num completedi3e5:peers0:e"),
         true,
         900,
         {},
         7,
         3},
        {"failure reason",
         Http("d14:failure reason21:info_hash not allowede"),
         true,
         600,
         {},
         0,
         0,
         "info_hash not allowed"},
        {"list peers with and without peer id",
         Http(listPeers),
         true,
         600,
         {"198.18.0.7:7000", "198.18.0.8:7001"}},
        {"lower-case header name",
         "HTTP/1.0 200 OK\r\ncontent-length: 11\r\n\r\nd5:peers0:e",
         true,
         600,
         {}},
        {"lf lf head", "HTTP/1.0 200 OK\nContent-Length: 11\n\nd5:peers0:e", true, 600, {}},
        {"no length, whole value",
         Http("d8:intervali99e5:peers" + Str(two) + "e", false),
         true,
         99,
         {"198.18.0.5:6881", "127.0.0.2:51413"}},
        {"gzip body",
         Http(Gzip("d8:intervali120e5:peers" + Str(two) + "e")),
         true,
         120,
         {"198.18.0.5:6881", "127.0.0.2:51413"}},
        {"gzip body without length",
         Http(Gzip("d8:intervali120e5:peers" + Str(two) + "e"), false),
         true,
         120,
         {"198.18.0.5:6881", "127.0.0.2:51413"}},
        {"not bencoded", Http("<html>no</html>"), true, 600, {}},
        {"no length, not bencoded: only at close", Http("garbage", false), false, 600, {}},
    };
    for (const auto& c : cases) {
        for (size_t chunk = 1; chunk <= c.bytes.size(); chunk += (chunk < 40 ? 1 : 37)) {
            size_t have = 0;
            ReplyState st = ReplyState::kIncomplete;
            Reply r;
            size_t used = 0;
            while (have < c.bytes.size()) {
                have = std::min(c.bytes.size(), have + chunk);
                st = tracker::ReadHttpReply(c.bytes.data(), have, false, &r, &used);
                if (st != ReplyState::kIncomplete) break;
            }
            if (!c.lengthKnown) {
                ASSERT_EQ(st, ReplyState::kIncomplete) << c.name;
                st = tracker::ReadHttpReply(c.bytes.data(), have, true, &r, &used);
            }
            ASSERT_EQ(st, ReplyState::kComplete) << c.name << " chunk " << chunk;
            ASSERT_EQ(have, c.bytes.size()) << c.name << " chunk " << chunk;
            EXPECT_EQ(used, c.bytes.size()) << c.name;
            EXPECT_EQ(r.interval, c.interval) << c.name;
            EXPECT_EQ(r.donePeers, c.donePeers) << c.name;
            EXPECT_EQ(r.numCompleted, c.completed) << c.name;
            EXPECT_EQ(r.failed, c.failure != nullptr) << c.name;
            if (c.failure != nullptr) {
                EXPECT_EQ(r.failureReason, c.failure) << c.name;
            }
            std::vector<std::string> got;
            for (const auto& p : r.peers) got.push_back(PeerText(p));
            EXPECT_EQ(got, c.peers) << c.name;
        }
    }
}

TEST(TrackerReplyTest, PeerIdFieldForms) {
    const std::string e = Compact("198.18.0.5", 6881);
    Reply r;
    size_t used = 0;
    ASSERT_EQ(tracker::ReadHttpReply(Http("d5:peers6:" + e + "e").c_str(),
                                     Http("d5:peers6:" + e + "e").size(), false, &r, &used),
              ReplyState::kComplete);
    ASSERT_EQ(r.peers.size(), 1u);
    uint8_t want[20] = {0};
    std::memcpy(want + 14, e.data(), 6);
    EXPECT_EQ(std::memcmp(r.peers[0].peerId.data(), want, 20), 0);

    const std::string list = Http(
        "d5:peersld2:ip10:198.18.0.77:peer id20:ABCDEFGHIJKLMNOPQRST4:porti7000e"
        "ed2:ip10:198.18.0.84:porti7001eeee");
    ASSERT_EQ(tracker::ReadHttpReply(list.data(), list.size(), false, &r, &used),
              ReplyState::kComplete);
    ASSERT_EQ(r.peers.size(), 2u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.peers[0].peerId.data()), 20),
              "ABCDEFGHIJKLMNOPQRST");
    const uint8_t byAddress[20] = {0, 0, 0,   0,  0, 0, 0,           0,         0, 0,
                                   0, 0, 198, 18, 0, 8, 7001 & 0xff, 7001 >> 8, 0, 0};
    EXPECT_EQ(std::memcmp(r.peers[1].peerId.data(), byAddress, 20), 0);
}

TEST(TrackerReplyTest, LengthHeldUntilTheWholeBodyArrived) {
    // Content-Length 100 arriving as 60 then 40 bytes.
    std::string body = "d5:peers" + Str(std::string(88, 'x')) + "e";
    ASSERT_EQ(body.size(), 100u);
    const std::string bytes = Http(body);
    Reply r;
    size_t used = 0;
    const size_t head = bytes.size() - 100;
    EXPECT_EQ(tracker::ReadHttpReply(bytes.data(), head + 60, false, &r, &used),
              ReplyState::kIncomplete);
    EXPECT_EQ(tracker::ReadHttpReply(bytes.data(), bytes.size(), false, &r, &used),
              ReplyState::kComplete);
    EXPECT_EQ(r.peers.size(), 14u);
}

TEST(TrackerReplyTest, OversizedRepliesAreRefused) {
    std::string big = "HTTP/1.1 200 OK\r\nContent-Length: 2000000\r\n\r\nd5:peers";
    Reply r;
    size_t used = 0;
    EXPECT_EQ(tracker::ReadHttpReply(big.data(), big.size(), false, &r, &used),
              ReplyState::kTooLarge);
    std::string noLength = "HTTP/1.1 200 OK\r\n\r\nd5:peers2000000:";
    noLength.resize(tracker::kMaxReplyBytes + 100, 'x');
    EXPECT_EQ(tracker::ReadHttpReply(noLength.data(), noLength.size(), false, &r, &used),
              ReplyState::kTooLarge);
    std::string noHead(70000, 'a');
    EXPECT_EQ(tracker::ReadHttpReply(noHead.data(), noHead.size(), false, &r, &used),
              ReplyState::kTooLarge);
    // A gzip bomb: small on the wire, above the limit decoded.
    const std::string bomb = Http(Gzip("d5:peers2000000:" + std::string(2000000, 'x') + "e"));
    EXPECT_EQ(tracker::ReadHttpReply(bomb.data(), bomb.size(), false, &r, &used),
              ReplyState::kTooLarge);
}

std::string Bytes(const uint8_t* d, size_t n) {
    return std::string(reinterpret_cast<const char*>(d), n);
}

TEST(TrackerUdpTest, ConnectAndAnnounceLayouts) {
    auto c = tracker::BuildConnectRequest(0x01020304);
    EXPECT_EQ(Bytes(c.data(), c.size()),
              std::string("\x00\x00\x04\x17\x27\x10\x19\x80\x00\x00\x00\x00\x04\x03\x02\x01", 16));
    tracker::AnnounceValues v;
    v.infoHash.fill(0xaa);
    v.peerId.fill(0xbb);
    v.downloaded = 0x0102;
    v.left = 0x0304;
    v.uploaded = 0x0506;
    v.listenAddress = inet_addr("198.18.0.1");
    v.listenPort = 6881;
    const std::array<uint8_t, 8> cid = {1, 2, 3, 4, 5, 6, 7, 8};
    auto a = tracker::BuildAnnounceRequest(cid, 0x11223344, v);
    std::string want =
        Bytes(cid.data(), 8) + std::string("\0\0\0\x01\x44\x33\x22\x11", 8) +
        std::string(20, '\xaa') + std::string(20, '\xbb') +
        std::string("\0\0\0\0\0\0\x01\x02\0\0\0\0\0\0\x03\x04\0\0\0\0\0\0\x05\x06", 24) +
        std::string("\0\0\0\x02\xc6\x12\0\x01\0\0\0\0\0\0\0\xc8\x1a\xe1", 18) +
        std::string(6, '\0');
    ASSERT_EQ(want.size(), 104u);
    EXPECT_EQ(Bytes(a.data(), a.size()), want);
}

tracker::UdpExchange::Outcome Feed(tracker::UdpExchange& x, const std::string& d,
                                   std::vector<PeerEntry>* peers) {
    return x.OnDatagram(reinterpret_cast<const uint8_t*>(d.data()), d.size(), peers);
}

TEST(TrackerUdpTest, ExchangeMatchesTransactionsAndRepeats) {
    using Outcome = tracker::UdpExchange::Outcome;
    tracker::AnnounceValues v;
    tracker::UdpExchange x;
    std::vector<PeerEntry> peers;
    const std::string c1 = x.Poll(100, v);
    ASSERT_EQ(c1.size(), 16u);
    EXPECT_EQ(TxOf(c1), 100u);
    EXPECT_TRUE(x.Poll(110, v).empty());  // 10 s old: not yet
    // The first connect got lost; the second goes out after more than 10 s.
    const std::string c2 = x.Poll(111, v);
    ASSERT_EQ(c2.size(), 16u);
    EXPECT_EQ(x.ConnectTries(), 2);
    // A reply to another transaction, an error (action 3): ignored.
    EXPECT_EQ(Feed(x, ConnectReply(100, "CIDCIDCI"), &peers), Outcome::kIgnored);
    EXPECT_EQ(Feed(x, std::string("\0\0\0\x03", 4) + c2.substr(12, 4) + "error", &peers),
              Outcome::kIgnored);
    EXPECT_FALSE(x.Connected());
    EXPECT_EQ(Feed(x, ConnectReply(TxOf(c2), "CIDCIDCI"), &peers), Outcome::kConnected);
    const std::string a1 = x.Poll(112, v);
    ASSERT_EQ(a1.size(), 104u);
    EXPECT_EQ(a1.substr(0, 8), "CIDCIDCI");
    EXPECT_EQ(TxOf(a1), 113u);
    const std::string entries = Compact("127.0.0.2", 6881) + Compact("0.0.0.0", 5) + "xyz";
    EXPECT_EQ(Feed(x, AnnounceReply(999, entries), &peers), Outcome::kIgnored);
    EXPECT_TRUE(x.Poll(122, v).empty());
    const std::string a2 = x.Poll(123, v);  // repeated after more than 10 s
    ASSERT_EQ(a2.size(), 104u);
    EXPECT_EQ(Feed(x, AnnounceReply(TxOf(a2), entries), &peers), Outcome::kAnswered);
    ASSERT_EQ(peers.size(), 1u);
    EXPECT_EQ(PeerText(peers[0]), "127.0.0.2:6881");
    // UDP entries carry the entry in bytes 14 to 19, like compact HTTP ones.
    EXPECT_EQ(Bytes(peers[0].peerId.data() + 14, 6), Compact("127.0.0.2", 6881));
    EXPECT_TRUE(x.Answered());
    EXPECT_TRUE(x.Poll(200, v).empty());
}

TEST(TrackerUdpTest, ConnectsAgainWhenTheConnectionIdIsOld) {
    using Outcome = tracker::UdpExchange::Outcome;
    tracker::AnnounceValues v;
    tracker::UdpExchange x;
    std::vector<PeerEntry> peers;
    const std::string c1 = x.Poll(100, v);
    ASSERT_EQ(Feed(x, ConnectReply(TxOf(c1), "CIDCIDCI"), &peers), Outcome::kConnected);
    uint32_t t = 100;
    for (; t <= 160; ++t) {
        const std::string d = x.Poll(t, v);
        if (!d.empty()) {
            EXPECT_EQ(d.size(), 104u) << t;  // announces while the id is fresh
        }
    }
    std::string d;
    for (; d.empty() && t < 200; ++t) d = x.Poll(t, v);
    EXPECT_EQ(d.size(), 16u);  // then a new connect request
    EXPECT_FALSE(x.Connected());
    EXPECT_EQ(x.ConnectTries(), 1);
    ASSERT_EQ(Feed(x, ConnectReply(TxOf(d), "NEWIDNEW"), &peers), Outcome::kConnected);
    const std::string a = x.Poll(t, v);
    ASSERT_EQ(a.size(), 104u);
    EXPECT_EQ(a.substr(0, 8), "NEWIDNEW");
}

TEST(TrackerUdpTest, GivesUpAfterFourConnects) {
    tracker::AnnounceValues v;
    tracker::UdpExchange x(2);
    int sent = 0;
    for (uint32_t t = 1; t < 40 && !x.GaveUp(); ++t) sent += x.Poll(t, v).empty() ? 0 : 1;
    EXPECT_EQ(sent, 4);
    EXPECT_TRUE(x.GaveUp());
    EXPECT_FALSE(x.Connected());
}

TEST(TrackerUdpTest, ShortAndOddDatagrams) {
    tracker::Datagram d;
    const uint8_t seven[7] = {0};
    EXPECT_FALSE(tracker::ReadDatagram(seven, 7, &d));
    const std::string r = AnnounceReply(5, Compact("198.18.0.1", 80) + Compact("198.18.0.2", 81));
    for (size_t n = 8; n <= r.size(); ++n) {
        ASSERT_TRUE(tracker::ReadDatagram(reinterpret_cast<const uint8_t*>(r.data()), n, &d));
        EXPECT_EQ(d.action, 1u);
        EXPECT_EQ(d.transaction, 5u);
        EXPECT_EQ(d.peers.size(), n < 26 ? 0u : n < 32 ? 1u : 2u) << n;
    }
}

}  // namespace
