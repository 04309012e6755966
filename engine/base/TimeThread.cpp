#include "engine/base/TimeThread.h"

#include <atomic>
#include <ctime>
#include <mutex>

namespace lf {

namespace {
std::atomic<uint32_t> g_cached{1};
std::atomic<uint64_t> g_wall{0};
std::atomic<bool> g_haveThread{false};
std::mutex g_globalLock;  // the engine's global lock for start and stop
QTimeThread* g_thread = nullptr;

uint64_t SystemSeconds() {
    return static_cast<uint64_t>(std::time(nullptr));
}
}  // namespace

uint32_t TickCountMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms =
        static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

void ClockBase::Step(uint32_t t) {
    if (t < t0) {
        cached = cached + 1;
        wall = wall + 1;
        cachedBase = cached;
        wallBase = wall;
        t0 = t;
        return;
    }
    uint32_t secs = (t - t0) / 1000;
    cached = cachedBase + secs;
    wall = wallBase + secs;
}

QTimeThread::~QTimeThread() {
    StopAndWait();
}

void QTimeThread::Run() {
    if (g_wall.load() == 0) g_wall.store(SystemSeconds());
    ClockBase clock{TickCountMs(), g_cached.load(), g_wall.load(), g_cached.load(), g_wall.load()};
    while (!StopRequested()) {
        clock.Step(TickCountMs());
        g_cached.store(clock.cached);
        g_wall.store(clock.wall);
        for (int i = 0; i < 10; ++i) {
            SleepMs(100);
            if (StopRequested()) return;
        }
    }
}

void EnsureTimeThread() {
    std::lock_guard<std::mutex> guard(g_globalLock);
    if (g_thread != nullptr) return;
    g_wall.store(0);
    g_thread = new QTimeThread();
    // Readers see the thread before it runs: its own start reads the clock.
    g_haveThread.store(true);
    g_thread->Start("TimeEnsure");
}

uint32_t CachedSeconds() {
    if (!g_haveThread.load(std::memory_order_acquire)) EnsureTimeThread();
    return g_cached.load(std::memory_order_relaxed);
}

uint64_t WallSeconds() {
    if (!g_haveThread.load(std::memory_order_acquire)) EnsureTimeThread();
    uint64_t wall = g_wall.load(std::memory_order_relaxed);
    return wall != 0 ? wall : SystemSeconds();
}

bool StopTimeThread() {
    QTimeThread* thread;
    {
        std::lock_guard<std::mutex> guard(g_globalLock);
        thread = g_thread;
        g_thread = nullptr;
        g_haveThread.store(false);
    }
    if (thread == nullptr) return false;
    thread->StopAndWait();
    delete thread;
    return true;
}

}  // namespace lf
