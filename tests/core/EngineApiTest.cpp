#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "engine/core/EngineApi.h"
#include "engine/core/EngineSettings.h"
#include "engine/core/WorkThread.h"
#include "engine/log/LogApi.h"
#include "tests/support/TestDirs.h"

using namespace lf;

namespace {

TaskDescription HttpTask(const std::string& sources, const std::string& target = "") {
    TaskDescription d;
    std::memset(&d, 0, sizeof(d));
    static std::deque<std::string> keep;  // sources must outlive the call only
    keep.push_back(sources);
    d.sources = keep.back().c_str();
    std::snprintf(d.targetPath, sizeof(d.targetPath), "%s", target.c_str());
    d.flags = target.empty() ? 0 : kTaskFlagTargetIsFile;
    return d;
}

TaskInfo Query(TaskHandle h) {
    TaskInfo info;
    EXPECT_EQ(QueryTask(h, &info), 0);
    return info;
}

// Waits until the task's thread has ended and answers its published status.
int32_t WaitForEnd(TaskHandle h, int seconds = 30) {
    auto* task = static_cast<TBaseWork*>(h);
    for (int i = 0; i < seconds * 20; ++i) {
        if (!task->IsRunning()) break;
        SleepMs(50);
    }
    EXPECT_FALSE(task->IsRunning());
    return Query(h).status;
}

class EngineApiTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetEngineTimings(EngineTimings());
        ASSERT_EQ(EngineStartup(dir.Path().c_str()), 0);
    }
    void TearDown() override {
        EXPECT_EQ(EngineShutdown(), 0);
        SetEngineTimings(EngineTimings());
    }
    lftest::TempDir dir;
};

// A work object whose status the test sets directly, to check what the
// interface reports from a publication.
class ScriptedTask : public TWorkThread {
public:
    void SetProgress(int64_t downloaded, int64_t total, int32_t status) {
        QGuard guard(Mutex());
        m_working.downloadedBytes = downloaded;
        m_working.totalBytes = total;
        m_working.statusCode = status;
        Publish(true, true);
    }
    void SetPieceMap(std::vector<uint8_t> have, uint32_t pieces) {
        QGuard guard(Mutex());
        m_have = std::move(have);
        m_working.pieceCount = pieces;
        Publish(true, true);
    }
};

TEST_F(EngineApiTest, StartupTwiceAnswersZero) {
    EXPECT_EQ(EngineStartup(nullptr), 0);
    EXPECT_EQ(CLanternfishCore::Instance().StartupFolder(),
              dir.Path());  // the second call changed nothing
    EXPECT_EQ(CLanternfishCore::Instance().started.load(), 1);
}

TEST_F(EngineApiTest, NullAndUnknownHandles) {
    EXPECT_EQ(CreateAndStartTask(nullptr), -101);
    EXPECT_EQ(RecoverAndContinueTask(nullptr, 1), -101);
    int local = 0;
    std::vector<TaskHandle> bogus = {nullptr, &local, reinterpret_cast<TaskHandle>(0x12345678)};
    for (TaskHandle h : bogus) {
        TaskInfo info;
        int32_t flag;
        uint8_t buf[4];
        EXPECT_EQ(QueryTask(h, &info), -106);
        EXPECT_EQ(StopTask(h, 0), -106);
        EXPECT_EQ(RestartTask(h), -106);
        EXPECT_EQ(IsTaskComplete(h, &flag), -106);
        EXPECT_EQ(SetTaskSpeedLimit(h, 1, 10), -106);
        EXPECT_EQ(SetTaskConnectionLimits(h, 1, 1), -106);
        EXPECT_EQ(ClearTaskMirrors(h), -106);
        EXPECT_EQ(AddTaskMirrors(h, "http://a/", "null"), -106);
        EXPECT_EQ(CopyTaskPieceMap(h, buf, 4), -1);
        EXPECT_EQ(GetTaskPieceMapSize(h), -1);
    }
}

