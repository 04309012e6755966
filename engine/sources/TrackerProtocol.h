// The tracker client's pieces that touch no socket: the HTTP announce
// request and its reply, the UDP tracker datagrams (BEP 15) and the UDP
// exchange's timing. The tracker source feeds whatever bytes or datagrams it
// has received and the cached clock; nothing here blocks.
//
// Addresses are IPv4 in network byte order (as sent); ports in host order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/net/HttpHead.h"

namespace lf {

namespace tracker {

// A reply buffered beyond this size (or decoding to more) ends the source.
constexpr size_t kMaxReplyBytes = 1048576;
// The interval used when a reply gives none, or one of 60 seconds or less.
constexpr int32_t kDefaultInterval = 600;
// The UDP tracker protocol id of the connect request.
constexpr uint64_t kUdpProtocolId = 0x41727101980ull;
// Largest datagram read from a UDP tracker.
constexpr size_t kMaxDatagramBytes = 2048;

using PeerIdField = std::array<uint8_t, 20>;

// One peer address of a reply with the peer-id field the BitTorrent connect
// expects (see the field forms below).
struct PeerEntry {
    uint32_t ipv4 = 0;
    uint16_t port = 0;
    PeerIdField peerId{};
};

// An entry is offered to the task only with a port of 1 to 65535 and an
// address other than 0.0.0.0 and 255.255.255.255.
bool UsableEntry(uint32_t ipv4, int64_t port);
// A 6-byte entry (address as sent, port big-endian) of a compact HTTP reply
// or a UDP reply: bytes 0 to 13 zero, 14 to 19 the entry as received.
PeerIdField CompactPeerIdField(const uint8_t* entry);
// A list entry without "peer id": bytes 0 to 11 zero, 12 to 15 the address as
// stored, 16 to 19 the port as a 32-bit little-endian number.
PeerIdField AddressPeerIdField(uint32_t ipv4, uint16_t port);

// A peer id: 0x00, 0x01, "Lf", then bytes 0 to 15 of the MD5 digest of the
// announce address, "-2", the task number, the clock value and the local
// IPv4 address (as an unsigned decimal of its stored value), all as decimal
// texts. With a process identifier its first 12 bytes replace bytes 8 to 19
// (the task's BitTorrent peer id); without one it is the peer id of an HTTP
// announce.
PeerIdField MakePeerId(std::string_view announce, int64_t taskNumber, int64_t clock,
                       uint32_t localIPv4, const uint8_t* processId);

// Bytes as lower-case hexadecimal digits (for log lines).
std::string HexText(const uint8_t* bytes, size_t size);

// The values an announce carries.
struct AnnounceValues {
    std::string path = "/";  // the tracker address's path (with its own query, if any)
    std::array<uint8_t, 20> infoHash{};
    std::array<uint8_t, 20> peerId{};
    uint16_t listenPort = 0;
    uint32_t listenAddress = 0;  // 0 when the listener takes every interface
    int64_t uploaded = 0;
    int64_t downloaded = 0;
    int64_t left = 0;
};

// Keeps ASCII letters and digits; every other byte becomes '%' and two
// lower-case hexadecimal digits.
std::string Escape(std::string_view bytes);
// path + "?info_hash=..&peer_id=..&port=..&uploaded=..&downloaded=..&left=..
// &event=started&key=3800&compact=1&numwant=200". A path that already holds a
// query gets "&" instead of "?".
std::string BuildAnnounceTarget(const AnnounceValues& v);
// The request, byte for byte; Host carries ":port" only when the port is not 80.
std::string BuildHttpRequest(std::string_view target, std::string_view host, uint16_t port);

// What a processed reply said.
struct Reply {
    bool dictionary = false;  // the body was a bencoded dictionary
    int32_t interval = kDefaultInterval;
    int32_t donePeers = 0;
    int32_t numCompleted = 0;
    bool failed = false;  // "failure reason" present
    std::string failureReason;
    std::vector<PeerEntry> peers;  // usable entries only
};

enum class ReplyState {
    kIncomplete,  // wait for more bytes
    kComplete,    // *reply filled, *consumed bytes to drop
    kTooLarge,    // above kMaxReplyBytes: give up
};

// Examines an HTTP reply received so far; `closed` tells that no more bytes
// will come. The head ends at its blank line (found by `head`, which goes
// on where it stopped when the same reply is read again; a head above
// 64 KiB is too large). With "Content-Length:" at p the length is the
// decimal 16 bytes after p and the reply is complete when the body holds
// that many bytes. Without a usable length it is complete at close, or once
// the body is one whole bencoded value (a body split over several segments
// is waited for). A gzip body (the gzip magic bytes) is decoded.
ReplyState ReadHttpReply(const char* data, size_t size, bool closed, Reply* reply, size_t* consumed,
                         http::HeadScanner* head = nullptr);
// Reads a (decoded) reply body: interval, "done peers", "num completed",
// compact or list "peers", "failure reason".
void ReadReplyBody(std::string_view body, Reply* reply);
// Decodes a gzip (or zlib) stream. `complete` (when given) tells whether the
// stream's end was seen. False on a corrupt stream, or on more than `limit`
// bytes (then *out holds limit + 1 bytes).
bool Gunzip(std::string_view in, std::string* out, size_t limit, bool* complete = nullptr);

// UDP datagrams. Transaction ids are written in the machine's little-endian
// order, everything else big-endian.
std::array<uint8_t, 16> BuildConnectRequest(uint32_t transaction);
std::array<uint8_t, 104> BuildAnnounceRequest(const std::array<uint8_t, 8>& connectionId,
                                              uint32_t transaction, const AnnounceValues& v);

struct Datagram {
    uint32_t action = 0;
    uint32_t transaction = 0;  // read as written (little-endian)
    bool hasConnectionId = false;
    std::array<uint8_t, 8> connectionId{};
    std::vector<PeerEntry> peers;  // action 1: usable entries after byte 20
};
// False for a datagram shorter than 8 bytes.
bool ReadDatagram(const uint8_t* data, size_t size, Datagram* out);

// The UDP exchange of one tracker source: the connect request, sent again
// with the announce rhythm while no connect reply came (at most
// kConnectTries times), then the announce, repeated with the same rhythm
// until a matching reply arrives. Driven by the cached clock (seconds).
class UdpExchange {
public:
    static constexpr int kConnectTries = 4;
    // A tracker accepts a connection id for a minute (BEP 15); an announce
    // due later asks for a new one first.
    static constexpr uint32_t kConnectionIdSeconds = 60;
    // A request is repeated once it is more than repeatSeconds old.
    explicit UdpExchange(int repeatSeconds = 10) : m_repeatSeconds(repeatSeconds) {}

