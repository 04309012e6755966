// The terminal program stopped in the middle: killed, interrupted, or its
// files removed, then started again.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "tests/app/HeadlessFixture.h"

namespace lfapptest {
namespace {

class HeadlessResumeTest : public ::testing::Test {
protected:
    void SetUp() override { release.Start(kSmallRelease, ResourceList("false", 0, "")); }

    // Runs slowly until some bytes are on disk, then sends sig.
    void StartAndStop(int sig) {
        lftest::ChildProcess child;
        ASSERT_TRUE(release.Spawn(child, {"--limit", "1000", "--no-install", "--no-verify"},
                                  release.Dir() / "first.log"));
        // Half of the release on disk (the size the program records), then
        // time for a save of the resume data.
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (release.LastSize() < release.TotalSize() / 2 &&
               std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        child.Signal(sig);
        child.Wait();
    }

    HeadlessRelease release;
};

TEST_F(HeadlessResumeTest, KilledDownloadResumesAsRecoverWithoutRefetching) {
    StartAndStop(SIGKILL);
    RunResult run = release.Run({"--no-install", "--no-verify"});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(release.AllTargetsMatch());
    // Resumed: as recover, or as check when some files were already complete.
    EXPECT_TRUE(run.output.find("成功地恢复了下载，可以进行续传") != std::string::npos ||
                run.output.find("需要文件校验") != std::string::npos)
        << run.output;
    // Half was on disk and saved before the kill; that half is not fetched
    // again (a little more than the other half may be, for pieces in flight).
    EXPECT_LT(SessionBytes(run.output), release.TotalSize() * 3 / 4) << run.output;
}

TEST_F(HeadlessResumeTest, InterruptPausesAndRecordsTheUserExit) {
    StartAndStop(SIGINT);
    std::string first = lftest::ReadFile(release.Dir() / "first.log");
    EXPECT_NE(first.find("用户中断"), std::string::npos) << first;
    EXPECT_NE(first.find("用户点击退出按钮"), std::string::npos);
    EXPECT_EQ(first.find("遭遇意外退出"), std::string::npos);

    // The download continues in its remembered folder; a new --save cannot
    // apply, and the user is told which folder is used and why.
    const std::string other = release.Dir() / "elsewhere/qarrd160107";
    RunResult run = release.Run({"--no-install", "--no-verify", "--save", other});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("继续上次的下载，保存位置仍为 " + release.SaveFolder() + "（--save " +
                              other + " 只用于新的下载）"),
              std::string::npos)
        << run.output;
    EXPECT_TRUE(release.AllTargetsMatch());
}

TEST_F(HeadlessResumeTest, AllFilesDeletedStartsOverFromReady) {
    StartAndStop(SIGKILL);
    for (int i = 0; i < 8; ++i) {
        std::filesystem::remove(release.Target(i));
        std::filesystem::remove(release.Target(i) + ".lftmp");
    }
    RunResult run = release.Run({"--no-install", "--no-verify"});
    EXPECT_NE(run.output.find("目标文件被删除或移动，请重新下载"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("目标文件全部丢失，退回初始状态"), std::string::npos);
    // Back in ready the program begins again and finishes.
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(release.AllTargetsMatch());
}

}  // namespace
}  // namespace lfapptest
