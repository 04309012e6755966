// 256 MiB between our engine (lf-get, the HTTP disguise on as the
// application sets it) and aria2 or libtorrent, both ways, over the
// connections the standard clients open to our listener: they find it in
// the tracker's list. Our disguised connections out to them are answered
// with nothing a BitTorrent client understands and fail; the transfer does
// not need them. One case per ctest entry, so that they run side by side.
//
// Each case runs in a network namespace of its own, nested in the suite's.
// aria2 decides once, at start, whether to ask getaddrinfo for
// AI_ADDRCONFIG: it keeps the flag when any IPv4 address other than
// 127.0.0.1 (or a non-link-local IPv6 one) is configured. Other tests give
// the suite's namespace such addresses for a while (the 198.18.x ends of
// their labs); an aria2 started while one exists, with IPv4 only, then gets
// EAI_NONAME ("Name or service not known") for every address, 127.0.0.1
// included, from the moment the last one goes: it can neither announce nor
// connect out. Here only "lo" exists and nothing else changes.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/e2e/TrackerEngine.h"
#include "tests/support/BtPeers.h"
#include "tests/support/NetLab.h"

namespace {

using namespace std::chrono_literals;

struct Case {
    const char* name;
    bool libtorrent;  // else aria2
    bool weSeed;      // else the standard client seeds and we download
    int net;          // ours at 127.0.NET.2, theirs at 127.0.NET.3 (one /24 per case)
};

class IncomingPeersLargeTest : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        ASSERT_TRUE(lftest::EnterOwnNetworkNamespace()) << "run inside unshare --net";
        for (const char* p : {"opentracker", "aria2c", "mktorrent", "python3"})
            ASSERT_TRUE(lftest::HaveProgram(p)) << p;
        ASSERT_EQ(lftest::Run("mkdir -p '" + dir / "seed" + "' '" + dir / "out" + "'"), 0);
        ASSERT_EQ(lftest::Run("head -c 268435456 /dev/urandom > '" + dir / "seed/f.bin" + "'"), 0);
        hash = lftest::TorrentInfoHash(
            lftest::MakePrivateTorrent(dir / "seed/f.bin", "http://x/a", dir / "probe.torrent"));
        ASSERT_EQ(hash.size(), 40u);
        ASSERT_TRUE(tracker.Start({hash}));
        torrent = lftest::MakePrivateTorrent(dir / "seed/f.bin", tracker.HttpAnnounce(),
                                             dir / "f.torrent");
        ASSERT_FALSE(torrent.empty());
    }

    lftest::TempDir dir;
    lftest::OpenTracker tracker;
    std::string hash, torrent;
};

TEST_P(IncomingPeersLargeTest, TransferCompletes) {
    const Case& c = GetParam();
    const std::string net = "127.0." + std::to_string(c.net) + ".";
    const std::string ourAddress = net + "2", theirAddress = net + "3";
    const int ourPort = lftest::FreeTcpPort(), theirPort = lftest::FreeTcpPort();
    const std::string ourLog = dir / "ours.log", theirLog = dir / "theirs.log";
    const std::string ourFile = c.weSeed ? dir / "seed/f.bin" : dir / "out/f.bin";
    std::vector<std::string> args = {"--torrent",  torrent,    "--peers",
                                     "20",         "--listen", std::to_string(ourPort),
                                     "--disguise", "on"};
    if (c.weSeed) args.push_back("--seed");
    args.push_back(ourFile);
    // The other client as a source of ours too: our connections to it go
    // out disguised.
    args.push_back("btnode://" + theirAddress + ":" + std::to_string(theirPort));
    lftest::ChildProcess ours, theirs;
    ASSERT_TRUE(lftest::StartLfGet(&ours, ourAddress, args, ourLog,
                                   {"LANTERNFISH_START_TIMEOUT_SECONDS=300"}));
    // Ours announces first, so that the standard client finds it in its
    // first tracker answer.
    ASSERT_TRUE(lfe2e::WaitForScrape(tracker, hash, 30, [&](auto s) {
        return c.weSeed ? s.complete >= 1 : s.incomplete >= 1;
    })) << lftest::ReadFile(ourLog);
    const std::string theirDir = c.weSeed ? dir / "out" : dir / "seed";
    const bool started = c.libtorrent
                             ? lftest::StartLibtorrent(&theirs, torrent, theirDir, theirAddress,
                                                       theirPort, !c.weSeed, theirLog, 240)
                             : lftest::StartAria2(&theirs, torrent, theirDir, theirAddress,
                                                  theirPort, !c.weSeed, theirLog);
    ASSERT_TRUE(started);
    const auto t0 = std::chrono::steady_clock::now();
    const int exit = lftest::WaitExit(c.weSeed ? &theirs : &ours, 300s);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ours.Stop();
    theirs.Stop();
    EXPECT_EQ(exit, 0) << "--- ours\n"
                       << lftest::ReadFile(ourLog) << "\n--- theirs\n"
                       << lftest::ReadFile(theirLog);
    EXPECT_TRUE(lftest::SameFile(dir / "seed/f.bin", dir / "out/f.bin"));
    const std::string log = lftest::ReadFile(ourLog);
    // Every byte went over BitTorrent, on connections the other client
    // opened: ours to it were disguised.
    if (c.weSeed) {
        EXPECT_NE(log.find("268435456 bytes uploaded to BitTorrent peers"), std::string::npos);
    } else {
        EXPECT_NE(log.find("http=0 bt=268435456"), std::string::npos);
    }
    // Our own attempts at the other client ended without a connection.
    EXPECT_NE(log.find("Peer btnode://" + theirAddress + ":" + std::to_string(theirPort) +
                       " ended unconnected"),
              std::string::npos)
        << log;
    std::printf("%s: 256 MiB in %.1f s\n", c.name, seconds);
}

INSTANTIATE_TEST_SUITE_P(Clients, IncomingPeersLargeTest,
                         ::testing::Values(Case{"aria2_downloads_from_us", false, true, 31},
                                           Case{"libtorrent_downloads_from_us", true, true, 32},
                                           Case{"we_download_from_aria2", false, false, 33},
                                           Case{"we_download_from_libtorrent", true, false, 34}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
