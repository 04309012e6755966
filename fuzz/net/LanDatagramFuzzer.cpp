// Feeds arbitrary datagrams to the LAN discovery handler: whatever it
// accepts must parse back to the same fields when rebuilt, and the
// announcements table stays within its cap while tasks pass over it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/net/LanDiscovery.h"

using namespace lf::lan;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Announcements table;
    static uint32_t clock = 0;
    Receiver self;
    self.listenerAddress = 0x0200a8c6;
    self.listenerPort = 8080;
    self.infoHash.fill(0xAA);
    self.processId.fill(0x11);
    const uint32_t sender =
        size >= 4 ? (static_cast<uint32_t>(data[size - 1]) << 24) | 0x1200c6 : 0;
    Announcement a;
    const Action action = Decide(data, size, sender, self, &a);
    if (action != Action::kIgnore) {
        const auto rebuilt = BuildDatagram(a);
        Announcement back;
        if (!ParseDatagram(rebuilt.data(), rebuilt.size(), &back)) std::abort();
        if (back.port != a.port || back.answer != a.answer || back.infoHash != a.infoHash ||
            back.peerId != a.peerId || back.listenerAddress != a.listenerAddress)
            std::abort();
        if (std::memcmp(rebuilt.data() + 4, data + 4, 6) != 0) std::abort();
    }
    if (action == Action::kForOtherTasks) table.Store(a, sender, clock);
    if (table.Size() > kMaxAnnouncements) std::abort();
    static int tasks[3];
    const std::vector<const void*> live = {&tasks[0], &tasks[1], &tasks[2]};
    if (size > 0) {
        Hash20 hash;
        hash.fill(data[0]);
        table.PassOf(&tasks[data[0] % 3], hash, live, clock);
    }
    clock += 997;
    return 0;
}
