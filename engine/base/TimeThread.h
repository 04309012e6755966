// Engine-wide clocks kept by the "TimeEnsure" thread, read without locks:
// the cached clock (unsigned seconds since process start, starting at 1 so
// that 0 can mean "never") and the wall clock (seconds since 1970 UTC).
#pragma once

#include <cstdint>

#include "engine/base/QThread.h"

namespace lf {

// Starts the time thread when none runs.
void EnsureTimeThread();
// Cached clock; starts the time thread when none runs.
uint32_t CachedSeconds();
// Wall clock; the system time while the time thread has not set it yet.
uint64_t WallSeconds();
// Stops and deletes the time thread (engine shutdown); true when one ran.
bool StopTimeThread();
// Milliseconds of CLOCK_MONOTONIC, cut to 32 bits (it wraps).
uint32_t TickCountMs();

// One step of the clock arithmetic, separated from the thread for testing:
// given the bases and the tick count t0 at the bases, computes the clocks
// for tick t. A tick below t0 means the 32-bit counter wrapped: both clocks
// advance by one second and become the new bases with t as the new t0.
struct ClockBase {
    uint32_t t0;
    uint32_t cachedBase;
    uint64_t wallBase;
    uint32_t cached;
    uint64_t wall;
    void Step(uint32_t t);
};

class QTimeThread : public QThread {
public:
    ~QTimeThread() override;
    void Run() override;
};

}  // namespace lf
