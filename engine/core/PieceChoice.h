// Piece choice beside the server ranges. For a BitTorrent source: private
// runs taken from the far end of the ranges, take-overs from a range's end,
// and the scan of one file. For a server connection: which free range it
// works on next and how much of it. Pure policies: everything they need to
// know about the task, the source and its remote comes through their
// arguments (PieceChoiceView for the BitTorrent ones), so they are tested
// on small tables.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace lf {

struct PieceRange;
class TPeerObject;

// What the choice asks about one piece, for one source.
class PieceChoiceView {
public:
    virtual ~PieceChoiceView() = default;
    virtual bool RemoteHas(int32_t piece) = 0;
    // In the source's excluded set (pieces it must not ask this remote for).
    virtual bool Excluded(int32_t piece) = 0;
    // The task's IsPieceNeeded: missing, and not requested yet (outside end game).
    virtual bool Needed(int32_t piece) = 0;
    // The source has blocks of the piece in its request queue.
    virtual bool Queued(int32_t piece) = 0;
    // The task's MarkRequested (piece, add): true when the piece was added.
    virtual bool Grant(int32_t piece) = 0;
    // The piece map still wants the piece (not complete and selected).
    virtual bool Wanted(int32_t piece) = 0;
    virtual int32_t PieceLength() = 0;
    // Download rates (bytes/s) of the source and of a range's owner.
    virtual int64_t SourceRate() = 0;
    virtual int64_t OwnerRate(const PieceRange& range) = 0;
    // Task clock (seconds) and millisecond tick count.
    virtual int64_t Now() = 0;
    virtual uint32_t TickMs() = 0;
};

namespace piece_choice {

// Blocks of 16 KiB a run of pieces must reach to become a private range.
constexpr int32_t kPrivateRunBlocks = 24;

// The piece qualifies for the source: the remote has it, it is not
// excluded, it is needed, not queued by the source, and (with grant) the
// task grants it; tested in this order.
bool Qualifies(PieceChoiceView& v, int32_t piece, bool grant);

// A piece from the range list, or -1. `own` is the source's private range
// (created, advanced and deleted here; not in `ranges`); `rangesTaken` is
// counted up when a private range is made.
int32_t PickFromRanges(PieceChoiceView& v, std::vector<PieceRange*>& ranges, PieceRange*& own,
                       int32_t* rangesTaken, TPeerObject* owner);

// Makes a private range for the source from the first run of at least
// 24 blocks of qualifying pieces at the far end of a range (step 4 of the
// choice), grants its pieces and answers its top piece; -1 when none.
int32_t MakePrivateRange(PieceChoiceView& v, std::vector<PieceRange*>& ranges, PieceRange*& own,
                         int32_t* rangesTaken, TPeerObject* owner);

// A piece taken from the end of range e (step 5), or -1.
int32_t TakeFromEnd(PieceChoiceView& v, PieceRange& e);

// A piece of one file (first piece `first`, `count` pieces), or -1. With
// the random-start option the source's last announced piece `*lastHave`
// is tried first (and cleared when taken), and the scan starts at offset
// `startPiece` mod count (never 0).
int32_t PickInFile(PieceChoiceView& v, int32_t first, int32_t count, bool randomStart,
                   int32_t startPiece, int32_t* lastHave);

// ---- server connections ----

// Pieces a server connection is handed at a time from the free ranges: a
// file's connections work side by side near the front of what is still
// missing, so the verified prefix of the file grows at about the rate of
// the download. About a sixteenth of each connection's share of the
// pieces, at least one piece and at most 16 MiB.
int32_t ServerChunkPieces(int64_t pieceCount, int64_t pieceLength, int32_t connections);

// What a server connection takes next: range `index` of the list, from
// piece `first` to piece `last` (a front part of it when the range is
// longer). index -1: no free range.
struct ServerHandOut {
    int32_t index = -1;
    int32_t first = -1;
    int32_t last = -1;
};

// The next work of a server connection whose last fetched piece is
// `lastPiece` (-1: none yet). `open(p)`: piece p still waits for a server
// (needed, and in no server connection's queue). In order:
//  1. the free range that continues right after the last piece (the
//     connection's stream goes on without a new request);
//  2. the free range, not re-opened, whose first open piece comes first in
//     the content;
//  3. when no free range has an open piece, the first free range that is
//     not re-opened, whole (its owner finds it done at once).
// Free: not finished, not private, without owner. The hand-out starts at
// the range's cursor and ends `chunk` pieces after its first open piece
// (or at the range's end).
ServerHandOut PickServerRange(const std::vector<PieceRange*>& ranges, int32_t lastPiece,
                              int32_t chunk, const std::function<bool(int32_t)>& open);

}  // namespace piece_choice

}  // namespace lf
