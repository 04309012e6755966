// The UDP server's protocol core on bytes and a test clock: messages,
// timers of registration and keepalive, the dispatch of received
// datagrams, queries and their answers, relay notices and punches, and the
// packet pool's trim.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/log/LogApi.h"
#include "engine/net/UdpServerProtocol.h"
#include "tests/net/UdpServerTestSink.h"

using namespace lf;
using lftest::RecordingOut;
using lftest::RecordingSink;
using lftest::TestRecord;

namespace {

const uint32_t kService = inet_addr("198.18.0.1");
const uint32_t kLocal = inet_addr("198.19.1.2");
const uint32_t kPublic = inet_addr("198.18.1.2");
const uint32_t kOther = inet_addr("198.18.2.2");
const uint8_t kSeed[8] = {0x11, 0x22, 3, 4, 5, 6, 7, 8};
const uint8_t kRemoteSeed[8] = {0x21, 0x32, 9, 9, 9, 9, 9, 9};

std::vector<uint8_t> AddressAnswer(uint32_t address, uint32_t port) {
    std::vector<uint8_t> a(8);
    std::memcpy(a.data(), &address, 4);
    WriteBe32(a.data() + 4, port);
    return a;
}

struct AnswerEntry {
    uint32_t address;
    uint32_t port;
    std::array<uint8_t, 8> seed;
};

std::array<uint8_t, 8> Seed(const uint8_t* p) {
    std::array<uint8_t, 8> s;
    std::memcpy(s.data(), p, 8);
    return s;
}

std::array<uint8_t, 8> EndpointSeed(uint32_t address, uint16_t port) {
    std::array<uint8_t, 8> s{};
    std::memcpy(s.data() + 2, &address, 4);
    s[6] = static_cast<uint8_t>(port >> 8);
    s[7] = static_cast<uint8_t>(port);
    return s;
}

std::vector<uint8_t> QueryAnswer(const UdpIdentity& to, uint32_t sequence,
                                 const std::vector<AnswerEntry>& entries, int64_t count = -1) {
    std::vector<uint8_t> m(48, 0);
    WriteBe32(m.data() + 12, kRendezvousAnswer);
    std::memcpy(m.data() + 16, to.data(), 12);
    WriteBe32(m.data() + 28, sequence);
    WriteBe32(m.data() + 44,
              count < 0 ? static_cast<uint32_t>(entries.size()) : static_cast<uint32_t>(count));
    for (const AnswerEntry& e : entries) {
        uint8_t b[16];
        std::memcpy(b, &e.address, 4);
        WriteBe32(b + 4, e.port);
        std::memcpy(b + 8, e.seed.data(), 8);
        m.insert(m.end(), b, b + 16);
    }
    if (m.size() < 64) m.resize(64, 0);
    return m;
}

std::vector<uint8_t> RelayNotice(const uint8_t seed[8], uint32_t address, uint32_t port) {
    std::vector<uint8_t> m(32, 0);
    WriteBe32(m.data(), kRelayNoticeWord);
    const UdpIdentity id = MakeUdpIdentity(seed);
    std::memcpy(m.data() + 4, id.data(), 12);
    std::memcpy(m.data() + 20, &address, 4);
    WriteBe32(m.data() + 24, port);
    return m;
}

class UdpServerProtocolTest : public ::testing::Test {
protected:
    UdpServerProtocolTest() : core(&out) {
        core.SetIdentitySeed(kSeed);
        core.SetRendezvous(kService, 82);
        core.SetLocal(kLocal, 8000);
        core.SetSink(&sink);
    }
    UdpDatagramKind Feed(const std::vector<uint8_t>& d, uint32_t from = kService,
                         uint16_t port = 82) {
        return core.Dispatch(d.data(), d.size(), from, port, now);
    }
    // Runs the loop's timers every 10 ms of test time up to `untilMs`,
    // answering every registration like a service that sees kPublic.
    void RunUntil(uint64_t untilMs, bool answer) {
        for (; now <= untilMs; now += 10) {
            const size_t before = out.sent.size();
            core.RunTimers(now);
            for (size_t i = before; i < out.sent.size(); ++i) {
                const auto& d = out.sent[i];
                if (d.addressNet == kService && d.bytes.size() == 64 &&
                    ReadBe32(&d.bytes[12]) == 2) {
                    registrations.push_back(now);
                    if (answer) Feed(AddressAnswer(answerAddress, 8000));
                }
                if (d.addressNet == kService && d.bytes.size() == 8) keepalives.push_back(now);
            }
        }
    }

