// The resource list over HTTPS (self-signed certificate) as the terminal
// program uses it: a retired release, and mirrors handed to the tasks.
#include <gtest/gtest.h>

#include "tests/app/HeadlessFixture.h"

namespace lfapptest {
namespace {

TEST(HeadlessListTest, ExpiryTrueRetiresTheRelease) {
    HeadlessRelease release;
    release.Start(kSmallRelease, "");
    release.SetList(ResourceList("true", release.HttpPort(), ""));
    RunResult run = release.Run({});
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_NE(run.output.find("这个版本已经停止下载"), std::string::npos) << run.output;
    EXPECT_EQ(release.BytesServed("/qarrd160107/"), 0u);
}

// A notice with terminal escape sequences in it: the terminal gets them
// written out (\x1b...), never as the bytes themselves.
TEST(HeadlessListTest, ControlCharactersOfTheListNeverReachTheTerminal) {
    HeadlessRelease release;
    release.Start(kSmallRelease, "");
    std::string list = ResourceList("true", release.HttpPort(), "");
    const std::string message = "这个版本已经停止下载";
    list.replace(list.find(message), message.size(), "停止\x1b]0;pwned\x07\x1b[2J下载");
    release.SetList(list);
    RunResult run = release.Run({});
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_EQ(run.output.find('\x1b'), std::string::npos);
    EXPECT_EQ(run.output.find('\x07'), std::string::npos);
    EXPECT_NE(run.output.find("停止\\x1b]0;pwned\\x07\\x1b[2J下载"), std::string::npos)
        << run.output;
}

// One file also gets a mirror with a malformed address (port 99999): that
// mirror is reported (20216) and dropped, and nothing else ends.
TEST(HeadlessListTest, ExpiryTextIsCaseSensitiveAndMirrorsReachTheTasks) {
    HeadlessRelease release;
    release.Start(kSmallRelease, "");
    std::string list = ResourceList("True", release.HttpPort(), "/mirror/");
    const std::string cdnEnd = "</cdn>\n    </resource>";
    const size_t at = list.find(cdnEnd);
    ASSERT_NE(at, std::string::npos);
    list.insert(at + 6, "\n      <cdn id=\"bad\" name=\"m\" middle-dir=\"/mirror/\" file-name=\"" +
                            std::string(kReleaseFileNames[0]) +
                            "\" open=\"1\"><ip>127.0.0.1:99999</ip></cdn>");
    release.SetList(list);
    RunResult run = release.Run({"--no-install", "--no-verify", "--limit", "120"});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(release.AllTargetsMatch());
    EXPECT_NE(release.AccessLog().find("GET /lanternfish/resources.xml"), std::string::npos);
    // The mirrors from the cdn entries served part of the files: a task in
    // mirror mode draws on its mirror pool every 31 s, hence the slow run.
    EXPECT_GT(release.BytesServed("/mirror/"), 0u) << release.AccessLog();
}

}  // namespace
}  // namespace lfapptest
