#include "engine/net/LanDiscovery.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

namespace lf {

namespace lan {

namespace {

uint32_t ReadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

uint32_t GroupAddress() {
    return htonl(kGroupHostOrder);
}

std::array<uint8_t, kDatagramBytes> BuildDatagram(const Announcement& a) {
    std::array<uint8_t, kDatagramBytes> d{};
    std::memcpy(d.data() + 4, &a.listenerAddress, 4);
    d[8] = static_cast<uint8_t>(a.port >> 8);
    d[9] = static_cast<uint8_t>(a.port & 0xff);
    d[12] = a.answer ? 1 : 0;
    std::memcpy(d.data() + 16, a.infoHash.data(), 20);
    std::memcpy(d.data() + 36, a.peerId.data(), 20);
    return d;
}

bool ParseDatagram(const uint8_t* bytes, size_t size, Announcement* out) {
    if (bytes == nullptr || size < kDatagramBytes) return false;
    if (ReadLe32(bytes) != 0) return false;
    const uint32_t kind = ReadLe32(bytes + 12);
    if (kind > 1) return false;
    Announcement a;
    std::memcpy(&a.listenerAddress, bytes + 4, 4);
    a.port = static_cast<uint16_t>(bytes[8] << 8 | bytes[9]);
    a.answer = kind == 1;
    std::memcpy(a.infoHash.data(), bytes + 16, 20);
    std::memcpy(a.peerId.data(), bytes + 36, 20);
    if (out != nullptr) *out = a;
    return true;
}

Action Decide(const uint8_t* bytes, size_t size, uint32_t senderAddress, const Receiver& self,
              Announcement* out) {
    Announcement a;
    if (!ParseDatagram(bytes, size, &a)) return Action::kIgnore;
    if (senderAddress == 0 || senderAddress == 0xffffffffu || a.port == 0) return Action::kIgnore;
    if (senderAddress == self.listenerAddress && a.port == self.listenerPort)
        return Action::kIgnore;
    if (std::equal(self.processId.begin(), self.processId.end(), a.peerId.begin() + 8))
        return Action::kIgnore;
    if (out != nullptr) *out = a;
    if (a.infoHash != self.infoHash) return Action::kForOtherTasks;
    return a.answer ? Action::kAdd : Action::kAddAndAnswer;
}

void Announcements::Store(const Announcement& a, uint32_t senderAddress, uint32_t nowMs) {
    for (Entry& e : m_entries) {
        if (e.a.peerId == a.peerId) {
            e.a = a;
            e.sender = senderAddress;
            e.arrivedMs = nowMs;
            e.seen.clear();
            return;
        }
    }
    if (m_entries.size() >= kMaxAnnouncements) {
        auto oldest = std::min_element(m_entries.begin(), m_entries.end(),
                                       [nowMs](const Entry& x, const Entry& y) {
                                           return nowMs - x.arrivedMs > nowMs - y.arrivedMs;
                                       });
        m_entries.erase(oldest);
    }
    m_entries.push_back(Entry{a, senderAddress, nowMs, {}});
}

std::vector<FoundPeer> Announcements::PassOf(const void* task, const Hash20& infoHash,
                                             const std::vector<const void*>& liveTasks,
                                             uint32_t nowMs) {
    std::vector<FoundPeer> found;
    for (size_t i = 0; i < m_entries.size();) {
        Entry& e = m_entries[i];
        if (nowMs - e.arrivedMs > kAnnouncementLifeMs) {
            m_entries.erase(m_entries.begin() + static_cast<long>(i));
            continue;
        }
        if (std::find(e.seen.begin(), e.seen.end(), task) != e.seen.end()) {
            ++i;
            continue;
        }
        if (e.a.infoHash == infoHash) {
            found.push_back(FoundPeer{e.sender, e.a.port, e.a.peerId, !e.a.answer});
            m_entries.erase(m_entries.begin() + static_cast<long>(i));
            continue;
        }
        e.seen.push_back(task);
        const bool allSaw = std::all_of(liveTasks.begin(), liveTasks.end(), [&e](const void* t) {
            return std::find(e.seen.begin(), e.seen.end(), t) != e.seen.end();
        });
        if (allSaw) {
            m_entries.erase(m_entries.begin() + static_cast<long>(i));
            continue;
        }
        ++i;
    }
    return found;
}

}  // namespace lan

}  // namespace lf