    // What to send now, if anything: the connect request (first call, and
    // repeats), or the announce once connected. Empty when nothing is due.
    // `values` is read only when an announce is built.
    std::string Poll(uint32_t now, const AnnounceValues& values);
    enum class Outcome { kIgnored, kConnected, kAnswered };
    // A datagram from the tracker. kAnswered fills *peers.
    Outcome OnDatagram(const uint8_t* data, size_t size, std::vector<PeerEntry>* peers);

    bool Started() const { return m_connectTries > 0; }
    bool Connected() const { return m_connected; }
    bool Answered() const { return m_answered; }
    // Four connect requests went unanswered and the last one is stale.
    bool GaveUp() const { return m_gaveUp; }
    int ConnectTries() const { return m_connectTries; }
    int AnnounceTries() const { return m_announceTries; }

private:
    int m_repeatSeconds;
    int m_connectTries = 0;
    int m_announceTries = 0;
    bool m_connected = false;
    bool m_answered = false;
    bool m_gaveUp = false;
    uint32_t m_lastSend = 0;
    uint32_t m_connectedAt = 0;
    uint32_t m_connectTransaction = 0;
    uint32_t m_announceTransaction = 0;
    std::array<uint8_t, 8> m_connectionId{};
};

}  // namespace tracker

}  // namespace lf
