#include "engine/net/HalfOpen.h"

#include <algorithm>

namespace lf {

int ProbeHalfOpenLimit() {
    return -1;
}

int HalfOpenLimitFromProbe(int probed) {
    if (probed - 2 > 0) return std::min(32, probed - 2);
    return 32;
}

bool QHalfOpenGate::TryTake() {
    int pending = m_pending.load();
    do {
        if (pending >= m_limit.load()) return false;
    } while (!m_pending.compare_exchange_weak(pending, pending + 1));
    return true;
}

void QHalfOpenGate::Give() {
    m_pending.fetch_sub(1);
}

}  // namespace lf
