// A seed receives nothing by design: the start timeout (no byte received
// within it) must not end a complete task that seeds. The start timeout is
// shortened to 2 s through the environment; libtorrent asks for the file
// only after it passed.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/TrackerEngine.h"

namespace {

using namespace std::chrono_literals;

const std::string kLfGet = std::string(LF_BINARY_DIR) + "/tools/lf-get/lf-get";
const std::string kLtClient = "/work/shared/peers/lt_client.py";

TEST(BtSeedTimeoutTest, SeedOutlivesTheStartTimeout) {
    for (const char* p : {"opentracker", "mktorrent"}) ASSERT_TRUE(lftest::HaveProgram(p)) << p;
    lftest::TempDir dir;
    lftest::OpenTracker tracker;
    ASSERT_EQ(lftest::Run("mkdir -p '" + dir / "seed" + "' '" + dir / "out" + "'"), 0);
    ASSERT_EQ(lftest::Run("head -c 4194304 /dev/urandom > '" + dir / "seed/f.bin" + "'"), 0);
    const std::string hash = lfe2e::InfoHashOf(
        lfe2e::MakeTrackerTorrent(dir / "seed/f.bin", "http://x/a", dir / "probe.torrent"));
    ASSERT_EQ(hash.size(), 40u);
    ASSERT_TRUE(tracker.Start({hash}));
    const std::string torrent =
        lfe2e::MakeTrackerTorrent(dir / "seed/f.bin", tracker.HttpAnnounce(), dir / "f.torrent");

    lftest::ChildProcess ours;
    ASSERT_TRUE(
        ours.Start({"env", "LANTERNFISH_START_TIMEOUT_SECONDS=2", kLfGet, "--torrent", torrent,
                    "--peers", "20", "--listen", std::to_string(lftest::FreeTcpPort()),
                    "--disguise", "off", "--bind", "127.0.0.2", "--seed", dir / "seed/f.bin"},
                   dir / "ours.log"));
    ASSERT_TRUE(lfe2e::WaitForScrape(tracker, hash, 30, [](auto c) { return c.complete >= 1; }))
        << lftest::ReadFile(dir / "ours.log");
    // Past the start timeout, with nothing received.
    std::this_thread::sleep_for(4s);

    lftest::ChildProcess peer;
    ASSERT_TRUE(peer.Start({"env", "LT_ADDR=127.0.0.3", "/usr/bin/python3", kLtClient, torrent,
                            dir / "out", std::to_string(lftest::FreeTcpPort()), "download", "40"},
                           dir / "lt.log"));
    const int status = peer.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << lftest::ReadFile(dir / "lt.log") << "\n"
        << lftest::ReadFile(dir / "ours.log");
    EXPECT_EQ(lftest::Capture("sha1sum < '" + dir / "out/f.bin" + "'"),
              lftest::Capture("sha1sum < '" + dir / "seed/f.bin" + "'"));
    ours.Stop();
}

}  // namespace
