// Feeds arbitrary datagrams to lf-rendezvous's handler. The input is a
// series of records: a sender byte (picks one of a few addresses and
// ports), a length byte, then that many bytes (times 4) of datagram.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/lf-rendezvous/RendezvousHandler.h"

using namespace lf;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    RendezvousLimits limits;
    limits.maxEntries = 8;
    RendezvousHandler handler(limits);
    std::vector<RendezvousOutgoing> out;
    uint64_t now = 0;
    size_t at = 0;
    while (at + 2 <= size) {
        const uint8_t sender = data[at];
        size_t n = data[at + 1] * 4u;
        at += 2;
        if (n > size - at) n = size - at;
        out.clear();
        handler.Handle(data + at, n, sender & 1, 0x0A0012C6u + ((sender & 6u) << 23),
                       static_cast<uint16_t>(1000 + (sender >> 3)), now, out);
        at += n;
        now += sender * 1000u;
    }
    return 0;
}