TEST_F(EngineApiTest, FreedHandleAnswersUnknown) {
    SetEngineTiming(&EngineTimings::noSourceSeconds, 1000);
    auto d = HttpTask("");
    ASSERT_EQ(CreateAndStartTask(&d), 0);
    TaskHandle h = d.handle;
    ASSERT_EQ(Query(h).status, 0);
    EXPECT_EQ(EngineShutdown(), 0);  // deletes every task
    TaskInfo info;
    EXPECT_EQ(QueryTask(h, &info), -106);
    EXPECT_EQ(StopTask(h, 0), -106);
    ASSERT_EQ(EngineStartup(nullptr), 0);
}

TEST_F(EngineApiTest, QueryBeforePublicationAndCompleteOverride) {
    auto* task = new ScriptedTask();
    TaskHandle h = static_cast<TBaseWork*>(task);
    TaskInfo info = Query(h);
    EXPECT_EQ(info.progress, 0u);
    EXPECT_EQ(info.status, 0);
    EXPECT_EQ(info.totalKiB, 0);
    int32_t complete = -1;
    EXPECT_EQ(IsTaskComplete(h, &complete), 0);
    EXPECT_EQ(complete, 0);

    struct Case {
        int64_t downloaded, total;
        int32_t status;
        uint32_t progress;
        int32_t reported;
        int32_t complete;
    } cases[] = {
        {0, 0, 20210, 0, 20210, 0},
        {50, 100, 20214, 5000, 20214, 0},
        {9999, 10000, 20215, 9999, 20215, 0},
        {10000, 10000, 20214, 10000, 20206, 1},  // complete wins over the task's own status
        {3000000000LL, 3000000000LL, 0, 10000, 20206, 1},  // 64-bit arithmetic
        {4, 3, 20209, 13333, 20206, 1},
    };
    for (const auto& c : cases) {
        task->SetProgress(c.downloaded, c.total, c.status);
        info = Query(h);
        EXPECT_EQ(info.progress, c.progress) << c.downloaded;
        EXPECT_EQ(info.status, c.reported) << c.downloaded;
        EXPECT_EQ(info.totalKiB, static_cast<int32_t>(c.total / 1024));
        EXPECT_EQ(IsTaskComplete(h, &complete), 0);
        EXPECT_EQ(complete, c.complete) << c.downloaded;
    }
}

TEST_F(EngineApiTest, CopyPieceMapCopiesBufferLengthButCountsAllBits) {
    auto* task = new ScriptedTask();
    TaskHandle h = static_cast<TBaseWork*>(task);
    task->SetPieceMap({0xF0, 0x0F, 0x80}, 17);
    EXPECT_EQ(GetTaskPieceMapSize(h), 3);
    uint8_t buf[2] = {0, 0};
    EXPECT_EQ(CopyTaskPieceMap(h, buf, 2), 17);
    EXPECT_EQ(buf[0], 0xF0);
    EXPECT_EQ(buf[1], 0x0F);
    EXPECT_EQ(CopyTaskPieceMap(h, nullptr, 2), 0);
    EXPECT_EQ(CopyTaskPieceMap(h, buf, 0), 0);
    uint8_t big[8] = {};
    task->SetPieceMap({0xFF}, 30);  // more pieces than bits held: min(8 x bytes, count)
    EXPECT_EQ(CopyTaskPieceMap(h, big, 8), 8);
}

TEST_F(EngineApiTest, SpeedLimitDirectionsAndValidation) {
    auto* task = new ScriptedTask();
    TaskHandle h = static_cast<TBaseWork*>(task);
    EXPECT_EQ(SetTaskSpeedLimit(h, 2, 100), -101);
    EXPECT_EQ(SetTaskSpeedLimit(h, -1, 100), -101);
    EXPECT_EQ(SetTaskSpeedLimit(h, 1, 2000), 0);
    EXPECT_EQ(task->Settings().downloadLimitKiB, 2000);
    EXPECT_EQ(SetTaskSpeedLimit(h, 0, 32766), 0);
    EXPECT_EQ(task->Settings().uploadLimitKiB, 32766);
    EXPECT_EQ(SetTaskSpeedLimit(h, 1, 32767), 0);  // out of range becomes 0
    EXPECT_EQ(task->Settings().downloadLimitKiB, 0);
    EXPECT_EQ(SetTaskSpeedLimit(h, 0, -5), 0);
    EXPECT_EQ(task->Settings().uploadLimitKiB, 0);
}

