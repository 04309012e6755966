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

    // Results of the rendezvous service, added by the UDP server. They have
    // empty defaults, so a sink that does not care need not implement them.
    //
    // One entry of a query answer: every connection still querying for an
    // identity whose first 8 bytes are `askedSeed` takes the endpoint
    // (address, port in network order) and the identity seed `seed` (8
    // bytes) and moves on to requesting. For an alias entry `askedSeed` is
    // the endpoint identity that was asked for and `seed` the real engine's.
    virtual void OnQueryResult(uint32_t /*sequence*/, const uint8_t* /*askedSeed*/,
                               uint32_t /*addressNet*/, uint16_t /*portNet*/,
                               const uint8_t* /*seed*/, uint64_t /*nowMs*/) {}
    // After the last entry of an answer: connections still querying with
    // this sequence failed.
    virtual void OnQueryDone(uint32_t /*sequence*/, uint64_t /*nowMs*/) {}
    // A punch came in from an engine: its endpoint (network order), the
    // port it reports for itself (`claimedPort`, host order, the port of an
    // endpoint identity a tracker may have given) and its identity seed
    // (8 bytes).
    virtual void OnPunch(uint32_t /*fromAddressNet*/, uint16_t /*fromPortNet*/,
                         uint16_t /*claimedPort*/, const uint8_t* /*seed*/, uint64_t /*nowMs*/) {}
};

}  // namespace lf
