// UDP announces through a router that drops 30 % of all UDP datagrams in
// both directions still bring the tracker's peer list.
//
//   test's namespace 198.18.1.1 -- 198.18.1.2 router 198.18.2.1 -- 198.18.2.2 tracker host
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>

#include "tests/e2e/TrackerEngine.h"
#include "tests/support/NetLab.h"

using namespace lf;

namespace {

using lfe2e::CaughtLog;
using lfe2e::Escaped;

TEST(TrackerLossTest, UdpAnnouncesThroughThirtyPercentLoss) {
    if (!lftest::InPrivateNetworkNamespace())
        GTEST_SKIP() << "needs a private network namespace (unshare --net)";
    for (const char* p : {"opentracker", "nft", "mktorrent", "aria2c"})
        ASSERT_TRUE(lftest::HaveProgram(p)) << p;
    lftest::NetLab lab;
    const std::string router = lab.AddHost("router");
    const std::string host = lab.AddHost("tracker");
    ASSERT_FALSE(router.empty());
    ASSERT_FALSE(host.empty());
    ASSERT_TRUE(lab.Link("", "198.18.1.1/24", router, "198.18.1.2/24"));
    ASSERT_TRUE(lab.Link(router, "198.18.2.1/24", host, "198.18.2.2/24"));
    ASSERT_TRUE(lab.Exec("", "ip route add 198.18.2.0/24 via 198.18.1.2"));
    ASSERT_TRUE(lab.Exec(host, "ip route add default via 198.18.2.1"));
    ASSERT_TRUE(lab.Exec(router, "sysctl -qw net.ipv4.ip_forward=1"));
    ASSERT_TRUE(
        lab.Exec(router,
                 "nft add table ip lab && nft add chain ip lab forward \"{ type filter hook "
                 "forward priority 0; policy accept; }\" && nft add rule ip lab forward "
                 "meta l4proto udp numgen random mod 100 \"<\" 30 counter drop"));

    lftest::TempDir dir;
    ASSERT_EQ(lftest::Run("mkdir -p '" + dir / "out" + "'"), 0);
    lftest::WriteFile(dir / "data.bin", lftest::PseudoRandomBytes(200000, 5));
    const std::string hash = lfe2e::InfoHashOf(
        lfe2e::MakeTrackerTorrent(dir / "data.bin", "http://x/a", dir / "probe.torrent"));
    lftest::OpenTracker tracker;
    ASSERT_TRUE(tracker.Start({hash}, "198.18.2.2", lab.Prefix(host)));
    // A seeder the tracker knows: 198.18.1.1:7777 (announced over TCP, which the router passes).
    std::string escaped;
    for (size_t i = 0; i < 40; i += 2) escaped += "%" + hash.substr(i, 2);
    ASSERT_NE(lftest::HttpGet("198.18.2.2", tracker.Port(),
                              "/announce?info_hash=" + escaped +
                                  "&peer_id=SEEDERSEEDERSEEDER01&port=7777&left=0&compact=1")
                  .find("200 OK"),
              std::string::npos);

    const EngineTimings saved = GetEngineTimings();
    // Repeats every 2 s instead of 11, a new tracker source 3 s after one gave up.
    SetEngineTiming(&EngineTimings::trackerRepeatSeconds, 1);
    SetEngineTiming(&EngineTimings::trackerAgainSeconds, 3);
    SetEngineTiming(&EngineTimings::startTimeoutSeconds, 600);
    lfe2e::StartEngine(dir, 6881);
    ASSERT_EQ(SetLocalAddress("198.18.1.1"), 0);

    const std::string source = "Tracker tracker://" + Escaped(tracker.UdpAnnounce());
    for (int round = 0; round < 3; ++round) {
        CaughtLog::Clear();
        const std::string name = "r" + std::to_string(round);
        const std::string torrent = lfe2e::MakeTrackerTorrent(
            dir / "data.bin", tracker.UdpAnnounce(), dir / (name + ".torrent"));
        std::string keep;
        auto d = lfe2e::DescribeTask("", dir / ("out/" + name), torrent, &keep);
        ASSERT_EQ(CreateAndStartTask(&d), 0);
        SetTaskConnectionLimits(d.handle, 8, 20);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(CaughtLog::WaitFor(
            source + ".* peer 198\\.18\\.1\\.1:7777 id " + lfe2e::CompactField("198.18.1.1", 7777),
            60))
            << "round " << round;
        EXPECT_TRUE(CaughtLog::WaitFor("Candidate btnode://198\\.18\\.1\\.1:7777 added", 5));
        EXPECT_TRUE(CaughtLog::WaitFor("Candidate 198\\.18\\.1\\.1:6881 refused", 5));
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::cout << "round " << round << ": peer list after " << seconds << " s, "
                  << CaughtLog::Matching(source + ": connect request").size()
                  << " connect requests, " << CaughtLog::Matching(source + ": no answer to").size()
                  << " sources given up\n";
        int32_t r[1];
        StopTasks(&d.handle, 1, 0, r);
    }
    std::cout << lftest::Capture("ip netns exec " + router +
                                 " nft list chain ip lab forward | grep counter");

    lfe2e::StopEngine();
    SetEngineTimings(saved);
}

}  // namespace