TEST(TaskSettingsTest, ValidationTable) {
    TaskSettings s;
    s.maxPeerConnections = 0;
    s.connectionsPerServer = 21;
    s.secondCount = 8001;
    s.seedHours = -1;
    s.countAfterOptions = 40000;
    s.Validate();
    EXPECT_EQ(s.maxPeerConnections, 52);
    EXPECT_EQ(s.connectionsPerServer, 1);
    EXPECT_EQ(s.secondCount, 64);
    EXPECT_EQ(s.seedHours, 12);
    EXPECT_EQ(s.countAfterOptions, 0);
    s.maxPeerConnections = 20480;
    s.connectionsPerServer = 20;
    s.seedHours = 0;
    s.Validate();
    EXPECT_EQ(s.maxPeerConnections, 20480);
    EXPECT_EQ(s.connectionsPerServer, 20);
    EXPECT_EQ(s.seedHours, 0);
}

TEST_F(EngineApiTest, ConnectionLimitsAndMirrors) {
    auto* task = new ScriptedTask();
    TaskHandle h = static_cast<TBaseWork*>(task);
    EXPECT_EQ(task->ServerLimit(), 49);
    EXPECT_EQ(task->PeerLimit(), 0);
    EXPECT_EQ(SetTaskConnectionLimits(h, 19, 30), 0);
    EXPECT_EQ(task->ServerLimit(), 19);
    EXPECT_EQ(task->PeerLimit(), 30);
    EXPECT_EQ(AddTaskMirrors(h, "http://m1/a\r\nhttp://m2/a\n", "m1.example\r\nnull"), 0);
    EXPECT_TRUE(task->m_mirrorMode);
    EXPECT_EQ(task->m_mirrors, (std::vector<std::string>{"http://m1/a", "http://m2/a"}));
    EXPECT_EQ(task->m_mirrorCompanions, (std::vector<std::string>{"m1.example", "null"}));
    EXPECT_EQ(ClearTaskMirrors(h), 0);
    EXPECT_FALSE(task->m_mirrorMode);
    EXPECT_TRUE(task->m_mirrors.empty());
}

TEST(SourceTextTest, LinesAreSplitAndTrimmed) {
    ScriptedTask task;
    task.SetSources(
        " http://a/x \r\n\thttp://b/y\r\rftp://c/z\n\x01\x02http://d/\xE4\xB8\xAD\xC2\xA0 "
        "\n\nlast");
    std::vector<std::string> texts;
    for (const auto& e : task.m_sourceList) {
        texts.push_back(e.text);
        EXPECT_EQ(e.state, 0u);
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"http://a/x", "http://b/y", "", "ftp://c/z",
                                               "http://d/\xE4\xB8\xAD\xC2\xA0", "", "last"}));
    task.SetSources("one\r\n");  // no line after the last break
    ASSERT_EQ(task.m_sourceList.size(), 1u);
}

TEST_F(EngineApiTest, DuplicateTable) {
    SetEngineTiming(&EngineTimings::noSourceSeconds, 1000);
    auto a = HttpTask("http://s1/f\nhttp://s2/f\nhttp://s3/f\nhttp://s4/f\nhttp://s5/f");
    ASSERT_EQ(CreateAndStartTask(&a), 0);
    struct Case {
        const char* sources;
        int32_t result;
    } cases[] = {
        {"http://s1/f\nhttp://s2/f\nhttp://x3/f\nhttp://x4/f\nhttp://x5/f", -105},  // 5 / 2 = 2
        {"http://s1/f\nhttp://s2/f\nhttp://y3/f\nhttp://y4/f\nhttp://y5/f\nhttp://y6/f",
         0},                                           // 6 / 2 = 3
        {"http://S1/f\nhttp://S2/f", 0},               // byte-exact: case differs
        {"http://z1/f\nhttp://s5/f", -105},            // 2 / 1 = 2
        {"http://w1/f\nhttp://w2/f\nhttp://s3/f", 0},  // 3 / 1 = 3
    };
    for (const auto& c : cases) {
        auto d = HttpTask(c.sources);
        EXPECT_EQ(CreateAndStartTask(&d), c.result) << c.sources;
        if (c.result != 0) {
            EXPECT_EQ(d.handle, nullptr);
        }
    }
}

