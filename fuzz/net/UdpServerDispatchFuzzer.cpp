// Feeds arbitrary datagrams to the UDP server's dispatcher. The input is a
// series of records: one control byte (bit 0: from the rendezvous service,
// bit 1: queue a query first, bit 2: run the timers after) and a length
// byte, then that many bytes of datagram.
#include <cstddef>
#include <cstdint>

#include "engine/net/UdpServerProtocol.h"

using namespace lf;

namespace {
class NullOut : public IUdpDatagramOut {
public:
    bool SendDatagram(const uint8_t*, size_t, uint32_t, uint16_t) override { return true; }
};
class NullSink : public IUdpStreamSink {
public:
    void OnStreamDatagram(const uint8_t*, size_t, uint32_t, uint16_t, uint64_t) override {}
    void OnAckPass(uint64_t) override {}
    void OnRetransmitPass(uint64_t) override {}
    void OnTimerPass(uint64_t) override {}
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    NullOut out;
    NullSink sink;
    QUdpServerCore core(&out);
    const uint8_t seed[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    core.SetIdentitySeed(seed);
    core.SetRendezvous(0x010012C6u, 82);
    core.SetLocal(0x020113C6u, 8000);
    core.SetSink(&sink);
    uint64_t now = 0;
    size_t at = 0;
    while (at + 2 <= size) {
        const uint8_t control = data[at];
        size_t n = data[at + 1] * 4u;
        at += 2;
        if (n > size - at) n = size - at;
        if (control & 2) {
            const uint8_t id[12] = {data[at % size], 1, 2, 3, 4, 5, 6, 7, 'U', 'D', 'P', '0'};
            core.QueueQuery(0x030212C6u, id);
        }
        core.Dispatch(data + at, n, (control & 1) ? 0x010012C6u : 0x040312C6u, 82, now);
        at += n;
        now += 7 + control * 100;
        if (control & 4) core.RunTimers(now);
    }
    return 0;
}
