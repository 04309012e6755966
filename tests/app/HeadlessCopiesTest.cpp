// Two copies of the terminal program on the same release: the second one
// refuses before it touches a file, and the first one's download stays
// right.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "tests/app/HeadlessFixture.h"

namespace lfapptest {
namespace {

constexpr char kRefusal[] = "另一个下载器正在使用目录";

class HeadlessCopiesTest : public ::testing::Test {
protected:
    void SetUp() override { release.Start(kSmallRelease, ResourceList("false", 0, "")); }

    // Waits until the running copy has put data into its save folder.
    static bool WaitForTarget(const std::string& folder) {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < until) {
            std::error_code ec;
            for (auto& e : std::filesystem::directory_iterator(folder, ec)) {
                if (e.path().extension() == ".lftmp" && e.file_size(ec) > 0) return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    static std::string Listing(const std::string& folder) {
        std::string out;
        std::error_code ec;
        for (auto& e : std::filesystem::recursive_directory_iterator(folder, ec)) {
            out += e.path().string() + "\n";
        }
        return out;
    }

    HeadlessRelease release;
};

// The second copy meets the first on the same data folder (same release),
// or, with its own data folder, on the same save folder.
TEST_F(HeadlessCopiesTest, SecondCopyRefusesAndTheFirstFinishesRight) {
    struct Case {
        const char* name;
        bool ownDataFolder;
    };
    for (const Case& c : {Case{"same data folder", false}, Case{"same save folder", true}}) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(release.Dir() / "data");
        std::filesystem::remove_all(release.SaveFolder());
        release.SetEnvironment({});
        lftest::ChildProcess first;
        ASSERT_TRUE(release.Spawn(first, {"--limit", "600", "--no-install", "--no-verify"},
                                  release.Dir() / "first.log"));
        ASSERT_TRUE(WaitForTarget(release.SaveFolder())) << Listing(release.Dir() / "save");

        const std::string otherData = release.Dir() / "data2";
        std::filesystem::remove_all(otherData);
        if (c.ownDataFolder) release.SetEnvironment({"LANTERNFISH_DATA_HOME=" + otherData});
        RunResult second = release.Run({"--no-install", "--no-verify"}, 60);
        EXPECT_NE(second.exitCode, 0) << second.output;
        EXPECT_NE(second.output.find(kRefusal), std::string::npos) << second.output;
        // It downloaded nothing and wrote no task state of its own.
        EXPECT_TRUE(second.output.find("本次下载字节数：") == std::string::npos ||
                    second.output.find("本次下载字节数：0") != std::string::npos)
            << second.output;
        if (c.ownDataFolder) {
            EXPECT_EQ(Listing(otherData).find(".lfinfo"), std::string::npos) << Listing(otherData);
        }

        const int status = first.Wait();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << lftest::ReadFile(release.Dir() / "first.log");
        EXPECT_TRUE(release.AllTargetsMatch());
    }
}

// Started at the same moment: exactly one runs, the other refuses.
TEST_F(HeadlessCopiesTest, CopiesStartedTogetherLeaveOneRunning) {
    lftest::ChildProcess a, b;
    ASSERT_TRUE(release.Spawn(a, {"--limit", "2000", "--no-install", "--no-verify"},
                              release.Dir() / "a.log"));
    ASSERT_TRUE(release.Spawn(b, {"--limit", "2000", "--no-install", "--no-verify"},
                              release.Dir() / "b.log"));
    const int sa = a.Wait();
    const int sb = b.Wait();
    const std::string la = lftest::ReadFile(release.Dir() / "a.log");
    const std::string lb = lftest::ReadFile(release.Dir() / "b.log");
    const bool aRefused = la.find(kRefusal) != std::string::npos;
    const bool bRefused = lb.find(kRefusal) != std::string::npos;
    EXPECT_NE(aRefused, bRefused) << la << "\n----\n" << lb;
    const int winner = aRefused ? sb : sa;
    const int loser = aRefused ? sa : sb;
    EXPECT_TRUE(WIFEXITED(winner) && WEXITSTATUS(winner) == 0)
        << winner << " " << loser << la << "\n----\n"
        << lb;
    EXPECT_TRUE(WIFEXITED(loser) && WEXITSTATUS(loser) != 0);
    EXPECT_TRUE(release.AllTargetsMatch());
}

}  // namespace
}  // namespace lfapptest
