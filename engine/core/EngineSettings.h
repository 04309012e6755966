// Engine-wide settings held by the interface, and the waits of the task
// loop that tests shorten through the same settings the engine reads.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace lf {

namespace EngineSettings {
// Listening port of the shared listener; 0 means 8080.
extern std::atomic<int32_t> listenPort;
// 1 allows BitTorrent peers, LAN discovery and the listener.
extern std::atomic<uint8_t> p2pEnabled;
// Read by the peer wire when it opens a connection.
extern std::atomic<uint8_t> httpDisguise;
extern std::atomic<uint8_t> started;
std::string StartupFolder();
void SetStartupFolder(const char* folder);
}  // namespace EngineSettings

// Waits of the task loop, in seconds.
struct EngineTimings {
    int sourceRefreshSeconds = 15;  // source list to candidates
    int noSourceSeconds = 15;       // HTTP task without candidates gives up
    int startTimeoutSeconds = 45;   // copied into each new task's settings
    int lanPassSeconds = 10;
    int resumeSaveSeconds = 20;  // resume data written at least this often
    int stallStopSeconds = 900;  // an incomplete task without new data stops
    int httpHeadSeconds = 15;    // an HTTP source without response headers times out
    int httpBodySeconds = 30;    // an HTTP source without body data times out
};
EngineTimings& GetEngineTimings();

}  // namespace lf