    RecordingOut out;
    RecordingSink sink;
    QUdpServerCore core;
    uint64_t now = 1000;
    uint32_t answerAddress = kPublic;
    std::vector<uint64_t> registrations, keepalives;
};

TEST_F(UdpServerProtocolTest, IdentityAndMessages) {
    const UdpIdentity& id = core.Identity();
    EXPECT_EQ(std::memcmp(id.data(), kSeed, 8), 0);
    EXPECT_EQ(std::memcmp(id.data() + 8, "UDP0", 4), 0);
    // Zero seed bytes 0 and 1 would make an endpoint identity.
    const uint8_t zero[8] = {0, 0, 5, 5, 5, 5, 5, 5};
    const UdpIdentity z = MakeUdpIdentity(zero);
    EXPECT_EQ(z[0], 1);
    EXPECT_EQ(z[1], 2);
    EXPECT_TRUE(IsEndpointIdentity(zero));

    const std::vector<uint8_t> r = core.BuildRegistration(7);
    ASSERT_EQ(r.size(), 64u);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(r[i], 0) << i;
    EXPECT_EQ(ReadBe32(&r[12]), 2u);
    EXPECT_EQ(std::memcmp(&r[16], id.data(), 12), 0);
    EXPECT_EQ(ReadBe32(&r[28]), 7u);
    EXPECT_EQ(std::memcmp(&r[32], &kLocal, 4), 0);
    EXPECT_EQ(ReadBe32(&r[36]), 8000u);
    for (int i = 40; i < 64; ++i) EXPECT_EQ(r[i], 0) << i;

    const UdpIdentity target = MakeUdpIdentity(kRemoteSeed);
    const std::vector<uint8_t> p = core.BuildPunch(target);
    ASSERT_EQ(p.size(), 48u);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(p[i], 0) << i;
    EXPECT_EQ(std::memcmp(&p[20], target.data(), 12), 0);
    EXPECT_EQ(p[32], 8000 >> 8);
    EXPECT_EQ(p[33], 8000 & 0xff);
    EXPECT_EQ(p[34] | p[35], 0);
    EXPECT_EQ(std::memcmp(&p[36], id.data(), 12), 0);
}

TEST_F(UdpServerProtocolTest, BehindNatRegistersEvery300sAndKeepsAliveEvery52s) {
    RunUntil(1000 + 650000, true);
    EXPECT_TRUE(core.IsBehindNat());
    EXPECT_EQ(core.PublicAddress(), kPublic);
    EXPECT_EQ(core.PublicPort(), 8000);
    ASSERT_EQ(registrations, (std::vector<uint64_t>{1000, 301000, 601000}));
    // Five keepalives in each 300 s period, the period restarting at each
    // registration.
    const std::vector<uint64_t> expected = {53000,  105000, 157000, 209000, 261000,
                                            353000, 405000, 457000, 509000, 561000};
    ASSERT_GE(keepalives.size(), 10u);
    for (size_t i = 0; i < 10; ++i) EXPECT_EQ(keepalives[i], expected[i]) << i;
}

TEST_F(UdpServerProtocolTest, NotBehindNatSendsNoKeepalives) {
    answerAddress = kLocal;  // the service sees the local address
    RunUntil(1000 + 650000, true);
    EXPECT_FALSE(core.IsBehindNat());
    EXPECT_EQ(registrations, (std::vector<uint64_t>{1000, 301000, 601000}));
    EXPECT_TRUE(keepalives.empty());
}

TEST_F(UdpServerProtocolTest, UnansweredRegistrationIsRepeatedEveryKeepalivePeriod) {
    RunUntil(1000 + 120000, false);
    // Registered at the start, a keepalive at 52 s finds no answer since:
    // registration on the next pass; again after 52 s.
    EXPECT_EQ(registrations, (std::vector<uint64_t>{1000, 53010, 105020}));
}

TEST_F(UdpServerProtocolTest, ReopenedSocketRegistersAtTheNextPass) {
    RunUntil(5000, true);
    ASSERT_EQ(registrations.size(), 1u);
    core.SetLocal(kLocal, 6881);  // the listener's port
    core.OnSocketOpened();
    RunUntil(5100, true);
    ASSERT_EQ(registrations.size(), 2u);
    EXPECT_EQ(registrations[1], 5010u);
}

TEST_F(UdpServerProtocolTest, PassesOfTheStreams) {
    const uint64_t start = now;
    RunUntil(start + 4000, true);
    // Retransmission every 40 ms (each followed by an acknowledgement
    // pass), an acknowledgement pass alone at 20 ms in between; connection
    // timer every 2 s.
    EXPECT_EQ(sink.retransmitPasses, 100);
    EXPECT_EQ(sink.ackPasses, 200);
    EXPECT_EQ(sink.timerPasses, 2);
}

// What the dispatcher makes of a datagram, and what each one changed.
TEST_F(UdpServerProtocolTest, DispatchTable) {
    std::vector<uint8_t> dStream(9, 'x');
    dStream[0] = 'd';
    std::vector<uint8_t> d8 = AddressAnswer(kPublic, 9000);
    d8[0] = 'd';
    std::vector<uint8_t> stream(64, 0);
    WriteBe32(stream.data(), 64);
    std::vector<uint8_t> negative(64, 0);
    WriteBe32(negative.data(), 0x80000000u);
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        uint32_t from;
        uint16_t port;
        UdpDatagramKind kind;
    };
    const Case cases[] = {
        {"8-byte answer from another port of the service", AddressAnswer(kPublic, 8000), kService,
         5000, UdpDatagramKind::kServiceAnswer},
        {"8 bytes from elsewhere are too short", AddressAnswer(kOther, 1), kOther, 82,
         UdpDatagramKind::kIgnored},
        {"9 bytes starting with d", dStream, kService, 82, UdpDatagramKind::kDroppedBencoded},
        {"8 bytes starting with d from the service", d8, kService, 82,
         UdpDatagramKind::kServiceAnswer},
        {"31 bytes", std::vector<uint8_t>(31, 0), kService, 82, UdpDatagramKind::kIgnored},
        {"stream packet from anyone", stream, kOther, 7000, UdpDatagramKind::kStream},
        {"stream-sized datagram with a positive word under 64 bytes", std::vector<uint8_t>(40, 1),
         kOther, 7000, UdpDatagramKind::kIgnored},
        {"negative word not from the service", negative, kOther, 82, UdpDatagramKind::kIgnored},
        {"answer with an unknown sequence", QueryAnswer(core.Identity(), 99, {}), kService, 82,
         UdpDatagramKind::kIgnored},
        {"relay notice not from the service", RelayNotice(kRemoteSeed, kOther, 7000), kOther, 82,
         UdpDatagramKind::kIgnored},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(core.Dispatch(c.bytes.data(), c.bytes.size(), c.from, c.port, now), c.kind)
            << c.name;
    }
    EXPECT_EQ(sink.streamPackets, 1);
    EXPECT_TRUE(core.Registered());
    // The later answer starting with "d" set the public address it carried.
    uint32_t dAddress;
    std::memcpy(&dAddress, d8.data(), 4);
    EXPECT_EQ(core.PublicAddress(), dAddress);
    EXPECT_EQ(core.PublicPort(), 9000);
    // An answer of 0 or 255.255.255.255 keeps the address.
    Feed(AddressAnswer(0, 8000));
    Feed(AddressAnswer(0xFFFFFFFFu, 8000));
    EXPECT_EQ(core.PublicAddress(), dAddress);
}

