// Start-up and network failures as a user meets them in the terminal: a
// dead network ends within the (shortened) start timeout with its message,
// a save folder that cannot be written is refused with its path and
// reason, a release without a statistics configuration runs with
// statistics off, and a start that cannot write that configuration says so.
// No exit of these is recorded as a user's click.
#include <gtest/gtest.h>

#include "tests/app/HeadlessFixture.h"

namespace lfapptest {
namespace {

constexpr char kUserClick[] = "用户点击退出按钮";

class HeadlessFailureTest : public ::testing::Test {
protected:
    void SetUp() override { release.Start(kSmallRelease, ResourceList("false", 0, "")); }
    HeadlessRelease release;
};

TEST_F(HeadlessFailureTest, DeadNetworkEndsWithTheTimeoutMessage) {
    release.StopServers();
    release.SetEnvironment({"LANTERNFISH_START_TIMEOUT_SECONDS=3"});
    RunResult r = release.Run({"--no-install"}, 90);
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_NE(r.output.find("网络连接超时，下载失败"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("下载失败：所有下载任务都已出错停止，请稍后重试。"), std::string::npos)
        << r.output;
    // The resource list's failure in the program's voice.
    EXPECT_NE(r.output.find("lanternfish: cannot fetch https://127.0.0.1:"), std::string::npos)
        << r.output;
    EXPECT_EQ(r.output.find("Failed to get"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find(kUserClick), std::string::npos) << r.output;

    // Nothing was downloaded, so nothing was "deleted or moved". With
    // --log-all the log files get every channel, not only the errors.
    RunResult again = release.Run({"--no-install", "--log-all"}, 90);
    EXPECT_EQ(again.exitCode, 1) << again.output;
    EXPECT_EQ(again.output.find("目标文件被删除或移动"), std::string::npos) << again.output;
    EXPECT_NE(again.output.find("网络连接超时，下载失败"), std::string::npos) << again.output;
    const std::string logs = lftest::Capture("cat '" + release.Dir().Path() +
                                             "'/data/Orvane/Lanternfish/Lanternfish*/*.log");
    EXPECT_NE(logs.find("=====================正在初始化====================="), std::string::npos)
        << logs;
    EXPECT_NE(logs.find("所有下载任务都已出错停止，退出"), std::string::npos) << logs;
}

TEST_F(HeadlessFailureTest, UnwritableSaveFolderIsRefusedWithItsReason) {
    const std::string file = release.Dir() / "plain-file";
    lftest::WriteFile(file, "x");
    const std::string ro = release.Dir() / "ro";
    lftest::Run("mkdir -p '" + ro + "'");
    struct Case {
        const char* name;
        std::string save;
        std::string reason;
        bool readOnlyMount;
    } cases[] = {
        {"a regular file", file, file + ": Not a directory", false},
        {"below a regular file", file + "/qarrd160107", file + "/qarrd160107: Not a directory",
         false},
        {"a read-only file system", ro + "/qarrd160107", ro + "/qarrd160107: Read-only file system",
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string out;
        if (c.readOnlyMount) {
            std::string cmd = "mount -t tmpfs -o ro none '" + ro + "' && timeout -s KILL 60";
            for (const std::string& a : release.Command({"--save", c.save})) cmd += " '" + a + "'";
            out = lftest::Capture("unshare -m sh -c \"" + cmd + "; echo exit=\\$?\" 2>&1");
        } else {
            RunResult r = release.Run({"--save", c.save}, 60);
            out = r.output + "exit=" + std::to_string(r.exitCode);
        }
        EXPECT_NE(out.find("由于磁盘损坏无法写入，下载失败\n" + c.reason), std::string::npos)
            << out;
        EXPECT_NE(out.find("exit=1"), std::string::npos) << out;
        EXPECT_EQ(out.find(kUserClick), std::string::npos) << out;
    }
    EXPECT_EQ(release.BytesServed("/qarrd160107/"), 0u);
}

TEST_F(HeadlessFailureTest, ReleaseWithoutStatisticsConfigurationRuns) {
    const std::string manifest = release.Dir() / "release/resources.list";
    std::string text = lftest::ReadFile(manifest);
    const size_t at = text.find("DUCONF");
    ASSERT_NE(at, std::string::npos);
    text.erase(at, text.find('\n', at) + 1 - at);
    lftest::WriteFile(manifest, text);
    RunResult r = release.Run({"--no-install", "--no-verify"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("发布包不含统计配置，统计上报关闭"), std::string::npos) << r.output;
    EXPECT_TRUE(release.AllTargetsMatch());
}

TEST_F(HeadlessFailureTest, StatisticsConfigurationNotWrittenSaysWhatFailed) {
    // Neither the data folder nor the temporary folder can be made.
    const std::string file = release.Dir() / "plain-file";
    lftest::WriteFile(file, "x");
    release.SetEnvironment({"LANTERNFISH_DATA_HOME=" + file + "/data", "TMPDIR=" + file + "/tmp"});
    RunResult r = release.Run({});
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_NE(r.output.find("lanternfish: LFconf资源释放失败：无法写入 " + file + "/data/"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("启动失败，退出"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find(kUserClick), std::string::npos) << r.output;
}

}  // namespace
}  // namespace lfapptest
