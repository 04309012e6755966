// Hostile and broken BitTorrent peers against a real task: each case is a
// small scripted peer that announces itself to opentracker, takes the
// engine's connection and then misbehaves in one way. For every case the
// target ends byte-exact, the task completes from its throttled HTTP mirror
// (or, where the peer stays acceptable, from the peer as well), and the
// scripted peer sees the engine do what the wire rules ask: close the
// connection, keep it and request blocks, or cancel requests a silent peer
// never answers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/TrackerEngine.h"
#include "tests/support/NetLab.h"
#include "tests/support/Nginx.h"
#include "tests/support/ScriptedPeer.h"

using namespace lf;

namespace {

namespace wire = lftest::wire;
using std::chrono::milliseconds;
using std::chrono::seconds;

// 73 pieces of 128 KiB (so that a 131072-byte block fits in one piece), the
// last one 10000 bytes.
constexpr uint32_t kPieceLength = 131072;
constexpr uint32_t kPieces = 73;
constexpr size_t kFileSize = size_t{kPieces - 1} * kPieceLength + 10000;

// What the engine did with the scripted peer's first connection.
enum class Expect {
    kStaysOpen,  // it went on to request blocks after the questionable bytes
    kCloses,     // it closed the connection (and asked for nothing after the bad bytes)
    kCancels,    // requests left unanswered were cancelled (or the connection closed)
    kAny,        // whatever becomes of the connection, the target must come out right
};

struct Seen {
    bool connected = false;
    bool handshake = false;  // the engine's handshake arrived
    bool requested = false;  // a request came after the case's bytes
    bool cancelled = false;  // a cancel came
    bool closed = false;     // the engine closed the connection
};

// What a case script has at hand.
struct Context {
    std::string infoHash;  // 20 bytes
    std::string peerId;    // the scripted peer's own
    const std::string* data = nullptr;
};

class BtHostilePeerTest : public ::testing::Test {
protected:
    void SetUp() override {
        // aria2 is run here: a namespace of the test's own keeps the
        // addresses it sees at start unchanged while it runs.
        static const bool own = lftest::EnterOwnNetworkNamespace();
        ASSERT_TRUE(own) << "run inside unshare --net";
        for (const char* p : {"opentracker", "mktorrent", "nginx", "aria2c"})
            ASSERT_TRUE(lftest::HaveProgram(p)) << p;
        ASSERT_EQ(lftest::Run("mkdir -p '" + dir / "www" + "' '" + dir / "out" + "'"), 0);
        // Content of this process only (cases run side by side; engines of
        // one torrent would find each other on the local network).
        data = lftest::PseudoRandomBytes(kFileSize, 21 + static_cast<unsigned>(getpid()));
        lftest::WriteFile(dir / "www/data.bin", data);
        hashHex = lfe2e::InfoHashOf(MakeTorrent("http://x/a", dir / "probe.torrent"));
        ASSERT_EQ(hashHex.size(), 40u);
        ASSERT_TRUE(tracker.Start({hashHex}));
        torrent = MakeTorrent(tracker.HttpAnnounce(), dir / "data.torrent");
        // Each HTTP connection gets 512 KiB/s, so that the peer is reached
        // and has its say before the mirror alone would finish.
        ASSERT_TRUE(nginx.Start(
            dir / "www", "location /slow/ { alias " + dir / "www/" + "; limit_rate 512k; }"));
        saved = GetEngineTimings();
        StartEngine();
    }
    void TearDown() override {
        if (engineRunning) lfe2e::StopEngine();
        SetEngineTimings(saved);
    }
    // The engine knows a torrent once per run (a second task of it is a
    // duplicate), so each case has an engine of its own.
    void StartEngine() {
        lfe2e::StartEngine(dir, lftest::FreeTcpPort());
        // Every engine line is caught, for the report of a failed case.
        EngineLog::SetThresholds(40, 0);
        SetHttpDisguise(0);
        engineRunning = true;
    }
    void StopEngine() {
        lfe2e::StopEngine();
        engineRunning = false;
    }

