// UDP tracker datagrams: the reader, and the exchange fed the datagram in
// each of its states (connecting, connected).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/sources/TrackerProtocol.h"

using namespace lf;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tracker::Datagram d;
    if (tracker::ReadDatagram(data, size, &d)) {
        if (size < 8) __builtin_trap();
        if (d.peers.size() * 6 + 20 > size && !d.peers.empty()) __builtin_trap();
    }
    tracker::AnnounceValues v;
    tracker::UdpExchange x;
    std::vector<tracker::PeerEntry> peers;
    x.Poll(1, v);
    x.OnDatagram(data, size, &peers);
    x.Poll(20, v);
    x.OnDatagram(data, size, &peers);
    return 0;
}