// A router that hands the socket another public port is said in the log
// once per port (such routers may defeat hole punching); one that keeps
// the port, or an engine not behind NAT, is not.
TEST_F(UdpServerProtocolTest, ChangedPortIsSaidOncePerPort) {
    static std::string lines;
    lines.clear();
    EngineLog::Open();
    EngineLog::SetThresholds(100, 0);
    SetDebugOutputSink([](const char* line) { lines += std::string(line) + "\n"; });
    auto count = [] {
        size_t n = 0;
        for (size_t at = lines.find("appears as"); at != std::string::npos;
             at = lines.find("appears as", at + 1))
            ++n;
        return n;
    };
    const struct {
        const char* name;
        uint32_t address;
        uint32_t port;
        size_t lines;
    } steps[] = {
        {"behind NAT, the port kept", kPublic, 8000, 0},
        {"behind NAT, another port", kPublic, 41000, 1},
        {"the same port again", kPublic, 41000, 1},
        {"yet another port", kPublic, 41001, 2},
        {"not behind NAT, another port", kLocal, 41002, 2},
    };
    for (const auto& step : steps) {
        Feed(AddressAnswer(step.address, step.port));
        EXPECT_EQ(count(), step.lines) << step.name << "\n" << lines;
    }
    SetDebugOutputSink(nullptr);
    EngineLog::Close();
    EXPECT_NE(lines.find("UDP port 8000 appears as 198.18.1.2:41000: "), std::string::npos)
        << lines;
}

