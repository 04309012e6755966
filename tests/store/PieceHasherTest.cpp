// The hashing thread of the piece map: TPieceHasher on its own, and TPieces
// with its checks on that thread against the same map checking inline.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/store/PieceHasher.h"
#include "engine/store/TPieces.h"
#include "tests/store/StoreFixture.h"
#include "tests/support/TestDirs.h"

using namespace lf;
using namespace storetest;
using lftest::ReadFile;
using lftest::TempDir;

namespace {

std::string RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
}

// A job over data cut into parts of part bytes, the first prefix bytes
// already in the start context.
TPieceHasher::Job MakeJob(int32_t piece, const std::string& data, size_t prefix, size_t part,
                          const char* expected) {
    TPieceHasher::Job job;
    job.piece = piece;
    job.start.Update(data.data(), prefix);
    for (size_t o = prefix; o < data.size(); o += part)
        job.parts.emplace_back(data.data() + o, std::min(part, data.size() - o));
    job.expected = expected;
    return job;
}

}  // namespace

TEST(PieceHasher, ResultsMatchTheDigestOfTheWholeData) {
    struct Case {
        size_t size, prefix, part;
        bool corrupt;
    };
    const Case cases[] = {
        {0, 0, 1, false},           {1, 0, 1, false},
        {16384, 0, 16384, false},   {262144, 131072, 1, false},
        {262144, 0, 131072, true},  {1048576, 524288, 100000, false},
        {1000001, 999999, 7, true}, {65536, 65536, 4096, false},
    };
    std::vector<std::string> data, digests;
    for (size_t k = 0; k < std::size(cases); ++k) {
        data.push_back(RandomBytes(cases[k].size, static_cast<uint32_t>(k)));
        std::string d = TSha1Context::Of(data[k].data(), data[k].size());
        if (cases[k].corrupt) d[3] ^= 1;
        digests.push_back(d);
    }
    TPieceHasher hasher;
    // Several rounds, so that results are taken while jobs still run.
    std::vector<TPieceHasher::Result> results;
    for (int round = 0; round < 4; ++round) {
        for (size_t k = 0; k < std::size(cases); ++k) {
            hasher.Submit(MakeJob(static_cast<int32_t>(round * 100 + k), data[k], cases[k].prefix,
                                  cases[k].part, digests[k].data()));
        }
        hasher.TakeResults(&results);
    }
    hasher.WaitIdle();
    EXPECT_TRUE(hasher.ResultsReady() || results.size() == 4 * std::size(cases));
    hasher.TakeResults(&results);
    EXPECT_FALSE(hasher.ResultsReady());
    EXPECT_EQ(hasher.Outstanding(), 0u);
    ASSERT_EQ(results.size(), 4 * std::size(cases));
    for (size_t i = 0; i < results.size(); ++i) {
        // In submission order: one thread, first in first out.
        const size_t k = i % std::size(cases);
        EXPECT_EQ(results[i].piece, static_cast<int32_t>((i / std::size(cases)) * 100 + k));
        EXPECT_EQ(results[i].matches, !cases[k].corrupt) << "case " << k;
    }
    // No expected digest never matches.
    hasher.Submit(MakeJob(7, data[2], 0, 16384, nullptr));
    hasher.WaitIdle();
    results.clear();
    ASSERT_TRUE(hasher.TakeResults(&results));
    ASSERT_EQ(results.size(), 1u);
    EXPECT_FALSE(results[0].matches);
}

TEST(PieceHasher, DestroyedWithJobsQueuedOrNeverStarted) {
    { TPieceHasher idle; }  // no thread was started
    const std::string big = RandomBytes(4 << 20, 9);
    const std::string digest = TSha1Context::Of(big.data(), big.size());
    for (int n : {1, 2, 50}) {
        auto hasher = std::make_unique<TPieceHasher>();
        for (int i = 0; i < n; ++i) hasher->Submit(MakeJob(i, big, 0, 1 << 20, digest.data()));
        EXPECT_GE(hasher->Outstanding(), 1u);
        hasher.reset();  // joins; queued jobs are dropped
    }
}

namespace {

struct Source : IPieceSource {
    int good = 0, bad = 0;
    int SourceKind() const override { return 2; }
    void ChargePiece(bool failed) override { (failed ? bad : good)++; }
};

struct MapRun {
    std::vector<TPieceEvent> events;
    TPieces* map = nullptr;
    ~MapRun() {
        if (map) map->Release();
    }
    int Count(int type) const {
        int n = 0;
        for (const auto& e : events) n += e.type == type;
        return n;
    }
};

}  // namespace

