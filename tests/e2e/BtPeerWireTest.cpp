// The BitTorrent peer wire with real peers, through lf-get (one engine per
// process, each on its own loopback address): downloads from aria2 and
// libtorrent seeders, alone, together and beside an HTTP mirror; uploads
// to their leechers from a finished and from a half-finished engine; a
// swarm of our own engines; the disguise toward aria2; P2P switched off.
//
// Every case starts the peers that must be reached before the engine that
// reaches them, so that the tracker lists them in the engine's first
// announce (the engine announces again only after minutes). Each case is a
// ctest entry of its own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/BtPeers.h"
#include "tests/support/NetLab.h"
#include "tests/support/Nginx.h"
#include "tests/support/OpenTracker.h"
#include "tests/support/TestDirs.h"

using namespace std::chrono_literals;

namespace {

constexpr size_t kSize = 32u << 20;  // 128 pieces of 256 KiB
// The downloads from standard seeders: 1024 pieces of 256 KiB.
constexpr size_t kSeededSize = 256u << 20;

struct LfGetResult {
    int exit = -1;
    int status = 0;
    unsigned long long verified = 0, http = 0, bt = 0;
    std::string log;
};

// The summary line lf-get prints for `target`, and its log.
LfGetResult ReadResult(const std::string& log, const std::string& target, int exit) {
    LfGetResult r;
    r.exit = exit;
    r.log = lftest::ReadFile(log);
    std::smatch m;
    const std::regex line(" status=(\\d+) verified=(\\d+) http=(\\d+) bt=(\\d+)");
    if (std::regex_search(r.log, m, line)) {
        r.status = std::stoi(m[1]);
        r.verified = std::stoull(m[2]);
        r.http = std::stoull(m[3]);
        r.bt = std::stoull(m[4]);
    }
    (void)target;
    return r;
}

// Bytes an engine reported uploading (its last report), -1 when none.
long long UploadedBytes(const std::string& log) {
    std::smatch m;
    long long last = -1;
    const std::regex line("(\\d+) bytes uploaded to BitTorrent peers");
    for (auto it = std::sregex_iterator(log.begin(), log.end(), line); it != std::sregex_iterator();
         ++it)
        last = std::stoll((*it)[1]);
    return last;
}

class BtPeerWireTest : public ::testing::Test {
protected:
    void SetUp() override {
        // aria2 is run here: a namespace of the test's own keeps the
        // addresses it sees at start unchanged while it runs.
        static const bool own = lftest::EnterOwnNetworkNamespace();
        ASSERT_TRUE(own) << "run inside unshare --net";
        for (const char* p : {"opentracker", "aria2c", "mktorrent", "/usr/bin/python3", "nginx"})
            ASSERT_TRUE(lftest::HaveProgram(p)) << p;
        ASSERT_EQ(lftest::Run("mkdir -p '" + dir / "seed" + "'"), 0);
        data = dir / "seed/f.bin";
        // Content of this process only: the cases run side by side in one
        // network namespace, and engines of the same torrent would find each
        // other on the local network.
        lftest::WriteFile(
            data, lftest::PseudoRandomBytes(ContentSize(), 21 + static_cast<unsigned>(getpid())));
        // The info hash does not depend on the announce address.
        const std::string probe =
            lftest::MakePrivateTorrent(data, "http://x/a", dir / "probe.torrent");
        ASSERT_FALSE(probe.empty());
        hash = lftest::TorrentInfoHash(probe);
        ASSERT_EQ(hash.size(), 40u);
        ASSERT_TRUE(tracker.Start({hash}));
        torrent = lftest::MakePrivateTorrent(data, tracker.HttpAnnounce(), dir / "f.torrent");
        ASSERT_EQ(lftest::TorrentInfoHash(torrent), hash);
    }

