#include "tests/support/BtPeers.h"

#include <sys/wait.h>

#include <thread>

namespace lftest {

namespace {

std::string Quoted(const std::string& s) {
    return "'" + s + "'";
}

}  // namespace

std::string MakePrivateTorrent(const std::string& file, const std::string& announce,
                               const std::string& out, int pieceLog2) {
    const int rc = Run("mktorrent -p -l " + std::to_string(pieceLog2) + " -a " + Quoted(announce) +
                       " -o " + Quoted(out) + " " + Quoted(file) + " >/dev/null");
    return rc == 0 ? out : std::string();
}

std::string TorrentInfoHash(const std::string& torrent) {
    std::string out = Capture("aria2c -S " + Quoted(torrent) + " | awk '/^Info Hash/{print $3}'");
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

bool StartAria2(ChildProcess* p, const std::string& torrent, const std::string& dir,
                const std::string& address, int port, bool seed, const std::string& log) {
    std::vector<std::string> argv = {"aria2c",
                                     "--interface=" + address,
                                     "--disable-ipv6=true",
                                     "--enable-dht=false",
                                     "--enable-dht6=false",
                                     "--bt-enable-lpd=false",
                                     "--enable-peer-exchange=false",
                                     "--listen-port=" + std::to_string(port),
                                     "--summary-interval=0",
                                     "--console-log-level=warn",
                                     "--dir=" + dir};
    // Asks the tracker again every 5 s, so that a peer whose first
    // connection failed under load is tried again.
    argv.push_back("--bt-tracker-interval=5");
    if (seed) {
        argv.insert(argv.end(),
                    {"--seed-ratio=0.0", "--bt-seed-unverified=true", "--check-integrity=false"});
    } else {
        argv.insert(argv.end(), {"--seed-time=0", "--file-allocation=none"});
    }
    argv.push_back(torrent);
    return p->Start(argv, log);
}

bool StartLibtorrent(ChildProcess* p, const std::string& torrent, const std::string& dir,
                     const std::string& address, int port, bool seed, const std::string& log,
                     int seconds) {
    // Announces every 5 s, for the same reason as aria2's tracker interval.
    return p->Start(
        {"env", "LT_REANNOUNCE_SECONDS=5", "/usr/bin/python3",
         std::string(LF_SOURCE_DIR) + "/tests/support/lt_peer.py", torrent, dir, address,
         std::to_string(port), seed ? "seed" : "download", std::to_string(seed ? 100000 : seconds)},
        log);
}

std::string LfGetPath() {
    return std::string(LF_BINARY_DIR) + "/tools/lf-get/lf-get";
}

bool StartLfGet(ChildProcess* p, const std::string& address, const std::vector<std::string>& args,
                const std::string& log, const std::vector<std::string>& env) {
    std::vector<std::string> argv = {"env", "LANTERNFISH_DEBUG=1"};
    argv.insert(argv.end(), env.begin(), env.end());
    argv.insert(argv.end(), {LfGetPath(), "--bind", address});
    argv.insert(argv.end(), args.begin(), args.end());
    return p->Start(argv, log);
}

int WaitExit(ChildProcess* p, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (!p->Running()) return -1;
        // Looks without reaping; the object reaps it.
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(p->Pid()), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == p->Pid()) {
            const int status = p->Wait();
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return -1;
}

bool WaitUntil(const std::function<bool()>& ok, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (ok()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return ok();
}

bool SameFile(const std::string& a, const std::string& b) {
    return FileExists(a) && FileExists(b) && Run("cmp -s " + Quoted(a) + " " + Quoted(b)) == 0;
}

}  // namespace lftest
