// The stream endpoint over a simulated link with a fake clock: connection
// setup, window and payload, the receive window, acknowledgements,
// retransmission limits, timeouts, hostile packets and byte-exact transfers
// under loss, duplication and reordering.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "tests/net/UdpStreamSimLink.h"

using namespace lf;
using namespace lf::sim;

namespace {

bool IsType(const Sent& s, uint32_t type) {
    return s.bytes.size() >= 64 && s.Type() == type;
}

std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
    std::vector<uint8_t> v(size);
    std::mt19937 rng(seed);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
}

// Sends `data` from A to B, reading at B as it arrives. True when all of it
// arrived and was acknowledged within `limitMs` of simulated time.
bool Transfer(Pair& p, const std::vector<uint8_t>& data, std::vector<uint8_t>& got,
              uint64_t limitMs) {
    size_t sent = 0;
    std::vector<uint8_t> buf(65536);
    p.link.onStep = [&] {
        while (sent < data.size()) {
            long n = p.A().UdpSend(p.client, data.data() + sent, data.size() - sent);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
        for (;;) {
            long n = p.B().UdpReceive(p.server, buf.data(), buf.size());
            if (n <= 0) break;
            got.insert(got.end(), buf.begin(), buf.begin() + n);
        }
    };
    bool ok = p.link.RunFor(
        limitMs, [&] { return got.size() >= data.size() && p.A().Info(p.client).sendCount == 0; });
    p.link.onStep = nullptr;
    return ok;
}

TEST(UdpStreamSimTest, ChecksumIsZlibAdlerWithTheKeyAsStart) {
    std::vector<uint8_t> packet = Pattern(1384, 7);
    const uint32_t keys[] = {1,          0x0000FFF0, 0x0000FFF1, 0x0000FFFF, 0xFFF10000,
                             0xFFF1FFF1, 0xFFFF0000, 0xFFFFFFFF, 0x12345678};
    for (uint32_t key : keys) {
        for (size_t size : {size_t{64}, size_t{65}, size_t{100}, packet.size()}) {
            uLong z = adler32(key, packet.data() + 32, static_cast<uInt>(size - 32));
            EXPECT_EQ(UdpPacketChecksum(key, packet.data(), size), static_cast<uint32_t>(z))
                << std::hex << key << " size " << std::dec << size;
        }
    }
}

TEST(UdpStreamSimTest, KeysWithHalvesAboveTheModulusCarryAStream) {
    for (uint32_t firstKey : {0xFFF1FFF1u, 0xFFFFFFF0u, 0x0000FFF5u}) {
        Pair p(3, {}, firstKey, firstKey + 0x10000);
        ASSERT_TRUE(p.Connect()) << std::hex << firstKey;
        EXPECT_EQ(p.A().Info(p.client).key, firstKey);
        std::vector<uint8_t> data = Pattern(20000, firstKey), got;
        ASSERT_TRUE(Transfer(p, data, got, 60000));
        EXPECT_EQ(got, data);
    }
}

TEST(UdpStreamSimTest, WindowAndPayloadFollowTheLoss) {
    const struct {
        int loss, window, payload;
    } cases[] = {{0, 12, 1320}, {5, 12, 1320}, {10, 11, 1320}, {30, 9, 1320},
                 {31, 8, 660},  {50, 6, 660},  {100, 0, 660},  {105, 0, 660}};
    for (auto& c : cases) {
        EXPECT_EQ(UdpWindowForLoss(c.loss), c.window) << c.loss;
        EXPECT_EQ(UdpPayloadForLoss(c.loss), c.payload) << c.loss;
    }
}

TEST(UdpStreamSimTest, FreshConnectionStartsSmallAndGrowsAfterCleanPackets) {
    Pair p;
    ASSERT_TRUE(p.Connect());
    auto fromA = [&](const Sent& s) { return s.fromIp == p.a->ip && IsType(s, kUdpData); };
    UdpRecordInfo fresh = p.A().Info(p.client);
    EXPECT_EQ(fresh.window, 6);
    EXPECT_EQ(fresh.payload, 660);
    std::vector<uint8_t> data = Pattern(12 * 660, 1);
    uint64_t t0 = p.link.now;
    ASSERT_EQ(p.A().UdpSend(p.client, data.data(), data.size()), long(12 * 660));
    // Six go out at once, the other six wait in their slots.
    EXPECT_EQ(p.link.Count(fromA, t0), 6u);
    EXPECT_EQ(p.A().Info(p.client).sendCount, 12);
    for (const Sent& s : p.link.log) {
        if (s.atMs >= t0 && fromA(s)) {
            EXPECT_EQ(s.bytes.size(), 64u + 660);
        }
    }

    std::vector<uint8_t> more = Pattern(24 * 660, 2), got;
    data.insert(data.end(), more.begin(), more.end());
    std::vector<uint8_t> rest(data.begin() + 12 * 660, data.end());
    std::vector<uint8_t> buf(1 << 16);
    // Read what was queued already, then send the rest.
    std::vector<uint8_t> all;
    p.link.onStep = [&] {
        long n;
        while ((n = p.B().UdpReceive(p.server, buf.data(), buf.size())) > 0)
            all.insert(all.end(), buf.begin(), buf.begin() + n);
    };
    size_t sent = 0;
    ASSERT_TRUE(p.link.RunFor(60000, [&] {
        while (sent < rest.size()) {
            long n = p.A().UdpSend(p.client, rest.data() + sent, rest.size() - sent);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
        return all.size() == data.size() && p.A().Info(p.client).sendCount == 0;
    }));
    EXPECT_EQ(all, data);
    UdpRecordInfo grown = p.A().Info(p.client);
    EXPECT_GT(grown.packetsSent, 23u);
    EXPECT_EQ(grown.retransmissions, 0u);
    EXPECT_EQ(grown.window, 12);
    EXPECT_EQ(grown.payload, 1320);
    t0 = p.link.now;
    std::vector<uint8_t> big = Pattern(20 * 1320, 3);
    ASSERT_EQ(p.A().UdpSend(p.client, big.data(), big.size()), long(12 * 1320));
    EXPECT_EQ(p.link.Count(fromA, t0), 12u);
    for (const Sent& s : p.link.log) {
        if (s.atMs >= t0 && fromA(s)) {
            EXPECT_EQ(s.bytes.size(), 64u + 1320);
        }
    }
}

// Data packets written by hand into B's accepted record.
struct Handmade : Pair {
    Handmade() {
        EXPECT_TRUE(Connect());
        // Nothing from the real A reaches B from here on.
        link.dropIf = [](const Sent&) { return true; };
        info = B().Info(server);
    }
    std::vector<uint8_t> Data(uint32_t number, size_t length, uint8_t fill = 0x5A) {
        std::vector<uint8_t> pk =
            MakePacket(info.key, ++sequence, kUdpData, seedB.data(), 64 + length);
        PutWord(pk, 32, static_cast<uint32_t>(length));
        PutWord(pk, 36, number);
        std::fill(pk.begin() + 64, pk.end(), fill);
        Seal(pk);
        return pk;
    }
    void ToB(const std::vector<uint8_t>& pk) { link.Inject(*b, pk, a->ip, a->port); }
    UdpRecordInfo info;
    uint32_t sequence = 1000;
};

TEST(UdpStreamSimTest, ReceiveWindowStoresElevenAheadAndDropsTwelve) {
    Handmade h;
    uint32_t next = h.info.nextExpected;
    h.ToB(h.Data(next + 12, 100));
    EXPECT_EQ(h.B().Info(h.server).reorderHeld, 0);
    EXPECT_EQ(h.B().Info(h.server).bytesReceived, 0u);
    h.ToB(h.Data(next + 11, 100));
    EXPECT_EQ(h.B().Info(h.server).reorderHeld, 1);
    EXPECT_EQ(h.B().Info(h.server).bytesReceived, 100u);
    // Wrong length for the datagram, and a length beyond the largest payload.
    std::vector<uint8_t> bad = h.Data(next, 100);
    PutWord(bad, 32, 99);
    Seal(bad);
    h.ToB(bad);
    std::vector<uint8_t> huge = h.Data(next, 4000);
    h.ToB(huge);
    EXPECT_EQ(h.B().Info(h.server).reorderHeld, 1);
    // Once the gap is filled the packets read in order.
    for (uint32_t i = 0; i < 11; ++i) h.ToB(h.Data(next + i, 100, static_cast<uint8_t>(i)));
    std::vector<uint8_t> buf(4000);
    EXPECT_EQ(h.B().UdpReceive(h.server, buf.data(), buf.size()), 1200);
    for (int i = 0; i < 11; ++i) EXPECT_EQ(buf[i * 100], i);
    EXPECT_EQ(buf[1100], 0x5A);
}

TEST(UdpStreamSimTest, DuplicateRestartsTheTimerAndBringsAnAcknowledgement) {
    Handmade h;
    uint32_t next = h.info.nextExpected;
    auto ackFromB = [&](const Sent& s) { return s.fromIp == h.b->ip && IsType(s, kUdpAck); };
    auto keepaliveFromB = [&](const Sent& s) {
        return s.fromIp == h.b->ip && IsType(s, kUdpKeepalive);
    };
    std::vector<uint8_t> pk = h.Data(next, 200);
    h.ToB(pk);
    uint64_t t0 = h.link.now;
    h.link.RunFor(10000);
    uint64_t t1 = h.link.now;
    h.ToB(pk);
    EXPECT_EQ(h.B().Info(h.server).bytesReceived, 200u);
    h.link.RunFor(40);
    EXPECT_GE(h.link.Count(ackFromB, t1), 1u);
    // Without the restart B would call A idle 15 s after t0.
    h.link.RunUntil(t0 + 20000);
    EXPECT_EQ(h.link.Count(keepaliveFromB, t0), 0u);
    EXPECT_EQ(h.B().Info(h.server).state, kUdpEstablished);
}

TEST(UdpStreamSimTest, AcknowledgementsFollowArrivalsAndRefreshEveryTwelveSeconds) {
    {
        // Two packets held behind a gap: the acknowledgement goes twice and
        // flags both.
        Handmade h;
        uint32_t next = h.info.nextExpected;
        uint64_t t0 = h.link.now;
        h.ToB(h.Data(next + 1, 10));
        h.ToB(h.Data(next + 2, 10));
        h.link.RunFor(20);
        std::vector<Sent> acks;
        for (const Sent& s : h.link.log)
            if (s.atMs >= t0 && s.fromIp == h.b->ip && IsType(s, kUdpAck)) acks.push_back(s);
        ASSERT_EQ(acks.size(), 2u);
        EXPECT_EQ(acks[0].Word(36), next);
        EXPECT_EQ(acks[0].bytes[40], 0);
        EXPECT_EQ(acks[0].bytes[41], 1);
        EXPECT_EQ(acks[0].bytes[42], 1);
        EXPECT_EQ(acks[0].bytes, acks[1].bytes);
    }
    // An idle connection acknowledges about every 12 s, not more often.
    Pair p;
    ASSERT_TRUE(p.Connect());
    p.link.RunFor(2000);
    uint64_t t0 = p.link.now;
    p.link.RunFor(60000);
    std::vector<uint64_t> times;
    for (const Sent& s : p.link.log)
        if (s.atMs >= t0 && s.fromIp == p.b->ip && IsType(s, kUdpAck)) times.push_back(s.atMs);
    ASSERT_GE(times.size(), 4u);
    for (size_t i = 1; i < times.size(); ++i) {
        EXPECT_GE(times[i] - times[i - 1], 11999u);
        EXPECT_LE(times[i] - times[i - 1], 12100u);
    }
    EXPECT_EQ(p.B().Info(p.server).state, kUdpEstablished);
}

TEST(UdpStreamSimTest, SilentPeerGetsAKeepaliveAfterFifteenSecondsAndClosesAfterThirty) {
    Pair p;
    ASSERT_TRUE(p.Connect());
    p.link.dropIf = [](const Sent&) { return true; };
    // The last packet A accepted came at most one exchange ago.
    p.link.RunFor(100);
    uint64_t t0 = p.link.now;
    uint64_t firstKeepalive = 0;
    p.link.onStep = [&] {
        if (firstKeepalive == 0)
            for (auto it = p.link.log.rbegin(); it != p.link.log.rend() && it->atMs == p.link.now;
                 ++it)
                if (it->fromIp == p.a->ip && IsType(*it, kUdpKeepalive))
                    firstKeepalive = p.link.now;
    };
    uint64_t closedAt = 0;
    p.link.RunFor(40000, [&] {
        if (p.A().Info(p.client).state == kUdpClosed && closedAt == 0) closedAt = p.link.now;
        return closedAt != 0;
    });
    ASSERT_NE(firstKeepalive, 0u);
    EXPECT_GT(firstKeepalive - t0, 14000u);
    EXPECT_LE(firstKeepalive - t0, 18000u);
    ASSERT_NE(closedAt, 0u);
    EXPECT_GT(closedAt - t0, 29000u);
    EXPECT_LE(closedAt - t0, 33000u);
    // Closed: readable and writable (so a waiting caller sees it), receive
    // reports not connected.
    std::vector<UdpHandle> r{p.client}, w{p.client}, e{p.client};
    EXPECT_EQ(p.A().UdpSelect(&r, &w, &e, 0), 3);
    uint8_t b[8];
    int error = 0;
    EXPECT_EQ(p.A().UdpReceive(p.client, b, sizeof b, &error), -1);
    EXPECT_EQ(error, kUdpErrNotConnected);
}

TEST(UdpStreamSimTest, TheRetryAfterTheHundredTwentyEighthCloses) {
    Pair p;
    ASSERT_TRUE(p.Connect());
    // Data from A never arrives; the acknowledgements of both sides keep
    // the connection alive.
    p.link.dropIf = [&](const Sent& s) { return s.fromIp == p.a->ip && IsType(s, kUdpData); };
    uint8_t byte = 1;
    ASSERT_EQ(p.A().UdpSend(p.client, &byte, 1), 1);
    int retriesBeforeClose = 0;
    ASSERT_TRUE(p.link.RunFor(3 * 3600 * 1000, [&] {
        UdpRecordInfo i = p.A().Info(p.client);
        if (i.state == kUdpEstablished) retriesBeforeClose = i.maxRetries;
        return i.state == kUdpClosed;
    }));
    EXPECT_EQ(retriesBeforeClose, 129);
    auto dataFromA = [&](const Sent& s) { return s.fromIp == p.a->ip && IsType(s, kUdpData); };
    // The first send, 129 timer retries, and the early probes in between
    // (B stays silent about the packet, so each round ends in at most three
    // probes before the timer; they are not retries).
    uint32_t repairs = p.A().Info(p.client).repairs;
    EXPECT_GT(repairs, 0u);
    EXPECT_LE(repairs, 3u * 129);
    EXPECT_EQ(p.link.Count(dataFromA), 130u + repairs);
    EXPECT_EQ(p.B().Info(p.server).state, kUdpEstablished);
}

TEST(UdpStreamSimTest, AcknowledgementCannotFreeSlotsThatWereNeverSent) {
    Pair p;
    ASSERT_TRUE(p.Connect());
    p.link.dropIf = [](const Sent&) { return true; };
    std::vector<uint8_t> data = Pattern(12 * 660, 4);
    ASSERT_EQ(p.A().UdpSend(p.client, data.data(), data.size()), long(data.size()));
    UdpRecordInfo a = p.A().Info(p.client);
    ASSERT_EQ(a.sendCount, 12);  // six sent, six waiting
    uint32_t seq = 5000;
    auto ack = [&](uint32_t next, int flagsFrom, int flagsTo) {
        std::vector<uint8_t> pk = MakePacket(a.key, ++seq, kUdpAck, p.seedA.data());
        PutWord(pk, 32, 0);
        PutWord(pk, 36, next);
        for (int k = flagsFrom; k < flagsTo; ++k) pk[40 + k] = 1;
        Seal(pk);
        p.link.Inject(*p.a, pk, p.b->ip, p.b->port);
    };
    // Claims all twelve: not believed.
    ack(a.sendBase + 12, 0, 0);
    EXPECT_EQ(p.A().Info(p.client).sendCount, 12);
    EXPECT_EQ(p.A().Info(p.client).bytesAcknowledged, 0u);
    // Flags for the six that never left free nothing of them.
    ack(a.sendBase, 6, 12);
    EXPECT_EQ(p.A().Info(p.client).sendCount, 12);
    // The six that were sent can be acknowledged.
    ack(a.sendBase + 6, 0, 0);
    EXPECT_EQ(p.A().Info(p.client).sendCount, 6);
    EXPECT_EQ(p.A().Info(p.client).bytesAcknowledged, 6u * 660);
    // A packet acknowledgement frees its one slot when number and length
    // match, and never a slot that was not sent.
    UdpRecordInfo now = p.A().Info(p.client);
    auto packetAck = [&](uint32_t number, uint32_t length) {
        std::vector<uint8_t> pk = MakePacket(a.key, 0, kUdpPacketAck, p.seedA.data());
        PutWord(pk, 32, length);
        PutWord(pk, 36, number);
        Seal(pk);
        p.link.Inject(*p.a, pk, p.b->ip, p.b->port);
    };
    packetAck(now.sendBase, 661);
    EXPECT_EQ(p.A().Info(p.client).sendCount, 6);
    packetAck(now.sendBase, 660);  // never sent
    EXPECT_EQ(p.A().Info(p.client).sendCount, 6);
    p.link.RunFor(40);  // the retransmission pass sends the waiting six
    packetAck(now.sendBase, 660);
    EXPECT_EQ(p.A().Info(p.client).sendCount, 5);
}

// One lost packet of a full window, or its acknowledgements, on an
// otherwise clean link: repaired from the acknowledgements (or, with nothing
// after it, by a probe) long before the 1600 ms retry timer.
TEST(UdpStreamSimTest, ALostPacketIsRepairedWellBeforeTheRetryTimer) {
    struct Case {
        const char* name;
        int lostSlot;       // which packet of the burst is lost (-1: none)
        bool lostAcks;      // B's first acknowledgement (both copies) is lost
        uint64_t withinMs;  // the burst is acknowledged in full by then
    };
    const Case cases[] = {
        {"first of the burst", 0, false, 120},
        {"middle of the burst", 5, false, 120},
        {"last of the burst, nothing after it", 11, false, 600},
        {"both copies of the acknowledgement", -1, true, 600},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Pair p(3, Impairment{0, 0, 0, 5, 0});
        ASSERT_TRUE(p.Connect());
        std::vector<uint8_t> got;
        ASSERT_TRUE(Transfer(p, Pattern(40 * 1320, 5), got, 20000));  // grows to 12 x 1320
        got.clear();
        p.link.RunFor(100);
        UdpRecordInfo before = p.A().Info(p.client);
        ASSERT_EQ(before.window, 12);
        const uint32_t lost = before.sendBase + static_cast<uint32_t>(c.lostSlot);
        bool droppedData = false, droppedAcks = false;
        uint64_t ackDropAt = 0;
        p.link.dropIf = [&](const Sent& s) {
            if (c.lostSlot >= 0 && !droppedData && s.fromIp == p.a->ip && IsType(s, kUdpData) &&
                s.Word(36) == lost)
                return droppedData = true;
            if (c.lostAcks && s.fromIp == p.b->ip && IsType(s, kUdpAck) &&
                (!droppedAcks || s.atMs == ackDropAt)) {
                droppedAcks = true;
                ackDropAt = s.atMs;
                return true;
            }
            return false;
        };
        const std::vector<uint8_t> burst = Pattern(12 * 1320, 6);
        uint64_t t0 = p.link.now;
        ASSERT_EQ(p.A().UdpSend(p.client, burst.data(), burst.size()), long(burst.size()));
        std::vector<uint8_t> buf(1 << 16);
        p.link.onStep = [&] {
            long n;
            while ((n = p.B().UdpReceive(p.server, buf.data(), buf.size())) > 0)
                got.insert(got.end(), buf.begin(), buf.begin() + n);
        };
        ASSERT_TRUE(p.link.RunFor(
            c.withinMs,
            [&] { return got.size() == burst.size() && p.A().Info(p.client).sendCount == 0; }))
            << "acknowledged after " << p.link.now - t0 << " ms";
        p.link.onStep = nullptr;
        EXPECT_EQ(got, burst);
        UdpRecordInfo after = p.A().Info(p.client);
        EXPECT_EQ(after.maxRetries, 0);
        EXPECT_EQ(after.repairs - before.repairs, 1u);
        EXPECT_EQ(after.retransmissions - before.retransmissions, 1u);
        if (c.lostSlot >= 0) {
            EXPECT_TRUE(droppedData);
            auto copies = [&](const Sent& s) {
                return s.fromIp == p.a->ip && IsType(s, kUdpData) && s.Word(36) == lost;
            };
            EXPECT_EQ(p.link.Count(copies, t0), 2u);
        } else {
            EXPECT_TRUE(droppedAcks);
        }
    }
}

// Acknowledgements written by hand to A, whose six first packets are out and
// never arrive: which packets one acknowledgement brings again, and that a
// copy of it (or a later one with the same news) brings nothing more.
TEST(UdpStreamSimTest, AcknowledgementsShowingHolesBringEachMissingPacketOnce) {
    struct Case {
        const char* name;
        int next;                 // next expected, relative to A's send base
        std::vector<int> held;    // flags set, relative to next
        int copies;               // the acknowledgement arrives this often
        std::vector<int> resent;  // packets sent again at once, relative to the send base
    };
    const Case cases[] = {
        {"nothing held", 0, {}, 1, {}},
        {"later packets held", 0, {1, 2, 3, 4, 5}, 1, {0}},
        {"the same acknowledgement three times", 0, {1, 2, 3, 4, 5}, 3, {0}},
        {"one held: every earlier one goes", 0, {4}, 2, {0, 1, 2, 3}},
        {"held after a delivered prefix", 2, {2}, 1, {2, 3}},
        {"the last one held alone", 0, {5}, 1, {0, 1, 2, 3, 4}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Pair p;
        ASSERT_TRUE(p.Connect());
        p.link.dropIf = [](const Sent&) { return true; };
        std::vector<uint8_t> data = Pattern(6 * 660, 4);
        ASSERT_EQ(p.A().UdpSend(p.client, data.data(), data.size()), long(data.size()));
        UdpRecordInfo a = p.A().Info(p.client);
        p.link.RunFor(1);  // the acknowledgement comes a moment after the sends
        uint64_t t0 = p.link.now;
        std::vector<uint8_t> pk = MakePacket(a.key, 7000, kUdpAck, p.seedA.data());
        PutWord(pk, 32, 0);
        PutWord(pk, 36, a.sendBase + static_cast<uint32_t>(c.next));
        for (int k : c.held) pk[40 + k] = 1;
        Seal(pk);
        for (int i = 0; i < c.copies; ++i) p.link.Inject(*p.a, pk, p.b->ip, p.b->port);
        std::vector<int> resent;
        for (const Sent& s : p.link.log)
            if (s.atMs >= t0 && s.fromIp == p.a->ip && IsType(s, kUdpData))
                resent.push_back(static_cast<int>(s.Word(36) - a.sendBase));
        EXPECT_EQ(resent, c.resent);
        // Within the repair interval nothing goes again, whatever arrives.
        p.link.RunFor(20);
        p.link.Inject(*p.a, pk, p.b->ip, p.b->port);
        p.link.RunFor(40);
        EXPECT_EQ(
            p.link.Count([&](const Sent& s) { return s.fromIp == p.a->ip && IsType(s, kUdpData); },
                         t0),
            c.resent.size());
        EXPECT_EQ(p.A().Info(p.client).repairs, c.resent.size());
        EXPECT_EQ(p.A().Info(p.client).maxRetries, 0);
    }
}

// Requests written by hand from a peer at 198.18.0.9.
struct Requests : Pair {
    Requests() {
        listener = B().UdpSocket();
        EXPECT_EQ(B().UdpBind(listener, 0, 6881), 0);
        EXPECT_EQ(B().UdpListen(listener, 5), 0);
    }
    std::vector<uint8_t> Request(uint32_t key, uint32_t sequence, uint32_t nonce,
                                 uint32_t virtualPort = 6881) {
        std::vector<uint8_t> pk = MakePacket(key, sequence, kUdpRequest, seedB.data());
        PutWord(pk, 32, 8000);
        std::memset(pk.data() + 36, 0xC3, 8);
        std::memcpy(pk.data() + 44, "UDP0", 4);
        PutWord(pk, 48, virtualPort);
        PutWord(pk, 60, nonce);
        Seal(pk);
        return pk;
    }
    void ToB(const std::vector<uint8_t>& pk) { link.Inject(*b, pk, peerIp, 7000); }
    size_t FromB(uint32_t type, uint64_t since) {
        return link.Count([&](const Sent& s) { return s.fromIp == b->ip && IsType(s, type); },
                          since);
    }
    uint32_t peerIp = inet_addr("198.18.0.9");
};

TEST(UdpStreamSimTest, RequestsWithEqualNonceMakeOneRecordAndRepeatedAnswers) {
    Requests r;
    uint64_t t0 = r.link.now;
    r.ToB(r.Request(77, 1, 4242));
    EXPECT_EQ(r.B().IncomingRecords(), 1u);
    EXPECT_EQ(r.FromB(kUdpRequestAnswer, t0), 2u);
    r.ToB(r.Request(77, 2, 4242));
    r.ToB(r.Request(77, 3, 0));
    EXPECT_EQ(r.B().IncomingRecords(), 1u);
    // The answer is repeated (every 2 s while the request is pending).
    r.link.RunFor(2100);
    EXPECT_GE(r.FromB(kUdpRequestAnswer, t0), 4u);
    EXPECT_EQ(r.B().IncomingRecords(), 1u);
    // An older nonce is dropped; a newer one replaces the record.
    r.ToB(r.Request(77, 4, 4000));
    EXPECT_EQ(r.B().IncomingRecords(), 1u);
    r.ToB(r.Request(77, 5, 5000));
    r.link.RunFor(2100);  // the closed one is purged
    EXPECT_EQ(r.B().IncomingRecords(), 1u);
    // No listener on that virtual port: refused with the request's bytes.
    uint64_t t1 = r.link.now;
    r.ToB(r.Request(78, 1, 1, 9999));
    EXPECT_EQ(r.FromB(kUdpRefusal, t1), 1u);
    // Zero virtual port: dropped.
    r.ToB(r.Request(79, 1, 1, 0));
    EXPECT_EQ(r.FromB(kUdpRefusal, t1), 1u);
    // Beyond the incoming limit (32 here) requests are refused.
    for (uint32_t k = 0; k < 40; ++k) r.ToB(r.Request(1000 + k, 1, 1));
    EXPECT_EQ(r.B().IncomingRecords(), 32u);
    EXPECT_EQ(r.FromB(kUdpRefusal, t1), 1u + 40 - 31);
    // Unanswered requests go after the timeout.
    r.link.RunFor(34000);
    EXPECT_EQ(r.B().IncomingRecords(), 0u);
}

TEST(UdpStreamSimTest, ConfirmedButNeverAcceptedRecordsLeaveAfterTheTimeout) {
    Requests r;
    uint64_t t0 = r.link.now;
    r.ToB(r.Request(77, 1, 4242));
    uint32_t answerKey = 0, answerSequence = 0;
    for (const Sent& s : r.link.log)
        if (s.atMs >= t0 && s.fromIp == r.b->ip && IsType(s, kUdpRequestAnswer)) {
            answerKey = s.Word(8);
            answerSequence = s.Word(12);
        }
    ASSERT_NE(answerKey, 0u);
    auto confirm = [&](uint32_t nonce) {
        std::vector<uint8_t> pk =
            MakePacket(answerKey, answerSequence, kUdpAnswerConfirm, r.seedB.data());
        PutWord(pk, 32, nonce);
        Seal(pk);
        r.ToB(pk);
    };
    confirm(4243);  // another nonce: ignored
    std::vector<UdpHandle> readable{r.listener};
    EXPECT_EQ(r.B().UdpSelect(&readable, nullptr, nullptr, 0), 0);
    confirm(4242);
    readable = {r.listener};
    EXPECT_EQ(r.B().UdpSelect(&readable, nullptr, nullptr, 0), 1);
    EXPECT_EQ(r.B().IncomingRecords(), 1u);
    // Nobody accepts it; it must not hold a place for good.
    r.link.RunFor(34000);
    EXPECT_EQ(r.B().IncomingRecords(), 0u);
}

TEST(UdpStreamSimTest, RepeatedRequestAfterEstablishingIsAnsweredAtOnce) {
    Pair p;
    // The confirmation never arrives at first, so A's requests repeat while
    // B waits; then B's record is established by a late confirmation.
    ASSERT_TRUE(p.Connect());
    UdpRecordInfo server = p.B().Info(p.server);
    uint64_t t0 = p.link.now;
    std::vector<uint8_t> pk = MakePacket(server.remoteKey, 100, kUdpRequest, p.seedB.data());
    PutWord(pk, 32, 8000);
    std::memcpy(pk.data() + 36, p.seedA.data(), 8);
    std::memcpy(pk.data() + 44, "UDP0", 4);
    PutWord(pk, 48, p.b->port);
    PutWord(pk, 60, server.nonce);
    Seal(pk);
    p.link.Inject(*p.b, pk, p.a->ip, p.a->port);
    EXPECT_EQ(
        p.link.Count(
            [&](const Sent& s) { return s.fromIp == p.b->ip && IsType(s, kUdpRequestAnswer); }, t0),
        2u);
    EXPECT_EQ(p.B().LiveRecords(), 2u);  // listener and the one connection
}

TEST(UdpStreamSimTest, CloseNeedsTheRightNonce) {
    Pair p;
    ASSERT_TRUE(p.Connect());
    UdpRecordInfo server = p.B().Info(p.server);
    UdpRecordInfo client = p.A().Info(p.client);
    auto close = [&](uint32_t nonce, uint32_t key) {
        std::vector<uint8_t> pk = MakePacket(server.key, 0, kUdpClose, p.seedB.data());
        PutWord(pk, 32, server.virtualPort);
        PutWord(pk, 36, key);
        PutWord(pk, 40, nonce);
        Seal(pk);
        p.link.Inject(*p.b, pk, p.a->ip, p.a->port);
    };
    close(server.nonce + 1, client.key);
    EXPECT_EQ(p.B().Info(p.server).state, kUdpEstablished);
    close(server.nonce, client.key + 1);
    EXPECT_EQ(p.B().Info(p.server).state, kUdpEstablished);
    close(server.nonce, client.key);
    EXPECT_EQ(p.B().Info(p.server).state, kUdpClosed);
    EXPECT_EQ(server.nonce, client.nonce);
}

TEST(UdpStreamSimTest, CloseFromThePeerLeavesArrivedDataReadable) {
    Pair p;
    ASSERT_TRUE(p.Connect());
    std::vector<uint8_t> data = Pattern(3000, 9), got;
    ASSERT_EQ(p.A().UdpSend(p.client, data.data(), data.size()), 3000);
    p.link.RunFor(1000, [&] { return p.A().Info(p.client).sendCount == 0; });
    ASSERT_EQ(p.A().UdpClose(p.client), 0);
    p.link.RunFor(100);
    EXPECT_EQ(p.B().Info(p.server).state, kUdpClosed);
    std::vector<uint8_t> buf(8192);
    long n = p.B().UdpReceive(p.server, buf.data(), buf.size());
    ASSERT_EQ(n, 3000);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), buf.begin()));
    int error = 0;
    EXPECT_EQ(p.B().UdpReceive(p.server, buf.data(), buf.size(), &error), -1);
    EXPECT_EQ(error, kUdpErrNotConnected);
    EXPECT_TRUE(p.B().ClosedByPeer(p.server));
}

