// HTTP tracker replies as a tracker (or anyone on the path) may send them:
// every prefix is examined as the source would while the bytes arrive, and
// the whole input once more as if the connection had closed.
#include <cstddef>
#include <cstdint>

#include "engine/sources/TrackerProtocol.h"

using namespace lf;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    tracker::Reply reply;
    size_t used = 0;
    const size_t step = size / 7 + 1;
    for (size_t have = step; have < size; have += step) {
        if (tracker::ReadHttpReply(bytes, have, false, &reply, &used) ==
                tracker::ReplyState::kComplete &&
            used > have)
            __builtin_trap();
    }
    if (tracker::ReadHttpReply(bytes, size, true, &reply, &used) ==
        tracker::ReplyState::kComplete) {
        if (used > size) __builtin_trap();
        for (const auto& p : reply.peers)
            if (!tracker::UsableEntry(p.ipv4, p.port)) __builtin_trap();
    }
    return 0;
}
