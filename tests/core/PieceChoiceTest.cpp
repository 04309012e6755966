// Piece choice of BitTorrent sources beside server ranges, on small tables:
// private runs from the far end of a range, take-overs from a range's end,
// and the scan of one file.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "engine/core/PieceChoice.h"
#include "engine/sources/PeerObject.h"

using namespace lf;

namespace {

constexpr int32_t kKiB = 1024;

// A task, a source and its remote as sets of pieces.
class FakeView : public PieceChoiceView {
public:
    std::set<int32_t> remote;    // pieces the remote has
    std::set<int32_t> excluded;  // the source's excluded set
    std::set<int32_t> missing;   // pieces the piece map still wants
    std::set<int32_t> queued;    // pieces in the source's queue
    std::map<int32_t, int> requested;
    int maxRequests = 1;  // grants per piece
    int32_t pieceLength = 256 * kKiB;
    int64_t sourceRate = 0, ownerRate = 0;
    uint32_t tick = 0;

    bool RemoteHas(int32_t p) override { return remote.count(p) != 0; }
    bool Excluded(int32_t p) override { return excluded.count(p) != 0; }
    bool Needed(int32_t p) override { return missing.count(p) != 0 && requested[p] == 0; }
    bool Queued(int32_t p) override { return queued.count(p) != 0; }
    bool Grant(int32_t p) override {
        if (requested[p] >= maxRequests) return false;
        ++requested[p];
        return true;
    }
    bool Wanted(int32_t p) override { return missing.count(p) != 0; }
    int32_t PieceLength() override { return pieceLength; }
    int64_t SourceRate() override { return sourceRate; }
    int64_t OwnerRate(const PieceRange&) override { return ownerRate; }
    int64_t Now() override { return 1000; }
    uint32_t TickMs() override { return tick; }