TEST_F(EngineApiTest, DuplicateByTargetFileAndLocator) {
    SetEngineTiming(&EngineTimings::noSourceSeconds, 1000);
    std::string target = dir / "file.bin";
    auto a = HttpTask("http://a/1", target);
    ASSERT_EQ(CreateAndStartTask(&a), 0);
    auto sameTarget = HttpTask("http://other/1", target);
    EXPECT_EQ(CreateAndStartTask(&sameTarget), -105);
    EXPECT_EQ(RecoverAndContinueTask(&sameTarget, 0), -105);
    auto otherCase = HttpTask("http://other/2", dir / "FILE.bin");
    EXPECT_EQ(CreateAndStartTask(&otherCase), 0);  // byte for byte
    auto forced = HttpTask("http://other/3", target);
    EXPECT_EQ(RecoverAndContinueTask(&forced, 1), 0);

    std::string torrent = dir / "t.torrent";
    auto p1 = HttpTask("", dir / "p1.bin");
    p1.flags |= kTaskFlagP2SP;
    std::snprintf(p1.p2spLocator, sizeof(p1.p2spLocator), "file://%s", torrent.c_str());
    ASSERT_EQ(CreateAndStartTask(&p1), 0);
    auto p2 = HttpTask("", dir / "p2.bin");
    p2.flags |= kTaskFlagBitTorrent;  // BitTorrent task: locator is the first source
    std::string firstSource = std::string("file://") + torrent;
    auto p2b = HttpTask(firstSource, dir / "p2.bin");
    p2b.flags = kTaskFlagTargetIsFile | kTaskFlagBitTorrent;
    EXPECT_EQ(CreateAndStartTask(&p2b), -105);
}

TEST_F(EngineApiTest, NoSourceEndsWith20214) {
    SetEngineTiming(&EngineTimings::noSourceSeconds, 1);
    auto d = HttpTask("");
    ASSERT_EQ(CreateAndStartTask(&d), 0);
    EXPECT_EQ(WaitForEnd(d.handle), 20214);
    // A P2SP task without metainfo and without sources gives up at once.
    auto p = HttpTask("");
    p.flags = kTaskFlagP2SP;
    ASSERT_EQ(CreateAndStartTask(&p), 0);
    EXPECT_EQ(WaitForEnd(p.handle), 20214);
}

TEST_F(EngineApiTest, StartTimeoutEndsWith20209) {
    SetEngineTiming(&EngineTimings::noSourceSeconds, 1000);
    SetEngineTiming(&EngineTimings::startTimeoutSeconds, 1);
    auto d = HttpTask("");
    ASSERT_EQ(CreateAndStartTask(&d), 0);
    EXPECT_EQ(WaitForEnd(d.handle), 20209);
}

TEST_F(EngineApiTest, UnreadableMetainfoEndsWith20211) {
    struct Case {
        std::string locator;
        std::string content;  // empty: no file
    } cases[] = {
        {"file://" + (dir / "missing.torrent"), ""},
        {"FILE://" + (dir / "empty.torrent"), "\x01"},  // locator prefix ignores case
    };
    for (const auto& c : cases) {
        if (!c.content.empty()) lftest::WriteFile(c.locator.substr(7), "");
        const std::string n = std::to_string(&c - cases);
        auto d = HttpTask("http://a/" + n, dir / ("t" + n));
        d.flags |= kTaskFlagP2SP;
        std::snprintf(d.p2spLocator, sizeof(d.p2spLocator), "%s", c.locator.c_str());
        ASSERT_EQ(CreateAndStartTask(&d), 0);
        EXPECT_EQ(WaitForEnd(d.handle, 5), 20211) << c.locator;
    }
}