// The same download with the checks inline and on the hashing thread: the
// same pieces complete, the corrupt ones are reset (and reported as event 4
// on the thread), the sources are charged alike, the files are the same.
TEST(PieceMapHashThread, SameOutcomeAsCheckingInline) {
    Content c = MakeContent({{"a.bin", 3000000}, {"b.bin", 1234567}}, 262144, 11);
    for (bool threaded : {false, true}) {
        SCOPED_TRACE(threaded ? "hashing thread" : "inline");
        TempDir dir;
        MapRun r;
        r.map = new TPieces;
        r.map->SetEventSink([&](const TPieceEvent& e) { r.events.push_back(e); });
        r.map->SetDownloadFolder(dir.Path() + "/");
        r.map->SetSyncBeforeResume(false);
        r.map->SetHashThread(threaded);
        ASSERT_TRUE(r.map->BuildPieceTable(c.layout));
        const int32_t count = static_cast<int32_t>(r.map->PieceCount());
        Source src;
        const std::vector<int32_t> corrupt = {3, count - 1};
        // Piece 5 has its first half on disk before the rest arrives.
        for (int32_t i = 0; i < count; ++i) {
            std::string bytes = c.PieceBytes(i);
            if (std::find(corrupt.begin(), corrupt.end(), i) != corrupt.end()) bytes[100] ^= 1;
            bool completed = false;
            for (int32_t o = 0; o < static_cast<int32_t>(bytes.size()); o += kBlockBytes) {
                const int32_t n = std::min<int32_t>(kBlockBytes, bytes.size() - o);
                r.map->StoreBlock(i, o, bytes.data() + o, n, &src, &completed);
                if (i == 5 && o + n == 131072) {
                    ASSERT_TRUE(r.map->FlushPiece(5, 1));
                }
            }
            // Complete either way; with the thread the check may still run.
            if (threaded || std::find(corrupt.begin(), corrupt.end(), i) == corrupt.end()) {
                EXPECT_TRUE(completed) << i;
            }
            // A piece under check takes no more data.
            if (r.map->IsHashing(i)) {
                EXPECT_EQ(r.map->StoreBlock(i, 0, bytes.data(), kBlockBytes, &src), 0);
            }
        }
        r.map->FinishHashing();
        EXPECT_EQ(r.map->HashingCount(), 0);
        r.map->CollectHashed();
        r.map->Maintain();
        EXPECT_EQ(r.map->HaveCount(), count - 2);
        for (int32_t p : corrupt) {
            EXPECT_FALSE(r.map->Have(p));
            EXPECT_FALSE(r.map->HasBlock(p, 0));
            EXPECT_EQ(r.map->PartOf(p), 0);
        }
        EXPECT_EQ(src.good, count - 2);
        EXPECT_EQ(src.bad, 2);
        EXPECT_EQ(r.Count(kPieceEventCheckFailed), threaded ? 2 : 0);
        // The right bytes complete them.
        for (int32_t p : corrupt) {
            std::string bytes = c.PieceBytes(p);
            for (int32_t o = 0; o < static_cast<int32_t>(bytes.size()); o += kBlockBytes)
                r.map->StoreBlock(p, o, bytes.data() + o,
                                  std::min<int32_t>(kBlockBytes, bytes.size() - o), &src);
        }
        // Closing waits for the checks still running and writes their pieces.
        ASSERT_TRUE(r.map->CloseFiles(false, true));
        EXPECT_TRUE(r.map->IsComplete());
        EXPECT_EQ(r.map->CachedBytes(), 0);
        for (size_t k = 0; k < c.layout.files.size(); ++k)
            EXPECT_EQ(ReadFile(dir.Path() + "/" + c.layout.files[k].path), c.FileBytes(k));
    }
}

// A source that goes away while its piece is checked is not charged; the
// piece still counts. Dropping and evicting leave pieces under check alone.
TEST(PieceMapHashThread, PiecesUnderCheckOutliveTheirSourceAndStayBuffered) {
    Content c = MakeContent({{"f.bin", 8 * 262144}}, 262144, 12);
    TempDir dir;
    MapRun r;
    r.map = new TPieces;
    r.map->SetEventSink([&](const TPieceEvent& e) { r.events.push_back(e); });
    r.map->SetDownloadFolder(dir.Path() + "/");
    r.map->SetSyncBeforeResume(false);
    r.map->SetHashThread(true);
    r.map->SetCacheLimitUnits(1);  // 256 KiB: every piece presses on the limit
    ASSERT_TRUE(r.map->BuildPieceTable(c.layout));
    auto gone = std::make_unique<Source>();
    Source stays;
    for (int32_t i = 0; i < 8; ++i) {
        std::string bytes = c.PieceBytes(i);
        IPieceSource* src = i % 2 == 0 ? static_cast<IPieceSource*>(gone.get()) : &stays;
        for (int32_t o = 0; o < 262144; o += kBlockBytes)
            r.map->StoreBlock(i, o, bytes.data() + o, kBlockBytes, src);
        r.map->DropBuffer(i);  // no effect on a piece under check
    }
    gone.reset();
    r.map->Maintain();
    r.map->FinishHashing();
    ASSERT_TRUE(r.map->CloseFiles(false, true));
    EXPECT_TRUE(r.map->IsComplete());
    EXPECT_EQ(stays.good, 4);
    EXPECT_EQ(ReadFile(dir.Path() + "/f.bin"), c.FileBytes(0));
}
