// The live block on a real terminal (tmux, a pseudo-terminal of the test's
// own): it fits an 80-column terminal, every redraw replaces the last (no
// copies left behind), its next redraws fit a terminal resized to 60
// columns, and the progress line carries the remaining time and the
// connection count.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "tests/app/HeadlessFixture.h"

namespace lfapptest {
namespace {

class HeadlessTerminalTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!lftest::HaveProgram("tmux")) GTEST_SKIP() << "needs tmux";
        release.Start(kSmallRelease, ResourceList("false", 0, ""));
        socket = "lf-term-" + std::to_string(::getpid());
    }
    void TearDown() override { Tmux("kill-server"); }
    std::string Tmux(const std::string& args) {
        return lftest::Capture("tmux -L " + socket + " " + args + " 2>/dev/null");
    }
    // The whole pane with its history, one screen row a line.
    std::string Screen() { return Tmux("capture-pane -p -t run -S -3000"); }
    bool WaitFor(const std::string& text, int seconds) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < end) {
            if (Screen().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    HeadlessRelease release;
    std::string socket;
};

// Rows showing the progress line (its label).
size_t ProgressRows(const std::string& screen) {
    return Count(screen, "当前进度:");
}

// The last progress row is one line of the program: the row after it is
// the first file's row, not the rest of a wrapped line.
bool LastBlockFits(const std::string& screen) {
    const size_t at = screen.rfind("当前进度:");
    if (at == std::string::npos) return false;
    const size_t next = screen.find('\n', at);
    return next != std::string::npos && screen.compare(next + 1, 7, "  Qarrd") == 0;
}

TEST_F(HeadlessTerminalTest, LiveBlockFitsTheWidthAndFollowsAResize) {
    std::string cmd;
    for (const std::string& a : release.Command({"--limit", "600", "--no-install"})) {
        if (a != "--quiet") cmd += " '" + a + "'";
    }
    // The program's debug lines stay out of the terminal.
    cmd += " 2>/dev/null; echo EXIT=$?; sleep 60";
    lftest::WriteFile(release.Dir() / "run.sh", cmd + "\n");
    Tmux("new-session -d -s run -x 80 -y 40 'sh " + (release.Dir() / "run.sh") + "'");
    ASSERT_TRUE(WaitFor("ETA", 60)) << Screen();
    std::this_thread::sleep_for(std::chrono::seconds(2));  // a few redraws
    std::string wide = Screen();
    EXPECT_EQ(ProgressRows(wide), 1u) << wide;
    EXPECT_NE(wide.find("CN "), std::string::npos) << wide;
    EXPECT_TRUE(LastBlockFits(wide)) << wide;

    // Narrower: the next redraws are cut to the new width.
    Tmux("resize-window -t run -x 60 -y 40");
    std::this_thread::sleep_for(std::chrono::seconds(3));
    std::string narrow = Screen();
    EXPECT_TRUE(LastBlockFits(narrow)) << narrow;

    ASSERT_TRUE(WaitFor("EXIT=0", 120)) << Screen();
    EXPECT_TRUE(release.AllTargetsMatch());
}

}  // namespace
}  // namespace lfapptest
