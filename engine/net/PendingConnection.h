// Incoming connections waiting for a task: what their first bytes say.
//
// An accepted connection stays pending until its bytes name a task. A
// BitTorrent handshake (byte 19, "BitTorrent protocol", eight reserved
// bytes, the info hash at byte 28, the peer id at 48) may come after an
// HTTP-looking header (a disguise: the first bytes spell "HTTP", "POST" or
// "GET" and the header ends at "\r\n\r\n" or "\n\n"); the header is
// stripped and the connection marked disguised, so the answer starts with
// an HTTP status line.
//
// Connections that never name a registered task are closed: after 5 s,
// after 3 s when no more than 67 bytes arrived, at once when a complete
// handshake names an info hash no task registered or another protocol. No
// more than 1092 bytes are buffered while pending, so a header that has not
// ended within them never will and is closed at once. Once 96 bytes are in
// that neither start a handshake nor an allowed header, the connection can
// never name a task and is closed at once too: that is the size of the
// first message of an encrypted handshake (a Diffie-Hellman key), which
// aria2 and libtorrent try before a plain one and retry in plain when it is
// refused. Shorter unknown openings keep the 3 s and 5 s rules.
//
// Nothing here touches a socket: the decisions are functions of the bytes
// so far, their age and a lookup of the registered info hashes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace lf {

namespace incoming {

// A pending connection is read while fewer bytes than this arrived, up to
// kReadChunk at a time.
constexpr size_t kReadCap = 1092;
constexpr size_t kReadChunk = 1024;
// Bytes of a handshake up to and including the info hash, and all of it.
constexpr size_t kHashEnd = 48;
constexpr size_t kHandshakeBytes = 68;
// Unknown bytes this long are not waited on (an encrypted opening).
constexpr size_t kUnknownOpeningBytes = 96;
constexpr uint32_t kMaxPendingMs = 5000;
constexpr uint32_t kShortPendingMs = 3000;
// Above this many pending connections the old and the quiet ones go.
constexpr size_t kCrowded = 32;
constexpr uint32_t kCrowdedQuietMs = 1000;
// Connections accepted per pass at most.
constexpr int kAcceptsPerPass = 11;

// A leading HTTP-looking header.
struct Header {
    enum State {
        kNone,      // the bytes do not start like a header
        kNeedMore,  // they do, and its end has not arrived yet
        kComplete,  // it ends after `bytes` bytes
    };
    State state = kNone;
    size_t bytes = 0;
};
Header ScanHeader(const uint8_t* bytes, size_t size);

// Who registered an info hash (20 bytes): kThisTask, kOtherTask or
// kNobody.
enum class Owner { kNobody, kThisTask, kOtherTask };
using HashLookup = std::function<Owner(const uint8_t* infoHash)>;

enum class Verdict {
    kKeep,   // wait for more bytes (or for the task that registered the hash)
    kOffer,  // a handshake for the task whose pass this is
    kClose,
};

struct Decision {
    Verdict verdict = Verdict::kKeep;
    // Bytes of a header to strip before the handshake (kComplete only).
    size_t stripBytes = 0;
    bool disguised = false;
    // No header can come any more (one was stripped now, or other bytes
    // came first): later calls pass headerAllowed false.
    bool headerSettled = false;
};

// Decides over a pending connection.
// `bytes`, `size`: what is buffered (after a header stripped earlier; the
// reads stop once kReadCap bytes are buffered); `headerAllowed`: no header
// was stripped yet; `ageMs`: since it was accepted.
Decision Classify(const uint8_t* bytes, size_t size, bool headerAllowed, uint32_t ageMs,
                  const HashLookup& lookup);

// Whether the bytes (a header already stripped) are a handshake for the
// info hash: at least 48 bytes, 19, "BitTorrent protocol", the info hash at
// byte 28.
bool IsHandshakeFor(const uint8_t* bytes, size_t size, const uint8_t* infoHash);

// Whether a connection that is kept goes anyway because more than 32 are
// pending: older than 3 s, or older than 1 s with fewer than 68 bytes.
bool TrimWhenCrowded(size_t pendingCount, uint32_t ageMs, size_t size);

}  // namespace incoming

}  // namespace lf
