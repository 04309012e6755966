// Free space: the save folder on a small tmpfs (a mount namespace of the
// test's own; needs root, as the suite runs).
#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/app/HeadlessFixture.h"

namespace lfapptest {
namespace {

std::string Quoted(const std::vector<std::string>& argv) {
    std::string s;
    for (const std::string& a : argv) s += " '" + a + "'";
    return s;
}

class HeadlessSpaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0 || !lftest::HaveProgram("unshare")) {
            GTEST_SKIP() << "needs root for a tmpfs in a mount namespace";
        }
        release.Start(kSmallRelease, ResourceList("false", 0, ""));
    }
    // Runs `script` in a new mount namespace with a tmpfs of `megabytes` on
    // the save folder's parent; returns the output.
    std::string InTmpfs(int megabytes, const std::string& script) {
        std::string save = release.Dir() / "save";
        std::string path = release.Dir() / "script.sh";
        lftest::WriteFile(path, "set -u\nmount -t tmpfs -o size=" + std::to_string(megabytes) +
                                    "m tmpfs '" + save + "' || exit 99\n" + script);
        return lftest::Capture("unshare -m sh " + path + " 2>&1");
    }
    HeadlessRelease release;
};

TEST_F(HeadlessSpaceTest, NotEnoughSpaceRefusesToBegin) {
    // The release needs its size plus 100 MiB.
    std::string out =
        InTmpfs(64, "timeout -s KILL 60" + Quoted(release.Command({})) + "\necho exit=$?\n");
    EXPECT_NE(out.find("当前磁盘空间不足，请选择其他位置存放"), std::string::npos) << out;
    EXPECT_NE(out.find("exit=1"), std::string::npos) << out;
    EXPECT_EQ(release.BytesServed("/qarrd160107/"), 0u);
}

TEST_F(HeadlessSpaceTest, SpaceTakenWhileDownloadingPausesAndLosesNothing) {
    std::string save = release.Dir() / "save";
    std::string first = Quoted(release.Command({"--limit", "400", "--no-install", "--no-verify"}));
    std::string again = Quoted(release.Command({"--no-install", "--no-verify"}));
    std::string script =
        "LANTERNFISH_SPARSE_MODE=1 timeout -s KILL 60" + first + " &\n" + "pid=$!\nsleep 3\n" +
        // Leave less free space than the rest of the release.
        "fallocate -l $(( $(df -B1 --output=avail '" + save + "' | tail -1) - 1000000 )) '" + save +
        "/blocker'\n" + "wait $pid\necho first=$?\nrm '" + save + "/blocker'\n" +
        "timeout -s KILL 60" + again + "\necho second=$?\n";
    for (int i = 0; i < 8; ++i) script += "md5sum '" + release.Target(i) + "'\n";
    std::string out = InTmpfs(120, script);
    EXPECT_NE(out.find("预留磁盘空间不足，下载暂停。"), std::string::npos) << out;
    EXPECT_NE(out.find("first=1"), std::string::npos) << out;
    EXPECT_NE(out.find("second=0"), std::string::npos) << out;
    for (int i = 0; i < 8; ++i) EXPECT_NE(out.find(release.Md5(i)), std::string::npos) << i;
}

}  // namespace
}  // namespace lfapptest
