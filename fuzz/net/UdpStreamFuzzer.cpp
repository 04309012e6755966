// Feeds arbitrary datagrams into a stream endpoint that has live records: an
// established connection (both ends), a listener with a pending incoming
// request and a connect still requesting. The input is a run of
// datagrams, each with a control byte that may repair its length, receiver
// identity, key (one of the live ones) and checksum so that the packet
// reaches the handlers, pick the sender's address and move the clock;
// between datagrams the passes and the socket-like operations run.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tests/net/UdpStreamSimLink.h"

using namespace lf;
using namespace lf::sim;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Pair p(1);
    p.link.keepLog = false;
    if (!p.Connect()) return 0;
    // A pending incoming request on B from a third peer, and a connect from B
    // to nowhere.
    std::vector<uint8_t> req = MakePacket(4242, 1, kUdpRequest, p.seedB.data());
    PutWord(req, 32, 8000);
    std::memset(req.data() + 36, 0xC3, 8);
    std::memcpy(req.data() + 44, "UDP0", 4);
    PutWord(req, 48, p.b->port);
    PutWord(req, 60, 99);
    Seal(req);
    const uint32_t thirdIp = inet_addr("198.18.0.9");
    p.link.Inject(*p.b, req, thirdIp, 7000);
    UdpHandle dangling = p.B().UdpSocket();
    uint8_t nowhere[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    p.B().UdpConnect(dangling, thirdIp, 7001, nowhere);

    const uint32_t keys[] = {p.B().Info(p.server).key, p.B().Info(dangling).key, 4242,
                             p.B().Info(p.listener).key};
    std::vector<uint8_t> buf(4096);
    size_t at = 0;
    while (at + 3 <= size) {
        uint8_t control = data[at];
        size_t len = (size_t{data[at + 1]} << 8 | data[at + 2]) % 1500;
        at += 3;
        len = std::min(len, size - at);
        std::vector<uint8_t> d(data + at, data + at + len);
        at += len;
        if (d.size() >= 64) {
            if (control & 1) PutWord(d, 0, static_cast<uint32_t>(d.size()));
            if (control & 2) {
                std::memcpy(d.data() + 20, p.seedB.data(), 8);
                std::memcpy(d.data() + 28, "UDP0", 4);
            }
            if (control & 4) PutWord(d, 8, keys[(control >> 4) & 3]);
            if (control & 8) Seal(d);
        }
        uint32_t fromIp = (control & 0x40) ? thirdIp : p.a->ip;
        uint16_t fromPort = (control & 0x40) ? 7000 : p.a->port;
        p.B().OnStreamDatagram(d.data(), d.size(), fromIp, htons(fromPort), p.link.now);
        if (control & 0x80) {
            p.link.RunFor(control & 0x30 ? 2000 : 40);
            p.B().UdpReceive(p.server, buf.data(), buf.size());
            p.B().UdpSend(p.server, buf.data(), 1 + d.size() % 3000);
            UdpHandle accepted = p.B().UdpAccept(p.listener, nullptr, nullptr, nullptr);
            if (accepted && (control & 0x10)) p.B().UdpClose(accepted);
            std::vector<UdpHandle> r{p.server, p.listener}, w{p.server}, e{dangling};
            p.B().UdpSelect(&r, &w, &e, 0);
        }
    }
    p.link.RunFor(3000);
    while (p.B().UdpReceive(p.server, buf.data(), buf.size()) > 0) {
    }
    return 0;
}
