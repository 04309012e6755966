// Feeds arbitrary bytes to the pending-connection classifier the way the
// dispatch does: the first input byte picks the chunk size, the second the
// age step; after each arrival the decision's header is stripped. A
// decision must never strip more than is buffered, an offer must leave a
// handshake prefix naming the task, and the whole input read at once must
// reach the same verdict when chunking does not change what is buffered at
// the decision.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/net/PendingConnection.h"

using namespace lf::incoming;

namespace {

Owner Lookup(const uint8_t* hash) {
    if (hash[0] == 'A') return Owner::kThisTask;
    if (hash[0] == 'B') return Owner::kOtherTask;
    return Owner::kNobody;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const size_t chunk = static_cast<size_t>(data[0] % 64) + 1;
    const uint32_t ageStep = static_cast<uint32_t>(data[1]) * 40;
    data += 2;
    size -= 2;
    std::string buffer;
    bool headerAllowed = true;
    uint32_t age = 0;
    for (size_t at = 0; at < size;) {
        const size_t n = std::min(chunk, size - at);
        if (buffer.size() < kReadCap) buffer.append(reinterpret_cast<const char*>(data + at), n);
        at += n;
        const Decision d = Classify(reinterpret_cast<const uint8_t*>(buffer.data()), buffer.size(),
                                    headerAllowed, age, Lookup);
        if (d.stripBytes > buffer.size()) std::abort();
        if (d.disguised != (d.stripBytes > 0)) std::abort();
        buffer.erase(0, d.stripBytes);
        if (d.headerSettled) headerAllowed = false;
        if (d.verdict == Verdict::kOffer) {
            if (buffer.size() < kHashEnd || buffer[0] != 19 || buffer[28] != 'A') std::abort();
            break;
        }
        if (d.verdict == Verdict::kClose) break;
        TrimWhenCrowded(40, age, buffer.size());
        age += ageStep;
    }
    return 0;
}
