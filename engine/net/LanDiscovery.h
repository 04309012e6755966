// LAN discovery: engines on one local network find each other's tasks by
// UDP multicast to group 233.65.31.78, port 31576. Each datagram is 56
// bytes:
//
//   offset size field
//    0      4   0 (a datagram with any other value is ignored)
//    4      4   IPv4 address of the sender's listener (network order)
//    8      2   listening port, network byte order
//   10      2   0
//   12      4   0 = query, 1 = answer (little-endian)
//   16     20   info hash
//   36     20   sender's peer id
//
// A task sends its query twice when it starts; an engine that has a task
// for the queried info hash adds the sender as a peer and answers with its
// own datagram. Answers are never answered.
//
// Nothing here touches a socket: the decision over one received datagram
// is a function of its bytes, its sender and the receiving task, and the
// announcements kept for the engine's other tasks are a small table driven
// by a millisecond clock.
//
// Addresses are IPv4 in network byte order; ports in host order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace lf {

namespace lan {

constexpr size_t kDatagramBytes = 56;
constexpr uint16_t kPort = 31576;
// 233.65.31.78 in host order.
constexpr uint32_t kGroupHostOrder = (233u << 24) | (65u << 16) | (31u << 8) | 78u;
// The group in network order.
uint32_t GroupAddress();
// Announcements for other tasks are kept this long at most.
constexpr uint32_t kAnnouncementLifeMs = 30000;
// And no more than this many at once (one per sender peer id): a flood of
// datagrams with fresh peer ids cannot grow the table without bound.
constexpr size_t kMaxAnnouncements = 256;

using Hash20 = std::array<uint8_t, 20>;

struct Announcement {
    uint32_t listenerAddress = 0;  // as written by the sender
    uint16_t port = 0;
    bool answer = false;  // false: a query
    Hash20 infoHash{};
    Hash20 peerId{};
};

std::array<uint8_t, kDatagramBytes> BuildDatagram(const Announcement& a);
// Reads a datagram: false when it is shorter than 56 bytes, its first word
// is not 0, or its kind is neither 0 (query) nor 1 (answer). Bytes after
// the 56th are not looked at.
bool ParseDatagram(const uint8_t* bytes, size_t size, Announcement* out);

// The receiving task as the decision sees it.
struct Receiver {
    uint32_t listenerAddress = 0;  // the engine's recorded listener address
    uint16_t listenerPort = 0;
    Hash20 infoHash{};
    // The engine's process identifier: bytes 8 to 19 of every peer id this
    // engine makes are its first 12 bytes.
    std::array<uint8_t, 12> processId{};
};

enum class Action {
    kIgnore,         // malformed, our own echo, or no usable address
    kAdd,            // an answer for the receiving task: add the sender
    kAddAndAnswer,   // a query for the receiving task: add and answer it
    kForOtherTasks,  // another info hash: keep it for the engine's other tasks
};

// Decides over one received datagram. The peer to add is the datagram's
// sender address (the address that reached us: the address field may name
// an interface the sender cannot be reached on) with the port field.
// Our own echo is a datagram from our listener address and port, or one
// carrying a peer id of this engine; other engines on the same host (same
// address, other port) are peers like any other.
Action Decide(const uint8_t* bytes, size_t size, uint32_t senderAddress, const Receiver& self,
              Announcement* out);

// A peer found on the local network: where to connect and who it is.
struct FoundPeer {
    uint32_t address = 0;
    uint16_t port = 0;
    Hash20 peerId{};
    bool query = false;  // it asked: answer it
};

// The announcements one task read for the engine's other tasks, kept until
// every task saw them or for 30 s. Tasks are named by an opaque identity.
class Announcements {
public:
    // Keeps (or renews) the announcement of a sender peer id. When the
    // table is full the oldest entry makes room.
    void Store(const Announcement& a, uint32_t senderAddress, uint32_t nowMs);
    // The pass of one task: announcements for its info hash are handed out
    // and dropped; the others are marked seen by it, and dropped once older
    // than 30 s or seen by every live task.
    std::vector<FoundPeer> PassOf(const void* task, const Hash20& infoHash,
                                  const std::vector<const void*>& liveTasks, uint32_t nowMs);
    void Clear() { m_entries.clear(); }
    size_t Size() const { return m_entries.size(); }

private:
    struct Entry {
        Announcement a;
        uint32_t sender = 0;
        uint32_t arrivedMs = 0;
        std::vector<const void*> seen;
    };
    std::vector<Entry> m_entries;
};

}  // namespace lan

}  // namespace lf
