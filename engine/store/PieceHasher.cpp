#include "engine/store/PieceHasher.h"

#include <cstring>

namespace lf {

TPieceHasher::~TPieceHasher() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_work.notify_all();
    if (m_thread.joinable()) m_thread.join();
}

void TPieceHasher::Submit(Job job) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_jobs.push_back(std::move(job));
        ++m_outstanding;
        if (!m_thread.joinable()) m_thread = std::thread([this] { Loop(); });
    }
    m_work.notify_one();
}

bool TPieceHasher::TakeResults(std::vector<Result>* out) {
    if (!ResultsReady()) return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_results.empty()) return false;
    out->insert(out->end(), m_results.begin(), m_results.end());
    m_outstanding -= m_results.size();
    m_results.clear();
    m_ready.store(0, std::memory_order_release);
    return true;
}

void TPieceHasher::WaitIdle() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_idle.wait(lock, [this] { return m_jobs.empty() && !m_busy; });
}

size_t TPieceHasher::Outstanding() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_outstanding;
}

void TPieceHasher::Loop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_work.wait(lock, [this] { return m_stop || !m_jobs.empty(); });
        if (m_stop) break;
        Job job = std::move(m_jobs.front());
        m_jobs.pop_front();
        m_busy = true;
        lock.unlock();
        TSha1Context ctx = job.start;
        for (const auto& [data, length] : job.parts) ctx.Update(data, length);
        uint8_t digest[kSha1DigestBytes];
        ctx.Digest(digest);
        const bool matches =
            job.expected != nullptr && std::memcmp(digest, job.expected, kSha1DigestBytes) == 0;
        lock.lock();
        m_results.push_back({job.piece, matches});
        m_ready.store(m_results.size(), std::memory_order_release);
        m_busy = false;
        if (m_jobs.empty()) m_idle.notify_all();
    }
    m_busy = false;
    m_idle.notify_all();
}

}  // namespace lf
