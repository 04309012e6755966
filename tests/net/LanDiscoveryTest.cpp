// LAN discovery datagrams and the announcements kept for other tasks, over
// bytes and a millisecond clock.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/net/LanDiscovery.h"

using namespace lf;
using namespace lf::lan;

namespace {

Hash20 Filled(uint8_t b) {
    Hash20 h;
    h.fill(b);
    return h;
}

// A peer id of another engine: bytes 8 to 19 are its process identifier.
Hash20 PeerIdOf(uint8_t process) {
    Hash20 id{0, 1, 'L', 'f', 9, 9, 9, 9};
    for (int i = 8; i < 20; ++i) id[i] = process;
    return id;
}

Receiver Self() {
    Receiver r;
    r.listenerAddress = inet_addr("198.18.0.2");
    r.listenerPort = 8080;
    r.infoHash = Filled(0xAA);
    r.processId.fill(0x11);
    return r;
}

Announcement From(uint16_t port, const Hash20& hash, bool answer, uint8_t process = 0x22) {
    Announcement a;
    // The sender's field may name another interface than the one that
    // reached us: peers are added at the datagram's sender address.
    a.listenerAddress = inet_addr("198.18.0.77");
    a.port = port;
    a.answer = answer;
    a.infoHash = hash;
    a.peerId = PeerIdOf(process);
    return a;
}

std::string Bytes(const Announcement& a) {
    const auto d = BuildDatagram(a);
    return std::string(reinterpret_cast<const char*>(d.data()), d.size());
}

TEST(LanDiscoveryTest, Layout) {
    Announcement a = From(0x1234, Filled(0xAA), true);
    const std::string d = Bytes(a);
    ASSERT_EQ(d.size(), 56u);
    EXPECT_EQ(d.substr(0, 4), std::string(4, '\0'));
    uint32_t address;
    std::memcpy(&address, d.data() + 4, 4);
    EXPECT_EQ(address, inet_addr("198.18.0.77"));
    EXPECT_EQ(d.substr(8, 4), std::string("\x12\x34\0\0", 4));
    EXPECT_EQ(d.substr(12, 4), std::string("\x01\0\0\0", 4));
    EXPECT_EQ(d.substr(16, 20), std::string(20, '\xAA'));
    EXPECT_EQ(static_cast<uint8_t>(d[36 + 2]), 'L');
    Announcement back;
    ASSERT_TRUE(ParseDatagram(reinterpret_cast<const uint8_t*>(d.data()), d.size(), &back));
    EXPECT_EQ(back.port, 0x1234);
    EXPECT_TRUE(back.answer);
    EXPECT_EQ(back.peerId, a.peerId);
    EXPECT_EQ(GroupAddress(), inet_addr("233.65.31.78"));
}

TEST(LanDiscoveryTest, Decisions) {
    const Receiver self = Self();
    const uint32_t peer = inet_addr("198.18.0.3");
    const uint32_t own = self.listenerAddress;
    auto edit = [](std::string d, size_t at, uint8_t value) {
        d[at] = static_cast<char>(value);
        return d;
    };
    const std::string query = Bytes(From(6881, self.infoHash, false));
    const std::string answer = Bytes(From(6881, self.infoHash, true));
    const struct {
        const char* name;
        std::string bytes;
        uint32_t sender;
        Action action;
    } cases[] = {
        {"query for our task", query, peer, Action::kAddAndAnswer},
        {"answer for our task", answer, peer, Action::kAdd},
        {"longer datagram", query + "extra", peer, Action::kAddAndAnswer},
        {"another info hash", Bytes(From(6881, Filled(0xBB), false)), peer, Action::kForOtherTasks},
        {"first word 1", edit(query, 0, 1), peer, Action::kIgnore},
        {"first word 1 in its last byte", edit(query, 3, 1), peer, Action::kIgnore},
        {"55 bytes", query.substr(0, 55), peer, Action::kIgnore},
        {"kind 2", edit(query, 12, 2), peer, Action::kIgnore},
        {"kind word in its high byte", edit(answer, 15, 1), peer, Action::kIgnore},
        {"port 0", Bytes(From(0, self.infoHash, false)), peer, Action::kIgnore},
        {"our own echo", Bytes(From(8080, self.infoHash, false)), own, Action::kIgnore},
        {"our own peer id from elsewhere", Bytes(From(6881, self.infoHash, false, 0x11)), peer,
         Action::kIgnore},
        {"another engine on our address", Bytes(From(8081, self.infoHash, false)), own,
         Action::kAddAndAnswer},
        {"no sender address", query, 0, Action::kIgnore},
        {"empty", "", peer, Action::kIgnore},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Announcement a;
        EXPECT_EQ(static_cast<int>(Decide(reinterpret_cast<const uint8_t*>(c.bytes.data()),
                                          c.bytes.size(), c.sender, self, &a)),
                  static_cast<int>(c.action));
    }
}

TEST(LanDiscoveryTest, AnnouncementsForOtherTasks) {
    int t1 = 0, t2 = 0, t3 = 0;
    const std::vector<const void*> live = {&t1, &t2, &t3};
    const uint32_t sender = inet_addr("198.18.0.3");
    Announcements table;
    // Read by task 1, for task 3's info hash.
    table.Store(From(6881, Filled(3), false), sender, 1000);
    EXPECT_TRUE(table.PassOf(&t1, Filled(1), live, 1000).empty());
    EXPECT_TRUE(table.PassOf(&t2, Filled(2), live, 2000).empty());
    EXPECT_TRUE(table.PassOf(&t2, Filled(2), live, 2000).empty());
    auto found = table.PassOf(&t3, Filled(3), live, 3000);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].address, sender);
    EXPECT_EQ(found[0].port, 6881);
    EXPECT_TRUE(found[0].query);
    EXPECT_EQ(table.Size(), 0u);

    // Nobody has the info hash: gone once every live task saw it.
    table.Store(From(6881, Filled(9), true), sender, 1000);
    table.PassOf(&t1, Filled(1), live, 1000);
    table.PassOf(&t2, Filled(2), live, 1000);
    EXPECT_EQ(table.Size(), 1u);
    table.PassOf(&t3, Filled(3), live, 1000);
    EXPECT_EQ(table.Size(), 0u);

    // Or after 30 s.
    table.Store(From(6881, Filled(9), true), sender, 1000);
    table.PassOf(&t1, Filled(1), live, 1000);
    table.PassOf(&t1, Filled(1), live, 31001);
    EXPECT_EQ(table.Size(), 0u);

    // One entry per sender peer id, renewed by a newer datagram; a flood of
    // peer ids keeps the table at its cap, newest kept.
    table.Store(From(6881, Filled(9), false), sender, 1000);
    table.Store(From(6882, Filled(9), false), sender, 1100);
    EXPECT_EQ(table.Size(), 1u);
    for (int i = 0; i < 1000; ++i) {
        Announcement a = From(6881, Filled(4), false);
        std::memcpy(a.peerId.data() + 4, &i, sizeof(i));
        table.Store(a, sender, 2000 + static_cast<uint32_t>(i));
    }
    EXPECT_EQ(table.Size(), kMaxAnnouncements);
    found = table.PassOf(&t1, Filled(4), live, 3000);
    ASSERT_EQ(found.size(), kMaxAnnouncements);
    int newest = 0;
    std::memcpy(&newest, found.back().peerId.data() + 4, sizeof(newest));
    EXPECT_EQ(newest, 999);
}

}  // namespace
