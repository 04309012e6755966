// The BitTorrent peer wire's pieces that touch no socket: the 68-byte
// handshake and its check, the HTTP-looking disguise headers (built on the
// sending side, stripped on the receiving side), the messages the engine
// sends, the incremental message reader, and the choice of transport for an
// outgoing connection. The BitTorrent source feeds whatever bytes it has
// received; nothing here blocks or needs the task: the reader sees the task
// through a small view of its piece layout.
//
// Addresses are IPv4 in network byte order (as stored); ports in host order.
// All integers on the wire are 32-bit big-endian.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/net/HttpHead.h"

namespace lf {

namespace bt {

constexpr size_t kHandshakeBytes = 68;
constexpr char kProtocolName[] = "BitTorrent protocol";  // 19 bytes, after the byte 19
// The longest message accepted (length prefix excluded); longer closes.
constexpr uint32_t kMaxMessageLength = 524288;
// The longest block a piece message may carry.
constexpr uint32_t kMaxBlockLength = 131072;
// The longest block a remote may ask for: uploads are read into 16 KiB
// buffers, and peers close connections asking for more (BEP 3).
constexpr uint32_t kMaxRequestLength = 16384;
// Transfer units: block numbers are content offsets divided by this.
constexpr uint32_t kBlockBytes = 16384;
// A disguise header before the handshake must end within this many bytes.
constexpr size_t kMaxDisguiseHeadBytes = 4096;
// Interested, then unchoke: sent in one write right after the handshake.
constexpr std::array<uint8_t, 10> kOpeningMessages = {0, 0, 0, 1, 2, 0, 0, 0, 1, 1};
// The first byte of a reject notice's block.
constexpr uint8_t kRejectMark = 0x35;

using Hash20 = std::array<uint8_t, 20>;
using Handshake = std::array<uint8_t, kHandshakeBytes>;

// ---- handshake ----

// 19, "BitTorrent protocol", eight zero bytes, the info hash, the peer id.
Handshake BuildHandshake(const Hash20& infoHash, const Hash20& peerId);

enum class HandshakeCheck {
    kOk,
    kWrongProtocol,  // byte 0 is not 19 or the protocol text differs
    kWrongInfoHash,  // bytes 28 to 47 name another torrent
    kOwnPeerId,      // bytes 48 to 67 are our own peer id: we reached ourselves
};
// Checks 68 received bytes.
HandshakeCheck CheckHandshake(const uint8_t* bytes, const Hash20& infoHash,
                              const Hash20& ownPeerId);

// A peer id of this engine begins 0x00, 0x01, "Lf".
bool IsEnginePeerId(const uint8_t* peerId);

// ---- disguise headers ----

// Whether an outgoing connection sends the disguise request first: never
// over the UDP transport; always while the engine's disguise switch is on;
// else on every third attempt (failed-attempt count 1, 4, 7 ...).
bool UseDisguise(bool disguiseSwitch, int failedAttempts, bool overUdp);
// "GET / HTTP/1.0\r\n", the User-Agent line when the failed-attempt count is
// even, "Host: " + the address's stored value read as a little-endian
// unsigned 32-bit number + ":" + port mod 6881, and "\r\n\r\n".
// 1.2.3.4 port 6882 gives "Host: 67305985:1".
std::string BuildDisguiseRequest(uint32_t ipv4, uint16_t port, int failedAttempts);
// The answer to a disguised incoming connection: "HTTP/1.0 200 OK\r\n
// Connection: " + "Close" (odd clock seconds) or "Keep-Alive" (even),
// "Content-Encoding: none" when the cached clock's seconds are even, then the
// blank line.
std::string BuildDisguiseAnswer(int64_t clockSeconds, int64_t cachedSeconds);

// ---- messages sent ----

std::array<uint8_t, 5> BuildChoke();
std::array<uint8_t, 5> BuildUnchoke();
std::array<uint8_t, 9> BuildHave(uint32_t index);
// Id 5 with the bits as given (most significant bit first). Empty when
// there are no bits: an empty bitfield is not sent.
std::string BuildBitfield(const uint8_t* bits, size_t size);
// 17 bytes: length 13, id 6 (request) or 8 (cancel), index, begin, length.
std::array<uint8_t, 17> BuildRequest(uint32_t index, uint32_t begin, uint32_t length);
std::array<uint8_t, 17> BuildCancel(uint32_t index, uint32_t begin, uint32_t length);
// The 13 bytes before a block: length = block bytes + 9, id 7, index, begin.
std::array<uint8_t, 13> BuildPieceHeader(uint32_t index, uint32_t begin, uint32_t blockBytes);
std::string BuildPiece(uint32_t index, uint32_t begin, const uint8_t* block, size_t size);
// A request the engine cannot serve: a piece message with index 0, begin 2
// and a 5-byte block, 0x35 and the refused piece index.
std::array<uint8_t, 18> BuildRejectNotice(uint32_t refusedIndex);
// Only peers running this engine understand the notice; others (libtorrent
// among them) take a block at begin 2 as an invalid piece and disconnect, so
// they only lose their queued requests for that piece.
inline bool SendsRejectNotice(const uint8_t* remotePeerId) {
    return IsEnginePeerId(remotePeerId);
}

// ---- the task as the reader sees it ----

// While the piece count is 0 (not known) a bitfield of any length is taken
// and every message naming a piece index is out of range.
struct TorrentView {
    uint32_t pieceCount = 0;   // 0 while the pieces are not known
    uint32_t pieceLength = 0;  // a multiple of 16384
    uint64_t totalLength = 0;

