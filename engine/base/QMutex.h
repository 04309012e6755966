// Engine locks. QTMutex is the recursive lock used throughout the engine:
// Unlock answers true whenever the caller held the lock (also while a level
// is still held), so calling Unlock until it answers false releases every
// level the calling thread holds. QSMutex is the plain lock.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <mutex>

namespace lf {

// Id of the calling OS thread (never 0).
pid_t CurrentThreadId();

class QBaseMutex {
public:
    virtual ~QBaseMutex() = default;
    virtual bool Create() = 0;
    virtual void Close() = 0;
    virtual void Destroy() = 0;
    virtual bool Lock() = 0;
    virtual bool TryLock() = 0;
    virtual bool Unlock() = 0;
};

class QTMutex : public QBaseMutex {
public:
    QTMutex() = default;
    ~QTMutex() override = default;
    QTMutex(const QTMutex&) = delete;
    QTMutex& operator=(const QTMutex&) = delete;

    bool Create() override { return true; }
    // Takes the lock if not owned, then releases every level.
    void Close() override;
    void Destroy() override { Close(); }
    bool Lock() override;
    bool TryLock() override;
    bool Unlock() override;

    bool IsOwnedByCaller() const {
        return m_owner.load(std::memory_order_relaxed) == CurrentThreadId();
    }
    int LevelsHeld() const { return IsOwnedByCaller() ? m_count : 0; }

private:
    std::mutex m_mutex;
    std::atomic<pid_t> m_owner{0};
    int m_count = 0;
};

class QSMutex : public QBaseMutex {
public:
    bool Create() override { return true; }
    void Close() override {}
    void Destroy() override {}
    bool Lock() override {
        m_mutex.lock();
        return true;
    }
    bool TryLock() override { return m_mutex.try_lock(); }
    bool Unlock() override {
        m_mutex.unlock();
        return true;
    }

private:
    std::mutex m_mutex;
};

// Scoped guard: takes the lock on construction (unless told not to) and
// releases it on destruction when it holds it.
class QGuard {
public:
    explicit QGuard(QBaseMutex& mutex, bool take = true) : m_mutex(&mutex) {
        if (take) m_held = m_mutex->Lock();
    }
    ~QGuard() {
        if (m_held) m_mutex->Unlock();
    }
    QGuard(const QGuard&) = delete;
    QGuard& operator=(const QGuard&) = delete;

    bool Lock() {
        if (!m_held) m_held = m_mutex->Lock();
        return m_held;
    }
    bool TryLock() {
        if (!m_held) m_held = m_mutex->TryLock();
        return m_held;
    }
    void Unlock() {
        if (m_held) {
            m_mutex->Unlock();
            m_held = false;
        }
    }
    bool Held() const { return m_held; }

private:
    QBaseMutex* m_mutex;
    bool m_held = false;
};

// Releases every level of a recursive lock that the calling thread holds,
// calling Unlock every pauseMs milliseconds while it answers true.
void ReleaseAllLevels(QTMutex& mutex, int pauseMs);

}  // namespace lf