    // The size of the seeded content.
    virtual size_t ContentSize() const { return kSize; }
    // A fresh folder under the test's.
    std::string Folder(const std::string& name) {
        EXPECT_EQ(lftest::Run("mkdir -p '" + dir / name + "'"), 0);
        return dir / name;
    }
    // Waits until the tracker lists `seeds` seeds and `leechers` leechers.
    bool Registered(int seeds, int leechers) {
        return lftest::WaitUntil(
            [&] {
                auto c = tracker.Scrape(hash);
                return c.complete >= seeds && c.incomplete >= leechers;
            },
            30s);
    }
    // lf-get downloading `target` at `address` with the arguments; waits
    // for it to end.
    LfGetResult Leech(const std::string& address, const std::string& target,
                      std::vector<std::string> args, std::chrono::seconds limit = 240s) {
        // Options first, then TARGET, then the URLs.
        std::vector<std::string> ordered = {"--torrent", torrent, "--listen",
                                            std::to_string(NextPort())};
        std::vector<std::string> urls;
        for (const std::string& a : args)
            (a.rfind("http://", 0) == 0 ? urls : ordered).push_back(a);
        ordered.push_back(target);
        ordered.insert(ordered.end(), urls.begin(), urls.end());
        lftest::ChildProcess p;
        const std::string log = target + ".log";
        EXPECT_TRUE(lftest::StartLfGet(&p, address, ordered, log));
        const int exit = lftest::WaitExit(&p, limit);
        return ReadResult(log, target, exit);
    }
    int NextPort() { return lftest::FreeTcpPort(); }