    // Bytes of piece `index` (the last one may be shorter); 0 beyond the end.
    uint64_t PieceSize(uint32_t index) const;
    // Bytes of the bit array of one bit per piece.
    size_t BitfieldBytes() const { return (static_cast<size_t>(pieceCount) + 7) / 8; }
    // Content offset / 16384, in 64 bits (torrents beyond 64 TiB of blocks).
    int64_t BlockNumber(uint32_t index, uint32_t begin) const {
        return static_cast<int64_t>((static_cast<uint64_t>(index) * pieceLength + begin) /
                                    kBlockBytes);
    }
};

// Bit arrays of one bit per piece, most significant bit first.
// Whether piece `index` is set (false beyond the array).
bool PieceBit(const uint8_t* bits, size_t size, uint32_t index);
// Set bits among the first pieceCount: spare bits at the end of a remote's
// bitfield are not pieces and do not count.
uint32_t CountPieces(const uint8_t* bits, size_t size, uint32_t pieceCount);

// ---- messages received ----

enum class MessageType : uint8_t {
    kKeepAlive,
    kChoke,
    kUnchoke,
    kInterested,
    kNotInterested,
    kHave,
    kBitfield,
    kRequest,
    kPiece,
    kCancel,
};

// What is wrong with a message.
enum class WireFault : uint8_t {
    kNone,
    // Closing the connection:
    kTooLong,         // length above kMaxMessageLength
    kBitfieldLength,  // not one bit per piece, rounded up to whole bytes
    kBlockLength,     // a piece message's block outside 1 to kMaxBlockLength
    kIndexRange,      // a piece index at or beyond the piece count
    kBeginRange,      // a begin at or beyond the piece's end
    kPastPieceEnd,    // begin + length beyond the piece's end
    kRequestTooLong,  // a request for more than kMaxRequestLength
    kHeaderTooLong,   // a disguise header not ended within kMaxDisguiseHeadBytes
    // The message is skipped, the connection stays:
    kFixedLength,  // have, request or cancel, piece with a wrong length
    kZeroLength,   // a request or cancel for 0 bytes
};
// Faults that close the connection.
bool IsFatal(WireFault f);
// Faults that count against the remote (the source's error counter).
bool CountsAgainstRemote(WireFault f);

struct Message {
    MessageType type = MessageType::kKeepAlive;
    uint32_t index = 0;
    uint32_t begin = 0;
    uint32_t length = 0;            // request, cancel: the length asked; piece: block bytes
    const uint8_t* data = nullptr;  // bitfield bits, or the block; valid until the next call
    size_t dataSize = 0;
    size_t wireBytes = 0;  // 4 + length prefix
    WireFault fault = WireFault::kNone;
};

// A piece message at index 0, begin 2 with a 5-byte block starting 0x35 from
// one of our own engines: *refused is the piece it will not serve.
bool IsRejectNotice(const Message& m, uint32_t* refused);

enum class ReadState {
    kNeedMore,  // no complete message at the start
    kMessage,   // *m is a message
    kSkipped,   // *m.fault says why the message was dropped; go on
    kFatal,     // *m.fault says why; close the connection
};

// Reads the message at the start of data. Keep-alives are messages; ids 9 and
// above (and an empty bitfield) are skipped with fault kNone. m->wireBytes
// tells what to drop (kMessage, kSkipped). A skipped message is dropped whole,
// by its length, so that the stream stays in step whatever its segments.
ReadState ReadMessage(const uint8_t* data, size_t size, const TorrentView& view, Message* m);

// Where a piece message stands while its block is still arriving.
struct ArrivingBlock {
    bool arriving = false;
    uint32_t index = 0;
    uint32_t begin = 0;
    uint32_t length = 0;
};
// A piece message whose header (index and begin) is buffered but not yet its
// whole block.
ArrivingBlock PeekArrivingBlock(const uint8_t* data, size_t size);

// What came before the first message: an optional disguise header, then the
// handshake.
enum class HandshakeState {
    kNeedMore,
    kOk,  // *info filled, the 68 bytes consumed
    kWrongProtocol,
    kWrongInfoHash,
    kOwnPeerId,
    kHeaderTooLong,  // close as well
};

struct HandshakeInfo {
    Hash20 peerId{};
    bool disguised = false;  // an HTTP-looking header came first and was stripped
};

// Takes the bytes of one connection in whatever chunks they arrive: strips
// a leading header (one starting with "HTTP", "POST" or "GET"; "Hello" and
// the like are not headers), checks the handshake, then reads messages.
// The buffer holds at most what was fed and not yet read.
class WireReader {
public:
    explicit WireReader(const TorrentView& view) : m_view(view), m_head(kMaxDisguiseHeadBytes) {}