TEST_F(EngineApiTest, StopRestartAndStopTasksWithNullHandle) {
    SetEngineTiming(&EngineTimings::noSourceSeconds, 1000);
    std::vector<TaskHandle> handles;
    for (int i = 0; i < 3; ++i) {
        auto d = HttpTask("", dir / ("f" + std::to_string(i)));
        ASSERT_EQ(CreateAndStartTask(&d), 0);
        handles.push_back(d.handle);
    }
    auto* first = static_cast<TBaseWork*>(handles[0]);
    EXPECT_EQ(RestartTask(handles[0]), -107);  // still running
    EXPECT_EQ(StopTask(handles[0], 0), 0);
    EXPECT_FALSE(first->IsRunning());
    EXPECT_EQ(StopTask(handles[0], 1), 0);  // stopping a stopped task is fine
    EXPECT_EQ(RestartTask(handles[0]), 0);
    EXPECT_TRUE(first->IsRunning());

    std::vector<TaskHandle> withNull = {handles[0], nullptr, handles[1], handles[2]};
    int32_t results[4] = {9, 9, 9, 9};
    EXPECT_EQ(StopTasks(withNull.data(), 4, 0, results), 0);
    EXPECT_EQ(results[0], 0);
    EXPECT_EQ(results[1], -106);
    EXPECT_EQ(results[2], 0);
    EXPECT_EQ(results[3], 0);
    for (TaskHandle h : handles) {
        EXPECT_FALSE(static_cast<TBaseWork*>(h)->IsRunning());
    }
    EXPECT_EQ(StopTasks(withNull.data(), 4, 1, nullptr), 0);  // result array may be null
}

TEST_F(EngineApiTest, PausedTaskStopsAndRestarts) {
    SetEngineTiming(&EngineTimings::noSourceSeconds, 1000);
    QThread::SetPausePollMs(50);
    auto d = HttpTask("");
    ASSERT_EQ(CreateAndStartTask(&d), 0);
    auto* task = static_cast<TBaseWork*>(d.handle);
    EXPECT_EQ(task->PauseDownload(), 0);
    SleepMs(200);
    EXPECT_EQ(Query(d.handle).status, 0);  // pausing changes nothing the query reports
    EXPECT_EQ(StopTask(d.handle, 0), 0);
    EXPECT_FALSE(task->IsRunning());
    EXPECT_EQ(task->PauseDownload(), -107);  // no thread runs
    EXPECT_EQ(RestartTask(d.handle), 0);
    EXPECT_FALSE(task->IsPaused());
    QThread::SetPausePollMs(1000);
}

// A task that tries to stop itself from its own thread.
class SelfStopper : public TWorkThread {
public:
    int64_t Tick() override {
        if (result.load() == 1) result = StopDownload();
        return TWorkThread::Tick();
    }
    std::atomic<int> result{1};
};

TEST_F(EngineApiTest, StopFromOwnThreadIsRefused) {
    SetEngineTiming(&EngineTimings::noSourceSeconds, 1000);
    auto* task = new SelfStopper();
    TaskHandle h = static_cast<TBaseWork*>(task);
    ASSERT_EQ(task->StartDownload(), 0);
    for (int i = 0; i < 200 && task->result.load() == 1; ++i) SleepMs(10);
    EXPECT_EQ(task->result.load(), -107);
    EXPECT_TRUE(task->IsRunning());
    EXPECT_EQ(StopTask(h, 0), 0);
}

std::mutex g_messagesLock;
std::vector<std::string> g_messages;

void RecordMessage(void*, const std::string& text, const std::string& caption, uint32_t) {
    std::lock_guard<std::mutex> guard(g_messagesLock);
    g_messages.push_back(caption + "|" + text);
}

std::string FixedCode() {
    return "341134AB44897856";
}

