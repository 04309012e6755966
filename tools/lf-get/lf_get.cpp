// lf-get: downloads one file through the engine, for benchmarks and quick
// checks. Usage: lf-get [--torrent FILE] [--connections N] [--limit KiB/s]
//                       TARGET URL [URL...]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "engine/core/EngineApi.h"

int main(int argc, char** argv) {
    std::string torrent;
    int connections = 8;
    int limit = 0;
    int i = 1;
    for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
        std::string opt = argv[i];
        if (i + 1 >= argc) break;
        if (opt == "--torrent")
            torrent = argv[++i];
        else if (opt == "--connections")
            connections = std::atoi(argv[++i]);
        else if (opt == "--limit")
            limit = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr, "unknown option %s\n", opt.c_str());
            return 2;
        }
    }
    if (argc - i < 2) {
        std::fprintf(
            stderr,
            "usage: lf-get [--torrent FILE] [--connections N] [--limit KiB/s] TARGET URL...\n");
        return 2;
    }
    const std::string target = argv[i++];
    std::string sources;
    for (; i < argc; ++i) sources += std::string(argv[i]) + "\n";

    EngineStartup(nullptr);
    TaskDescription d;
    std::memset(&d, 0, sizeof(d));
    d.sources = sources.c_str();
    std::snprintf(d.targetPath, sizeof(d.targetPath), "%s", target.c_str());
    std::snprintf(d.infoFilePath, sizeof(d.infoFilePath), "%s.lfinfo", target.c_str());
    d.flags = kTaskFlagTargetIsFile | kTaskFlagNoEffect;
    if (!torrent.empty()) {
        d.flags |= kTaskFlagP2SP;
        std::snprintf(d.p2spLocator, sizeof(d.p2spLocator), "file://%s", torrent.c_str());
    }
    if (int rc = CreateAndStartTask(&d); rc != 0) {
        std::fprintf(stderr, "cannot start: %d\n", rc);
        return 1;
    }
    SetTaskConnectionLimits(d.handle, connections, 0);
    if (limit > 0) SetTaskSpeedLimit(d.handle, 1, limit);
    // LF_GET_TRACE=1 prints the published progress every 50 ms on stderr.
    const bool trace = std::getenv("LF_GET_TRACE") != nullptr;
    const auto t0 = std::chrono::steady_clock::now();
    TaskInfo info{};
    int status = 0;
    while (status == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        QueryTask(d.handle, &info);
        status = info.status;
        if (trace) {
            const double t =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            std::fprintf(stderr, "%7.3f s  verified %12llu  http %12llu  speed %10d\n", t,
                         static_cast<unsigned long long>(info.downloadedBytes),
                         static_cast<unsigned long long>(info.httpBytes), info.speed);
        }
    }
    auto note = [&](const char* what) {
        if (!trace) return;
        const double t =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::fprintf(stderr, "%7.3f s  %s\n", t, what);
    };
    note("status seen");
    int32_t result = 0;
    StopTasks(&d.handle, 1, 0, &result);
    note("stopped");
    EngineShutdown();
    note("engine shut down");
    if (status != 20206) {
        std::fprintf(stderr, "download ended with status %d\n", status);
        return 1;
    }
    return 0;
}
