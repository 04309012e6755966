// Piece choice of a BitTorrent source beside the server ranges: private
// runs taken from the far end of the ranges, take-overs from a range's end,
// and the scan of one file. Pure policies: everything they need to know
// about the task, the source and its remote comes through PieceChoiceView,
// so they are tested on small tables.
#pragma once

#include <cstdint>
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

}  // namespace piece_choice

}  // namespace lf