// The machine code identifies the computer to support: it is logged with
// the message, and the user reads the text alone.
TEST(MessageTest, MachineCodeGoesToTheLogNotToTheText) {
    lftest::TempDir dir;
    OpenEngineLog();
    EngineLog::SetBasePath((dir / "rel").c_str());
    EngineLog::SetThresholds(0, 100);
    SetEngineMessageSink(&RecordMessage);
    EXPECT_EQ(ShowMessageAsync(nullptr, "plain", "Moonvale下载器", 0), 1);
    SetMachineCodeProvider(&FixedCode);
    EXPECT_EQ(ShowMessageAsync(nullptr, "磁盘已满", "Moonvale下载器", 0), 1);
    for (int i = 0; i < 100; ++i) {
        {
            std::lock_guard<std::mutex> guard(g_messagesLock);
            if (g_messages.size() == 2) break;
        }
        SleepMs(10);
    }
    std::lock_guard<std::mutex> guard(g_messagesLock);
    ASSERT_EQ(g_messages.size(), 2u);
    std::sort(g_messages.begin(), g_messages.end());
    EXPECT_EQ(g_messages[0], "Moonvale下载器|plain");
    EXPECT_EQ(g_messages[1], "Moonvale下载器|磁盘已满");
    SetEngineMessageSink(nullptr);
    std::string log;
    for (int i = 0; i < 100 && log.find("341134AB") == std::string::npos; ++i) {
        SleepMs(10);
        log = lftest::ReadFile(dir / "rel.log");
    }
    EXPECT_NE(log.find("[Moonvale下载器] 磁盘已满 (machine code 341134AB44897856)"),
              std::string::npos)
        << log;
    CloseEngineLog();
}

void SlowRecordMessage(void* owner, const std::string& text, const std::string& caption,
                       uint32_t style) {
    SleepMs(300);
    RecordMessage(owner, text, caption, style);
}

// A front end that ends right after a failure clears its sink at once: the
// message already shown still reaches it.
TEST(MessageTest, ClearingTheSinkWaitsForMessagesOnTheirWay) {
    {
        std::lock_guard<std::mutex> guard(g_messagesLock);
        g_messages.clear();
    }
    SetEngineMessageSink(&SlowRecordMessage);
    EXPECT_EQ(ShowMessageAsync(nullptr, "last words", "cap", 0), 1);
    SetEngineMessageSink(nullptr);
    std::lock_guard<std::mutex> guard(g_messagesLock);
    ASSERT_EQ(g_messages.size(), 1u);
    EXPECT_EQ(g_messages[0], "cap|last words");
}

TEST(MessageTest, WithoutSinkTheTextGoesToTheLog) {
    lftest::TempDir dir;
    OpenEngineLog();
    EngineLog::SetBasePath((dir / "rel").c_str());
    EngineLog::SetThresholds(0, 100);
    SetEngineMessageSink(nullptr);
    EXPECT_EQ(ShowMessageAsync(nullptr, "no window", "cap", 0), 1);
    std::string log;
    for (int i = 0; i < 100 && log.find("no window") == std::string::npos; ++i) {
        SleepMs(10);
        log = lftest::ReadFile(dir / "rel.log");
    }
    EXPECT_NE(log.find("no window"), std::string::npos);
    CloseEngineLog();
}

TEST_F(EngineApiTest, CreateLogLine) {
    OpenEngineLog();
    EngineLog::SetBasePath((dir / "rel").c_str());
    EngineLog::SetThresholds(0, 100);
    SetEngineTiming(&EngineTimings::noSourceSeconds, 1000);
    auto d = HttpTask("http://a/b", dir / "x.bin");
    ASSERT_EQ(CreateAndStartTask(&d), 0);
    auto r = HttpTask("http://a/c", dir / "y.bin");
    r.flags |= kTaskFlagP2SP;
    ASSERT_EQ(RecoverAndContinueTask(&r, 0), 0);
    std::string log = lftest::ReadFile(dir / "rel.log");
    char expected[256];
    std::snprintf(
        expected, sizeof(expected), "[Create HTTP Task, Download, ID : %lu] [Target File : (%s) ]",
        static_cast<unsigned long>(reinterpret_cast<uintptr_t>(d.handle)), (dir / "x.bin").c_str());
    EXPECT_NE(log.find(expected), std::string::npos) << log;
    EXPECT_NE(log.find("[Recover P2SP Task, Download, ID : "), std::string::npos) << log;
    CloseEngineLog();
}

}  // namespace