TEST_F(UdpServerProtocolTest, QueryBufferHoldsThirteenEntriesAndIsSentOnTheNextPass) {
    RunUntil(now, true);  // registration, sequence 1
    const size_t before = out.sent.size();
    uint32_t first = 0, fourteenth = 0;
    for (int i = 0; i < 14; ++i) {
        uint8_t id[12] = {};
        id[0] = 0x40;
        id[1] = static_cast<uint8_t>(i + 1);
        const uint32_t s = core.QueueQuery(kOther, id);
        if (i == 0) first = s;
        if (i < 13) {
            EXPECT_EQ(s, first);
        }
        if (i == 13) fourteenth = s;
    }
    // The full message left when the fourteenth entry came.
    ASSERT_EQ(out.sent.size(), before + 1);
    const std::vector<uint8_t>& q = out.sent.back().bytes;
    ASSERT_EQ(q.size(), 256u);
    EXPECT_EQ(ReadBe32(&q[12]), 3u);
    EXPECT_EQ(std::memcmp(&q[16], core.Identity().data(), 12), 0);
    EXPECT_EQ(ReadBe32(&q[28]), first);
    EXPECT_EQ(ReadBe32(&q[40]), 1u);
    EXPECT_EQ(ReadBe32(&q[44]), 13u);
    EXPECT_EQ(std::memcmp(&q[48], &kOther, 4), 0);
    EXPECT_EQ(q[56], 0x40);
    EXPECT_EQ(q[57], 1);
    EXPECT_EQ(fourteenth, first + 1);
    EXPECT_EQ(core.PendingQueries(), (std::vector<uint32_t>{first, fourteenth}));
    EXPECT_EQ(core.QueryBufferSize(), 64u);
    now += 10;
    core.RunTimers(now);
    EXPECT_EQ(out.sent.back().bytes.size(), 64u);
    EXPECT_EQ(core.QueryBufferSize(), 0u);
}

TEST_F(UdpServerProtocolTest, AnswerWalkMovesQueryingRecords) {
    Feed(AddressAnswer(kPublic, 8000));
    const std::array<uint8_t, 8> endpoint = EndpointSeed(kOther, 6881);
    const std::array<uint8_t, 8> plain = Seed(kRemoteSeed);
    const std::array<uint8_t, 8> missing = {0x55, 0x55, 1, 1, 1, 1, 1, 1};
    uint8_t id[12] = {};
    std::memcpy(id, endpoint.data(), 8);
    const uint32_t seq = core.QueueQuery(kOther, id);
    std::memcpy(id, plain.data(), 8);
    core.QueueQuery(kOther, id);
    std::memcpy(id, missing.data(), 8);
    core.QueueQuery(kOther, id);
    sink.records = {TestRecord{endpoint, seq}, TestRecord{plain, seq}, TestRecord{missing, seq}};
    const std::array<uint8_t, 8> real = {0x77, 0x66, 1, 2, 3, 4, 5, 6};
    const uint32_t elsewhere = inet_addr("198.18.3.3");
    const std::vector<uint8_t> answer =
        QueryAnswer(core.Identity(), seq,
                    {{kOther, kAliasPort, endpoint},  // marker, then the real engine
                     {kOther, 6882, real},
                     {elsewhere, 7001, plain}});
    EXPECT_EQ(Feed(answer), UdpDatagramKind::kQueryAnswer);
    EXPECT_EQ(sink.records[0].state, 2);
    EXPECT_EQ(sink.records[0].seed, real);
    EXPECT_EQ(sink.records[0].addressNet, kOther);
    EXPECT_EQ(ntohs(sink.records[0].portNet), 6882);
    EXPECT_EQ(sink.records[1].state, 2);
    EXPECT_EQ(sink.records[1].addressNet, elsewhere);
    EXPECT_EQ(sink.records[2].state, 6) << "not found: fails at once";
    EXPECT_TRUE(core.PendingQueries().empty());
    // The same answer again: its sequence is no longer pending.
    EXPECT_EQ(Feed(answer), UdpDatagramKind::kIgnored);
}

