#include "engine/base/QMutex.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace lf {

pid_t CurrentThreadId() {
    static thread_local pid_t id = static_cast<pid_t>(syscall(SYS_gettid));
    return id;
}

bool QTMutex::Lock() {
    const pid_t self = CurrentThreadId();
    if (m_owner.load(std::memory_order_relaxed) == self) {
        ++m_count;
        return true;
    }
    m_mutex.lock();
    m_owner.store(self, std::memory_order_relaxed);
    m_count = 1;
    return true;
}

bool QTMutex::TryLock() {
    const pid_t self = CurrentThreadId();
    const pid_t owner = m_owner.load(std::memory_order_relaxed);
    if (owner == self) {
        ++m_count;
        return true;
    }
    if (owner != 0) return false;  // another thread owns it: fail at once
    if (!m_mutex.try_lock()) return false;
    m_owner.store(self, std::memory_order_relaxed);
    m_count = 1;
    return true;
}

bool QTMutex::Unlock() {
    if (m_owner.load(std::memory_order_relaxed) != CurrentThreadId()) return false;
    if (--m_count == 0) {
        m_owner.store(0, std::memory_order_relaxed);
        m_mutex.unlock();
    }
    return true;
}

void QTMutex::Close() {
    if (!IsOwnedByCaller()) Lock();
    while (Unlock()) {
    }
}

void ReleaseAllLevels(QTMutex& mutex, int pauseMs) {
    while (mutex.Unlock()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
}

}  // namespace lf
