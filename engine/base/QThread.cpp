#include "engine/base/QThread.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "engine/base/TimeThread.h"

namespace lf {

namespace {
std::atomic<QThreadId> g_nextThreadId{1};
std::atomic<int> g_pausePollMs{1000};
thread_local QThreadId t_currentId = 0;
}  // namespace

struct QThread::StartArgs {
    QThread* self;
    QThreadId id;
    char name[16];
};

void SleepMs(int ms) {
    if (ms <= 0) return;
    timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void SetCurrentThreadName(const char* name) {
    char cut[16];
    std::snprintf(cut, sizeof(cut), "%s", name != nullptr ? name : "");
    pthread_setname_np(pthread_self(), cut);
}

QThreadId CurrentQThreadId() {
    return t_currentId;
}

void QThread::SetPausePollMs(int ms) {
    g_pausePollMs.store(ms > 0 ? ms : 1);
}

QThread::QThread() = default;

QThread::~QThread() {
    // A derived destructor stops the thread before its own members go; this
    // only releases what the last run owned.
    delete m_owned;
    m_owned = nullptr;
}

void QThread::ClearThreadFields() {
    delete m_owned;
    m_owned = nullptr;
    m_threadId = 0;
    m_running = false;
}

uint64_t QThread::SignalCount() {
    std::lock_guard<std::mutex> guard(m_signalMutex);
    return m_signals;
}

void QThread::Signal() {
    // Notified under the mutex: a waiter that sees the change may delete the
    // object as soon as it can take the mutex.
    std::lock_guard<std::mutex> guard(m_signalMutex);
    ++m_signals;
    m_signal.notify_all();
}

void QThread::WaitSignal(uint64_t seen, int ms) {
    std::unique_lock<std::mutex> lock(m_signalMutex);
    m_signal.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_signals != seen; });
}

bool QThread::Start(const char* name, QThreadOwned* owned) {
    QGuard guard(m_lock);
    if (m_threadId != 0 && m_running) {
        delete owned;
        return false;
    }
    m_owned = nullptr;
    m_stopRequest = false;
    m_stopFlag.store(false);
    m_paused = false;
    m_running = false;
    m_threadId = 0;
    m_startTime = 0;
    ++m_generation;

    auto* args = new StartArgs{this, g_nextThreadId.fetch_add(1), {}};
    if (args->id == 0) args->id = g_nextThreadId.fetch_add(1);
    std::snprintf(args->name, sizeof(args->name), "%s", name != nullptr ? name : "");
    m_threadId = args->id;
    m_starting = true;

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t handle;
    const QThreadId id = args->id;
    int rc = pthread_create(&handle, &attr, &QThread::ThreadProc, args);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete args;
        delete owned;
        m_threadId = 0;
        m_starting = false;
        return false;
    }
    m_owned = owned;
    for (;;) {
        const uint64_t seen = SignalCount();
        if (m_reportedId == id || m_threadId != id) break;
        guard.Unlock();
        WaitSignal(seen, 1000);
        guard.Lock();
    }
    // A thread that reported running counts as started even when its body
    // has already ended.
    m_starting = false;
    const bool started = m_reportedId == id;
    // A thread that deletes itself waits for this; it can act only once the
    // lock is released on return.
    Signal();
    return started;
}