    // A private torrent of 128 KiB pieces.
    std::string MakeTorrent(const std::string& announce, const std::string& out) {
        EXPECT_EQ(lftest::Run("mktorrent -p -l 17 -a '" + announce + "' -o '" + out + "' '" +
                              dir / "www/data.bin" + "' >/dev/null"),
                  0);
        return out;
    }

    lftest::TempDir dir;
    std::string data;
    std::string hashHex;
    std::string torrent;
    lftest::OpenTracker tracker;
    lftest::NginxServer nginx;
    EngineTimings saved;
    bool engineRunning = false;
};

// Reads what the engine sends for up to `limit`: true when a request came
// (*seen notes requests, cancels and a close).
bool WatchForRequest(lftest::PeerConnection& c, Seen* seen, milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        int id = 0;
        std::string payload;
        if (!c.ReadMessage(&id, &payload, milliseconds(200))) {
            if (c.Closed()) {
                seen->closed = true;
                return false;
            }
            continue;
        }
        if (id == 6) {
            seen->requested = true;
            return true;
        }
        if (id == 8) seen->cancelled = true;
    }
    return false;
}

// Answers every request with the right bytes until the engine closes or the
// peer stops.
void ServeHonestly(lftest::PeerConnection& c, const Context& x, Seen* seen) {
    for (;;) {
        int id = 0;
        std::string payload;
        if (!c.ReadMessage(&id, &payload, milliseconds(500))) {
            if (c.Closed()) {
                seen->closed = true;
                return;
            }
            if (c.Stopping()) return;
            continue;
        }
        if (id != 6 || payload.size() != 12) continue;
        const uint32_t index = wire::ReadBe32(payload, 0);
        const uint32_t begin = wire::ReadBe32(payload, 4);
        const uint32_t length = wire::ReadBe32(payload, 8);
        const size_t at = size_t{index} * kPieceLength + begin;
        if (at + length > x.data->size()) continue;
        if (!c.Send(wire::Piece(index, begin, x.data->substr(at, length)))) return;
    }
}

// The engine's handshake (it connects out); false when none came.
bool TakeHandshake(lftest::PeerConnection& c, const Context& x, Seen* seen,
                   std::string* enginePeerId) {
    std::string h;
    if (!c.ReadHandshake(&h, seconds(30))) return false;
    seen->handshake = h.compare(28, 20, x.infoHash) == 0;
    *enginePeerId = h.substr(48, 20);
    return true;
}

const std::string kFullBitfield = wire::FullBitfield(kPieces, (kPieces + 7) / 8);
const std::string kUnchoke = wire::Message(1, "");

// A case whose bad bytes come right after a proper handshake, followed by
// the bitfield and an unchoke: an engine that took the bytes and went on
// requests a block.
std::function<void(lftest::PeerConnection&, const Context&, Seen*)> BadThenOffer(std::string bad) {
    return [bad](lftest::PeerConnection& c, const Context& x, Seen* seen) {
        std::string id;
        if (!TakeHandshake(c, x, seen, &id)) return;
        c.Send(wire::Handshake(x.infoHash, x.peerId));
        c.Send(bad + kFullBitfield + kUnchoke);
        if (WatchForRequest(c, seen, seconds(20))) ServeHonestly(c, x, seen);
    };
}

// A case that answers the engine's first request with `block(index, begin)`.
std::function<void(lftest::PeerConnection&, const Context&, Seen*)> AnswerFirstRequestWith(
    std::function<std::string(uint32_t, uint32_t, const Context&)> block) {
    return [block](lftest::PeerConnection& c, const Context& x, Seen* seen) {
        std::string id;
        if (!TakeHandshake(c, x, seen, &id)) return;
        c.Send(wire::Handshake(x.infoHash, x.peerId) + kFullBitfield + kUnchoke);
        for (;;) {
            int mid = 0;
            std::string payload;
            if (!c.ReadMessage(&mid, &payload, seconds(20))) return;
            if (mid == 6 && payload.size() == 12) {
                c.Send(block(wire::ReadBe32(payload, 0), wire::ReadBe32(payload, 4), x));
                break;
            }
        }
        seen->requested = false;  // requests from before the bad block do not count
        if (c.WaitClosed(seconds(20))) seen->closed = true;
    };
}

