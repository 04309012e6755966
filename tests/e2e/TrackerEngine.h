// Tracker tests through the engine interface: a torrent made by mktorrent,
// an opentracker that serves it, an aria2 seeder at 127.0.0.2, and the
// engine's log lines caught from its debugger output.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "engine/core/EngineApi.h"
#include "engine/core/EngineSettings.h"
#include "engine/log/LogApi.h"
#include "tests/e2e/EngineTask.h"
#include "tests/support/OpenTracker.h"
#include "tests/support/TestDirs.h"

namespace lfe2e {
using namespace lf;

// The engine's debugger output, kept for the test.
class CaughtLog {
public:
    static void Install() { SetDebugOutputSink(&CaughtLog::Sink); }
    static void Remove() { SetDebugOutputSink(nullptr); }
    static void Clear() {
        std::lock_guard<std::mutex> g(Lock());
        Lines().clear();
    }
    static std::vector<std::string> Matching(const std::string& pattern) {
        const std::regex re(pattern);
        std::lock_guard<std::mutex> g(Lock());
        std::vector<std::string> out;
        for (const std::string& l : Lines())
            if (std::regex_search(l, re)) out.push_back(l);
        return out;
    }
    // Waits until `count` lines match.
    static bool WaitFor(const std::string& pattern, int seconds, size_t count = 1) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < end) {
            if (Matching(pattern).size() >= count) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

private:
    static void Sink(const char* line) {
        std::lock_guard<std::mutex> g(Lock());
        Lines().emplace_back(line);
    }
    static std::mutex& Lock() {
        static std::mutex m;
        return m;
    }
    static std::vector<std::string>& Lines() {
        static std::vector<std::string> lines;
        return lines;
    }
};

// The engine for a tracker test: started in `dir` with its log caught, P2P
// on, listening (nominally: no listener runs yet) on `listenPort`.
inline void StartEngine(const lftest::TempDir& dir, int listenPort) {
    ASSERT_EQ(EngineStartup(dir.Path().c_str()), 0);
    OpenEngineLog();
    EngineLog::SetBasePath((dir / "engine").c_str());
    CaughtLog::Install();
    CaughtLog::Clear();
    SetP2PEnabled(1);
    SetListenPort(listenPort);
}

inline void StopEngine() {
    EngineShutdown();
    CaughtLog::Remove();
    CloseEngineLog();
    SetLocalAddress(nullptr);
}

// The 40-digit info hash of a torrent (as aria2 reads it).
inline std::string InfoHashOf(const std::string& torrent) {
    std::string out = lftest::Capture("aria2c -S '" + torrent + "' | awk '/^Info Hash/{print $3}'");
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

// A private torrent (no DHT, no PEX in other clients) of `file` announcing to `announce`.
inline std::string MakeTrackerTorrent(const std::string& file, const std::string& announce,
                                      const std::string& out) {
    EXPECT_EQ(lftest::Run("mktorrent -p -l 16 -a '" + announce + "' -o '" + out + "' '" + file +
                          "' >/dev/null"),
              0);
    return out;
}

// The regex of the peer-id field of a compact entry: 28 zero digits, then
// the address and the port big-endian in hex.
inline std::string CompactField(const std::string& dotted, int port) {
    unsigned a, b, c, d;
    std::sscanf(dotted.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d);
    char hex[32];
    std::snprintf(hex, sizeof(hex), "%02x%02x%02x%02x%04x", a, b, c, d, port);
    return std::string(28, '0') + hex;
}

inline std::string Escaped(const std::string& text) {
    return std::regex_replace(text, std::regex(R"([.?*+^$()\[\]{}|\\])"), R"(\$&)");
}

// aria2 seeding a torrent from `dir`, bound to `address`.
inline bool StartAria2Seeder(lftest::ChildProcess* p, const std::string& torrent,
                             const std::string& dir, const std::string& address, int port,
                             const std::string& log) {
    return p->Start({"aria2c", "--interface=" + address, "--disable-ipv6=true",
                     "--enable-dht=false", "--bt-enable-lpd=false", "--enable-peer-exchange=false",
                     "--listen-port=" + std::to_string(port), "--seed-ratio=0.0",
                     "--bt-seed-unverified=true", "--check-integrity=false", "--summary-interval=0",
                     "--console-log-level=warn", "--dir=" + dir, torrent},
                    log);
}

// Waits until a scrape satisfies `ok`.
template <typename F>
bool WaitForScrape(const lftest::OpenTracker& t, const std::string& hash, int seconds, F ok) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (ok(t.Scrape(hash))) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

}  // namespace lfe2e