TEST(UdpStreamSimTest, OperationsReportTheirErrors) {
    Pair p;
    UdpStreamEndpoint& e = p.A();
    uint8_t byte = 0;
    uint8_t seed[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    UdpHandle fresh = e.UdpSocket();
    UdpHandle connecting = e.UdpSocket();
    UdpHandle bound = e.UdpSocket();
    UdpHandle listening = e.UdpSocket();
    ASSERT_EQ(e.UdpBind(bound, 0, 7001), 0);
    ASSERT_EQ(e.UdpBind(listening, 0, 7002), 0);
    ASSERT_EQ(e.UdpListen(listening, 10), 0);
    int error = 0;
    e.UdpConnect(connecting, p.b->ip, 8000, seed, &error);
    ASSERT_EQ(error, kUdpErrWouldBlock);
    const UdpHandle none = 999999;
    const struct {
        const char* name;
        std::function<long(int*)> call;
        int expected;
    } cases[] = {
        {"second connect",
         [&](int* er) { return e.UdpConnect(connecting, p.b->ip, 8000, seed, er); },
         kUdpErrInterrupted},
        {"connect to 0", [&](int* er) { return e.UdpConnect(fresh, 0, 8000, seed, er); },
         kUdpErrUnreachable},
        {"connect unknown", [&](int* er) { return e.UdpConnect(none, p.b->ip, 8000, seed, er); },
         kUdpErrNotSocket},
        {"send while requesting", [&](int* er) { return e.UdpSend(connecting, &byte, 1, er); },
         kUdpErrWouldBlock},
        {"send unconnected", [&](int* er) { return e.UdpSend(fresh, &byte, 1, er); },
         kUdpErrNotConnected},
        {"send nothing", [&](int* er) { return e.UdpSend(fresh, &byte, 0, er); }, kUdpErrInvalid},
        {"receive unknown", [&](int* er) { return e.UdpReceive(none, &byte, 1, er); },
         kUdpErrNotSocket},
        {"receive unconnected", [&](int* er) { return e.UdpReceive(fresh, &byte, 1, er); },
         kUdpErrNotConnected},
        {"bind taken port", [&](int* er) { return long(e.UdpBind(fresh, 0, 7001, er)); },
         kUdpErrAddressInUse},
        {"bind connecting", [&](int* er) { return long(e.UdpBind(connecting, 0, 7003, er)); },
         kUdpErrInvalid},
        {"listen unbound", [&](int* er) { return long(e.UdpListen(fresh, 5, er)); },
         kUdpErrNotSocket},
        {"accept not listening",
         [&](int* er) { return long(e.UdpAccept(bound, nullptr, nullptr, nullptr, er)); },
         kUdpErrInvalid},
        {"accept unbound",
         [&](int* er) { return long(e.UdpAccept(fresh, nullptr, nullptr, nullptr, er)); },
         kUdpErrNotSocket},
        {"accept nothing waiting",
         [&](int* er) { return long(e.UdpAccept(listening, nullptr, nullptr, nullptr, er)); },
         kUdpErrWouldBlock},
        {"local name unconnected",
         [&](int* er) { return long(e.UdpLocalName(fresh, nullptr, nullptr, nullptr, er)); },
         kUdpErrNotConnected},
        {"close unknown", [&](int* er) { return long(e.UdpClose(none, er)); }, kUdpErrNotSocket},
    };
    for (auto& c : cases) {
        int er = 0;
        long r = c.call(&er);
        EXPECT_TRUE(r == -1 || r == 0) << c.name;
        EXPECT_EQ(er, c.expected) << c.name;
    }
    e.SetServiceRunning(false);
    EXPECT_EQ(e.UdpListen(bound, 5, &error), -1);
    EXPECT_EQ(error, kUdpErrNotInitialised);
    e.SetServiceRunning(true);
    e.SetSuspended(true);
    UdpHandle another = e.UdpSocket();
    e.UdpConnect(another, p.b->ip, 8000, seed, &error);
    EXPECT_EQ(error, kUdpErrUnreachable);
    e.UdpSend(another, &byte, 1, &error);
    EXPECT_EQ(error, kUdpErrInvalid);
    e.UdpAccept(listening, nullptr, nullptr, nullptr, &error);
    EXPECT_EQ(error, kUdpErrInvalid);
    e.SetSuspended(false);
    // Closing the listener returns records to the pool.
    size_t live = e.LiveRecords();
    EXPECT_EQ(e.UdpClose(listening), 0);
    EXPECT_EQ(e.LiveRecords(), live - 1);
    EXPECT_GE(e.FreeRecords(), 1u);
}

TEST(UdpStreamSimTest, ConnectThroughTheRendezvousAnswerOrAPunch) {
    struct Directory : IUdpRendezvous {
        uint32_t QueueQuery(uint32_t, const uint8_t* identity) override {
            asked.emplace_back(++seq, std::vector<uint8_t>(identity, identity + 12));
            return seq;
        }
        void DropPunches(uint32_t, uint16_t) override { ++drops; }
        uint32_t seq = 0;
        int drops = 0;
        std::vector<std::pair<uint32_t, std::vector<uint8_t>>> asked;
    } directory;
    Link link(5);
    Link::Node& a = link.AddNode(0xA1, "198.18.0.1", 8000, &directory);
    Link::Node& b = link.AddNode(0xB2, "198.18.0.2", 8001, &directory, 500);
    UdpStreamEndpoint& A = *a.endpoint;
    UdpStreamEndpoint& B = *b.endpoint;
    UdpHandle l = B.UdpSocket();
    ASSERT_EQ(B.UdpBind(l, 0, 6881), 0);
    ASSERT_EQ(B.UdpListen(l, 5), 0);
    uint8_t seedB[8], seedX[8];
    std::memset(seedB, 0xB2, 8);
    std::memset(seedX, 0x77, 8);

    // Answered by the service: requesting, then established.
    UdpHandle c = A.UdpSocket();
    A.UdpConnect(c, b.ip, 6881, seedB);
    EXPECT_EQ(A.Info(c).state, kUdpQuerying);
    ASSERT_EQ(directory.asked.size(), 1u);
    EXPECT_EQ(std::memcmp(directory.asked[0].second.data() + 8, "UDP0", 4), 0);
    A.OnQueryEntry(seedB, b.ip, htons(b.port), seedB, link.now);
    A.OnQueryDone(directory.asked[0].first, link.now);
    EXPECT_EQ(A.Info(c).state, kUdpRequesting);
    UdpHandle s = 0;
    ASSERT_TRUE(link.RunFor(5000, [&] {
        if (!s) s = B.UdpAccept(l, nullptr, nullptr, nullptr);
        return s && A.ConnectProgress(c) == 1;
    }));
    EXPECT_GE(directory.drops, 1);

    // No entry for the identity: the answer fails the connect.
    UdpHandle c2 = A.UdpSocket();
    A.UdpConnect(c2, b.ip, 6881, seedX);
    A.OnQueryDone(directory.asked.back().first, link.now);
    EXPECT_EQ(A.Info(c2).state, kUdpClosed);
    EXPECT_EQ(A.ConnectProgress(c2), -1);

    // A punch from the remote moves a querying connection on at once.
    UdpHandle c3 = A.UdpSocket();
    A.UdpConnect(c3, b.ip, 6881, seedB);
    std::vector<uint8_t> punch(48, 0);
    std::memcpy(punch.data() + 20, "\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1UDP0", 12);
    punch[32] = static_cast<uint8_t>(b.port >> 8);
    punch[33] = static_cast<uint8_t>(b.port);
    std::memcpy(punch.data() + 36, seedB, 8);
    std::memcpy(punch.data() + 44, "UDP0", 4);
    A.OnPunch(punch.data(), b.ip, htons(b.port), link.now);
    EXPECT_EQ(A.Info(c3).state, kUdpRequesting);
    ASSERT_TRUE(link.RunFor(1000, [&] { return A.ConnectProgress(c3) == 1; }));

    // Nobody answers: closed after the timeout.
    UdpHandle c4 = A.UdpSocket();
    A.UdpConnect(c4, inet_addr("198.18.0.50"), 6881, seedX);
    link.RunFor(34000);
    EXPECT_EQ(A.Info(c4).state, kUdpClosed);
    EXPECT_GE(directory.asked.size(), 10u);  // the query repeats meanwhile
}

// 1 MiB byte-exact at 0, 1, 5 and 10 % loss with 5 % duplication and
// reordering, for 20 seeds each.
TEST(UdpStreamSimTest, MebibyteArrivesExactUnderLossDuplicationAndReordering) {
    const std::vector<uint8_t> data = Pattern(1 << 20, 11);
    for (int loss : {0, 1, 5, 10}) {
        for (uint64_t seed = 1; seed <= 20; ++seed) {
            Impairment imp;
            imp.lossPct = loss;
            imp.dupPct = 5;
            imp.reorderPct = 5;
            imp.delayMs = 5 + seed % 20;
            Pair p(seed * 7919 + static_cast<uint64_t>(loss), imp);
            p.link.keepLog = false;
            ASSERT_TRUE(p.Connect(120000)) << "loss " << loss << " seed " << seed;
            std::vector<uint8_t> got;
            got.reserve(data.size());
            uint64_t t0 = p.link.now;
            bool done = Transfer(p, data, got, 4 * 3600 * 1000ull);
            ASSERT_TRUE(done) << "loss " << loss << " seed " << seed << " got " << got.size();
            ASSERT_TRUE(got == data) << "loss " << loss << " seed " << seed;
            EXPECT_EQ(p.A().Info(p.client).state, kUdpEstablished);
            EXPECT_EQ(p.B().Info(p.server).state, kUdpEstablished);
            if (seed == 1)
                std::printf("loss %d%%: %.1f s simulated for 1 MiB\n", loss,
                            static_cast<double>(p.link.now - t0) / 1000.0);
        }
    }
}

}  // namespace
