// The real program started twice: the second copy reaches the first and
// ends; a frozen first copy is replaced by the next one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "tests/support/TestDirs.h"

namespace {

const std::string kProgram = std::string(LF_BINARY_DIR) + "/app/lanternfish";

class TwoCopies : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* d : {"data", "rt", "dl"}) std::filesystem::create_directories(dir / d);
        std::filesystem::permissions(dir / "rt", std::filesystem::perms::owner_all);
        setenv("LANTERNFISH_DATA_HOME", (dir / "data").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", (dir / "rt").c_str(), 1);
        setenv("XDG_DOWNLOAD_DIR", (dir / "dl").c_str(), 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        const std::string closed = "http://127.0.0.1:" + std::to_string(lftest::FreeTcpPort());
        setenv("LANTERNFISH_RESOURCE_LIST_URL", (closed + "/list.xml").c_str(), 1);
        setenv("LANTERNFISH_STATS_SERVER", (closed + "/").c_str(), 1);
        ASSERT_EQ(chdir(dir.Path().c_str()), 0);
    }

    bool ChannelExists() {
        for (const auto& e : std::filesystem::directory_iterator(dir / "rt")) {
            if (e.path().filename().string().rfind("Lanternfish_Only_Mapping_", 0) == 0) {
                return true;
            }
        }
        return false;
    }
    // The running copy listens once its channel exists.
    bool WaitForChannel() {
        for (int i = 0; i < 1000; ++i) {
            if (ChannelExists()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    // Waits for a child to end (up to limit); its wait status, or -1.
    static int WaitEnd(pid_t pid, std::chrono::seconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) return status;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

    lftest::TempDir dir;
};

TEST_F(TwoCopies, SecondCopyEndsAndTheFirstStays) {
    lftest::ChildProcess first;
    ASSERT_TRUE(first.Start({kProgram}, dir / "first.log"));
    ASSERT_TRUE(WaitForChannel());
    lftest::ChildProcess second;
    ASSERT_TRUE(second.Start({kProgram}, dir / "second.log"));
    const int status = WaitEnd(second.Pid(), std::chrono::seconds(30));
    ASSERT_NE(status, -1) << "the second copy kept running";
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(waitpid(first.Pid(), nullptr, WNOHANG), 0);  // the first still runs
}

TEST_F(TwoCopies, FrozenFirstCopyIsReplaced) {
    lftest::ChildProcess first;
    ASSERT_TRUE(first.Start({kProgram}, dir / "first.log"));
    ASSERT_TRUE(WaitForChannel());
    first.Signal(SIGSTOP);
    lftest::ChildProcess next;
    ASSERT_TRUE(next.Start({kProgram}, dir / "next.log"));
    const int status = WaitEnd(first.Pid(), std::chrono::seconds(30));
    ASSERT_NE(status, -1) << "the frozen copy was not ended";
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);
    // The new copy took over: it runs, and the next one reaches it.
    EXPECT_EQ(waitpid(next.Pid(), nullptr, WNOHANG), 0);
    lftest::ChildProcess third;
    ASSERT_TRUE(third.Start({kProgram}, dir / "third.log"));
    const int third_status = WaitEnd(third.Pid(), std::chrono::seconds(30));
    ASSERT_NE(third_status, -1);
    EXPECT_TRUE(WIFEXITED(third_status));
    EXPECT_EQ(waitpid(next.Pid(), nullptr, WNOHANG), 0);
}

TEST_F(TwoCopies, TermSignalClosesTheWindowTheNormalWay) {
    for (int sig : {SIGTERM, SIGINT}) {
        lftest::ChildProcess copy;
        ASSERT_TRUE(copy.Start({kProgram}, dir / "copy.log"));
        ASSERT_TRUE(WaitForChannel());
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // window up
        copy.Signal(sig);
        const int status = WaitEnd(copy.Pid(), std::chrono::seconds(30));
        ASSERT_NE(status, -1);
        EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_FALSE(ChannelExists()) << "the channel outlived the copy";
    }
}

}  // namespace
