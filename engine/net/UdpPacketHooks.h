// The seam between the UDP server's thread, which only moves datagrams, and
// the reliable streams that run over its socket. The server hands every
// stream packet it receives to the registered sink and sends what the
// streams produce through the server's socket.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lf {

// Where the streams send their datagrams (the UDP server's socket).
class IUdpDatagramOut {
public:
    virtual ~IUdpDatagramOut() = default;
    // Sends one datagram to an IPv4 address and port (both network order).
    // False when the socket refused it.
    virtual bool SendDatagram(const uint8_t* data, size_t size, uint32_t addressNet,
                              uint16_t portNet) = 0;
};

// What the UDP server gives the streams: their packets, and the clock of
// its passes (milliseconds of the server's clock, so that tests drive both
// with one clock).
class IUdpStreamSink {
public:
    virtual ~IUdpStreamSink() = default;
    // One datagram the dispatcher recognised as a stream packet.
    virtual void OnStreamDatagram(const uint8_t* data, size_t size, uint32_t fromAddressNet,
                                  uint16_t fromPortNet, uint64_t nowMs) = 0;
    // The acknowledgement pass (every 20 ms).
    virtual void OnAckPass(uint64_t nowMs) = 0;
    // The retransmission pass (every 40 ms).
    virtual void OnRetransmitPass(uint64_t nowMs) = 0;
    // The connection timer pass (every 2 s).
    virtual void OnTimerPass(uint64_t nowMs) = 0;

    // One entry of a rendezvous query answer, after the alias markers are
    // resolved: connections that asked for `askedSeed` (8 bytes) are
    // reachable at the address and port (network order) under the identity
    // seed `seed` (8 bytes).
    virtual void OnQueryEntry(const uint8_t* /*askedSeed*/, uint32_t /*addressNet*/,
                              uint16_t /*portNet*/, const uint8_t* /*seed*/, uint64_t /*nowMs*/) {}
    // After the entries of the answer to query `sequence`: connections still
    // waiting for that query fail.
    virtual void OnQueryDone(uint32_t /*sequence*/, uint64_t /*nowMs*/) {}
    // A 48-byte punch from an address (network order).
    virtual void OnPunch(const uint8_t* /*punch*/, uint32_t /*fromAddressNet*/,
                         uint16_t /*fromPortNet*/, uint64_t /*nowMs*/) {}
    // The service was suspended (the engine is reachable from outside) or
    // resumed; the server thread started or stopped.
    virtual void SetSuspended(bool /*suspended*/) {}
    virtual void SetServiceRunning(bool /*running*/) {}
};

// What the streams ask of the UDP server's rendezvous client.
class IUdpRendezvous {
public:
    virtual ~IUdpRendezvous() = default;
    // Queues a query for where the 12-byte `identity` can be reached (the
    // address hint in network order); the answer comes back through
    // IUdpStreamSink::OnQueryEntry and OnQueryDone. Returns the query's
    // sequence number.
    virtual uint32_t QueueQuery(uint32_t remoteAddressNet, const uint8_t* identity) = 0;
    // Forgets the hole punches towards an address (a connection request
    // from it arrived).
    virtual void DropPunches(uint32_t addressNet, uint16_t portNet) = 0;
};

}  // namespace lf
