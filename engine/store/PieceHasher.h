// TPieceHasher: the SHA-1 check of complete pieces on a thread of its own, so
// that the task's work thread goes on receiving while a piece is hashed.
//
// The owner submits a job per complete piece (the piece's buffers, the
// running SHA-1 of the bytes already on disk below them, the expected
// digest) and later takes the results on its own thread. The buffers of a
// submitted piece must stay unchanged until its result was taken. The thread
// starts with the first job and ends when the hasher is destroyed; jobs still
// queued then are dropped.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/store/Sha1Context.h"

namespace lf {

class TPieceHasher {
public:
    struct Job {
        int32_t piece = 0;
        // The bytes to hash, in order (views into the owner's buffers).
        std::vector<std::pair<const char*, size_t>> parts;
        // The SHA-1 of the bytes before them.
        TSha1Context start;
        // kSha1DigestBytes bytes.
        const char* expected = nullptr;
    };
    struct Result {
        int32_t piece = 0;
        bool matches = false;
    };

    TPieceHasher() = default;
    ~TPieceHasher();
    TPieceHasher(const TPieceHasher&) = delete;
    TPieceHasher& operator=(const TPieceHasher&) = delete;

    void Submit(Job job);
    // Moves the results ready so far to out (appended); false when none.
    bool TakeResults(std::vector<Result>* out);
    // Waits until every submitted job has its result.
    void WaitIdle();
    // Jobs submitted whose results were not yet taken.
    size_t Outstanding() const;
    // Cheap, unlocked hint that results wait.
    bool ResultsReady() const { return m_ready.load(std::memory_order_acquire) > 0; }

private:
    void Loop();

    mutable std::mutex m_mutex;
    std::condition_variable m_work;
    std::condition_variable m_idle;
    std::deque<Job> m_jobs;
    std::vector<Result> m_results;
    std::atomic<size_t> m_ready{0};
    size_t m_outstanding = 0;
    bool m_busy = false;
    bool m_stop = false;
    std::thread m_thread;
};

}  // namespace lf
