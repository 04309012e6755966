// A simulated datagram link between stream endpoints, driven by a fake
// clock: seeded loss, duplication, reordering and delay, and the UDP
// server's 20 ms, 40 ms and 2 s passes. Deterministic for a seed; time jumps
// from event to event, so long simulated spans cost little. No sockets.
#pragma once

#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <tuple>
#include <vector>

#include "engine/net/UdpStreamEndpoint.h"

namespace lf::sim {

struct Impairment {
    int lossPct = 0;
    int dupPct = 0;
    int reorderPct = 0;
    uint64_t delayMs = 10;
    uint64_t reorderExtraMs = 25;  // the late copy's extra delay
};

// One datagram as it left a node.
struct Sent {
    uint64_t atMs;
    uint32_t fromIp;
    uint16_t fromPort;
    uint32_t toIp;
    uint16_t toPort;
    std::vector<uint8_t> bytes;
    uint32_t Type() const { return Word(16); }
    uint32_t Word(size_t offset) const {
        const uint8_t* p = bytes.data() + offset;
        return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
    }
};

class Link {
public:
    explicit Link(uint64_t seed = 1, Impairment impairment = {})
        : m_rng(seed), m_impairment(impairment) {}

    uint64_t now = 1000000;  // a clock that is far from 0

    // A node: an endpoint at an address and port (host order).
    struct Node : IUdpDatagramOut {
        Link* link = nullptr;
        uint32_t ip = 0;
        uint16_t port = 0;
        std::unique_ptr<UdpStreamEndpoint> endpoint;
        bool SendDatagram(const uint8_t* data, size_t size, uint32_t addressNet,
                          uint16_t portNet) override {
            link->Enqueue(*this, data, size, addressNet, ntohs(portNet));
            return true;
        }
    };

    // Adds a node with the seed byte `id` repeated (never 0) and returns it.
    Node& AddNode(uint8_t id, const char* dotted, uint16_t port,
                  IUdpRendezvous* rendezvous = nullptr, uint32_t firstKey = 1) {
        auto node = std::make_unique<Node>();
        node->link = this;
        node->ip = inet_addr(dotted);
        node->port = port;
        UdpStreamConfig config;
        config.seed.fill(id);
        config.localAddressNet = node->ip;
        config.firstKey = firstKey;
        config.clock = [this] { return now; };
        node->endpoint = std::make_unique<UdpStreamEndpoint>(config, node.get(), rendezvous);
        m_nodes.push_back(std::move(node));
        return *m_nodes.back();
    }

    void SetImpairment(Impairment i) { m_impairment = i; }
    // Drops what this predicate accepts (before the impairment).
    std::function<bool(const Sent&)> dropIf;
    // Every datagram sent, in order.
    std::vector<Sent> log;
    bool keepLog = true;
    // Run after every moment at which something happened.
    std::function<void()> onStep;

    // Runs until `untilMs` or until `done` answers true (checked after every
    // step). True when `done` became true.
    bool RunUntil(uint64_t untilMs, const std::function<bool()>& done = nullptr) {
        for (;;) {
            if (done && done()) return true;
            uint64_t next = NextTick();
            if (!m_queue.empty()) next = std::min(next, m_queue.begin()->first.first);
            if (next > untilMs) {
                now = untilMs;
                return done && done();
            }
            now = next;
            while (!m_queue.empty() && m_queue.begin()->first.first <= now) {
                Flight f = std::move(m_queue.begin()->second);
                m_queue.erase(m_queue.begin());
                for (auto& n : m_nodes)
                    if (n->ip == f.toIp && n->port == f.toPort)
                        n->endpoint->OnStreamDatagram(f.bytes.data(), f.bytes.size(), f.fromIp,
                                                      htons(f.fromPort), now);
            }
            if (now % 20 == 0)
                for (auto& n : m_nodes) {
                    if (now % 40 == 0)
                        n->endpoint->OnRetransmitPass(now);
                    else
                        n->endpoint->OnAckPass(now);
                    if (now % 2000 == 0) n->endpoint->OnTimerPass(now);
                }
            if (onStep) onStep();
        }
    }
    bool RunFor(uint64_t ms, const std::function<bool()>& done = nullptr) {
        return RunUntil(now + ms, done);
    }

    // Hands a datagram to a node as if it came from an address.
    void Inject(Node& to, const std::vector<uint8_t>& bytes, uint32_t fromIp, uint16_t fromPort) {
        to.endpoint->OnStreamDatagram(bytes.data(), bytes.size(), fromIp, htons(fromPort), now);
    }