    void Feed(const uint8_t* data, size_t size);
    // Before the first message. A result other than kNeedMore and kOk ends
    // the connection.
    HandshakeState ReadHandshake(const Hash20& infoHash, const Hash20& ownPeerId,
                                 HandshakeInfo* info);
    // The next message (after kOk from ReadHandshake, or on a stream without
    // one). Its data stays valid until the next Feed or Next.
    ReadState Next(Message* m);
    ArrivingBlock Arriving() const;
    // The header was stripped (once) and the connection is disguised.
    bool Disguised() const { return m_disguised; }
    size_t Buffered() const { return m_buffer.size() - m_start; }
    const TorrentView& View() const { return m_view; }

private:
    enum class Header { kNeedMore, kNone, kStripped, kTooLong };
    Header StripHeader();
    void Drop(size_t n);

    TorrentView m_view;
    http::HeadScanner m_head;
    std::vector<uint8_t> m_buffer;
    size_t m_start = 0;
    bool m_headerDone = false;
    bool m_disguised = false;
};

// ---- choice of transport (outgoing connections) ----

struct TransportChoice {
    bool overUdp = false;
    std::array<uint8_t, 8> identity{};  // the remote's identity at the rendezvous service
};
// The UDP transport is used when the address's priority group is at most 34,
// NAT traversal is permitted and the failed-attempt count is a multiple of 3.
// The identity is bytes 8 to 15 of the address's peer-id field, or bytes 12
// to 19 for a compact tracker entry (bytes 0 to 13 zero and bytes 14 to 17
// the address). A field that yields an all-zero identity names nobody the
// rendezvous service could find: such a connection stays TCP.
TransportChoice ChooseTransport(int priorityGroup, bool natTraversal, int failedAttempts,
                                const uint8_t* peerIdField, uint32_t ipv4);

}  // namespace bt

}  // namespace lf
