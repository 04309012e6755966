// The terminal program on a small release, end to end with real processes:
// download, verify, install; and the start-up decisions of later runs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "tests/app/HeadlessFixture.h"

namespace lfapptest {
namespace {

class HeadlessFlowTest : public ::testing::Test {
protected:
    void SetUp() override { release.Start(kSmallRelease, ResourceList("false", 0, "")); }
    HeadlessRelease release;
};

TEST_F(HeadlessFlowTest, DownloadsVerifiesInstallsAndLaterRunsStartFinished) {
    RunResult first = release.Run({});
    ASSERT_EQ(first.exitCode, 0) << first.output;
    EXPECT_TRUE(release.AllTargetsMatch());
    EXPECT_NE(first.output.find("是否验证安装文件的正确性？ 是"), std::string::npos);
    EXPECT_NE(first.output.find("√ 验证通过"), std::string::npos) << first.output;
    // The installer was opened once, with its path.
    EXPECT_EQ(lftest::ReadFile(release.InstallerMarker()), release.Target(0) + "\n");
    std::string logs = first.output;
    EXPECT_EQ(Count(logs, "MD5匹配："), 8u);
    EXPECT_NE(logs.find("由于启动了安装程序，退出"), std::string::npos);
    EXPECT_NE(release.TaskIni().find("LanternfishTaskIsComplete=COMPLETE"), std::string::npos);
    // The milestones reached the statistics server.
    std::string stats = release.Statistics();
    for (int i = 0; i < 100 && stats.find("11100004") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        stats = release.Statistics();
    }
    for (const char* code :
         {"11010000", "11080000", "11060000", "11070000", "11100001", "11100004"}) {
        EXPECT_NE(stats.find(code), std::string::npos) << code << "\n" << stats;
    }
    EXPECT_EQ(lftest::FileExists(release.Target(0) + ".lftmp"), false);

    // Marked complete and every file matches its finish record: finished at
    // once, no task, no server needed.
    release.StopServers();
    RunResult second = release.Run({"--no-install", "--no-verify"});
    EXPECT_EQ(second.exitCode, 0) << second.output;
    EXPECT_NE(second.output.find("下载状态改变为finished"), std::string::npos) << second.output;
    EXPECT_EQ(second.output.find("下载状态改变为preparing"), std::string::npos);
    logs = second.output;
    EXPECT_NE(logs.find("下载已经完成，文件正确"), std::string::npos);
    EXPECT_NE(logs.find("用户点击退出按钮"), std::string::npos);
}

TEST_F(HeadlessFlowTest, TouchedFileIsCheckedAndOnlyThatEntryRecovered) {
    ASSERT_EQ(release.Run({"--no-install", "--no-verify"}).exitCode, 0);
    ASSERT_TRUE(release.AllTargetsMatch());
    // A later write time on entry 3 only.
    struct utimbuf times {};
    times.actime = times.modtime = time(nullptr) + 60;
    ASSERT_EQ(utime(release.Target(3).c_str(), &times), 0);

    RunResult run = release.Run({"--no-install", "--no-verify"});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("需要文件校验"), std::string::npos);
    std::string ini = release.TaskIni();
    for (int i = 0; i < 8; ++i) {
        std::string key = "LanternfishTask" + std::to_string(i) + "=";
        EXPECT_EQ(ini.find(key) != std::string::npos, i == 3) << key;
    }
    EXPECT_TRUE(release.AllTargetsMatch());
}

TEST_F(HeadlessFlowTest, RepairFetchesADamagedFileAgain) {
    ASSERT_EQ(release.Run({"--no-install", "--no-verify"}).exitCode, 0);
    // Garbage of the same size, with the old write time put back: the
    // finish record still matches, so only the digest can tell.
    struct stat st {};
    ASSERT_EQ(stat(release.Target(2).c_str(), &st), 0);
    lftest::WriteFile(release.Target(2), lftest::PseudoRandomBytes(kSmallRelease[2], 7));
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, release.Target(2).c_str(), times, 0), 0);

    RunResult run = release.Run({});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("√ 修复成功"), std::string::npos) << run.output;
    EXPECT_TRUE(release.AllTargetsMatch());
    std::string logs = run.output;
    EXPECT_NE(logs.find("MD5不匹配：Qarrd21040Data01.cab"), std::string::npos);
    EXPECT_NE(logs.find("下载已经完成，文件正确"), std::string::npos);
    EXPECT_TRUE(lftest::FileExists(release.InstallerMarker()));
}