// A handshake of `h` bytes in place of a proper one.
std::function<void(lftest::PeerConnection&, const Context&, Seen*)> HandshakeThenOffer(
    std::function<std::string(const Context&, const std::string& enginePeerId)> h) {
    return [h](lftest::PeerConnection& c, const Context& x, Seen* seen) {
        std::string engineId;
        if (!TakeHandshake(c, x, seen, &engineId)) return;
        c.Send(h(x, engineId) + kFullBitfield + kUnchoke);
        WatchForRequest(c, seen, seconds(20));
        if (!seen->closed && c.WaitClosed(seconds(5))) seen->closed = true;
    };
}

std::string LongMessage(uint32_t length) {
    // An id the wire does not know (skipped when the length is acceptable).
    return wire::Be32(length) + '\x14' + std::string(length - 1, '\0');
}

std::string BitfieldOf(size_t bytes) {
    return wire::FullBitfield(kPieces, bytes);
}

using Script = std::function<void(lftest::PeerConnection&, const Context&, Seen*)>;

struct HostileCase {
    const char* name;
    Expect expect;
    Script script;
};

// The table of hostile peers; each case runs as a test of its own (and
// ctest runs them side by side), each with an engine, tracker and mirror
// of its own.
const std::vector<HostileCase>& HostileCases() {
    static const std::vector<HostileCase> cases = {
        {"message of 524288 bytes", Expect::kStaysOpen, BadThenOffer(LongMessage(524288))},
        {"message of 524289 bytes", Expect::kCloses, BadThenOffer(LongMessage(524289))},
        {"bitfield of 10 bytes for 73 pieces", Expect::kStaysOpen, BadThenOffer(BitfieldOf(10))},
        {"bitfield of 9 bytes", Expect::kCloses, BadThenOffer(BitfieldOf(9))},
        {"bitfield of 11 bytes", Expect::kCloses, BadThenOffer(BitfieldOf(11))},
        {"have for the piece count", Expect::kCloses, BadThenOffer(wire::Have(kPieces))},
        {"request for 32 KiB", Expect::kCloses, BadThenOffer(wire::Request(0, 0, 32768))},
        {"block nobody requested", Expect::kCloses,
         BadThenOffer(wire::Piece(5, 0, std::string(16384, '\x5a')))},
        // A block of 131072 bytes passes the reader but matches none of the
        // 16 KiB requests; its bytes are wrong, so a store would show.
        {"block of 131072 bytes", Expect::kCloses,
         AnswerFirstRequestWith([](uint32_t index, uint32_t, const Context&) {
             return wire::Piece(index, 0, std::string(131072, '\x5a'));
         })},
        {"block of 131073 bytes", Expect::kCloses,
         AnswerFirstRequestWith([](uint32_t index, uint32_t, const Context&) {
             return wire::Piece(index, 0, std::string(131073, '\x5a'));
         })},
        {"requested block with wrong bytes", Expect::kAny,
         AnswerFirstRequestWith([](uint32_t index, uint32_t begin, const Context&) {
             return wire::Piece(index, begin, std::string(16384, '\x5a'));
         })},
        {"Hello first", Expect::kCloses, HandshakeThenOffer([](const Context&, const std::string&) {
             return "Hello" + std::string(63, 'x');
         })},
        {"the engine's own peer id", Expect::kCloses,
         HandshakeThenOffer([](const Context& x, const std::string& engineId) {
             return wire::Handshake(x.infoHash, engineId);
         })},
        {"another info hash", Expect::kCloses,
         HandshakeThenOffer([](const Context& x, const std::string&) {
             std::string other = x.infoHash;
             other[0] = static_cast<char>(other[0] ^ 1);
             return wire::Handshake(other, x.peerId);
         })},
        {"silent with requests pending", Expect::kCancels,
         [](lftest::PeerConnection& c, const Context& x, Seen* seen) {
             std::string id;
             if (!TakeHandshake(c, x, seen, &id)) return;
             c.Send(wire::Handshake(x.infoHash, x.peerId) + kFullBitfield + kUnchoke);
             if (!WatchForRequest(c, seen, seconds(20))) return;
             // Never answers; watches for cancels until the engine closes.
             while (!seen->cancelled && !seen->closed) {
                 int mid = 0;
                 std::string payload;
                 if (!c.ReadMessage(&mid, &payload, milliseconds(500))) {
                     if (c.Closed()) seen->closed = true;
                     if (c.Stopping()) return;
                     continue;
                 }
                 if (mid == 8) seen->cancelled = true;
             }
         }},
    };
    return cases;
}

