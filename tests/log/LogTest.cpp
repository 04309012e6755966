#include <gtest/gtest.h>

#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/log/LogApi.h"
#include "tests/support/TestDirs.h"

using namespace lf;

namespace {

std::mutex g_debugMutex;
std::vector<std::string> g_debugLines;

void CaptureDebug(const char* line) {
    std::lock_guard<std::mutex> guard(g_debugMutex);
    g_debugLines.emplace_back(line);
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_debugLines.clear();
        SetDebugOutputSink(&CaptureDebug);
        base = dir / "rel";
        log.SetBasePath(base.c_str());
    }
    void TearDown() override { SetDebugOutputSink(nullptr); }

    std::vector<std::string> Lines(const std::string& suffix) {
        std::vector<std::string> out;
        std::istringstream in(lftest::ReadFile(base + suffix));
        std::string line;
        while (std::getline(in, line)) out.push_back(line);
        return out;
    }

    lftest::TempDir dir;
    std::string base;
    CLanternfishLogApi log;
};

TEST_F(LogTest, ChannelRoutingTable) {
    log.SetThresholds(0, 100);  // every channel to its file, no debug output
    struct Case {
        int channel;
        const char* suffix;
    } cases[] = {{4, ".req.log"},
                 {9, ".checkpeer.log"},
                 {18, ".peerprefer.log"},
                 {25, ".httptrace.log"},
                 {28, ".dataupload.log"},
                 {29, ".written.log"},
                 {30, ".sha1check.log"},
                 {31, ".peerinfo.log"},
                 {37, ".checktask.log"},
                 {38, ".dump.log"},
                 {2, ".log"},
                 {23, ".log"},
                 {39, ".log"},
                 {0, ".log"}};
    for (const auto& c : cases) {
        std::string text = "line for channel " + std::to_string(c.channel);
        log.Write(text.c_str(), c.channel, c.channel);
        auto lines = Lines(c.suffix);
        ASSERT_FALSE(lines.empty()) << c.channel;
        EXPECT_NE(lines.back().find("] [" + text + "]"), std::string::npos) << c.channel;
        EXPECT_EQ(log.PathForChannel(c.channel), base + c.suffix);
    }
    EXPECT_TRUE(g_debugLines.empty());
}

TEST_F(LogTest, DefaultThresholds) {
    EXPECT_EQ(log.FileThreshold(), 38);
    EXPECT_EQ(log.DebugThreshold(), 2);
    log.Write("thirty-four", 34, 34);
    log.Write("thirty-eight", 38, 38);
    log.Write("forty", 40, 40);
    log.Write("one", 1, 1);  // below both thresholds: nothing
    EXPECT_FALSE(lftest::FileExists(base + ".req.log"));
    auto dump = Lines(".dump.log");
    ASSERT_EQ(dump.size(), 1u);
    EXPECT_NE(dump[0].find("[thirty-eight]"), std::string::npos);
    auto main = Lines(".log");
    ASSERT_EQ(main.size(), 1u);
    EXPECT_NE(main[0].find("[forty]"), std::string::npos);
    ASSERT_EQ(g_debugLines.size(), 3u);  // 34, 38, 40
    EXPECT_NE(g_debugLines[0].find("[thirty-four]\n"), std::string::npos);
}

TEST_F(LogTest, ThirtyNineSilencesEverything) {
    log.SetThresholds(39, 39);
    log.Write("quiet", 40, 40);
    log.DebugPrint("%s", "debug print is not a write");
    EXPECT_FALSE(lftest::FileExists(base + ".log"));
    ASSERT_EQ(g_debugLines.size(), 1u);
    EXPECT_NE(g_debugLines[0].find("[debug print is not a write]\r\n"), std::string::npos);
}

TEST_F(LogTest, DebugThreshold39StopsFilesToo) {
    log.SetThresholds(0, 39);
    log.Write("only debug", 40, 40);  // level 40 >= 39: debugger output; files off
    EXPECT_FALSE(lftest::FileExists(base + ".log"));
    EXPECT_EQ(g_debugLines.size(), 1u);
}

TEST_F(LogTest, LineFormatAndCut) {
    log.SetThresholds(0, 100);
    std::string longText(10000, 'x');
    log.Write(longText.c_str(), 40, 40);
    std::string raw = lftest::ReadFile(base + ".log");
    EXPECT_EQ(raw.size(), 4095u);
    EXPECT_EQ(raw.back(), '\n');
    EXPECT_EQ(raw[raw.size() - 2], ']');
    // "[HH:MM:SS] [" prefix
    EXPECT_EQ(raw[0], '[');
    EXPECT_EQ(raw.substr(9, 3), "] [");
}

// Remote text in a line (a server's message, a file name): control
// characters are written out, to the files and the debug output alike; an
// escape that would not fit is cut whole.
TEST_F(LogTest, ControlCharactersAreWrittenOut) {
    log.SetThresholds(0, 0);
    log.Write("name\x1b]0;pwned\x07\x1b[2J\r\nend", 40, 40);
    const std::string raw = lftest::ReadFile(base + ".log");
    EXPECT_NE(raw.find("[name\\x1b]0;pwned\\x07\\x1b[2J\\x0d\\x0aend]\n"), std::string::npos)
        << raw;
    ASSERT_FALSE(g_debugLines.empty());
    EXPECT_EQ(g_debugLines.back().find('\x1b'), std::string::npos);
    std::string longText(10000, '\x01');
    log.Write(longText.c_str(), 40, 40);
    std::vector<std::string> lines = Lines(".log");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].back(), ']');
    EXPECT_EQ((lines[1].size() - 13) % 4, 0u);  // "[HH:MM:SS] [" ... "]"
}

TEST_F(LogTest, ConcurrentWritersNeverInterleave) {
    log.SetThresholds(0, 100);
    constexpr int kThreads = 4;
    constexpr int kLines = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            std::string text(200 + t * 50, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i) log.Write(text.c_str(), 40, 40);
        });
    }
    for (auto& th : threads) th.join();
    auto lines = Lines(".log");
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    for (const auto& line : lines) {
        size_t open = line.find("] [");
        ASSERT_NE(open, std::string::npos);
        std::string body = line.substr(open + 3, line.size() - open - 4);
        ASSERT_FALSE(body.empty());
        char c = body[0];
        EXPECT_EQ(body, std::string(200 + (c - 'a') * 50, c));
    }
}

TEST(EngineLogTest, WritersWithoutLogWriteNothing) {
    EngineLog::Close();
    EngineLog::Write(40, "nowhere");  // no crash, nothing
    EXPECT_FALSE(EngineLog::IsOpen());
    lftest::TempDir dir;
    EngineLog::Open();
    EngineLog::Open();  // second open keeps the same object
    EngineLog::SetBasePath((dir / "x").c_str());
    EngineLog::Printf(40, "value %d", 7);
    EngineLog::Close();
    EngineLog::Printf(40, "after close %d", 8);
    std::string raw = lftest::ReadFile(dir / "x.log");
    EXPECT_NE(raw.find("[value 7]"), std::string::npos);
    EXPECT_EQ(raw.find("after close"), std::string::npos);
}

}  // namespace