TEST_F(UdpServerProtocolTest, AnswerEdgeCases) {
    const std::array<uint8_t, 8> endpoint = EndpointSeed(kOther, 6881);
    const std::array<uint8_t, 8> other = EndpointSeed(kOther, 6999);
    const std::array<uint8_t, 8> plain = Seed(kRemoteSeed);
    uint8_t id[12] = {};
    std::memcpy(id, plain.data(), 8);
    struct Case {
        const char* name;
        std::vector<AnswerEntry> entries;
        int64_t count;
        UdpDatagramKind kind;
        int state;  // of a record querying `plain`
    };
    const Case cases[] = {
        {"a count beyond the datagram",
         {{kOther, 7000, plain}},
         0x10000001,
         UdpDatagramKind::kIgnored,
         1},
        {"a count that would wrap a size check",
         {{kOther, 7000, plain}},
         0xFFFFFFFF,
         UdpDatagramKind::kIgnored,
         1},
        {"a marker before a marker is skipped, the second one applies",
         {{kOther, kAliasPort, endpoint}, {kOther, kAliasPort, other}, {kOther, 7000, plain}},
         -1,
         UdpDatagramKind::kQueryAnswer,
         6},
        {"a marker ends the walk when nothing follows",
         {{kOther, 7000, plain}, {kOther, kAliasPort, endpoint}},
         -1,
         UdpDatagramKind::kQueryAnswer,
         2},
        {"an entry with bytes 0 and 1 set is no marker",
         {{kOther, kAliasPort, plain}},
         -1,
         UdpDatagramKind::kQueryAnswer,
         6},
        {"port field out of range is no endpoint",
         {{kOther, 70000, plain}},
         -1,
         UdpDatagramKind::kQueryAnswer,
         6},
    };
    for (const Case& c : cases) {
        const uint32_t seq = core.QueueQuery(kOther, id);
        core.RunTimers(now);
        sink.records = {TestRecord{plain, seq}};
        EXPECT_EQ(Feed(QueryAnswer(core.Identity(), seq, c.entries, c.count)), c.kind) << c.name;
        EXPECT_EQ(sink.records[0].state, c.state) << c.name;
    }
    // An answer for another identity.
    const uint32_t seq = core.QueueQuery(kOther, id);
    EXPECT_EQ(Feed(QueryAnswer(MakeUdpIdentity(kRemoteSeed), seq, {})), UdpDatagramKind::kIgnored);
}

TEST_F(UdpServerProtocolTest, RelayNoticeGivesAtMostThreePunches) {
    Feed(AddressAnswer(kPublic, 8000));  // behind NAT
    const uint64_t start = now;
    EXPECT_EQ(Feed(RelayNotice(kRemoteSeed, kOther, 7000)), UdpDatagramKind::kRelayNotice);
    EXPECT_EQ(out.CountTo(kOther, 7000, 48), 1u) << "one punch at once";
    ASSERT_EQ(core.PunchList().size(), 1u);
    // A second notice a moment later renews the repeats, no punch now.
    RunUntil(start + 2500, true);
    EXPECT_EQ(out.CountTo(kOther, 7000, 48), 2u);
    EXPECT_EQ(Feed(RelayNotice(kRemoteSeed, kOther, 7000)), UdpDatagramKind::kRelayNotice);
    EXPECT_EQ(out.CountTo(kOther, 7000, 48), 2u);
    RunUntil(start + 20000, true);
    EXPECT_EQ(out.CountTo(kOther, 7000, 48), 4u) << "two more after the renewal";
    EXPECT_TRUE(core.PunchList().empty());
    const std::vector<uint8_t>& punch =
        out.sent[0].bytes.size() == 48 ? out.sent[0].bytes : out.sent[1].bytes;
    EXPECT_EQ(std::memcmp(&punch[20], MakeUdpIdentity(kRemoteSeed).data(), 12), 0);
}

TEST_F(UdpServerProtocolTest, RelayNoticeIgnoredWhenNotBehindNat) {
    Feed(AddressAnswer(kLocal, 8000));
    EXPECT_EQ(Feed(RelayNotice(kRemoteSeed, kOther, 7000)), UdpDatagramKind::kIgnored);
    EXPECT_EQ(out.CountTo(kOther, 7000, 48), 0u);
    EXPECT_TRUE(core.PunchList().empty());
}