    void Range(std::set<int32_t>* s, int32_t a, int32_t b) {
        for (int32_t p = a; p <= b; ++p) s->insert(p);
    }
    std::vector<int32_t> Granted() const {
        std::vector<int32_t> out;
        for (const auto& [p, n] : requested)
            if (n > 0) out.push_back(p);
        return out;
    }
};

std::vector<int32_t> Span(int32_t a, int32_t b) {
    std::vector<int32_t> v;
    for (int32_t p = a; p <= b; ++p) v.push_back(p);
    return v;
}

// A range list of one server range [first, last] with its cursor.
struct OneRange {
    PieceRange range;
    std::vector<PieceRange*> list{&range};
    PieceRange* own = nullptr;
    int32_t taken = 0;
    OneRange(int32_t first, int32_t last, int32_t cursor, TPeerObject* owner = nullptr) {
        range.first = first;
        range.last = last;
        range.cursor = cursor;
        range.owner = owner;
    }
    ~OneRange() { delete own; }
};

TPeerObject* const kSomeOwner = reinterpret_cast<TPeerObject*>(0x1000);

TEST(PieceChoiceTest, PrivateRunsFromTheFarEnd) {
    struct Case {
        const char* name;
        int32_t pieceLength;
        std::vector<std::pair<int32_t, int32_t>> remote;  // spans the remote has
        std::vector<int32_t> excluded;
        int32_t cursor;
        bool owned;
        int32_t answer;
        int32_t first, last;  // the private range made (-1: none)
    } cases[] = {
        {"two pieces of 256 KiB (32 blocks) make a run",
         256 * kKiB,
         {{98, 99}},
         {},
         0,
         false,
         99,
         98,
         99},
        {"one piece (16 blocks) does not", 256 * kKiB, {{99, 99}}, {}, 0, false, 99, -1, -1},
        {"a short run is forgotten, the next one taken",
         256 * kKiB,
         {{99, 99}, {90, 95}},
         {},
         0,
         false,
         95,
         90,
         95},
        {"a run ends at a piece the remote lacks",
         256 * kKiB,
         {{60, 79}, {85, 99}},
         {},
         0,
         false,
         99,
         85,
         99},
        {"an excluded piece ends a run", 256 * kKiB, {{0, 99}}, {97}, 0, false, 99, 98, 99},
        {"the owner's next piece stays with it", 256 * kKiB, {{0, 99}}, {}, 98, true, 99, -1, -1},
        {"without an owner the cursor piece may be taken",
         256 * kKiB,
         {{0, 99}},
         {},
         98,
         false,
         99,
         98,
         99},
        {"pieces of 384 KiB: one is enough (24 blocks)",
         384 * kKiB,
         {{99, 99}},
         {},
         0,
         false,
         99,
         99,
         99},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeView v;
        v.pieceLength = c.pieceLength;
        for (auto [a, b] : c.remote) v.Range(&v.remote, a, b);
        v.excluded.insert(c.excluded.begin(), c.excluded.end());
        v.Range(&v.missing, 0, 99);
        OneRange r(0, 99, c.cursor, c.owned ? kSomeOwner : nullptr);
        EXPECT_EQ(piece_choice::PickFromRanges(v, r.list, r.own, &r.taken, nullptr), c.answer);
        if (c.first < 0) {
            EXPECT_EQ(r.own, nullptr);
            EXPECT_EQ(r.taken, 0);
            // Only the answered piece was granted (a take-over from the end).
            EXPECT_EQ(v.Granted(), std::vector<int32_t>{c.answer});
        } else {
            ASSERT_NE(r.own, nullptr);
            EXPECT_EQ(r.own->first, c.first);
            EXPECT_EQ(r.own->last, c.last);
            EXPECT_TRUE(r.own->marked);
            EXPECT_EQ(r.taken, 1);
            // Every piece of the private range and nothing else was granted.
            EXPECT_EQ(v.Granted(), Span(c.first, c.last));
        }
    }
}

// A private range over pieces 90 to 99 answers 99, then 98 down to 90;
// the next call deletes it, and with nothing left to give answers -1.
TEST(PieceChoiceTest, PrivateRangeIsWalkedDownwards) {
    FakeView v;
    v.Range(&v.remote, 90, 99);
    v.Range(&v.missing, 0, 99);
    OneRange r(0, 99, 0);
    std::vector<int32_t> answers;
    for (int i = 0; i < 12; ++i)
        answers.push_back(piece_choice::PickFromRanges(v, r.list, r.own, &r.taken, nullptr));
    EXPECT_EQ(answers, (std::vector<int32_t>{99, 98, 97, 96, 95, 94, 93, 92, 91, 90, -1, -1}));
    EXPECT_EQ(r.own, nullptr);
    EXPECT_EQ(r.taken, 1);
}

TEST(PieceChoiceTest, TakeOverFromTheEnd) {
    {
        // Completed pieces at the end shorten the range.
        FakeView v;
        v.Range(&v.remote, 0, 99);
        v.Range(&v.missing, 0, 94);
        v.maxRequests = 1;
        v.pieceLength = 16 * kKiB;  // single pieces never make a private run
        OneRange r(0, 99, 0);
        EXPECT_EQ(piece_choice::TakeFromEnd(v, r.range), 94);
        EXPECT_EQ(r.range.last, 94);
    }
    {
        // The owner's next piece stays with it while the source is not
        // three times faster; a faster source may take it.
        for (int64_t rate : {200, 300}) {
            FakeView v;
            v.Range(&v.remote, 0, 99);
            v.missing = {50};
            v.sourceRate = rate;
            v.ownerRate = 100;
            OneRange r(0, 50, 50, kSomeOwner);
            EXPECT_EQ(piece_choice::TakeFromEnd(v, r.range), rate >= 300 ? 50 : -1) << rate;
        }
    }
    {
        // The scan stops at a needed piece the remote lacks; below it an
        // isolated needed piece the remote has is taken.
        FakeView v;
        v.Range(&v.missing, 0, 99);
        v.missing.erase(49);
        v.missing.erase(51);
        v.remote = {50, 20, 21};
        OneRange r(0, 99, 0);
        EXPECT_EQ(piece_choice::TakeFromEnd(v, r.range), 50);
        EXPECT_EQ(r.range.last, 99);
    }
    {
        // Finished and private entries are passed over by the walk.
        FakeView v;
        v.Range(&v.remote, 0, 99);
        v.Range(&v.missing, 0, 99);
        v.pieceLength = 16 * kKiB;
        PieceRange done, priv, open;
        done.first = 0, done.last = 9, done.cursor = 0, done.finished = 1;
        priv.first = 10, priv.last = 19, priv.cursor = 10, priv.marked = 1;
        open.first = 20, open.last = 29, open.cursor = 20;
        std::vector<PieceRange*> list{&done, &priv, &open};
        PieceRange* own = nullptr;
        int32_t taken = 0;
        v.tick = 0;
        EXPECT_EQ(piece_choice::PickFromRanges(v, list, own, &taken, nullptr), 29);
        EXPECT_EQ(own, nullptr);
    }
}

TEST(PieceChoiceTest, PickInFile) {
    struct Case {
        const char* name;
        int32_t first, count;
        bool randomStart;
        int32_t startPiece, lastHave;
        std::vector<int32_t> remote;
        int32_t answer, lastHaveAfter;
    } cases[] = {
        {"option off: the first piece that qualifies", 10, 5, false, 3, 12, {11, 12, 13}, 11, 12},
        {"a start offset of 0 begins at the second piece", 10, 5, true, 5, -1, {10, 11}, 11, -1},
        {"the first piece is tried last", 10, 5, true, 0, -1, {10}, 10, -1},
        {"the offset wraps round the file", 10, 5, true, 8, -1, {11, 14}, 14, -1},
        {"the last announced piece comes first", 10, 5, true, 1, 13, {11, 13}, 13, -1},
        {"not when it is the file's first piece", 10, 5, true, 1, 10, {10, 11}, 11, 10},
        {"nothing the remote has", 10, 5, true, 1, -1, {9, 15}, -1, -1},
        {"no pieces", 10, 0, false, 0, -1, {10}, -1, -1},
        {"a negative first piece", -1, 5, false, 0, -1, {0}, -1, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeView v;
        v.Range(&v.missing, 0, 99);
        v.remote.insert(c.remote.begin(), c.remote.end());
        int32_t lastHave = c.lastHave;
        EXPECT_EQ(
            piece_choice::PickInFile(v, c.first, c.count, c.randomStart, c.startPiece, &lastHave),
            c.answer);
        EXPECT_EQ(lastHave, c.lastHaveAfter);
        if (c.answer >= 0) {
            EXPECT_EQ(v.Granted(), std::vector<int32_t>{c.answer});
        }
    }
}

// The tests run in their order and the grant comes last: a piece the
// source already queued, or one requested before, is not answered, and
// nothing is granted for it.
TEST(PieceChoiceTest, QualificationOrder) {
    FakeView v;
    v.Range(&v.remote, 0, 9);
    v.Range(&v.missing, 0, 9);
    v.queued = {0};
    v.requested[1] = 1;  // requested before: not needed
    v.maxRequests = 1;
    int32_t lastHave = -1;
    EXPECT_EQ(piece_choice::PickInFile(v, 0, 10, false, 0, &lastHave), 2);
    EXPECT_EQ(v.requested[0], 0);  // never granted: queued fails first
}

}  // namespace

namespace {

// ---- server connections ----

struct R {
    int32_t first, last, cursor;
    bool owned = false, finished = false, reopen = false, marked = false;
};

// Which free range a server connection takes next and how much of it.
TEST(ServerPickTest, FrontFirstInParts) {
    struct Case {
        const char* name;
        std::vector<R> ranges;
        int32_t lastPiece;
        int32_t chunk;
        std::set<int32_t> closed;  // pieces not open (done, or in a queue)
        piece_choice::ServerHandOut answer;
    } cases[] = {
        {"the front of the first range", {{0, 16, 0}, {17, 33, 17}}, -1, 2, {}, {0, 0, 1}},
        {"the first open piece wins over the list order",
         {{17, 33, 17}, {0, 16, 0}},
         -1,
         2,
         {},
         {1, 0, 1}},
        {"owned ranges are passed over", {{0, 1, 0, true}, {2, 16, 2}}, -1, 2, {}, {1, 2, 3}},
        {"the stream's continuation first, even behind the front",
         {{2, 9, 2}, {20, 29, 20}},
         19,
         4,
         {},
         {1, 20, 23}},
        {"closed pieces at the cursor widen the part to reach as many open ones",
         {{0, 16, 0}},
         -1,
         2,
         {0, 1, 2},
         {0, 0, 4}},
        {"a range shorter than a part is taken whole", {{0, 2, 1}}, -1, 8, {}, {0, 1, 2}},
        {"finished, private and re-opened ranges are not free",
         {{0, 5, 0, false, true},
          {6, 9, 6, false, false, false, true},
          {10, 12, 10, false, false, true},
          {13, 15, 13}},
         -1,
         2,
         {},
         {3, 13, 14}},
        {"nothing open: the first free range, whole",
         {{0, 5, 3}, {6, 9, 6}},
         -1,
         2,
         {0, 1, 2, 3, 4, 5, 6, 7, 8, 9},
         {0, 3, 5}},
        {"no free range", {{0, 5, 0, true}}, -1, 2, {}, {-1, -1, -1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::unique_ptr<PieceRange>> own;
        std::vector<PieceRange*> list;
        for (const R& r : c.ranges) {
            own.push_back(std::make_unique<PieceRange>());
            PieceRange* p = own.back().get();
            p->first = r.first;
            p->last = r.last;
            p->cursor = r.cursor;
            p->owner = r.owned ? reinterpret_cast<TPeerObject*>(p) : nullptr;
            p->finished = r.finished;
            p->reopen = r.reopen;
            p->marked = r.marked;
            list.push_back(p);
        }
        const auto got = piece_choice::PickServerRange(
            list, c.lastPiece, c.chunk, [&](int32_t p) { return c.closed.count(p) == 0; });
        EXPECT_EQ(got.index, c.answer.index);
        EXPECT_EQ(got.first, c.answer.first);
        EXPECT_EQ(got.last, c.answer.last);
    }
}

TEST(ServerPickTest, PartSize) {
    struct Case {
        int64_t pieces, pieceLength;
        int32_t connections, chunk;
    } cases[] = {
        {119, 256 * kKiB, 7, 1},      // a small file: one piece at a time
        {950, 256 * kKiB, 7, 8},      // a sixteenth of 135 pieces
        {7600, 256 * kKiB, 7, 64},    // at most 16 MiB
        {1024, 1024 * kKiB, 8, 8},    // a sixteenth of 128 pieces
        {100000, 4096 * kKiB, 1, 4},  // large pieces: 16 MiB
        {10, 256 * kKiB, 0, 1},       // no connection limit known
        {0, 256 * kKiB, 7, 1},        // no pieces
    };
    for (const auto& c : cases) {
        EXPECT_EQ(piece_choice::ServerChunkPieces(c.pieces, c.pieceLength, c.connections), c.chunk)
            << c.pieces << " pieces of " << c.pieceLength << ", " << c.connections;
    }
}

}  // namespace
