#include "engine/net/PendingConnection.h"

#include <cstring>

#include "engine/net/HttpHead.h"

namespace lf {

namespace incoming {

namespace {

constexpr char kProtocol[] = "BitTorrent protocol";

Verdict KeepWhileYoung(size_t size, uint32_t ageMs) {
    if (ageMs < kMaxPendingMs && (ageMs < kShortPendingMs || size >= kHandshakeBytes))
        return Verdict::kKeep;
    return Verdict::kClose;
}

}  // namespace

Header ScanHeader(const uint8_t* bytes, size_t size) {
    Header h;
    if (bytes == nullptr || size == 0) {
        h.state = Header::kNeedMore;
        return h;
    }
    // The first byte picks the word; the bytes must then spell all of it.
    static constexpr const char* kWords[] = {"HTTP", "POST", "GET"};
    const char* word = nullptr;
    for (const char* w : kWords)
        if (static_cast<uint8_t>(w[0]) == bytes[0]) word = w;
    if (word == nullptr) return h;
    const size_t wordBytes = std::strlen(word);
    const size_t n = size < wordBytes ? size : wordBytes;
    if (std::memcmp(bytes, word, n) != 0) return h;
    h.state = Header::kNeedMore;
    if (size < wordBytes) return h;
    // The end: the first LF followed by CR LF or by LF (so "\r\n\r\n" and
    // "\n\n" both end it, wherever the bytes were cut).
    http::HeadScanner scanner(kReadCap);
    if (scanner.Scan(reinterpret_cast<const char*>(bytes), size) == http::HeadScanner::kComplete) {
        h.state = Header::kComplete;
        h.bytes = scanner.HeadBytes();
    }
    return h;
}

Decision Classify(const uint8_t* bytes, size_t size, bool headerAllowed, uint32_t ageMs,
                  const HashLookup& lookup) {
    Decision d;
    const uint8_t* p = bytes;
    size_t n = bytes != nullptr ? size : 0;
    if (headerAllowed && n > 0) {
        const Header h = ScanHeader(p, n);
        if (h.state == Header::kNeedMore) {
            // No more bytes are read once the cap is buffered: a header
            // without its end by then never ends.
            d.verdict = n >= kReadCap ? Verdict::kClose : KeepWhileYoung(n, ageMs);
            return d;
        }
        d.headerSettled = true;
        if (h.state == Header::kComplete) {
            d.stripBytes = h.bytes;
            d.disguised = true;
            p += h.bytes;
            n -= h.bytes;
        }
    }
    if (n >= kHashEnd && p[0] == 19) {
        if (std::memcmp(p + 1, kProtocol, 19) != 0) {
            d.verdict = Verdict::kClose;
            return d;
        }
        const Owner owner = lookup ? lookup(p + 28) : Owner::kNobody;
        if (owner == Owner::kThisTask) {
            d.verdict = Verdict::kOffer;
            return d;
        }
        if (owner == Owner::kNobody) {
            d.verdict = Verdict::kClose;
            return d;
        }
    }
    // No header can come any more here, and the bytes are only ever offered
    // from their start: without 19 there they never name a task.
    if (n >= kUnknownOpeningBytes && p[0] != 19) {
        d.verdict = Verdict::kClose;
        return d;
    }
    d.verdict = KeepWhileYoung(n, ageMs);
    return d;
}

bool IsHandshakeFor(const uint8_t* bytes, size_t size, const uint8_t* infoHash) {
    return bytes != nullptr && infoHash != nullptr && size >= kHashEnd && bytes[0] == 19 &&
           std::memcmp(bytes + 1, kProtocol, 19) == 0 && std::memcmp(bytes + 28, infoHash, 20) == 0;
}

bool TrimWhenCrowded(size_t pendingCount, uint32_t ageMs, size_t size) {
    if (pendingCount <= kCrowded) return false;
    return ageMs > kShortPendingMs || (ageMs > kCrowdedQuietMs && size < kHandshakeBytes);
}

}  // namespace incoming

}  // namespace lf