    lftest::TempDir dir;
    lftest::OpenTracker tracker;
    std::string data, hash, torrent;
};

// Which standard seeders a download case has.
struct Seeders {
    const char* name;
    bool aria2, libtorrent;
};

void PrintTo(const Seeders& s, std::ostream* os) {
    *os << s.name;
}

class BtPeerWireSeeders : public BtPeerWireTest, public ::testing::WithParamInterface<Seeders> {
protected:
    size_t ContentSize() const override { return kSeededSize; }
};

// Each seeder set is a test of its own (its own tracker, seeders and
// engine), so that ctest runs them side by side.
TEST_P(BtPeerWireSeeders, DownloadsEveryPieceFromStandardSeeders) {
    const Seeders& c = GetParam();
    lftest::ChildProcess a, l;
    if (c.aria2) {
        ASSERT_TRUE(lftest::StartAria2(&a, torrent, dir / "seed", "127.0.0.2", NextPort(), true,
                                       dir / "a2.log"));
    }
    if (c.libtorrent) {
        ASSERT_TRUE(lftest::StartLibtorrent(&l, torrent, dir / "seed", "127.0.0.3", NextPort(),
                                            true, dir / "lt.log"));
    }
    ASSERT_TRUE(Registered((c.aria2 ? 1 : 0) + (c.libtorrent ? 1 : 0), 0));
    const std::string target = Folder("dl") + "/f.bin";
    const LfGetResult r = Leech("127.0.0.10", target, {});
    EXPECT_EQ(r.exit, 0) << r.log;
    EXPECT_EQ(r.status, 20206);
    EXPECT_EQ(r.bt, kSeededSize);
    EXPECT_EQ(r.verified, kSeededSize);
    EXPECT_EQ(r.http, 0u);
    EXPECT_TRUE(lftest::SameFile(data, target));
}

INSTANTIATE_TEST_SUITE_P(Seeders, BtPeerWireSeeders,
                         ::testing::Values(Seeders{"aria2", true, false},
                                           Seeders{"libtorrent", false, true},
                                           Seeders{"both", true, true}),
                         [](const ::testing::TestParamInfo<Seeders>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(BtPeerWireTest, PeerAndHttpMirrorBothContribute) {
    lftest::NginxServer nginx;
    ASSERT_TRUE(nginx.Start(dir / "seed"));
    lftest::ChildProcess a;
    ASSERT_TRUE(lftest::StartAria2(&a, torrent, dir / "seed", "127.0.0.2", NextPort(), true,
                                   dir / "a2.log"));
    ASSERT_TRUE(Registered(1, 0));
    const std::string target = Folder("dl") + "/f.bin";
    // A speed limit keeps the mirror from finishing before the peer is met.
    const LfGetResult r =
        Leech("127.0.0.10", target, {"--limit", "8192", "--connections", "2", nginx.Url("/f.bin")});
    EXPECT_EQ(r.exit, 0) << r.log;
    EXPECT_GT(r.http, 0u);
    EXPECT_GT(r.bt, 0u);
    EXPECT_GE(r.http + r.bt, kSize);
    EXPECT_TRUE(lftest::SameFile(data, target));
}

TEST_F(BtPeerWireTest, FinishedEngineUploadsToAria2AndLibtorrent) {
    lftest::ChildProcess a, l, engine;
    const std::string a2dir = Folder("a2"), ltdir = Folder("lt");
    ASSERT_TRUE(
        lftest::StartAria2(&a, torrent, a2dir, "127.0.0.4", NextPort(), false, dir / "a2.log"));
    ASSERT_TRUE(lftest::StartLibtorrent(&l, torrent, ltdir, "127.0.0.5", NextPort(), false,
                                        dir / "lt.log"));
    ASSERT_TRUE(Registered(0, 2));
    // A complete target is checked, then seeded.
    const std::string mine = Folder("engine") + "/f.bin";
    ASSERT_EQ(lftest::Run("cp '" + data + "' '" + mine + "'"), 0);
    ASSERT_TRUE(lftest::StartLfGet(
        &engine, "127.0.0.10",
        {"--torrent", torrent, "--listen", std::to_string(NextPort()), "--seed", mine},
        dir / "engine.log"));
    EXPECT_EQ(lftest::WaitExit(&a, 240s), 0) << lftest::ReadFile(dir / "a2.log");
    EXPECT_EQ(lftest::WaitExit(&l, 240s), 0) << lftest::ReadFile(dir / "lt.log");
    EXPECT_TRUE(lftest::SameFile(data, a2dir + "/f.bin"));
    EXPECT_TRUE(lftest::SameFile(data, ltdir + "/f.bin"));
    engine.Signal(SIGTERM);
    EXPECT_EQ(lftest::WaitExit(&engine, 60s), 0);
    EXPECT_GE(UploadedBytes(lftest::ReadFile(dir / "engine.log")), static_cast<long long>(kSize));
}

TEST_F(BtPeerWireTest, HalfFinishedEngineServesOnlyWhatItHas) {
    // The engine holds the first 64 of 128 pieces (the rest is zeros) and
    // has no other source: libtorrent gets the first half and nothing else.
    const std::string mine = Folder("engine") + "/f.bin";
    lftest::WriteFile(mine,
                      lftest::ReadFile(data).substr(0, kSize / 2) + std::string(kSize / 2, '\0'));
    lftest::ChildProcess l, engine;
    const std::string ltdir = Folder("lt");
    ASSERT_TRUE(lftest::StartLibtorrent(&l, torrent, ltdir, "127.0.0.5", NextPort(), false,
                                        dir / "lt.log", 25));
    ASSERT_TRUE(Registered(0, 1));
    ASSERT_TRUE(lftest::StartLfGet(
        &engine, "127.0.0.10",
        {"--torrent", torrent, "--listen", std::to_string(NextPort()), "--seed", mine},
        dir / "engine.log", {"LANTERNFISH_START_TIMEOUT_SECONDS=600"}));
    EXPECT_EQ(lftest::WaitExit(&l, 120s), 1) << lftest::ReadFile(dir / "lt.log");
    const std::string got = lftest::ReadFile(ltdir + "/f.bin");
    const std::string want = lftest::ReadFile(data);
    ASSERT_GE(got.size(), kSize / 2);
    EXPECT_TRUE(got.compare(0, kSize / 2, want, 0, kSize / 2) == 0);
    // Nothing of the second half came (libtorrent leaves it sparse or short).
    EXPECT_EQ(got.find_first_not_of('\0', kSize / 2), std::string::npos);
    engine.Signal(SIGTERM);
    lftest::WaitExit(&engine, 60s);
    const long long up = UploadedBytes(lftest::ReadFile(dir / "engine.log"));
    EXPECT_GE(up, static_cast<long long>(kSize / 2));
    EXPECT_LT(up, static_cast<long long>(kSize));
}

TEST_F(BtPeerWireTest, SwarmOfOurEnginesAllFinishAndAllUpload) {
    // Three leechers at 127.0.0.11 to .13, then the seed at .10; each
    // leecher stays after finishing so that later ones can draw from it.
    // The seed uploads at most 2 MiB/s in all (about 16 s for one copy), so
    // that the leechers finish by trading pieces among themselves: unlimited,
    // it serves all three on loopback before their first have messages go
    // out, and no leecher ever has a piece another lacks.
    lftest::ChildProcess leechers[3], seed;
    std::string targets[3];
    for (int i = 0; i < 3; ++i) {
        targets[i] = Folder("l" + std::to_string(i)) + "/f.bin";
        ASSERT_TRUE(lftest::StartLfGet(
            &leechers[i], "127.0.0." + std::to_string(11 + i),
            {"--torrent", torrent, "--listen", std::to_string(NextPort()), "--seed", targets[i]},
            targets[i] + ".log", {"LANTERNFISH_START_TIMEOUT_SECONDS=600"}));
        ASSERT_TRUE(Registered(0, i + 1));
    }
    const std::string mine = Folder("seed-engine") + "/f.bin";
    ASSERT_EQ(lftest::Run("cp '" + data + "' '" + mine + "'"), 0);
    ASSERT_TRUE(lftest::StartLfGet(&seed, "127.0.0.10",
                                   {"--torrent", torrent, "--listen", std::to_string(NextPort()),
                                    "--upload-limit", "2048", "--seed", mine},
                                   dir / "seed.log"));
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(lftest::WaitUntil(
            [&] {
                return lftest::ReadFile(targets[i] + ".log").find("complete, seeding") !=
                       std::string::npos;
            },
            240s))
            << i;
    }
    for (auto& p : leechers) p.Signal(SIGTERM);
    seed.Signal(SIGTERM);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(lftest::WaitExit(&leechers[i], 60s), 0);
        EXPECT_TRUE(lftest::SameFile(data, targets[i]));
        EXPECT_GT(UploadedBytes(lftest::ReadFile(targets[i] + ".log")), 0);
    }
    lftest::WaitExit(&seed, 60s);
    EXPECT_GT(UploadedBytes(lftest::ReadFile(dir / "seed.log")), 0);
}

TEST_F(BtPeerWireTest, DisguiseTowardAria2FailsIsPenalisedAndHttpFinishes) {
    lftest::NginxServer nginx;
    ASSERT_TRUE(nginx.Start(dir / "seed"));
    lftest::ChildProcess a;
    const int port = NextPort();
    ASSERT_TRUE(
        lftest::StartAria2(&a, torrent, dir / "seed", "127.0.0.2", port, true, dir / "a2.log"));
    ASSERT_TRUE(Registered(1, 0));
    const std::string target = Folder("dl") + "/f.bin";
    const LfGetResult r =
        Leech("127.0.0.10", target, {"--disguise", "on", "--limit", "4096", nginx.Url("/f.bin")});
    EXPECT_EQ(r.exit, 0) << r.log;
    // Our own attempts toward aria2 fail; aria2 may still reach our listener
    // from the tracker's list and send a few pieces over its connection in.
    EXPECT_GE(r.http + r.bt, kSize);
    EXPECT_GT(r.http, 0u);
    EXPECT_TRUE(lftest::SameFile(data, target));
    EXPECT_NE(r.log.find("Peer btnode://127.0.0.2:" + std::to_string(port) +
                         " ended unconnected or starved"),
              std::string::npos)
        << r.log;
}

TEST_F(BtPeerWireTest, WithoutPeersNoPeerConnectionIsOpened) {
    lftest::NginxServer nginx;
    ASSERT_TRUE(nginx.Start(dir / "seed"));
    lftest::ChildProcess a;
    ASSERT_TRUE(lftest::StartAria2(&a, torrent, dir / "seed", "127.0.0.2", NextPort(), true,
                                   dir / "a2.log"));
    ASSERT_TRUE(Registered(1, 0));
    const std::string target = Folder("dl") + "/f.bin";
    const LfGetResult r =
        Leech("127.0.0.10", target, {"--peers", "0", "--limit", "4096", nginx.Url("/f.bin")});
    EXPECT_EQ(r.exit, 0) << r.log;
    EXPECT_EQ(r.bt, 0u);
    EXPECT_TRUE(lftest::SameFile(data, target));
    EXPECT_EQ(r.log.find("Peer btnode://"), std::string::npos) << r.log;
}

}  // namespace
