// The live block on a real terminal (tmux, a pseudo-terminal of the test's
// own): it fits an 80-column terminal, every redraw replaces the last (no
// copies left behind), it survives a resize to 60 columns and back to 100
// (one block on the screen, no copy stacked in the history), and the
// progress line carries the remaining time and the connection count.
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
    // Only what the pane shows now.
    std::string Visible() { return Tmux("capture-pane -p -t run"); }
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

// Rows showing a file of the block.
size_t FileRows(const std::string& screen) {
    return Count("\n" + screen, "\n  Qarrd");
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
    for (const std::string& a : release.Command({"--limit", "400", "--no-install"})) {
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

    const size_t files = FileRows(wide);
    EXPECT_GE(files, 8u) << wide;

    // Narrower. tmux splits the block's lines to the new width and, the
    // block being at the top of a fresh pane, pushes its first rows into
    // the history, out of the program's reach: at most that one copy may
    // stay there. The redraws at the new width replace each other, also
    // once the block starts on the pane's first row.
    Tmux("resize-window -t run -x 60 -y 40");
    std::this_thread::sleep_for(std::chrono::seconds(3));
    std::string narrow = Visible();
    EXPECT_TRUE(LastBlockFits(narrow)) << narrow;
    EXPECT_EQ(ProgressRows(narrow), 1u) << narrow;
    EXPECT_EQ(FileRows(narrow), files) << narrow;
    std::string narrowHistory = Screen();
    EXPECT_LE(ProgressRows(narrowHistory), 2u) << narrowHistory;

    // Wider again: still one block, and nothing more in the history.
    Tmux("resize-window -t run -x 100 -y 40");
    std::this_thread::sleep_for(std::chrono::seconds(3));
    std::string wider = Visible();
    EXPECT_TRUE(LastBlockFits(wider)) << wider;
    EXPECT_EQ(ProgressRows(wider), 1u) << wider;
    EXPECT_EQ(FileRows(wider), files) << wider;
    std::string widerHistory = Screen();
    EXPECT_EQ(ProgressRows(widerHistory), ProgressRows(narrowHistory)) << widerHistory;
    EXPECT_LE(FileRows(widerHistory), 2 * files) << widerHistory;

    ASSERT_TRUE(WaitFor("EXIT=0", 120)) << Screen();
    EXPECT_TRUE(release.AllTargetsMatch());
}

}  // namespace
}  // namespace lfapptest
