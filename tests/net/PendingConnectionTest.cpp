// The pending-connection classifier over bytes: headers, handshakes, ages,
// and the same streams cut into chunks of every size.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/net/PendingConnection.h"

using namespace lf;
using namespace lf::incoming;

namespace {

std::string Hash(char c) {
    return std::string(20, c);
}

// 68 bytes: 19, the protocol, 8 reserved bytes, the info hash, a peer id.
std::string Handshake(const std::string& hash, const char* protocol = "BitTorrent protocol") {
    std::string h(1, '\x13');
    h += protocol;
    h += std::string(8, '\0');
    h += hash;
    h += "-XX0001-abcdefghijkl";
    return h;
}

// The first message of an encrypted handshake as aria2 and libtorrent open
// with it: a 96-byte key and up to 512 bytes of padding, all of it random
// bytes (here fixed ones; the first is neither 19 nor a header's letter).
std::string EncryptedOpening(size_t padding = 200) {
    std::string b;
    uint32_t x = 2463534242u;
    for (size_t i = 0; i < 96 + padding; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b.push_back(static_cast<char>(x & 0xff));
    }
    b[0] = '\x8c';
    return b;
}

// Task 'A' is ours, 'B' belongs to another task, everything else to nobody.
Owner Lookup(const uint8_t* hash) {
    if (std::memcmp(hash, Hash('A').data(), 20) == 0) return Owner::kThisTask;
    if (std::memcmp(hash, Hash('B').data(), 20) == 0) return Owner::kOtherTask;
    return Owner::kNobody;
}

Decision ClassifyText(const std::string& bytes, uint32_t ageMs, bool headerAllowed = true) {
    return Classify(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), headerAllowed,
                    ageMs, Lookup);
}

const char* Name(Verdict v) {
    switch (v) {
        case Verdict::kKeep:
            return "keep";
        case Verdict::kOffer:
            return "offer";
        case Verdict::kClose:
            return "close";
    }
    return "?";
}