TEST_F(HeadlessFlowTest, FileThatNeverMatchesFailsAfterFiveRepairs) {
    release.BreakDigest(5);
    RunResult run = release.Run({"--no-install"}, 240);
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_NE(run.output.find("修复失败："), std::string::npos) << run.output;
    EXPECT_EQ(Count(run.output, "MD5不匹配：Qarrd21040Data04.cab"), 6u);
    EXPECT_FALSE(lftest::FileExists(release.InstallerMarker()));
    // The bytes themselves are the served ones.
    EXPECT_TRUE(release.TargetMatches(5));
}

TEST_F(HeadlessFlowTest, ShutdownRequestAndFailedInstallerLaunch) {
    // The shutdown command gets the message; the installer cannot be opened.
    const std::string marker = release.Dir() / "shutdown-ran";
    lftest::WriteFile(release.Dir() / "shutdown.sh", "#!/bin/sh\necho \"$@\" > " + marker + "\n");
    lftest::Run("chmod +x " + (release.Dir() / "shutdown.sh"));
    release.SetEnvironment(
        {"LANTERNFISH_SHUTDOWN_COMMAND=" + (release.Dir() / "shutdown.sh") + " -h +1",
         "LANTERNFISH_OPEN_COMMAND=" + (release.Dir() / "no-such-opener")});
    RunResult run = release.Run({"--shutdown", "--no-verify"});
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_NE(run.output.find("触发自动关机"), std::string::npos) << run.output;
    EXPECT_EQ(lftest::ReadFile(marker), "-h +1 一分钟后将自动关机\n");
    EXPECT_NE(run.output.find("[安装失败] 安装程序无法正常打开"), std::string::npos) << run.output;
    // No program to open the installer with: no association.
    EXPECT_NE(run.output.find("安装程序无法正常打开，原因：本次安装前没有校验"
                              "There is no application associated"),
              std::string::npos)
        << run.output;
}

// The most TCP connections established at once to a local port, polled
// with ss (client ends) for `seconds`.
int MostConnections(int port, int seconds) {
    const std::string command =
        "ss -Htn state established '( dport = :" + std::to_string(port) + " )' 2>/dev/null";
    return lftest::MostOutputLines(command, std::chrono::seconds(seconds));
}

// The release (4 + 60 + 6 x 56 MiB) from nginx at 512 KiB/s per connection: from the first moment
// on, the eight tasks together never hold more connections than the
// controller's total (56), sampled with ss while the download runs.
TEST(HeadlessConnectionTotal, HoldsFromTheFirstPass) {
    HeadlessRelease release;
    const uint64_t mib = 1024 * 1024;
    release.Start({4 * mib, 60 * mib, 56 * mib, 56 * mib, 56 * mib, 56 * mib, 56 * mib, 56 * mib},
                  ResourceList("false", 0, ""), "    limit_rate 512k;");
    lftest::ChildProcess program;
    ASSERT_TRUE(release.Spawn(program, {"--no-install", "--no-verify"}, release.Dir() / "run.log"));
    const int most = MostConnections(release.HttpPort(), 8);
    program.Stop();
    std::printf("most connections at once: %d\n", most);
    EXPECT_LE(most, 56) << lftest::ReadFile(release.Dir() / "run.log");
    EXPECT_GE(most, 16);  // the tasks did open their shares
}

}  // namespace
}  // namespace lfapptest