class BtHostilePeerCase : public BtHostilePeerTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(BtHostilePeerCase, BadPeerIsHandledAndNoCorruptByteReachesTheTarget) {
    const size_t n = GetParam() + 1;
    const HostileCase& k = HostileCases()[GetParam()];
    SCOPED_TRACE(k.name);
    const std::string address = "127.0.0." + std::to_string(20 + n);
    Context x;
    x.infoHash = wire::FromHex(hashHex);
    x.peerId = "-SP0001-" + std::string(10, 'a') + static_cast<char>('a' + n / 26) +
               static_cast<char>('a' + n % 26);
    x.data = &data;
    std::mutex lock;
    Seen first;
    bool firstDone = false;
    lftest::ScriptedPeer peer;
    ASSERT_TRUE(peer.Start(address, [&](lftest::PeerConnection& c) {
        Seen s;
        s.connected = true;
        k.script(c, x, &s);
        std::lock_guard<std::mutex> g(lock);
        if (!firstDone) first = s;
        firstDone = true;
    }));
    ASSERT_TRUE(lftest::AnnounceAsPeer(tracker.Address(), tracker.Port(), address, x.infoHash,
                                       x.peerId, peer.Port(), 0, "started"));
    ASSERT_TRUE(lfe2e::WaitForScrape(tracker, hashHex, 10, [](auto c) { return c.complete >= 1; }));

    std::string keep;
    const std::string target = dir / ("out/case" + std::to_string(n) + ".bin");
    auto d = lfe2e::DescribeTask(nginx.Url("/slow/data.bin?case=" + std::to_string(n)), target,
                                 torrent, &keep);
    ASSERT_EQ(CreateAndStartTask(&d), 0);
    SetTaskConnectionLimits(d.handle, 2, 20);
    const auto began = std::chrono::steady_clock::now();
    const lfe2e::Download done = lfe2e::WaitForTask(d.handle, 100);
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::printf("%-36s %5.1f s, %d connections\n", k.name, took, peer.Accepted());
    // The first connection's script has ended (or ends now).
    for (int i = 0; i < 300; ++i) {
        {
            std::lock_guard<std::mutex> g(lock);
            if (firstDone) break;
        }
        std::this_thread::sleep_for(milliseconds(100));
    }
    StopEngine();
    peer.Stop();