TEST(PendingConnectionTest, Decisions) {
    const std::string get = "GET / HTTP/1.0\r\nHost: 67305985:1\r\n\r\n";
    const struct {
        const char* name;
        std::string bytes;
        uint32_t ageMs;
        Verdict verdict;
        size_t strip;
    } cases[] = {
        {"nothing yet", "", 0, Verdict::kKeep, 0},
        {"nothing for 3 s", "", 3000, Verdict::kClose, 0},
        {"handshake for this task", Handshake(Hash('A')), 0, Verdict::kOffer, 0},
        {"48 bytes name this task", Handshake(Hash('A')).substr(0, 48), 0, Verdict::kOffer, 0},
        {"47 bytes are not enough", Handshake(Hash('A')).substr(0, 47), 0, Verdict::kKeep, 0},
        {"47 bytes at 3 s", Handshake(Hash('A')).substr(0, 47), 3000, Verdict::kClose, 0},
        {"handshake for nobody", Handshake(Hash('C')), 0, Verdict::kClose, 0},
        {"48 bytes for nobody", Handshake(Hash('C')).substr(0, 48), 0, Verdict::kClose, 0},
        {"another protocol", Handshake(Hash('A'), "BitTorrent protocoL"), 0, Verdict::kClose, 0},
        {"another task's handshake waits", Handshake(Hash('B')), 4999, Verdict::kKeep, 0},
        {"another task's handshake at 5 s", Handshake(Hash('B')), 5000, Verdict::kClose, 0},
        {"another task's 48 bytes at 3 s", Handshake(Hash('B')).substr(0, 48), 3000,
         Verdict::kClose, 0},
        {"junk waits", "hello", 2999, Verdict::kKeep, 0},
        {"68 bytes of junk wait up to 5 s", std::string(68, 'x'), 4999, Verdict::kKeep, 0},
        {"67 bytes of junk go at 3 s", std::string(67, 'x'), 3000, Verdict::kClose, 0},
        {"disguised handshake", get + Handshake(Hash('A')), 0, Verdict::kOffer, get.size()},
        {"LF-only header", "GET /\n\n" + Handshake(Hash('A')), 0, Verdict::kOffer, 7},
        {"answer header", "HTTP/1.0 200 OK\r\n\r\n" + Handshake(Hash('A')), 0, Verdict::kOffer, 19},
        {"POST header", "POST / HTTP/1.0\r\n\r\n" + Handshake(Hash('A')), 0, Verdict::kOffer, 19},
        {"header alone: strip and wait", get, 0, Verdict::kKeep, get.size()},
        {"header, then a handshake for nobody", get + Handshake(Hash('C')), 0, Verdict::kClose,
         get.size()},
        {"a short header without its end waits", "GET / HTTP/1.0\r\nX-A: b\r\n", 2999,
         Verdict::kKeep, 0},
        {"... up to 3 s", "GET / HTTP/1.0\r\nX-A: b\r\n", 3000, Verdict::kClose, 0},
        {"a long one up to 5 s", "GET / HTTP/1.0\r\nX-A: " + std::string(60, 'b'), 4999,
         Verdict::kKeep, 0},
        {"... not longer", "GET / HTTP/1.0\r\nX-A: " + std::string(60, 'b'), 5000, Verdict::kClose,
         0},
        {"... or the read cap", "GET / HTTP/1.0\r\n" + std::string(kReadCap, 'x'), 0,
         Verdict::kClose, 0},
        {"GEX is junk, not a header", "GEX / HTTP/1.0\r\n\r\n", 0, Verdict::kKeep, 0},
        {"Hello is not a header", "Hello\r\n\r\n" + Handshake(Hash('A')), 0, Verdict::kKeep, 0},
        // 96 bytes that start neither a handshake nor a header never will.
        {"an encrypted opening goes at once", EncryptedOpening(), 0, Verdict::kClose, 0},
        {"its 96-byte key alone too", EncryptedOpening(0), 0, Verdict::kClose, 0},
        {"95 bytes of it wait", EncryptedOpening(0).substr(0, 95), 2999, Verdict::kKeep, 0},
        {"96 bytes of junk go at once", std::string(96, 'x'), 0, Verdict::kClose, 0},
        {"a header, then 96 unknown bytes", get + std::string(96, 'x'), 0, Verdict::kClose,
         get.size()},
        {"a header still coming is not cut at 96 bytes",
         "GET / HTTP/1.0\r\nX-A: " + std::string(100, 'b'), 0, Verdict::kKeep, 0},
        {"another task's handshake and more bytes wait",
         Handshake(Hash('B')) + std::string(60, 'm'), 4999, Verdict::kKeep, 0},
        {"19 and 95 other bytes are another protocol", "\x13" + std::string(95, 'x'), 0,
         Verdict::kClose, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Decision d = ClassifyText(c.bytes, c.ageMs);
        EXPECT_STREQ(Name(d.verdict), Name(c.verdict));
        EXPECT_EQ(d.stripBytes, c.strip);
        EXPECT_EQ(d.disguised, c.strip > 0);
    }
}

TEST(PendingConnectionTest, HeaderOnlyAtTheStart) {
    // After a stripped header (or other first bytes) a second header is
    // not looked for: the bytes are the handshake or junk.
    const std::string get = "GET / HTTP/1.0\r\n\r\n";
    const Decision d = ClassifyText(get + Handshake(Hash('A')), 0, false);
    EXPECT_EQ(d.verdict, Verdict::kKeep);
    EXPECT_EQ(d.stripBytes, 0u);
    EXPECT_TRUE(ClassifyText("x", 0).headerSettled);
    EXPECT_FALSE(ClassifyText("GE", 0).headerSettled);
    EXPECT_TRUE(ClassifyText(get, 0).headerSettled);
}

// What the dispatch does with a connection whose bytes arrive `chunk` at a
// time: classify after every arrival, strip what it says. Answers the final
// verdict, whether it was disguised and what is left buffered.
struct Outcome {
    Verdict verdict = Verdict::kKeep;
    bool disguised = false;
    std::string left;
    size_t arrivals = 0;
};
Outcome Feed(const std::string& stream, size_t chunk) {
    Outcome o;
    std::string buffer;
    bool headerAllowed = true;
    size_t at = 0;
    while (at < stream.size()) {
        const size_t n = std::min(chunk, stream.size() - at);
        buffer.append(stream, at, n);
        at += n;
        ++o.arrivals;
        const Decision d = Classify(reinterpret_cast<const uint8_t*>(buffer.data()), buffer.size(),
                                    headerAllowed, 0, Lookup);
        buffer.erase(0, d.stripBytes);
        o.disguised = o.disguised || d.disguised;
        if (d.headerSettled) headerAllowed = false;
        o.verdict = d.verdict;
        if (d.verdict != Verdict::kKeep) break;
    }
    o.left = buffer;
    return o;
}

TEST(PendingConnectionTest, ChunksOfEverySize) {
    const std::string hs = Handshake(Hash('A'));
    const struct {
        const char* name;
        std::string stream;
        Verdict verdict;
        bool disguised;
    } cases[] = {
        {"plain", hs, Verdict::kOffer, false},
        {"CR LF header", "GET / HTTP/1.0\r\nHost: 67305985:1\r\n\r\n" + hs, Verdict::kOffer, true},
        {"LF header", "GET / HTTP/1.0\nUser-Agent: x\n\n" + hs, Verdict::kOffer, true},
        {"mixed end", "HTTP/1.0 200 OK\r\nConnection: Close\n\r\n" + hs, Verdict::kOffer, true},
        {"nobody's", Handshake(Hash('C')), Verdict::kClose, false},
        {"header, nobody's", "GET / HTTP/1.0\r\n\r\n" + Handshake(Hash('C')), Verdict::kClose,
         true},
    };
    for (const auto& c : cases) {
        for (size_t chunk = 1; chunk <= c.stream.size(); ++chunk) {
            SCOPED_TRACE(std::string(c.name) + " in chunks of " + std::to_string(chunk));
            const Outcome o = Feed(c.stream, chunk);
            ASSERT_STREQ(Name(o.verdict), Name(c.verdict));
            ASSERT_EQ(o.disguised, c.disguised);
            if (c.verdict == Verdict::kOffer) {
                // Offered as soon as the info hash was in, never before.
                ASSERT_EQ(o.left.substr(0, 48), hs.substr(0, 48));
                ASSERT_LE(o.left.size(), hs.size());
            }
        }
    }
}

// An encrypted opening is closed on the arrival that makes 96 bytes
// buffered, not before, however it is cut; after a stripped header the same
// counts from the header's end.
TEST(PendingConnectionTest, UnknownOpeningGoesOnceItsKeyIsIn) {
    const std::string header = "GET / HTTP/1.0\r\n\r\n";
    const struct {
        const char* name;
        std::string stream;
        size_t closesAt;  // bytes of the stream in when it is closed
        bool disguised;
    } cases[] = {
        {"plain", EncryptedOpening(), 96, false},
        {"after a header", header + EncryptedOpening(), header.size() + 96, true},
    };
    for (const auto& c : cases) {
        for (size_t chunk = 1; chunk <= c.stream.size(); ++chunk) {
            SCOPED_TRACE(std::string(c.name) + " in chunks of " + std::to_string(chunk));
            const Outcome o = Feed(c.stream, chunk);
            ASSERT_STREQ(Name(o.verdict), "close");
            ASSERT_EQ(o.arrivals, (c.closesAt + chunk - 1) / chunk);
            ASSERT_EQ(o.disguised, c.disguised);
        }
    }
}

TEST(PendingConnectionTest, HandshakeForATask) {
    const std::string a = Hash('A');
    auto is = [&](const std::string& bytes) {
        return IsHandshakeFor(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                              reinterpret_cast<const uint8_t*>(a.data()));
    };
    EXPECT_TRUE(is(Handshake(a)));
    EXPECT_TRUE(is(Handshake(a).substr(0, 48)));
    EXPECT_FALSE(is(Handshake(a).substr(0, 47)));
    EXPECT_FALSE(is(Handshake(Hash('B'))));
    EXPECT_FALSE(is(Handshake(a, "BitTorrent Protocol")));
    EXPECT_FALSE(is("\x12" + Handshake(a).substr(1)));
    EXPECT_FALSE(is("GET / HTTP/1.0\r\n\r\n" + Handshake(a)));
}

TEST(PendingConnectionTest, Crowding) {
    const struct {
        size_t pending;
        uint32_t ageMs;
        size_t size;
        bool trimmed;
    } cases[] = {
        {32, 4000, 0, false},  {33, 3001, 68, true},  {33, 3000, 68, false}, {33, 1001, 67, true},
        {33, 1000, 67, false}, {33, 2000, 68, false}, {100, 500, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.pending) + " pending, " + std::to_string(c.ageMs) + " ms, " +
                     std::to_string(c.size) + " bytes");
        EXPECT_EQ(TrimWhenCrowded(c.pending, c.ageMs, c.size), c.trimmed);
    }
}

}  // namespace
