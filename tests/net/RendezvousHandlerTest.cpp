// lf-rendezvous's handler on bytes and a test clock, and the engine's
// protocol core talking to it through an in-process network.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>

#include "engine/net/UdpServerProtocol.h"
#include "tests/net/UdpServerTestSink.h"
#include "tools/lf-rendezvous/RendezvousHandler.h"

using namespace lf;

namespace {

const uint32_t kNatA = inet_addr("198.18.1.2");
const uint32_t kNatB = inet_addr("198.18.2.2");
const uint32_t kHomeA = inet_addr("198.19.1.2");
const uint32_t kHomeA2 = inet_addr("198.19.1.3");
const uint8_t kSeedA[8] = {0xA1, 0xA2, 1, 1, 1, 1, 1, 1};
const uint8_t kSeedB[8] = {0xB1, 0xB2, 2, 2, 2, 2, 2, 2};
const uint8_t kSeedC[8] = {0xC1, 0xC2, 3, 3, 3, 3, 3, 3};

std::vector<uint8_t> Registration(const uint8_t seed[8], uint32_t local, uint16_t localPort) {
    QUdpServerCore core(nullptr);
    core.SetIdentitySeed(seed);
    core.SetLocal(local, localPort);
    return core.BuildRegistration(1);
}

std::vector<uint8_t> Query(const uint8_t asker[8], uint32_t sequence,
                           const std::vector<std::array<uint8_t, 8>>& asked, uint32_t local = 0,
                           uint16_t localPort = 0) {
    std::vector<uint8_t> m(48, 0);
    WriteBe32(&m[12], kRendezvousQuery);
    const UdpIdentity id = MakeUdpIdentity(asker);
    std::memcpy(&m[16], id.data(), 12);
    WriteBe32(&m[28], sequence);
    std::memcpy(&m[32], &local, 4);
    WriteBe32(&m[36], localPort);
    WriteBe32(&m[40], 1);
    WriteBe32(&m[44], static_cast<uint32_t>(asked.size()));
    for (const auto& a : asked) {
        uint8_t e[16] = {};
        std::memcpy(e + 8, a.data(), 8);
        m.insert(m.end(), e, e + 16);
    }
    return m;
}

std::array<uint8_t, 8> S(const uint8_t* p) {
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

class RendezvousHandlerTest : public ::testing::Test {
protected:
    std::vector<RendezvousOutgoing> Send(const std::vector<uint8_t>& d, uint32_t from,
                                         uint16_t port, size_t socket = 0) {
        std::vector<RendezvousOutgoing> out;
        handler.Handle(d.data(), d.size(), socket, from, port, now, out);
        return out;
    }
    static void ExpectAddressAnswer(const RendezvousOutgoing& o, uint32_t address, uint16_t port) {
        ASSERT_EQ(o.bytes.size(), 8u);
        EXPECT_EQ(o.addressNet, address);
        EXPECT_EQ(o.port, port);
        EXPECT_EQ(std::memcmp(o.bytes.data(), &address, 4), 0);
        EXPECT_EQ(ReadBe32(&o.bytes[4]), port);
    }
    RendezvousHandler handler;
    uint64_t now = 1000;
};

TEST_F(RendezvousHandlerTest, RegistrationAndKeepalive) {
    auto out = Send(Registration(kSeedA, kHomeA, 8000), kNatA, 8000, 1);
    ASSERT_EQ(out.size(), 1u);
    ExpectAddressAnswer(out[0], kNatA, 8000);
    EXPECT_EQ(out[0].socket, 1u) << "answered from the address asked";
    const RendezvousHandler::Entry* e = handler.Find(kSeedA);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->localAddress, kHomeA);
    EXPECT_EQ(e->localPort, 8000);

    const std::vector<uint8_t> keepalive(8, 0);
    out = Send(keepalive, kNatA, 8000);
    ASSERT_EQ(out.size(), 1u);
    ExpectAddressAnswer(out[0], kNatA, 8000);
    EXPECT_TRUE(Send(keepalive, kNatA, 8001).empty()) << "unknown endpoint";
    // The engine moved to another port: only its new registration counts.
    Send(Registration(kSeedA, kHomeA, 6881), kNatA, 6881);
    EXPECT_TRUE(Send(keepalive, kNatA, 8000).empty());
    EXPECT_EQ(Send(keepalive, kNatA, 6881).size(), 1u);
    EXPECT_EQ(handler.EntryCount(), 1u);
    // Malformed: header noise, an endpoint identity registering, non-zero keepalive.
    std::vector<uint8_t> noisy = Registration(kSeedB, kHomeA, 1);
    noisy[3] = 1;
    const uint8_t endpoint[8] = {0, 0, 1, 2, 3, 4, 5, 6};
    std::vector<uint8_t> ka(8, 0);
    ka[7] = 1;
    EXPECT_TRUE(Send(noisy, kNatB, 9000).empty());
    std::vector<uint8_t> byEndpoint = Registration(endpoint, kHomeA, 1);
    byEndpoint[16] = byEndpoint[17] = 0;  // the core never makes such an identity
    EXPECT_TRUE(Send(byEndpoint, kNatB, 9000).empty());
    EXPECT_TRUE(Send(ka, kNatA, 6881).empty());
    EXPECT_EQ(handler.EntryCount(), 1u);
}

TEST_F(RendezvousHandlerTest, QueryAnswersAndNotifies) {
    Send(Registration(kSeedB, inet_addr("198.19.2.2"), 8000), kNatB, 8000, 1);
    Send(Registration(kSeedC, inet_addr("198.19.3.2"), 6881), inet_addr("198.18.3.2"), 6881);
    const auto endpointC = EndpointSeed(inet_addr("198.18.3.2"), 6881);
    const auto out =
        Send(Query(kSeedA, 42, {S(kSeedB), endpointC, S(kSeedA), S(kSeedC)}), kNatA, 8000, 0);
    ASSERT_EQ(out.size(), 3u);  // the answer, then one notice for B and one for C
    const std::vector<uint8_t>& a = out[0].bytes;
    EXPECT_EQ(out[0].addressNet, kNatA);
    EXPECT_EQ(out[0].port, 8000);
    ASSERT_EQ(a.size(), 48u + 4 * 16);
    EXPECT_EQ(ReadBe32(&a[12]), kRendezvousAnswer);
    EXPECT_EQ(std::memcmp(&a[16], MakeUdpIdentity(kSeedA).data(), 12), 0);
    EXPECT_EQ(ReadBe32(&a[28]), 42u);
    EXPECT_EQ(ReadBe32(&a[44]), 4u) << "B, C's marker, C, C again by identity; never the asker";
    EXPECT_EQ(std::memcmp(&a[48], &kNatB, 4), 0);
    EXPECT_EQ(ReadBe32(&a[52]), 8000u);
    EXPECT_EQ(std::memcmp(&a[56], kSeedB, 8), 0);
    EXPECT_EQ(ReadBe32(&a[64 + 4]), kAliasPort);
    EXPECT_EQ(S(&a[64 + 8]), endpointC);
    EXPECT_EQ(ReadBe32(&a[80 + 4]), 6881u);
    EXPECT_EQ(std::memcmp(&a[80 + 8], kSeedC, 8), 0);
    EXPECT_EQ(std::memcmp(&a[96 + 8], kSeedC, 8), 0);
    const RendezvousOutgoing& notice = out[1];
    EXPECT_EQ(notice.addressNet, kNatB);
    EXPECT_EQ(notice.port, 8000);
    EXPECT_EQ(notice.socket, 1u) << "sent from the address B registered with";
    ASSERT_EQ(notice.bytes.size(), 32u);
    EXPECT_EQ(ReadBe32(&notice.bytes[0]), kRelayNoticeWord);
    EXPECT_EQ(std::memcmp(&notice.bytes[4], MakeUdpIdentity(kSeedA).data(), 12), 0);
    EXPECT_EQ(std::memcmp(&notice.bytes[20], &kNatA, 4), 0);
    EXPECT_EQ(ReadBe32(&notice.bytes[24]), 8000u);
}

TEST_F(RendezvousHandlerTest, NothingFoundIsAPaddedAnswer) {
    Send(Registration(kSeedA, kHomeA, 8000), kNatA, 8000);
    for (const auto& asked : {S(kSeedA), S(kSeedB), EndpointSeed(kNatA, 8000)}) {
        const auto out = Send(Query(kSeedA, 7, {asked}), kNatA, 8000);
        ASSERT_EQ(out.size(), 1u);
        ASSERT_EQ(out[0].bytes.size(), 64u);
        EXPECT_EQ(ReadBe32(&out[0].bytes[44]), 0u);
    }
    // A count beyond the datagram reads only the entries present.
    std::vector<uint8_t> q = Query(kSeedB, 8, {S(kSeedA)});
    WriteBe32(&q[44], 0xFFFFFFFFu);
    const auto out = Send(q, kNatB, 8000);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(ReadBe32(&out[0].bytes[44]), 1u);
}

TEST_F(RendezvousHandlerTest, SamePublicAddressGetsLocalEndpoints) {
    Send(Registration(kSeedB, kHomeA2, 6881), kNatA, 6881);
    const auto out = Send(Query(kSeedA, 3, {S(kSeedB)}, kHomeA, 8000), kNatA, 8000);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(std::memcmp(&out[0].bytes[48], &kHomeA2, 4), 0);
    EXPECT_EQ(ReadBe32(&out[0].bytes[52]), 6881u);
    EXPECT_EQ(std::memcmp(&out[1].bytes[20], &kHomeA, 4), 0);
    EXPECT_EQ(ReadBe32(&out[1].bytes[24]), 8000u);
}

TEST_F(RendezvousHandlerTest, EntriesExpireAfterTheirLastDatagram) {
    Send(Registration(kSeedB, kHomeA, 8000), kNatB, 8000);
    const std::vector<uint8_t> keepalive(8, 0);
    now += 170000;
    EXPECT_EQ(Send(keepalive, kNatB, 8000).size(), 1u);
    now += 179000;
    handler.Expire(now);
    EXPECT_NE(handler.Find(kSeedB), nullptr) << "refreshed by its keepalive";
    now += 2000;
    handler.Expire(now);
    EXPECT_EQ(handler.Find(kSeedB), nullptr);
    EXPECT_TRUE(Send(keepalive, kNatB, 8000).empty());
}

TEST_F(RendezvousHandlerTest, TableAndSenderRateAreCapped) {
    RendezvousLimits limits;
    limits.maxEntries = 3;
    limits.senderBurst = 5;
    limits.senderPerSecond = 1;
    handler = RendezvousHandler(limits);
    for (uint8_t i = 0; i < 5; ++i) {
        uint8_t seed[8] = {0x10, i, 1, 1, 1, 1, 1, 1};
        Send(Registration(seed, kHomeA, 1000), inet_addr("198.18.9.1") + (i << 24), 1000);
    }
    EXPECT_EQ(handler.EntryCount(), 3u);
    limits.maxEntries = 100;
    handler = RendezvousHandler(limits);
    const std::vector<uint8_t> reg = Registration(kSeedB, kHomeA, 1);
    int answered = 0;
    for (int i = 0; i < 20; ++i) answered += !Send(reg, kNatB, 2000 + i).empty();
    // All from one sender address: its burst, then nothing within the same ms.
    EXPECT_LE(answered, 5);
    now += 3000;
    EXPECT_FALSE(Send(std::vector<uint8_t>(8, 0), kNatB, 2000 + answered - 1).empty())
        << "the rate refills with time";
}

// The engine's core registering and querying through the handler, with a
// tiny network that rewrites each engine's address as its NAT would.
TEST(RendezvousRoundTripTest, TwoEnginesFindEachOther) {
    const uint32_t service = inet_addr("198.18.0.1");
    struct Packet {
        uint32_t from, to;
        std::vector<uint8_t> bytes;
    };
    struct Net : IUdpDatagramOut {
        Net(uint32_t p, std::vector<Packet>* w) : publicAddress(p), wire(w) {}
        uint32_t publicAddress;
        std::vector<Packet>* wire;
        bool SendDatagram(const uint8_t* d, size_t n, uint32_t to, uint16_t) override {
            wire->push_back({publicAddress, to, std::vector<uint8_t>(d, d + n)});
            return true;
        }
    };
    std::vector<Packet> wire;
    Net netA(kNatA, &wire), netB(kNatB, &wire);
    QUdpServerCore a(&netA), b(&netB);
    lftest::RecordingSink sinkA, sinkB;
    a.SetIdentitySeed(kSeedA);
    b.SetIdentitySeed(kSeedB);
    a.SetLocal(kHomeA, 8000);
    b.SetLocal(inet_addr("198.19.2.2"), 8000);
    a.SetSink(&sinkA);
    b.SetSink(&sinkB);
    a.SetRendezvous(service, 82);
    b.SetRendezvous(service, 82);
    RendezvousHandler handler;
    uint64_t now = 0;
    auto deliver = [&]() {
        while (!wire.empty()) {
            const Packet d = wire.front();
            wire.erase(wire.begin());
            if (d.to == service) {
                std::vector<RendezvousOutgoing> out;
                handler.Handle(d.bytes.data(), d.bytes.size(), 0, d.from, 8000, now, out);
                for (const RendezvousOutgoing& o : out)
                    (o.addressNet == kNatA ? a : b)
                        .Dispatch(o.bytes.data(), o.bytes.size(), service, 82, now);
            } else {
                (d.to == kNatA ? a : b).Dispatch(d.bytes.data(), d.bytes.size(), d.from, 8000, now);
            }
        }
    };
    a.RunTimers(now);
    b.RunTimers(now);
    deliver();
    EXPECT_EQ(a.PublicAddress(), kNatA);
    EXPECT_EQ(b.PublicAddress(), kNatB);
    EXPECT_TRUE(a.IsBehindNat());
    // A asks for B by identity and by the endpoint a tracker would report.
    uint8_t id[12];
    std::memcpy(id, MakeUdpIdentity(kSeedB).data(), 12);
    const uint32_t seq = a.QueueQuery(kNatB, id);
    const auto endpoint = EndpointSeed(kNatB, 8000);
    std::memcpy(id, endpoint.data(), 8);
    a.QueueQuery(kNatB, id);
    sinkA.records = {lftest::TestRecord{S(kSeedB), seq}, lftest::TestRecord{endpoint, seq}};
    now += 10;
    a.RunTimers(now);
    deliver();
    for (const lftest::TestRecord& r : sinkA.records) {
        EXPECT_EQ(r.state, 2);
        EXPECT_EQ(r.addressNet, kNatB);
        EXPECT_EQ(ntohs(r.portNet), 8000);
        EXPECT_EQ(r.seed, S(kSeedB));
    }
    // B was told once and punches towards A: once at once, twice more.
    EXPECT_EQ(b.PunchList().size(), 1u);
    for (int i = 0; i < 5; ++i) {
        now += 2000;
        b.RunTimers(now);
        deliver();
    }
    EXPECT_EQ(b.PunchesSent(), 3u);
    EXPECT_EQ(sinkA.punches, 3);
    EXPECT_EQ(sinkA.lastPunchSeed, S(kSeedB));
    EXPECT_EQ(sinkA.lastPunchClaimedPort, 8000);
}

}  // namespace
