// Announces of real tasks to opentracker over HTTP and UDP: the task is
// registered, the aria2 seeder comes back as a candidate, a hash the
// tracker does not serve gives its failure reason, and a missing tracker
// ends the source.
#include <gtest/gtest.h>

#include <string>

#include "tests/e2e/TrackerEngine.h"
#include "tests/support/NetLab.h"

using namespace lf;

namespace {

using lfe2e::CaughtLog;
using lfe2e::Escaped;

class TrackerAnnounceTest : public ::testing::Test {
protected:
    void SetUp() override {
        // aria2 is run here: a namespace of the test's own keeps the
        // addresses it sees at start unchanged while it runs.
        static const bool own = lftest::EnterOwnNetworkNamespace();
        ASSERT_TRUE(own) << "run inside unshare --net";
        for (const char* p : {"opentracker", "aria2c", "mktorrent"})
            ASSERT_TRUE(lftest::HaveProgram(p)) << p;
        ASSERT_EQ(lftest::Run("mkdir -p '" + dir / "seed" + "' '" + dir / "out" + "'"), 0);
        lftest::WriteFile(dir / "seed/data.bin", lftest::PseudoRandomBytes(300 * 1024 + 11, 3));
        hash = lfe2e::InfoHashOf(
            lfe2e::MakeTrackerTorrent(dir / "seed/data.bin", "http://x/a", dir / "probe.torrent"));
        ASSERT_EQ(hash.size(), 40u);
        ASSERT_TRUE(tracker.Start({hash}));
        saved = GetEngineTimings();
        listenPort = lftest::FreeTcpPort();
        lfe2e::StartEngine(dir, listenPort);
    }
    void TearDown() override {
        lfe2e::StopEngine();
        SetEngineTimings(saved);
    }
    TaskHandle StartTask(const std::string& torrent, const std::string& name) {
        auto d = lfe2e::DescribeTask("", dir / ("out/" + name), torrent, &keep);
        EXPECT_EQ(CreateAndStartTask(&d), 0);
        SetTaskConnectionLimits(d.handle, 8, 20);
        return d.handle;
    }
    void StopTaskNow(TaskHandle h) {
        int32_t r[1];
        StopTasks(&h, 1, 0, r);
    }

    lftest::TempDir dir;
    lftest::OpenTracker tracker;
    std::string hash;
    std::string keep;
    int listenPort = 0;
    EngineTimings saved;
};

TEST_F(TrackerAnnounceTest, HttpAndUdpAnnouncesRegisterTheTaskAndHandBackTheSeeder) {
    const std::string httpTorrent = lfe2e::MakeTrackerTorrent(
        dir / "seed/data.bin", tracker.HttpAnnounce(), dir / "http.torrent");
    const std::string udpTorrent = lfe2e::MakeTrackerTorrent(
        dir / "seed/data.bin", tracker.UdpAnnounce(), dir / "udp.torrent");
    ASSERT_EQ(lfe2e::InfoHashOf(udpTorrent), hash);
    // aria2 seeds at 127.0.0.2 (announcing over HTTP).
    lftest::ChildProcess aria2;
    const int seedPort = lftest::FreeTcpPort();
    ASSERT_TRUE(lfe2e::StartAria2Seeder(&aria2, httpTorrent, dir / "seed", "127.0.0.2", seedPort,
                                        dir / "aria2.log"));
    ASSERT_TRUE(lfe2e::WaitForScrape(tracker, hash, 20, [](auto c) { return c.complete >= 1; }))
        << lftest::ReadFile(dir / "aria2.log");

    // Each announce comes from its own local address, so the tracker counts
    // one more leecher for each.
    const struct {
        const char* name;
        std::string torrent;
        std::string announce;
        const char* local;
    } cases[] = {{"HTTP", httpTorrent, tracker.HttpAnnounce(), "127.0.0.3"},
                 {"UDP", udpTorrent, tracker.UdpAnnounce(), "127.0.0.4"}};
    int leechers = 0;
    for (const auto& c : cases) {
        ASSERT_EQ(SetLocalAddress(c.local), 0);
        const TaskHandle h = StartTask(c.torrent, std::string("data-") + c.name + ".bin");
        const std::string source = "Tracker tracker://" + Escaped(c.announce);
        EXPECT_TRUE(CaughtLog::WaitFor(source +
                                           ".* peer 127\\.0\\.0\\.2:" + std::to_string(seedPort) +
                                           " id " + lfe2e::CompactField("127.0.0.2", seedPort),
                                       20))
            << c.name;
        // The seeder became a candidate with the compact peer-id field; the
        // tracker also lists the task itself, which is refused.
        EXPECT_TRUE(
            CaughtLog::WaitFor("Candidate btnode://127\\.0\\.0\\.2:" + std::to_string(seedPort) +
                                   " added, peer id " + lfe2e::CompactField("127.0.0.2", seedPort),
                               5))
            << c.name;
        EXPECT_TRUE(CaughtLog::WaitFor(
            "Candidate " + Escaped(c.local) + ":" + std::to_string(listenPort) + " refused", 5))
            << c.name;
        ++leechers;
        EXPECT_TRUE(lfe2e::WaitForScrape(tracker, hash, 5,
                                         [&](auto s) { return s.incomplete >= leechers; }))
            << c.name << " leechers " << tracker.Scrape(hash).incomplete;
        StopTaskNow(h);
    }
}

TEST_F(TrackerAnnounceTest, HashNotServedGivesTheFailureReason) {
    lftest::WriteFile(dir / "seed/other.bin", lftest::PseudoRandomBytes(100000, 4));
    const std::string torrent = lfe2e::MakeTrackerTorrent(
        dir / "seed/other.bin", tracker.HttpAnnounce(), dir / "o.torrent");
    const TaskHandle h = StartTask(torrent, "other.bin");
    const std::string source = "Tracker tracker://" + Escaped(tracker.HttpAnnounce());
    EXPECT_TRUE(
        CaughtLog::WaitFor(source + " failure reason: Requested download is not authorized", 15));
    EXPECT_TRUE(CaughtLog::WaitFor(source + " answered: 0 peers", 5));
    EXPECT_TRUE(CaughtLog::Matching(source + " peer ").empty());
    StopTaskNow(h);
}

TEST_F(TrackerAnnounceTest, NoTrackerEndsTheSource) {
    SetEngineTiming(&EngineTimings::trackerRepeatSeconds, 1);
    const int port = lftest::FreeTcpPort();
    const std::string http = "http://127.0.0.1:" + std::to_string(port) + "/announce";
    const std::string udp = "udp://127.0.0.1:" + std::to_string(port);
    const TaskHandle a = StartTask(
        lfe2e::MakeTrackerTorrent(dir / "seed/data.bin", http, dir / "h.torrent"), "a.bin");
    const TaskHandle b = StartTask(
        lfe2e::MakeTrackerTorrent(dir / "seed/data.bin", udp, dir / "u.torrent"), "b.bin");
    // UDP: four connect requests, more than a second apart, then the end.
    const std::string u = "Tracker tracker://" + Escaped(udp);
    EXPECT_TRUE(CaughtLog::WaitFor(u + ": no answer to 4 connect requests", 20));
    EXPECT_EQ(CaughtLog::Matching(u + ": connect request [0-9]").size(), 4u);
    // HTTP: one refused connect ends the source; it is not tried again.
    const std::string t = "Tracker tracker://" + Escaped(http);
    EXPECT_EQ(
        CaughtLog::Matching(t + ": (connect failed|connection closed without a reply)").size(), 1u);
    StopTaskNow(a);
    StopTaskNow(b);
}

}  // namespace
