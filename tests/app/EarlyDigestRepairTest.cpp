// The controller in this process on a small release served from loopback: a
// file hashed during the download and damaged afterwards (garbage of the same
// size, its old write time put back) is hashed again by the verification,
// fetched again and passes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "app/DownloadController.h"
#include "app/ReleaseResources.h"
#include "app/ReleaseTable.h"
#include "tests/app/HeadlessFixture.h"

namespace lfapptest {
namespace {

using lfapp::DownloadStatus;

// Runs the controller as the terminal front end does until the status is one
// of the wanted ones (or the time is up).
DownloadStatus RunUntil(lfapp::CDownloadController& c, std::initializer_list<DownloadStatus> want,
                        std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    auto nextTick = std::chrono::steady_clock::now();
    for (;;) {
        DownloadStatus s = c.Poll();
        for (DownloadStatus w : want) {
            if (s == w) return s;
        }
        if (s == DownloadStatus::Failed || std::chrono::steady_clock::now() > end) return s;
        if (std::chrono::steady_clock::now() >= nextTick) {
            nextTick += std::chrono::seconds(1);
            if (s != DownloadStatus::Finished && s != DownloadStatus::CheckFinished) c.Tick();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

TEST(EarlyDigestRepairTest, FileDamagedAfterItWasHashedIsHashedAgainAndRepaired) {
    HeadlessRelease release;
    release.Start(kSmallRelease, ResourceList("false", 0, ""));
    ::setenv("LANTERNFISH_DATA_HOME", (release.Dir() / "data").c_str(), 1);
    ::setenv("LANTERNFISH_OPEN_COMMAND", "true", 1);
    ::setenv("LANTERNFISH_SHUTDOWN_COMMAND", "true", 1);
    ::setenv("LANTERNFISH_PORT_MAPPING", "0", 1);
    ::setenv("LANTERNFISH_RESUME_SAVE_SECONDS", "1", 1);
    std::string error;
    ASSERT_TRUE(lfapp::UseReleaseFolder(release.Dir() / "release", &error)) << error;
    std::optional<lfapp::ReleaseTable> table = lfapp::LoadReleaseTable();
    ASSERT_TRUE(table.has_value());

    lfapp::CDownloadController c(*table);
    c.Settings().mapPort = false;
    ASSERT_GE(c.Initialise(), 0);
    c.SetSaveFolder(release.SaveFolder());
    c.MainAction();  // Begin
    ASSERT_EQ(RunUntil(c, {DownloadStatus::Finished}, std::chrono::seconds(120)),
              DownloadStatus::Finished);
    ASSERT_TRUE(release.AllTargetsMatch());

    // Every file was hashed during the download and its digest is the
    // release's.
    lfapp::CEarlyDigest* early = c.EarlyDigest();
    ASSERT_NE(early, nullptr);
    std::atomic<bool> stop{false};
    for (int i = 0; i < 8; ++i) {
        std::string md5;
        ASSERT_TRUE(early->Lookup(i, &md5, nullptr, stop)) << i;
        EXPECT_EQ(md5, release.Md5(i)) << i;
    }

    // Garbage of the same size, the old write time put back.
    const std::string target = release.Target(2);
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    lftest::WriteFile(target, lftest::PseudoRandomBytes(kSmallRelease[2], 7));
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, target.c_str(), times, 0), 0);
    std::string stale;
    EXPECT_FALSE(early->Lookup(2, &stale, nullptr, stop, 200));

    c.Verify(false);
    EXPECT_EQ(RunUntil(c, {DownloadStatus::CheckFinished}, std::chrono::seconds(120)),
              DownloadStatus::CheckFinished);
    EXPECT_TRUE(c.Repaired());
    EXPECT_TRUE(release.AllTargetsMatch());
    c.MarkUserExit();
    c.OnWindowDestroyed();

    // The mismatch and the repair were reported.
    std::string stats = release.Statistics();
    for (int i = 0; i < 100 && stats.find("11100004") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        stats = release.Statistics();
    }
    for (const char* code : {"11500201", "11100003", "11100004"}) {
        EXPECT_NE(stats.find(code), std::string::npos) << code << "\n" << stats;
    }
}

}  // namespace
}  // namespace lfapptest
