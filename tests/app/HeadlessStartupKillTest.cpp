// The terminal program killed again and again while it starts a download
// that an earlier run left half done: the record of what is on disk and the
// data itself survive every kill, and the finishing run fetches only the
// rest.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "tests/app/HeadlessFixture.h"

namespace lfapptest {
namespace {

const std::vector<std::string> kSlow = {"--limit", "300", "--no-install", "--no-verify"};
// Slow enough that no kill run comes near the end.
const std::vector<std::string> kSlower = {"--limit", "20", "--no-install", "--no-verify"};

class HeadlessStartupKillTest : public ::testing::Test {
protected:
    void SetUp() override { release.Start(kSmallRelease, ResourceList("false", 0, "")); }

    HeadlessRelease release;
};

TEST_F(HeadlessStartupKillTest, KillsDuringStartKeepWhatEarlierRunsHad) {
    // A third of the release on disk and recorded, then time for a save of the
    // resume data.
    {
        lftest::ChildProcess child;
        ASSERT_TRUE(release.Spawn(child, kSlow, release.Dir() / "first.log"));
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (release.LastSize() < release.TotalSize() / 3 &&
               std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        child.Signal(SIGKILL);
        child.Wait();
    }
    uint64_t kept = release.LastSize();
    ASSERT_GE(kept, release.TotalSize() / 3);
    ASSERT_LT(kept, release.TotalSize());
    std::printf("the first run recorded %llu bytes of %llu\n",
                static_cast<unsigned long long>(kept),
                static_cast<unsigned long long>(release.TotalSize()));

    // Kills from the first moment of a run to past its start-up (reading the
    // task records, restoring the resume data, the first connections); each
    // early kill follows one that came when data had arrived, some of it
    // still in memory.
    for (int ms : {3000, 200, 3500, 600, 4000, 1500}) {
        lftest::ChildProcess child;
        ASSERT_TRUE(release.Spawn(child, kSlower,
                                  release.Dir() / ("killed-" + std::to_string(ms) + ".log")));
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        child.Signal(SIGKILL);
        const int status = child.Wait();
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            << "the run killed after " << ms << " ms ended before its kill";
        const uint64_t now = release.LastSize();
        std::printf("killed after %d ms: %llu bytes recorded\n", ms,
                    static_cast<unsigned long long>(now));
        EXPECT_GE(now, kept) << "killed after " << ms << " ms";
        kept = std::max(kept, now);
    }

    RunResult run = release.Run({"--no-install", "--no-verify"});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(release.AllTargetsMatch());
    // What was recorded is on disk: the finishing run fetches the rest and
    // at most a quarter of the release more (pieces in flight at the kills).
    EXPECT_LE(SessionBytes(run.output), release.TotalSize() - kept + release.TotalSize() / 4)
        << "recorded " << kept << " of " << release.TotalSize() << "\n"
        << run.output;
}

}  // namespace
}  // namespace lfapptest
