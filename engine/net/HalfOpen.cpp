#include "engine/net/HalfOpen.h"

#include <algorithm>
#include <atomic>

namespace lf {

namespace {
std::atomic<int> g_halfOpenLimit{32};
}

int ProbeHalfOpenLimit() {
    return -1;
}

int HalfOpenLimitFromProbe(int probed) {
    if (probed - 2 > 0) return std::min(32, probed - 2);
    return 32;
}

int EngineHalfOpenLimit() {
    return g_halfOpenLimit.load();
}
void SetEngineHalfOpenLimit(int limit) {
    g_halfOpenLimit.store(limit);
}

}  // namespace lf
