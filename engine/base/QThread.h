// Thread base of the engine's long-lived objects (task work objects, the
// time thread, service threads). One object runs at most one OS thread at a
// time; the thread is never joined: start waits until the thread reports
// that it runs, stop waits until it has cleared its id.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "engine/base/QMutex.h"

namespace lf {

// An object handed to Start and owned by the thread run: deleted when the
// thread ends or is stopped.
class QThreadOwned {
public:
    virtual ~QThreadOwned() = default;
};

// Thread ids handed out by QThread are process-unique tokens (never 0).
using QThreadId = uint32_t;

class QThread {
public:
    QThread();
    virtual ~QThread();
    QThread(const QThread&) = delete;
    QThread& operator=(const QThread&) = delete;

    // Slot 1: the thread body.
    virtual void Run() = 0;
    // Slot 2: refresh from pieces (no-op here).
    virtual void RefreshFromPieces() {}
    // Slot 3: sleeps up to n seconds, one second at a time, ending early
    // when a stop is requested.
    virtual void WaitSeconds(int n);
    // Slot 4: notify (no-op).
    virtual void Notify(long /*arg*/) {}

    // Starts a new thread with the given name (cut to 15 bytes). Fails when
    // a thread already runs; otherwise waits until it reports running.
    bool Start(const char* name, QThreadOwned* owned = nullptr);
    // Stops the thread and waits for it. True when no thread ran or it has
    // ended; false when called from the object's own thread.
    bool StopAndWait();
    // Sets the stop request without waiting; false when no thread runs.
    bool RequestStop(QThreadId* id);
    // True once the thread with that id is gone (then releases the owned
    // object when the id is still recorded).
    bool HasEnded(QThreadId id);
    bool IsRunning();
    void Pause(bool on);
    bool IsPaused();
    // The check every loop of a work thread makes. While paused it blocks
    // until a stop is requested or the pause flag is cleared.
    bool StopRequested();

    QThreadId ThreadId();
    uint32_t Generation();
    uint32_t StartTime();  // cached clock when the thread began
    bool IsOwnThread();    // the caller is this object's thread
    void SetAutoDelete(bool on);

    QTMutex& Mutex() { return m_lock; }
    // The stop request as a flag that long operations poll without a lock.
    const std::atomic<bool>* StopFlag() const { return &m_stopFlag; }

    // Poll interval of start, stop and pause waits in milliseconds (tests
    // shorten the pause wait through SetPausePollMs).
    static void SetPausePollMs(int ms);

protected:
    QTMutex m_lock;  // for a work object this is the task lock

private:
    struct StartArgs;
    static void* ThreadProc(void* arg);
    void ClearThreadFields();

    int m_autoDelete = 0;
    QThreadOwned* m_owned = nullptr;
    QThreadId m_threadId = 0;
    QThreadId m_reportedId = 0;  // last thread that reported running
    bool m_starting = false;     // Start is waiting for the new thread
    bool m_running = false;
    bool m_stopRequest = false;
    std::atomic<bool> m_stopFlag{false};
    bool m_paused = false;
    uint32_t m_startTime = 0;
    uint32_t m_generation = 0;
};

// Names the calling thread (cut to 15 bytes).
void SetCurrentThreadName(const char* name);
// Token of the QThread the caller runs on, 0 on other threads.
QThreadId CurrentQThreadId();
void SleepMs(int ms);

}  // namespace lf
