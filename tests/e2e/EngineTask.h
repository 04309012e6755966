// Driving one engine task from a test: the task record, a torrent of a
// served file, and the wait for the task's final status.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "engine/core/EngineApi.h"
#include "tests/support/TestDirs.h"

namespace lfe2e {
using namespace lf;

struct Download {
    int32_t status = 0;
    TaskInfo info{};
};

// Polls the task until it reports a final status or the time runs out.
inline Download WaitForTask(TaskHandle h, int seconds) {
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

// A v1 torrent of `file` made by mktorrent (pieces of 2^log2 bytes) at `out`.
inline std::string MakeTorrent(const std::string& file, const std::string& out, int log2) {
    EXPECT_EQ(
        lftest::Run("mktorrent -l " + std::to_string(log2) +
                    " -a http://127.0.0.1:1/announce -o '" + out + "' '" + file + "' >/dev/null"),
        0);
    return out;
}

// A task for a target file from `sources` (kept alive in *keep), with the
// torrent as its P2SP locator unless `torrent` is empty.
inline TaskDescription DescribeTask(const std::string& sources, const std::string& target,
                                    const std::string& torrent, std::string* keep) {
    TaskDescription d;
    std::memset(&d, 0, sizeof(d));
    *keep = sources;
    d.sources = keep->c_str();
    std::snprintf(d.targetPath, sizeof(d.targetPath), "%s", target.c_str());
    std::snprintf(d.infoFilePath, sizeof(d.infoFilePath), "%s.lfinfo", target.c_str());
    d.flags = kTaskFlagTargetIsFile | kTaskFlagNoEffect;
    if (!torrent.empty()) {
        d.flags |= kTaskFlagP2SP;
        std::snprintf(d.p2spLocator, sizeof(d.p2spLocator), "file://%s", torrent.c_str());
    }
    return d;
}

}  // namespace lfe2e
