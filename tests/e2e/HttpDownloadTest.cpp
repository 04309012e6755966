#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "engine/core/EngineApi.h"
#include "engine/core/EngineSettings.h"
#include "engine/log/LogApi.h"
#include "tests/support/Nginx.h"
#include "tests/support/TestDirs.h"

namespace {

struct Download {
    int32_t status = 0;
    TaskInfo info{};
};

// Polls the task until it reports a final status or the time runs out.
Download WaitForTask(TaskHandle h, int seconds) {
    Download d;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        EXPECT_EQ(QueryTask(h, &d.info), 0);
        d.status = d.info.status;
        if (d.status != 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return d;
}

class HttpDownloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(lftest::HaveProgram("nginx"));
        www = dir / "www";
        ASSERT_EQ(lftest::Run("mkdir -p '" + www + "' '" + dir / "out" + "'"), 0);
        ASSERT_TRUE(nginx.Start(www));
        ASSERT_EQ(EngineStartup(dir.Path().c_str()), 0);
        OpenEngineLog();
        EngineLog::SetBasePath((dir / "engine").c_str());
    }
    void TearDown() override {
        EngineShutdown();
        CloseEngineLog();
    }

    TaskDescription Describe(const std::string& sources, const std::string& target) {
        TaskDescription d;
        std::memset(&d, 0, sizeof(d));
        keepSources = sources;
        d.sources = keepSources.c_str();
        std::snprintf(d.targetPath, sizeof(d.targetPath), "%s", target.c_str());
        std::snprintf(d.infoFilePath, sizeof(d.infoFilePath), "%s.lfinfo", target.c_str());
        d.flags = kTaskFlagTargetIsFile | kTaskFlagNoEffect;
        return d;
    }

    lftest::TempDir dir;
    std::string www;
    lftest::NginxServer nginx;
    std::string keepSources;
};

TEST_F(HttpDownloadTest, HttpOnlyTask) {
    const std::string content = lftest::PseudoRandomBytes(20 * 1024 * 1024 + 12345, 7);
    lftest::WriteFile(www + "/file.bin", content);
    const std::string target = dir / "out/file.bin";
    auto d = Describe(nginx.Url("/file.bin"), target);
    ASSERT_EQ(CreateAndStartTask(&d), 0);
    SetTaskConnectionLimits(d.handle, 8, 0);
    Download r = WaitForTask(d.handle, 120);
    EXPECT_EQ(r.status, 20206);
    EXPECT_EQ(r.info.downloadedBytes, content.size());
    EXPECT_EQ(r.info.httpBytes, content.size());
    int32_t results[1];
    StopTasks(&d.handle, 1, 0, results);
    EXPECT_TRUE(lftest::ReadFile(target) == content);
}

TEST_F(HttpDownloadTest, TorrentTaskWithHttpSource) {
    ASSERT_TRUE(lftest::HaveProgram("mktorrent"));
    const std::string content = lftest::PseudoRandomBytes(30 * 1024 * 1024 + 777, 9);
    lftest::WriteFile(www + "/data.cab", content);
    const std::string torrent = dir / "data.torrent";
    ASSERT_EQ(lftest::Run("mktorrent -l 18 -a http://127.0.0.1:1/announce -o '" + torrent + "' '" + www +
                          "/data.cab' >/dev/null"),
              0);
    const std::string target = dir / "out/data.cab";
    auto d = Describe(nginx.Url("/data.cab"), target);
    d.flags |= kTaskFlagP2SP;
    std::snprintf(d.p2spLocator, sizeof(d.p2spLocator), "file://%s", torrent.c_str());
    ASSERT_EQ(CreateAndStartTask(&d), 0);
    SetTaskConnectionLimits(d.handle, 8, 0);
    Download r = WaitForTask(d.handle, 120);
    EXPECT_EQ(r.status, 20206);
    int32_t results[1];
    StopTasks(&d.handle, 1, 0, results);
    EXPECT_TRUE(lftest::ReadFile(target) == content);
}

}  // namespace
