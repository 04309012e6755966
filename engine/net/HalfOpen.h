// The system's limit on simultaneous outgoing connection attempts, the
// engine's half-open limit derived from it, and the gate that holds every
// task's connection attempts within that limit.
#pragma once

#include <atomic>

namespace lf {

// Probes the system's limit L. This platform has no such limit to read:
// the answer is -1.
int ProbeHalfOpenLimit();
// The engine's limit for a probed L: min(32, L - 2) when L - 2 is positive,
// else 32.
int HalfOpenLimitFromProbe(int probed);

// Connection attempts in flight, shared by all tasks (their threads take
// and give slots without a lock). A connection takes a slot before it
// starts an attempt and gives it back once connected or closed.
class QHalfOpenGate {
public:
    explicit QHalfOpenGate(int limit = 32) : m_limit(limit) {}
    // False when `limit` attempts are already in flight.
    bool TryTake();
    void Give();
    bool HasRoom() const { return m_pending.load() < m_limit.load(); }
    int Pending() const { return m_pending.load(); }
    int Limit() const { return m_limit.load(); }
    void SetLimit(int limit) { m_limit.store(limit); }

private:
    std::atomic<int> m_pending{0};
    std::atomic<int> m_limit;
};

}  // namespace lf
