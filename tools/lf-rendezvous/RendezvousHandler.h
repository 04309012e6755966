// The rendezvous service's logic, without sockets: one datagram in (with
// the socket it arrived on, its sender and the time), the datagrams to
// send out. Engines register their identity and are told the public
// endpoint they were seen from; keepalives from a known endpoint are
// answered the same way; a query gets one answer with the endpoint of
// every identity found and each found engine gets a relay notice, so both
// sides punch towards each other.
//
// Addresses are IPv4 in network byte order; ports in host order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace lf {

struct RendezvousOutgoing {
    size_t socket = 0;  // index of the socket to send from
    uint32_t addressNet = 0;
    uint16_t port = 0;
    std::vector<uint8_t> bytes;
};

struct RendezvousLimits {
    size_t maxEntries = 100000;     // registered engines
    uint64_t expiryMs = 180000;     // after an engine's last datagram
    uint32_t senderBurst = 64;      // datagrams a sender address may send at once
    uint32_t senderPerSecond = 32;  // and per second after that
    size_t maxSenders = 200000;     // rate records (all forgotten beyond)
    uint32_t maxQueryEntries = 13;  // entries of one query looked at
};

class RendezvousHandler {
public:
    using Seed = std::array<uint8_t, 8>;
    struct Entry {
        std::array<uint8_t, 12> identity{};
        uint32_t publicAddress = 0;
        uint16_t publicPort = 0;
        uint32_t localAddress = 0;
        uint16_t localPort = 0;
        uint64_t lastSeenMs = 0;
        size_t socket = 0;
    };

    explicit RendezvousHandler(RendezvousLimits limits = {}) : m_limits(limits) {}

    // Handles one datagram; appends what to send to `out`. A line for the
    // log (empty when there is nothing to tell) goes to `note` when given.
    void Handle(const uint8_t* data, size_t size, size_t socket, uint32_t fromNet,
                uint16_t fromPort, uint64_t nowMs, std::vector<RendezvousOutgoing>& out,
                std::string* note = nullptr);
    // Forgets engines silent for longer than the expiry.
    void Expire(uint64_t nowMs);

    size_t EntryCount() const { return m_entries.size(); }
    const Entry* Find(const uint8_t seed[8]) const;

private:
    static uint64_t EndpointKey(uint32_t address, uint16_t port) {
        return (static_cast<uint64_t>(address) << 16) | port;
    }
    bool Allow(uint32_t sender, uint64_t nowMs);
    void Remove(std::map<Seed, Entry>::iterator it);
    void Register(const uint8_t* data, size_t socket, uint32_t fromNet, uint16_t fromPort,
                  uint64_t nowMs, std::vector<RendezvousOutgoing>& out, std::string* note);
    void Query(const uint8_t* data, size_t size, size_t socket, uint32_t fromNet, uint16_t fromPort,
               uint64_t nowMs, std::vector<RendezvousOutgoing>& out, std::string* note);
    const Entry* FindEndpoint(uint32_t address, uint16_t port) const;

    struct Bucket {
        double tokens = 0;
        uint64_t lastMs = 0;
    };

    RendezvousLimits m_limits;
    std::map<Seed, Entry> m_entries;
    std::map<uint64_t, Seed> m_byPublic;     // public endpoint
    std::map<uint64_t, Seed> m_byLocalPort;  // public address with the reported local port
    std::map<uint32_t, Bucket> m_senders;
    uint64_t m_lastSweepMs = 0;
};

// The 8-byte answer: the IPv4 as stored, then the port as 4 bytes big-endian.
std::vector<uint8_t> RendezvousAddressAnswer(uint32_t addressNet, uint16_t port);

}  // namespace lf
