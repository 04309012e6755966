// Test stand-ins around the UDP server: a datagram output that records what
// is sent, and a stream sink that keeps outgoing connection records the
// way the streams do (querying -> requesting, or failed), so that tests
// see the rendezvous results act on them.
#pragma once

#include <arpa/inet.h>

#include <array>
#include <cstring>
#include <mutex>
#include <vector>

#include "engine/net/UdpPacketHooks.h"

namespace lftest {

struct SentDatagram {
    uint32_t addressNet;
    uint16_t port;  // host order
    std::vector<uint8_t> bytes;
};

class RecordingOut : public lf::IUdpDatagramOut {
public:
    bool SendDatagram(const uint8_t* data, size_t size, uint32_t addressNet,
                      uint16_t portNet) override {
        if (refuse) return false;
        sent.push_back({addressNet, ntohs(portNet), std::vector<uint8_t>(data, data + size)});
        return true;
    }
    size_t CountTo(uint32_t addressNet, uint16_t port, size_t size) const {
        size_t n = 0;
        for (const SentDatagram& d : sent)
            if (d.addressNet == addressNet && d.port == port && d.bytes.size() == size) ++n;
        return n;
    }
    bool refuse = false;
    std::vector<SentDatagram> sent;
};

// One outgoing connection record as far as the rendezvous concerns it.
struct TestRecord {
    std::array<uint8_t, 8> seed{};  // identity asked for
    uint32_t sequence = 0;          // query sequence while querying
    int state = 1;                  // 1 querying, 2 requesting, 6 failed
    uint32_t addressNet = 0;
    uint16_t portNet = 0;
};

class RecordingSink : public lf::IUdpStreamSink {
public:
    void OnStreamDatagram(const uint8_t*, size_t, uint32_t fromAddressNet, uint16_t fromPortNet,
                          uint64_t) override {
        std::lock_guard<std::mutex> g(lock);
        ++streamPackets;
        lastStreamFrom = fromAddressNet;
        lastStreamPortNet = fromPortNet;
    }
    void OnAckPass(uint64_t) override { ++ackPasses; }
    void OnRetransmitPass(uint64_t) override { ++retransmitPasses; }
    void OnTimerPass(uint64_t) override { ++timerPasses; }
    void OnQueryEntry(const uint8_t* askedSeed, uint32_t addressNet, uint16_t portNet,
                      const uint8_t* seed, uint64_t) override {
        std::lock_guard<std::mutex> g(lock);
        ++results;
        for (TestRecord& r : records) {
            if (r.state != 1 || std::memcmp(r.seed.data(), askedSeed, 8) != 0) continue;
            r.state = 2;
            r.addressNet = addressNet;
            r.portNet = portNet;
            std::memcpy(r.seed.data(), seed, 8);
            r.sequence = 0;
        }
    }
    void OnQueryDone(uint32_t sequence, uint64_t) override {
        std::lock_guard<std::mutex> g(lock);
        for (TestRecord& r : records)
            if (r.state == 1 && r.sequence == sequence) r.state = 6;
    }
    void OnPunch(const uint8_t* punch, uint32_t fromAddressNet, uint16_t fromPortNet,
                 uint64_t) override {
        std::lock_guard<std::mutex> g(lock);
        ++punches;
        lastPunchFrom = fromAddressNet;
        lastPunchPortNet = fromPortNet;
        // The punch reports its sender's port at 32 (big-endian) and its
        // identity seed at 36.
        lastPunchClaimedPort = static_cast<uint16_t>((punch[32] << 8) | punch[33]);
        std::memcpy(lastPunchSeed.data(), punch + 36, 8);
    }

    std::mutex lock;
    std::vector<TestRecord> records;
    int streamPackets = 0, ackPasses = 0, retransmitPasses = 0, timerPasses = 0, results = 0;
    int punches = 0;
    uint32_t lastStreamFrom = 0;
    uint16_t lastStreamPortNet = 0;
    uint32_t lastPunchFrom = 0;
    uint16_t lastPunchPortNet = 0, lastPunchClaimedPort = 0;
    std::array<uint8_t, 8> lastPunchSeed{};
};

}  // namespace lftest