    size_t Count(const std::function<bool(const Sent&)>& pred, uint64_t sinceMs = 0) const {
        size_t n = 0;
        for (const Sent& s : log)
            if (s.atMs >= sinceMs && pred(s)) ++n;
        return n;
    }

private:
    struct Flight {
        uint32_t fromIp;
        uint16_t fromPort;
        uint32_t toIp;
        uint16_t toPort;
        std::vector<uint8_t> bytes;
    };

    uint64_t NextTick() const { return (now / 20 + 1) * 20; }

    void Enqueue(Node& from, const uint8_t* data, size_t size, uint32_t toIp, uint16_t toPort) {
        Sent s{now, from.ip, from.port, toIp, toPort, std::vector<uint8_t>(data, data + size)};
        bool drop = dropIf && dropIf(s);
        if (keepLog) log.push_back(s);
        if (drop) return;
        if (Roll(m_impairment.lossPct)) return;
        int copies = Roll(m_impairment.dupPct) ? 2 : 1;
        for (int i = 0; i < copies; ++i) {
            uint64_t at = now + m_impairment.delayMs;
            if (Roll(m_impairment.reorderPct)) at += m_impairment.reorderExtraMs;
            m_queue.emplace(std::make_pair(at, m_serial++),
                            Flight{from.ip, from.port, toIp, toPort, s.bytes});
        }
    }
    bool Roll(int pct) { return pct > 0 && static_cast<int>(m_rng() % 100) < pct; }

    std::mt19937_64 m_rng;
    Impairment m_impairment;
    uint64_t m_serial = 0;
    std::map<std::pair<uint64_t, uint64_t>, Flight> m_queue;
    std::vector<std::unique_ptr<Node>> m_nodes;
};

// Builds a stream packet with a correct length and checksum.
inline std::vector<uint8_t> MakePacket(uint32_t key, uint32_t sequence, uint32_t type,
                                       const uint8_t* receiverSeed8, size_t size = 64) {
    std::vector<uint8_t> p(size, 0);
    auto put = [&](size_t o, uint32_t v) {
        p[o] = static_cast<uint8_t>(v >> 24);
        p[o + 1] = static_cast<uint8_t>(v >> 16);
        p[o + 2] = static_cast<uint8_t>(v >> 8);
        p[o + 3] = static_cast<uint8_t>(v);
    };
    put(0, static_cast<uint32_t>(size));
    put(8, key);
    put(12, sequence);
    put(16, type);
    std::memcpy(p.data() + 20, receiverSeed8, 8);
    std::memcpy(p.data() + 28, "UDP0", 4);
    return p;
}
inline void PutWord(std::vector<uint8_t>& p, size_t o, uint32_t v) {
    p[o] = static_cast<uint8_t>(v >> 24);
    p[o + 1] = static_cast<uint8_t>(v >> 16);
    p[o + 2] = static_cast<uint8_t>(v >> 8);
    p[o + 3] = static_cast<uint8_t>(v);
}
// Recomputes the checksum after the body was filled.
inline void Seal(std::vector<uint8_t>& p) {
    uint32_t key = (uint32_t{p[8]} << 24) | (uint32_t{p[9]} << 16) | (uint32_t{p[10]} << 8) | p[11];
    PutWord(p, 4, UdpPacketChecksum(key, p.data(), p.size()));
}

// Two endpoints, A (client) and B (listener on its UDP port), connected.
struct Pair {
    Link link;
    Link::Node* a;
    Link::Node* b;
    UdpHandle client = 0;    // on A
    UdpHandle listener = 0;  // on B
    UdpHandle server = 0;    // on B, accepted
    std::array<uint8_t, 8> seedA{}, seedB{};

    explicit Pair(uint64_t seed = 1, Impairment imp = {}, uint32_t firstKeyA = 1,
                  uint32_t firstKeyB = 1000)
        : link(seed, imp) {
        a = &link.AddNode(0xA1, "198.18.0.1", 8000, nullptr, firstKeyA);
        b = &link.AddNode(0xB2, "198.18.0.2", 8000, nullptr, firstKeyB);
        seedA.fill(0xA1);
        seedB.fill(0xB2);
    }
    UdpStreamEndpoint& A() { return *a->endpoint; }
    UdpStreamEndpoint& B() { return *b->endpoint; }

    // Listens on B and connects from A; true when both ends are established
    // and B accepted.
    bool Connect(uint64_t withinMs = 60000) {
        listener = B().UdpSocket();
        if (B().UdpBind(listener, 0, b->port) != 0 || B().UdpListen(listener, 5) != 0) return false;
        client = A().UdpSocket();
        A().UdpConnect(client, b->ip, b->port, seedB.data());
        return link.RunFor(withinMs, [&] {
            if (server == 0) server = B().UdpAccept(listener, nullptr, nullptr, nullptr);
            return server != 0 && A().ConnectProgress(client) == 1;
        });
    }
};

}  // namespace lf::sim