void* QThread::ThreadProc(void* arg) {
    StartArgs args = *static_cast<StartArgs*>(arg);
    delete static_cast<StartArgs*>(arg);
    QThread* self = args.self;
    t_currentId = args.id;
    if (args.name[0] != 0) SetCurrentThreadName(args.name);

    uint32_t generation;
    bool stopAlready;
    {
        QGuard guard(self->m_lock);
        if (self->m_threadId != args.id) return nullptr;
        generation = self->m_generation;
        self->m_running = true;
        self->m_reportedId = args.id;
        self->m_startTime = CachedSeconds();
        stopAlready = self->m_stopRequest;
        self->Signal();
    }
    SleepMs(5);
    bool failed = false;
    if (!stopAlready) {
        try {
            self->Run();
        } catch (...) {
            failed = true;
        }
    }
    // After an exception no level of the object's lock may stay held. This
    // is done before the fields are cleared: once they are, a waiter may
    // delete the object.
    if (failed) ReleaseAllLevels(self->m_lock, 50);
    bool autoDelete;
    {
        QGuard guard(self->m_lock);
        if (generation == self->m_generation && self->m_threadId == args.id) {
            self->ClearThreadFields();
        }
        autoDelete = self->m_autoDelete != 0;
        if (autoDelete) self->m_autoDelete = 0;
        self->Signal();
    }
    // An object that deletes itself waits until its starter stopped looking
    // at it.
    while (autoDelete) {
        QGuard guard(self->m_lock);
        const uint64_t seen = self->SignalCount();
        if (!self->m_starting) break;
        guard.Unlock();
        self->WaitSignal(seen, 1000);
    }
    t_currentId = 0;
    if (autoDelete) delete self;
    return nullptr;
}

bool QThread::StopAndWait() {
    QGuard guard(m_lock);
    if (m_threadId == 0) return true;
    if (m_threadId == t_currentId) return false;
    const QThreadId id = m_threadId;
    m_stopRequest = true;
    m_stopFlag.store(true);
    Signal();
    for (;;) {
        const uint64_t seen = SignalCount();
        if (m_threadId != id) break;
        guard.Unlock();
        WaitSignal(seen, 1000);
        guard.Lock();
    }
    return true;
}

bool QThread::RequestStop(QThreadId* id) {
    QGuard guard(m_lock);
    if (m_threadId == 0) return false;
    m_stopRequest = true;
    m_stopFlag.store(true);
    if (id != nullptr) *id = m_threadId;
    Signal();
    return true;
}

bool QThread::HasEnded(QThreadId id) {
    QGuard guard(m_lock);
    return m_threadId != id || id == 0;
}

void QThread::WaitEnded(QThreadId id) {
    QGuard guard(m_lock);
    for (;;) {
        const uint64_t seen = SignalCount();
        if (m_threadId != id || id == 0) return;
        guard.Unlock();
        WaitSignal(seen, 1000);
        guard.Lock();
    }
}

bool QThread::WaitForStop(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    QGuard guard(m_lock);
    for (;;) {
        const uint64_t seen = SignalCount();
        if (m_stopRequest) return true;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        guard.Unlock();
        WaitSignal(seen, static_cast<int>(left.count()));
        guard.Lock();
    }
}

bool QThread::IsRunning() {
    QGuard guard(m_lock);
    return m_threadId != 0 && m_running;
}

void QThread::Pause(bool on) {
    QGuard guard(m_lock);
    m_paused = on;
    Signal();
}

bool QThread::IsPaused() {
    QGuard guard(m_lock);
    return m_paused;
}

bool QThread::StopRequested() {
    QGuard guard(m_lock);
    if (!m_paused) return m_stopRequest;
    for (;;) {
        const uint64_t seen = SignalCount();
        if (m_threadId == 0 || m_stopRequest || !m_paused) break;
        guard.Unlock();
        WaitSignal(seen, g_pausePollMs.load());
        guard.Lock();
    }
    return m_stopRequest;
}

void QThread::WaitSeconds(int n) {
    if (n > 0) WaitForStop(n * 1000);
}

QThreadId QThread::ThreadId() {
    QGuard guard(m_lock);
    return m_threadId;
}

uint32_t QThread::Generation() {
    QGuard guard(m_lock);
    return m_generation;
}

uint32_t QThread::StartTime() {
    QGuard guard(m_lock);
    return m_startTime;
}

bool QThread::IsOwnThread() {
    return t_currentId != 0 && ThreadId() == t_currentId;
}

void QThread::SetAutoDelete(bool on) {
    QGuard guard(m_lock);
    m_autoDelete = on ? 1 : 0;
}

}  // namespace lf
