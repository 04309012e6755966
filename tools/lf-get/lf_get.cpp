// lf-get: downloads files through the engine, for benchmarks, tests and
// quick checks.
//
//   lf-get [--torrent FILE] [--connections N] [--limit KiB/s] [--recover]
//          [--peers N] [--listen PORT] [--disguise on|off] [--bind ADDR] [--seed]
//          TARGET [URL...]
//   lf-get [--connections N] [--limit KiB/s] [--recover] --batch LIST
//
// A batch list holds one task a line: TARGET TORRENT URL [URL...], with "-"
// for a task without a torrent; all its tasks run at once. --recover
// continues from the info files of an earlier run (RecoverAndContinueTask).
// With a torrent and no URL the file comes from BitTorrent peers alone.
// --seed keeps the tasks serving their peers after completion until the
// process is killed (SIGINT or SIGTERM end it as usual).
// At the end one line per task goes to stdout:
//   TARGET status=20206 verified=BYTES http=BYTES bt=BYTES
// LF_GET_TRACE=1 prints the published progress every 50 ms on stderr.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/core/EngineApi.h"
#include "engine/log/LogApi.h"

using namespace lf;

namespace {

struct Job {
    std::string target;
    std::string torrent;
    std::string sources;
    TaskDescription d{};
    TaskInfo info{};
    int status = 0;
    bool badAddressNoted = false;
    std::string listener;  // the listener text last shown
};

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) {
    g_stop = 1;
}

// Engine lines that reach the debug output: the error channel (why a task
// was refused), or everything with LANTERNFISH_DEBUG.
void PrintEngineLine(const char* line) {
    std::fprintf(stderr, "lf-get: engine: %s", line);
}

void Usage(FILE* to = stderr) {
    std::fprintf(to,
                 "usage: lf-get [--torrent FILE] [--connections N] [--limit KiB/s] [--recover]\n"
                 "              [--peers N] [--listen PORT] [--disguise on|off] [--bind A.B.C.D]\n"
                 "              [--seed] TARGET [URL...]\n"
                 "       lf-get [--connections N] [--limit KiB/s] [--recover] --batch LIST\n");
}

void Help() {
    Usage(stdout);
    std::printf(
        "\n"
        "Downloads one file (or several, --batch) with the Lanternfish engine from HTTP and\n"
        "FTP servers and, with a torrent, from BitTorrent peers.\n"
        "\n"
        "  --torrent FILE        the file's torrent: adds its trackers and peers\n"
        "  --connections N       server connections per task (default 8)\n"
        "  --limit KiB/s         download speed limit per task (0: none)\n"
        "  --upload-limit KiB/s  upload speed limit per task, to BitTorrent peers (0: none)\n"
        "  --recover             continue from the resume data TARGET.lfinfo\n"
        "  --batch LIST          one task a line: TARGET TORRENT|- URL...\n"
        "  --peers N             BitTorrent peer connections per task (default 50 with a\n"
        "                        torrent, 0 without)\n"
        "  --listen PORT         the engine's listening port for BitTorrent peers\n"
        "  --disguise on|off     begin outgoing peer connections with an HTTP-looking\n"
        "                        request (default off: standard peers refuse it)\n"
        "  --bind A.B.C.D        the local address: outgoing connections and datagram\n"
        "                        sockets bind to it (also LANTERNFISH_LOCAL_ADDRESS)\n"
        "  --local-address A.B.C.D\n"
        "                        the same as --bind\n"
        "  --seed                keep serving peers after completion until killed; a\n"
        "                        complete TARGET is checked and seeded at once\n"
        "  --help                print this help\n"
        "\n"
        "Sources are http:// or ftp://[user[:password]@]host[:port]/path addresses; with\n"
        "--torrent and no source the file comes from BitTorrent peers alone.\n"
        "Engine errors (why a torrent was refused) go to stderr; LANTERNFISH_DEBUG=1 prints\n"
        "every engine log line there. A task with a torrent prints its listener\n"
        "(\"TARGET: listener ADDRESS : PORT\", or \"Service Disabled!\" with --peers 0)\n"
        "each time it changes. LANTERNFISH_RENDEZVOUS_HOST and\n"
        "LANTERNFISH_RENDEZVOUS_PORT replace the rendezvous service of the UDP server;\n"
        "LANTERNFISH_UDP_CONNECT_SECONDS (1 to 28, default 28) shortens the limit of a\n"
        "peer connect over a UDP stream and the streams' setup timeout.\n"
        "Exit status: 0 every file complete, 1 a task failed, 2 usage error.\n");
}