    EXPECT_EQ(done.status, 20206) << "progress " << done.info.progress << ", HTTP bytes "
                                  << done.info.httpBytes << ", BitTorrent bytes "
                                  << done.info.btBytes << ", connections " << peer.Accepted();
    EXPECT_TRUE(lftest::ReadFile(target) == data) << "the target differs from the original";
    if (HasFailure() || std::getenv("LF_TEST_ENGINE_LOG") != nullptr) {
        // The engine's last log lines tell what became of the sources.
        const std::vector<std::string> lines = lfe2e::CaughtLog::Matching("");
        for (size_t i = lines.size() > 400 ? lines.size() - 400 : 0; i < lines.size(); ++i)
            std::printf("engine: %s\n", lines[i].c_str());
    }
    std::lock_guard<std::mutex> g(lock);
    ASSERT_TRUE(firstDone) << "the engine never connected to the scripted peer";
    EXPECT_TRUE(first.handshake) << "no handshake with the task's info hash";
    switch (k.expect) {
        case Expect::kStaysOpen:
            EXPECT_TRUE(first.requested) << "no request after the case's bytes";
            EXPECT_GT(done.info.btBytes, 0u) << "the peer's right blocks were not taken";
            break;
        case Expect::kCloses:
            EXPECT_TRUE(first.closed) << "the engine kept the connection";
            EXPECT_FALSE(first.requested) << "the engine went on after the bad bytes";
            EXPECT_GT(done.info.httpBytes, 0u);
            // A BitTorrent candidate that ended unconnected waits at least
            // 7 s (1 + 6 at its first failure, more at later ones).
            EXPECT_LE(peer.Accepted(), 1 + static_cast<int>(took / 7))
                << "the peer was tried again before its penalty ran out";
            break;
        case Expect::kCancels:
            EXPECT_TRUE(first.requested);
            EXPECT_TRUE(first.cancelled || first.closed)
                << "requests to a silent peer were neither cancelled nor given up";
            EXPECT_GT(done.info.httpBytes, 0u);
            break;
        case Expect::kAny:
            break;
    }
}

// Test names from the case names ("bitfield of 10 bytes" -> bitfield_of_10_bytes).
std::string CaseName(const ::testing::TestParamInfo<size_t>& info) {
    std::string out;
    for (const char* c = HostileCases()[info.param].name; *c != '\0'; ++c)
        out += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    return out;
}

INSTANTIATE_TEST_SUITE_P(Table, BtHostilePeerCase,
                         ::testing::Range<size_t>(0, HostileCases().size()), CaseName);

}  // namespace

// The scripted peer's wire is checked against an independent client: aria2c
// finds it through the tracker and downloads the file from it alone.
TEST_F(BtHostilePeerTest, ScriptedPeerServesAria2) {
    const std::string address = "127.0.0.20";
    Context x;
    x.infoHash = wire::FromHex(hashHex);
    x.peerId = "-SP0001-honestpeer00";
    x.data = &data;
    lftest::ScriptedPeer peer;
    ASSERT_TRUE(peer.Start(address, [&](lftest::PeerConnection& c) {
        Seen s;
        std::string h;
        if (!c.ReadHandshake(&h, seconds(30)) || h.compare(28, 20, x.infoHash) != 0) return;
        c.Send(wire::Handshake(x.infoHash, x.peerId) + kFullBitfield + kUnchoke);
        ServeHonestly(c, x, &s);
    }));
    ASSERT_TRUE(lftest::AnnounceAsPeer(tracker.Address(), tracker.Port(), address, x.infoHash,
                                       x.peerId, peer.Port(), 0, "started"));
    const int status = lftest::Run(
        "timeout 120 aria2c --interface=127.0.0.3 --disable-ipv6=true --enable-dht=false "
        "--bt-enable-lpd=false --enable-peer-exchange=false --seed-time=0 "
        "--summary-interval=0 --console-log-level=warn --file-allocation=none "
        "--listen-port=" +
        std::to_string(lftest::FreeTcpPort()) + " --dir='" + dir / "out" + "' '" + torrent +
        "' > '" + dir / "aria2.log" + "' 2>&1");
    EXPECT_EQ(status, 0) << lftest::ReadFile(dir / "aria2.log");
    EXPECT_TRUE(lftest::ReadFile(dir / "out/data.bin") == data);
    EXPECT_GE(peer.Accepted(), 1);
}
