#include "engine/core/PieceChoice.h"

#include <algorithm>

#include "engine/sources/PeerObject.h"

namespace lf {

namespace piece_choice {

namespace {

// Entries of the range list in the order of a walk: from (tick mod size),
// wrapping round; finished entries and private ones are passed over.
template <typename F>
int32_t WalkRanges(PieceChoiceView& v, std::vector<PieceRange*>& ranges, F&& visit) {
    const size_t n = ranges.size();
    if (n == 0) return -1;
    const size_t start = v.TickMs() % n;
    for (size_t k = 0; k < n; ++k) {
        PieceRange* e = ranges[(start + k) % n];
        if (e == nullptr || e->finished || e->marked) continue;
        const int32_t p = visit(*e);
        if (p >= 0) return p;
    }
    return -1;
}

}  // namespace

bool Qualifies(PieceChoiceView& v, int32_t piece, bool grant) {
    if (piece < 0) return false;
    if (!v.RemoteHas(piece) || v.Excluded(piece) || !v.Needed(piece) || v.Queued(piece))
        return false;
    return !grant || v.Grant(piece);
}

int32_t MakePrivateRange(PieceChoiceView& v, std::vector<PieceRange*>& ranges, PieceRange*& own,
                         int32_t* rangesTaken, TPeerObject* owner) {
    const int64_t pieceLength = v.PieceLength();
    if (pieceLength <= 0) return -1;
    auto blocks = [&](int32_t top, int32_t bottom) {
        return static_cast<int64_t>(top - bottom + 1) * pieceLength / 16384;
    };
    return WalkRanges(v, ranges, [&](PieceRange& e) -> int32_t {
        const int32_t floor = e.cursor + (e.owner != nullptr ? 1 : 0);
        int32_t top = -1, bottom = -1;
        for (int32_t p = e.last; p >= floor && p >= 0; --p) {
            if (Qualifies(v, p, false)) {
                if (top < 0) top = p;
                bottom = p;
                continue;
            }
            if (top < 0) continue;
            if (blocks(top, bottom) >= kPrivateRunBlocks) break;  // the run is long enough
            top = bottom = -1;                                    // too short: forgotten
        }
        if (top < 0 || blocks(top, bottom) < kPrivateRunBlocks) return -1;
        auto* r = new PieceRange();
        r->first = bottom;
        r->last = top;
        r->cursor = top;
        r->marked = 1;
        r->owner = owner;
        r->time = v.Now();
        r->SetSource(e.source);
        e.time = v.Now();
        own = r;
        if (rangesTaken != nullptr) ++*rangesTaken;
        for (int32_t p = top; p >= bottom; --p) v.Grant(p);
        return top;
    });
}

int32_t TakeFromEnd(PieceChoiceView& v, PieceRange& e) {
    int32_t floor = e.cursor;
    if (e.owner != nullptr && v.SourceRate() < 3 * v.OwnerRate(e)) ++floor;
    int32_t stoppedAt = -1;
    for (int32_t p = e.last; p >= floor && p >= 0; --p) {
        if (Qualifies(v, p, true)) return p;
        if (v.Needed(p)) {
            stoppedAt = p;
            break;
        }
        // Pieces the task no longer wants shorten the range.
        if (!v.Wanted(p)) e.last = std::max(e.cursor, p - 1);
    }
    if (stoppedAt < 0) return -1;
    // An isolated needed piece below the one that stopped the scan.
    for (int32_t q = stoppedAt - 1; q >= floor && q >= 0; --q) {
        if (v.Needed(q + 1) || v.Needed(q - 1)) continue;
        if (Qualifies(v, q, true)) return q;
    }
    return -1;
}

int32_t PickFromRanges(PieceChoiceView& v, std::vector<PieceRange*>& ranges, PieceRange*& own,
                       int32_t* rangesTaken, TPeerObject* owner) {
    if (own == nullptr) {
        const int32_t p = MakePrivateRange(v, ranges, own, rangesTaken, owner);
        if (p >= 0) return p;
    } else if (own->cursor > own->first) {
        // Its pieces were granted when the range was made.
        return --own->cursor;
    } else {
        own->finished = 1;
        delete own;
        own = nullptr;
        const int32_t p = MakePrivateRange(v, ranges, own, rangesTaken, owner);
        if (p >= 0) return p;
    }
    return WalkRanges(v, ranges, [&](PieceRange& e) { return TakeFromEnd(v, e); });
}

int32_t PickInFile(PieceChoiceView& v, int32_t first, int32_t count, bool randomStart,
                   int32_t startPiece, int32_t* lastHave) {
    if (first < 0 || count <= 0) return -1;
    if (randomStart && lastHave != nullptr) {
        const int32_t h = *lastHave;
        if (h > first && h < first + count && Qualifies(v, h, true)) {
            *lastHave = -1;
            return h;
        }
    }
    int32_t k = randomStart ? startPiece % count : 0;
    if (k < 0) k += count;
    if (randomStart && k == 0) k = 1;
    for (int32_t p = first + k; p < first + count; ++p) {
        if (Qualifies(v, p, true)) return p;
    }
    for (int32_t p = first; p < first + k && p < first + count; ++p) {
        if (Qualifies(v, p, true)) return p;
    }
    return -1;
}

int32_t ServerChunkPieces(int64_t pieceCount, int64_t pieceLength, int32_t connections) {
    if (pieceCount <= 0 || pieceLength <= 0) return 1;
    const int64_t share = pieceCount / std::max<int64_t>(1, connections);
    const int64_t cap = std::max<int64_t>(1, (int64_t{16} << 20) / pieceLength);
    return static_cast<int32_t>(std::clamp<int64_t>(share / 16, 1, cap));
}

ServerHandOut PickServerRange(const std::vector<PieceRange*>& ranges, int32_t lastPiece,
                              int32_t chunk, const std::function<bool(int32_t)>& open) {
    ServerHandOut out;
    auto isFree = [](const PieceRange* r) {
        return r != nullptr && !r->finished && !r->marked && r->owner == nullptr;
    };
    auto firstOpen = [&](const PieceRange* r) {
        for (int32_t p = std::max(r->cursor, r->first); p <= r->last; ++p)
            if (open(p)) return p;
        return -1;
    };
    auto handOut = [&](size_t i, int32_t from) {
        const PieceRange* r = ranges[i];
        out.index = static_cast<int32_t>(i);
        out.first = std::max(r->cursor, r->first);
        const int64_t end = static_cast<int64_t>(from) + std::max(chunk, 1) - 1;
        out.last = static_cast<int32_t>(std::min<int64_t>(end, r->last));
        return out;
    };
    if (lastPiece >= 0) {
        for (size_t i = 0; i < ranges.size(); ++i) {
            const PieceRange* r = ranges[i];
            if (!isFree(r) || r->cursor != lastPiece + 1) continue;
            const int32_t p = firstOpen(r);
            if (p >= 0) return handOut(i, p);
        }
    }
    int32_t best = -1;
    int32_t bestPiece = -1;
    int32_t fallback = -1;
    for (size_t i = 0; i < ranges.size(); ++i) {
        const PieceRange* r = ranges[i];
        if (!isFree(r) || r->reopen) continue;
        if (fallback < 0) fallback = static_cast<int32_t>(i);
        const int32_t p = firstOpen(r);
        if (p >= 0 && (best < 0 || p < bestPiece)) {
            best = static_cast<int32_t>(i);
            bestPiece = p;
        }
    }
    if (best >= 0) return handOut(static_cast<size_t>(best), bestPiece);
    if (fallback >= 0) {
        out.index = fallback;
        out.first = std::max(ranges[fallback]->cursor, ranges[fallback]->first);
        out.last = ranges[fallback]->last;
    }
    return out;
}

}  // namespace piece_choice

}  // namespace lf