const char* StatusMeaning(int status) {
    switch (status) {
        case 20209:
            return "no source became usable within the start timeout";
        case 20210:
            return "the disk is full";
        case 20211:
            return "the torrent cannot be read";
        case 20214:
            return "no source left to download from";
        case 20215:
            return "the target file cannot be written";
        case 20216:
            return "a source address is malformed";
        default:
            return "the task ended without completing";
    }
}

bool ReadBatch(const std::string& path, std::vector<std::unique_ptr<Job>>* jobs) {
    std::ifstream in(path);
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        auto job = std::make_unique<Job>();
        std::string url;
        if (!(words >> job->target >> job->torrent)) continue;
        if (job->torrent == "-") job->torrent.clear();
        while (words >> url) job->sources += url + "\n";
        if (job->sources.empty()) return false;
        jobs->push_back(std::move(job));
    }
    return !jobs->empty();
}

}  // namespace

int main(int argc, char** argv) {
    std::string torrent, batch, localAddress;
    int connections = 8;
    int limit = 0;
    int uploadLimit = 0;
    int peers = -1;
    int listenPort = 0;
    int disguise = 0;
    bool seed = false;
    bool recover = false;
    int i = 1;
    for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
        std::string opt = argv[i];
        if (opt == "--help") {
            Help();
            return 0;
        }
        if (opt == "--recover") {
            recover = true;
            continue;
        }
        if (opt == "--seed") {
            seed = true;
            continue;
        }
        if (i + 1 >= argc) break;
        if (opt == "--torrent") {
            torrent = argv[++i];
        } else if (opt == "--connections") {
            connections = std::atoi(argv[++i]);
        } else if (opt == "--limit") {
            limit = std::atoi(argv[++i]);
        } else if (opt == "--upload-limit") {
            uploadLimit = std::atoi(argv[++i]);
        } else if (opt == "--batch") {
            batch = argv[++i];
        } else if (opt == "--local-address" || opt == "--bind") {
            localAddress = argv[++i];
        } else if (opt == "--peers") {
            peers = std::atoi(argv[++i]);
        } else if (opt == "--listen") {
            listenPort = std::atoi(argv[++i]);
            if (listenPort <= 0 || listenPort > 65535) {
                std::fprintf(stderr, "not a port: %s\n", argv[i]);
                return 2;
            }
        } else if (opt == "--disguise") {
            const std::string v = argv[++i];
            if (v != "on" && v != "off") {
                std::fprintf(stderr, "--disguise takes on or off\n");
                return 2;
            }
            disguise = v == "on" ? 1 : 0;
        } else {
            std::fprintf(stderr, "unknown option %s\n", opt.c_str());
            return 2;
        }
    }
    std::vector<std::unique_ptr<Job>> jobs;
    if (!batch.empty()) {
        if (!ReadBatch(batch, &jobs)) {
            std::fprintf(stderr, "cannot read the batch list %s\n", batch.c_str());
            return 2;
        }
    } else {
        if (argc - i < (torrent.empty() ? 2 : 1)) {
            Usage();
            return 2;
        }
        auto job = std::make_unique<Job>();
        job->target = argv[i++];
        job->torrent = torrent;
        for (; i < argc; ++i) job->sources += std::string(argv[i]) + "\n";
        jobs.push_back(std::move(job));
    }

    bool anyTorrent = false;
    for (auto& job : jobs) anyTorrent = anyTorrent || !job->torrent.empty();
    if (peers < 0) peers = anyTorrent ? 50 : 0;
    if (listenPort > 0) SetListenPort(listenPort);
    SetHttpDisguise(static_cast<uint8_t>(disguise));
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    EngineStartup(nullptr);
    SetP2PEnabled(anyTorrent && peers > 0 ? 1 : 0);
    EngineLog::Open();
    EngineLog::SetThresholds(40, std::getenv("LANTERNFISH_DEBUG") != nullptr ? 2 : 38);
    SetDebugOutputSink(&PrintEngineLine);
    if (!localAddress.empty() && SetLocalAddress(localAddress.c_str()) != 0) {
        std::fprintf(stderr, "not an IPv4 address: %s\n", localAddress.c_str());
        return 2;
    }
    for (auto& job : jobs) {
        TaskDescription& d = job->d;
        std::memset(&d, 0, sizeof(d));
        d.sources = job->sources.c_str();
        std::snprintf(d.targetPath, sizeof(d.targetPath), "%s", job->target.c_str());
        std::snprintf(d.infoFilePath, sizeof(d.infoFilePath), "%s.lfinfo", job->target.c_str());
        d.flags = kTaskFlagTargetIsFile | kTaskFlagNoEffect;
        if (!job->torrent.empty()) {
            d.flags |= kTaskFlagP2SP;
            std::snprintf(d.p2spLocator, sizeof(d.p2spLocator), "file://%s", job->torrent.c_str());
        }
        const int rc = recover ? RecoverAndContinueTask(&d, 1) : CreateAndStartTask(&d);
        if (rc != 0) {
            std::fprintf(stderr, "cannot start %s: %d\n", job->target.c_str(), rc);
            EngineShutdown();
            return 1;
        }
        SetTaskConnectionLimits(d.handle, connections, job->torrent.empty() ? 0 : peers);
        if (limit > 0) SetTaskSpeedLimit(d.handle, 1, limit);
        if (uploadLimit > 0) SetTaskSpeedLimit(d.handle, 0, uploadLimit);
    }

    const bool trace = std::getenv("LF_GET_TRACE") != nullptr;
    const auto t0 = std::chrono::steady_clock::now();
    auto seconds = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    };
    size_t running = jobs.size();
    bool seedNoted = false;
    while (running > 0 && g_stop == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        running = 0;
        size_t seeding = 0;
        for (auto& job : jobs) {
            if (job->status != 0) continue;
            QueryTask(job->d.handle, &job->info);
            job->status = job->info.status;
            // Seeding: a complete task goes on serving until the process ends.
            if (seed && job->status == 20206) {
                job->status = 0;
                ++seeding;
            }
            // A bad source address is reported but the task goes on with
            // its other sources.
            if (job->status == kTaskStatusBadSourceAddress) {
                if (!job->badAddressNoted) {
                    std::fprintf(stderr, "%s: a source address is malformed or unresolvable\n",
                                 job->target.c_str());
                    job->badAddressNoted = true;
                }
                job->status = 0;
            }
            if (job->status == 0) ++running;
            // The listener as the task sees it, each time it changes.
            if (!job->torrent.empty()) {
                char listener[64] = "";
                GetTaskListenerText(job->d.handle, listener, sizeof listener);
                if (listener[0] != '\0' && job->listener != listener) {
                    job->listener = listener;
                    std::fprintf(stderr, "%s: listener %s\n", job->target.c_str(), listener);
                }
            }
            if (trace) {
                std::fprintf(stderr, "%7.3f s  %s  verified %12llu  http %12llu  speed %10d\n",
                             seconds(), job->target.c_str(),
                             static_cast<unsigned long long>(job->info.downloadedBytes),
                             static_cast<unsigned long long>(job->info.httpBytes), job->info.speed);
            }
        }
        if (seeding > 0 && seeding == running && !seedNoted) {
            std::fprintf(stderr, "lf-get: complete, seeding until stopped\n");
            seedNoted = true;
        }
    }
    if (trace) std::fprintf(stderr, "%7.3f s  all ended\n", seconds());
    if (seed) {
        // Stopped by a signal while seeding: a complete task ended well.
        for (auto& job : jobs) {
            QueryTask(job->d.handle, &job->info);
            if (job->status == 0) job->status = job->info.status;
        }
    }
    int failed = 0;
    for (auto& job : jobs) {
        int32_t result = 0;
        StopTasks(&job->d.handle, 1, 0, &result);
        QueryTask(job->d.handle, &job->info);
        std::printf("%s status=%d verified=%llu http=%llu bt=%llu\n", job->target.c_str(),
                    job->status, static_cast<unsigned long long>(job->info.downloadedBytes),
                    static_cast<unsigned long long>(job->info.httpBytes),
                    static_cast<unsigned long long>(job->info.btBytes));
        if (job->status != 20206) {
            char reason[4096] = "";
            GetTaskErrorText(job->d.handle, reason, sizeof reason);
            std::fprintf(stderr, "%s ended with status %d: %s%s%s\n", job->target.c_str(),
                         job->status, StatusMeaning(job->status), reason[0] ? ": " : "", reason);
            ++failed;
        }
    }
    std::fflush(stdout);
    EngineShutdown();
    EngineLog::Close();
    return failed == 0 ? 0 : 1;
}
