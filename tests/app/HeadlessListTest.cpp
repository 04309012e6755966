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

TEST(HeadlessListTest, ExpiryTextIsCaseSensitiveAndMirrorsReachTheTasks) {
    HeadlessRelease release;
    release.Start(kSmallRelease, "");
    release.SetList(ResourceList("True", release.HttpPort(), "/mirror/"));
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