TEST_F(UdpServerProtocolTest, PunchListIsCappedAndBlockedSendsWait) {
    Feed(AddressAnswer(kPublic, 8000));
    for (uint32_t i = 0; i < 600; ++i) Feed(RelayNotice(kRemoteSeed, kOther, 1000 + i));
    EXPECT_EQ(core.PunchList().size(), kPunchListLimit);
    EXPECT_EQ(core.PunchesSent(), 600u) << "every notice punches at once";
    core.RunTimers(now);  // the timers start
    out.refuse = true;
    now += 2000;
    core.RunTimers(now);
    EXPECT_EQ(core.PunchList().size(), kPunchListLimit);
    EXPECT_EQ(core.PunchList()[0].repeats, 1u) << "a refused send leaves the list for later";
    core.DropPunches(kOther, 1000);
    EXPECT_EQ(core.PunchList().size(), kPunchListLimit - 1);
}

TEST_F(UdpServerProtocolTest, ReceivedPunch) {
    std::vector<uint8_t> punch(48, 0);
    std::memcpy(&punch[20], core.Identity().data(), 12);
    punch[32] = 6881 >> 8;
    punch[33] = 6881 & 0xff;
    std::memcpy(&punch[36], MakeUdpIdentity(kRemoteSeed).data(), 12);
    EXPECT_EQ(Feed(punch, kOther, 40000), UdpDatagramKind::kPunch);
    EXPECT_EQ(sink.punches, 1);
    EXPECT_EQ(sink.lastPunchFrom, kOther);
    EXPECT_EQ(ntohs(sink.lastPunchPortNet), 40000);
    EXPECT_EQ(sink.lastPunchClaimedPort, 6881);
    EXPECT_EQ(sink.lastPunchSeed, Seed(kRemoteSeed));
    // Addressed to someone else, or with noise in its zero bytes.
    std::vector<uint8_t> wrong = punch;
    wrong[20] ^= 1;
    EXPECT_EQ(Feed(wrong, kOther, 40000), UdpDatagramKind::kIgnored);
    wrong = punch;
    wrong[5] = 1;
    EXPECT_EQ(Feed(wrong, kOther, 40000), UdpDatagramKind::kIgnored);
    EXPECT_EQ(sink.punches, 1);
}

TEST_F(UdpServerProtocolTest, UnresolvedServiceIsLookedUpEvery30Seconds) {
    QUdpServerCore fresh(&out);
    std::vector<uint64_t> lookups;
    for (uint64_t t = 0; t <= 95000; t += 100)
        if (fresh.ResolveDue(t)) lookups.push_back(t);
    EXPECT_EQ(lookups, (std::vector<uint64_t>{0, 30000, 60000, 90000}));
    // Nothing is sent while the service has no address.
    fresh.RunTimers(100000);
    uint8_t id[12] = {1, 2};
    fresh.QueueQuery(kOther, id);
    fresh.RunTimers(100010);
    EXPECT_TRUE(out.sent.empty());
}

TEST(UdpPacketPoolTest, TrimPolicy) {
    const size_t kib = 1024;
    struct Case {
        size_t inUse, free;
        bool trims;
        size_t keep;
    } cases[] = {
        {0, 2048, false, 0},     // exactly 2048 KiB: not more
        {0, 2049, true, 0},      // nothing in use: keep none
        {700, 1349, true, 140},  // 34 % in use: keep a fifth of 700
        {800, 1249, false, 0},   // 39 % in use
        {10, 10, false, 0},      // small
    };
    for (const Case& c : cases) {
        size_t keep = 99;
        EXPECT_EQ(QPacketBufferPool::TrimKeeps(c.inUse, c.free, kib, &keep), c.trims)
            << c.inUse << "/" << c.free;
        if (c.trims) {
            EXPECT_EQ(keep, c.keep) << c.inUse << "/" << c.free;
        }
    }
    QPacketBufferPool pool(kib);
    std::vector<uint8_t*> held;
    for (int i = 0; i < 2100; ++i) held.push_back(pool.Acquire());
    for (int i = 0; i < 2000; ++i) pool.Release(held[i]);
    EXPECT_EQ(pool.Trim(), 2000u - 20u);
    EXPECT_EQ(pool.FreeCount(), 20u);
    for (int i = 2000; i < 2100; ++i) pool.Release(held[i]);
}

}  // namespace
