// The waits of the task loop that tests shorten through the same settings
// the engine reads.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace lf {

// Whole seconds from the environment variable `name` when it holds a number
// in [low, high]; `fallback` when it is unset, empty or anything else.
inline long SecondsFromEnvironment(const char* name, long low, long high, long fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    return *end == '\0' && v >= low && v <= high ? v : fallback;
}

// Waits of the task loop, in seconds.
struct EngineTimings {
    int sourceRefreshSeconds = 15;  // source list to candidates
    int noSourceSeconds = 15;       // HTTP task without candidates gives up
    int startTimeoutSeconds = 45;   // copied into each new task's settings
    // The two give-up waits above read LANTERNFISH_NO_SOURCE_SECONDS and
    // LANTERNFISH_START_TIMEOUT_SECONDS when those are set.
    int lanPassSeconds = 10;
    int resumeSaveSeconds = 20;  // resume data written at least this often
    int stallStopSeconds = 900;  // an incomplete task without new data stops
    int httpHeadSeconds = 15;    // an HTTP source without response headers times out
    int httpBodySeconds = 30;    // an HTTP source without body data times out
    // A server connection that has delivered no block for this long (clock
    // seconds) loses its range to a connection of a server that delivers.
    int rangeStarveSeconds = 2;
    int trackerRepeatSeconds = 10;  // an unanswered tracker request older than this is sent again
    int trackerAgainSeconds = 600;  // a tracker is announced to again after this long
};
// The engine's waits (held by CLanternfishCore; read by task threads).
EngineTimings GetEngineTimings();
void SetEngineTimings(const EngineTimings& timings);
// Sets one of them: SetEngineTiming(&EngineTimings::httpBodySeconds, 2).
void SetEngineTiming(int EngineTimings::*field, int seconds);

}  // namespace lf
