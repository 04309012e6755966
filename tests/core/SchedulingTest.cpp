// Piece scheduling and rate policies, driven through the real task layers
// with a piece map built for a content of a chosen size and scripted
// sources whose rates the test sets.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <set>
#include <thread>

#include "engine/base/TimeThread.h"
#include "engine/core/EngineSettings.h"
#include "engine/core/WorkThread.h"
#include "engine/sources/PeerId.h"
#include "engine/sources/PeerObject.h"
#include "engine/store/TPieces.h"
#include "tests/support/TestDirs.h"

using namespace lf;

namespace {

constexpr int32_t kPiece = 256 * 1024;

// A server source that only records what it was handed. The blocks of the
// piece it fetches stay queued until the piece arrives or the source lets
// its range go.
class ScriptedSource : public TPeerObject {
public:
    ScriptedSource(TWorkThread* task, int32_t rate) : TPeerObject(task, kSourceHttp) {
        m_downloadRate = rate;
    }
    bool Receive() override { return true; }
    void Fetch(int32_t piece) {
        inFlight = piece;
        for (int32_t b = 0; b < kPiece / kBlockSize; ++b) {
            Enqueue(static_cast<int64_t>(piece) * (kPiece / kBlockSize) + b, kBlockSize);
        }
    }
    void Arrived() {
        ReturnQueue();
        inFlight = -1;
    }
    void ReleaseRange() override {
        TPeerObject::ReleaseRange();
        inFlight = -1;
    }
    int32_t inFlight = -1;
};

class SchedulingTask : public TWorkThread {
public:
    explicit SchedulingTask(const std::string& folder) { m_targetFolder = folder; }
    // A content of `pieces` pieces of 256 KiB, without hashes.
    void MakeContent(int32_t pieces) {
        ASSERT_TRUE(MakeHashlessPieceMap(static_cast<int64_t>(pieces) * kPiece, "content.bin"));
        ASSERT_EQ(m_pieces->PieceCount(), pieces);
    }
    TPeerId* AddServer(const std::string& url) {
        TPeerId* r = new TPeerId(url);
        EXPECT_TRUE(r->Parse());
        AddCandidate(r, false, false);
        r->Release();
        return m_candidates.back();
    }
    std::vector<TPeerObject*>& ActiveForTest() { return m_active; }
    ScriptedSource* AddSource(int32_t rate, TPeerId* source) {
        auto* s = new ScriptedSource(this, rate);
        s->m_source = source;
        source->AddRef();
        s->m_linkState = TPeerObject::kLinkEstablished;
        m_active.push_back(s);
        return s;
    }
    int32_t Limit() { return ServerLimit(); }
    // A BitTorrent candidate at 10.0.0.n (never contacted).
    TPeerId* AddPeer(int n) {
        TPeerId* r = new TPeerId("btnode://10.0.0." + std::to_string(n) + ":6881");
        const uint32_t ipv4 = htonl(0x0a000000u | static_cast<uint32_t>(n));
        r->kind = kSourceBitTorrent;
        r->ipv4 = ipv4;
        r->port = 6881;
        AddCandidate(r, false, false);
        r->Release();
        for (TPeerId* c : m_candidates)
            if (c->ipv4 == ipv4) return c;
        return nullptr;
    }
    void SetMaxPeerConnections(int32_t n) { m_settings.maxPeerConnections = n; }
    // Draws n mirrors from the task's pool into its candidates; answers
    // their addresses in the order drawn.
    std::vector<std::string> DrawMirrors(int n) {
        const size_t before = m_candidates.size();
        RandomMirrors(n, false);
        std::vector<std::string> drawn;
        for (size_t i = before; i < m_candidates.size(); ++i)
            drawn.push_back(m_candidates[i]->address);
        return drawn;
    }
    using TWorkWithTransStatis::CheckStalledConnections;
    using TWorkWithTransStatis::DropSurplusSources;
};

// A BitTorrent source as the statistics step sees it: whether it wants to
// be dropped, and the byte totals of its connection.
class ScriptedPeer : public TPeerObject {
public:
    explicit ScriptedPeer(TWorkThread* task) : TPeerObject(task, kSourceBitTorrent) {}
    bool Receive() override { return true; }
    bool ShouldDrop(bool) override { return wantsDrop; }
    void TrafficTotals(uint64_t* r, uint64_t* s) const override {
        *r = received;
        *s = sent;
    }
    bool wantsDrop = false;
    uint64_t received = 0, sent = 0;
};

struct Span {
    int32_t first, last;
    bool operator==(const Span& o) const { return first == o.first && last == o.last; }
};

std::vector<Span> Spans(SchedulingTask& t) {
    std::vector<Span> out;
    for (PieceRange* r : t.Ranges()) out.push_back({r->first, r->last});
    return out;
}

class SchedulingTest : public ::testing::Test {
protected:
    lftest::TempDir dir;
};

TEST_F(SchedulingTest, DivideRangesSpans) {
    struct Case {
        int32_t pieces;
        int servers;
        int32_t limit;
        std::vector<Span> spans;
    } cases[] = {
        // 100 pieces, 3 servers, one connection each: 0-32, 33-65, 66-99.
        {100, 3, 3, {{0, 32}, {33, 65}, {66, 99}}},
        // 4 connections per address: 4 ranges of 8 pieces, the last 9.
        {100,
         3,
         12,
         {{0, 7},
          {8, 15},
          {16, 23},
          {24, 32},
          {33, 40},
          {41, 48},
          {49, 56},
          {57, 65},
          {66, 73},
          {74, 81},
          {82, 89},
          {90, 99}}},
        // 2 pieces and 3 servers: single pieces 0 and 1, then stop.
        {2, 3, 3, {{0, 0}, {1, 1}}},
    };
    for (const auto& c : cases) {
        SchedulingTask t(dir.Path());
        t.MakeContent(c.pieces);
        t.SetConnectionLimits(c.limit, 0);
        for (int i = 0; i < c.servers; ++i)
            t.AddServer("http://127.0.0.1:" + std::to_string(8001 + i) + "/f");
        ASSERT_TRUE(t.DivideRanges());
        auto spans = Spans(t);
        std::sort(spans.begin(), spans.end(),
                  [](const Span& a, const Span& b) { return a.first < b.first; });
        EXPECT_EQ(spans, c.spans) << c.pieces << " pieces, limit " << c.limit;
    }
}

TEST_F(SchedulingTest, SplitTakesTheFasterSourcesShare) {
    SchedulingTask t(dir.Path());
    t.MakeContent(20);
    TPeerId* server = t.AddServer("http://127.0.0.1:8001/f");
    // One range with ten pieces left, owned by a source at 100 B/s.
    auto* r = new PieceRange();
    r->first = 0;
    r->last = 19;
    r->cursor = 10;  // ten pieces left
    r->time = t.TaskClock();
    r->SetSource(server);
    t.Ranges().push_back(r);
    ScriptedSource* slow = t.AddSource(100, server);
    r->owner = slow;
    slow->m_range = r;
    slow->m_rangesTaken = 1;
    ScriptedSource* fast = t.AddSource(201, server);
    fast->m_rangesTaken = 1;
    ASSERT_TRUE(t.EngageRange(fast));
    // m = 20100 / 301 = 66, + 1; e = 10 x 67 / 100 = 6, + 1 = 7: the last 7.
    ASSERT_NE(fast->m_range, nullptr);
    EXPECT_EQ(fast->m_range->first, 13);
    EXPECT_EQ(fast->m_range->last, 19);
    EXPECT_EQ(r->last, 12);  // the slow source keeps what is before
}

TEST_F(SchedulingTest, CurrentRateOfARatePeriod) {
    SchedulingTask t(dir.Path());
    TPeerId* server = t.AddServer("http://127.0.0.1:8001/f");
    struct Case {
        bool period;  // the source connected (a rate period runs)
        int32_t lastRate;
        int64_t received;
        uint32_t elapsedMs;
        int32_t rate;
    } cases[] = {
        {false, 100, 1000000, 5000, 100},        // never connected: the last rate
        {true, 0, 1000000, 0, 5000000},          // at least 200 ms are counted
        {true, 0, 1000000, 500, 2000000},        // early in the period
        {true, 3000000, 1000000, 500, 3000000},  // not below the last rate in the first second
        {true, 3000000, 1000000, 2000, 500000},  // later: what the period measured
        {true, 3000000, 0, 1500, 0},             // nothing arrived for 1.5 s
    };
    for (const auto& c : cases) {
        ScriptedSource* s = t.AddSource(c.lastRate, server);
        s->m_rateReceived = c.received;
        const uint32_t start = 1000000;
        if (c.period) s->StartRatePeriod(start);
        EXPECT_EQ(s->CurrentRate(start + c.elapsedMs), c.rate)
            << c.received << " bytes in " << c.elapsedMs << " ms";
    }
}

// A connection whose range ends before the first rate period is over
// splits the range of a slower one at once, judged by the current rates.
TEST_F(SchedulingTest, SplitBeforeTheFirstRatePeriod) {
    SchedulingTask t(dir.Path());
    t.MakeContent(200);
    TPeerId* server = t.AddServer("http://127.0.0.1:8001/f");
    auto* r = new PieceRange();
    r->first = 100;
    r->last = 199;
    r->cursor = 110;  // 90 pieces left
    r->time = t.TaskClock();
    r->SetSource(server);
    t.Ranges().push_back(r);
    const uint32_t now = TickCountMs();
    ScriptedSource* slow = t.AddSource(0, server);
    slow->StartRatePeriod(now - 2000);
    slow->m_rateReceived = 2 * 1024 * 1024;  // 1 MiB/s: 90 pieces take 22 s
    r->owner = slow;
    slow->m_range = r;
    slow->m_rangesTaken = 1;
    ScriptedSource* fast = t.AddSource(0, server);
    fast->StartRatePeriod(now - 2000);
    fast->m_rateReceived = 6 * 1024 * 1024;  // 3 MiB/s, its own range done
    fast->m_rangesTaken = 1;
    ASSERT_TRUE(t.EngageRange(fast));
    ASSERT_NE(fast->m_range, nullptr);
    // m = 300 / 4 = 75 (+1: the owner is less than half as fast); e = 90 x 76
    // / 100 = 68, + 1 = 69: the last 69 pieces.
    EXPECT_EQ(fast->m_range->first, 131);
    EXPECT_EQ(fast->m_range->last, 199);
    EXPECT_EQ(r->last, 130);

    // Without a rate period (never connected, no rate yet) nothing is split.
    ScriptedSource* idle = t.AddSource(0, server);
    idle->m_rangesTaken = 1;
    EXPECT_FALSE(t.EngageRange(idle));
}

TEST(StallPolicyTest, StrikesAndClose) {
    // Byte totals at successive checks; the sixth check in a row without
    // traffic closes the connection, traffic clears the strikes.
    struct Step {
        uint64_t received, sent;
        int32_t strikes;
        bool close;
    } steps[] = {{100, 10, 0, false}, {100, 10, 1, false}, {100, 10, 2, false}, {100, 11, 0, false},
                 {100, 11, 1, false}, {100, 11, 2, false}, {100, 11, 3, false}, {100, 11, 4, false},
                 {100, 11, 5, false}, {100, 11, 5, true}};
    int32_t strikes = 0;
    uint64_t lastReceived = 0, lastSent = 0;
    int n = 0;
    for (const auto& st : steps) {
        EXPECT_EQ(TPeerObject::StallCheck(&strikes, &lastReceived, &lastSent, st.received, st.sent),
                  st.close)
            << "check " << n;
        EXPECT_EQ(strikes, st.strikes) << "check " << n++;
    }
}

TEST(SurplusPolicyTest, Limit) {
    struct {
        int32_t maxConnections, limit;
    } cases[] = {{52, 46}, {10, 4}, {90, 83}, {100, 93}, {200, 194 - 10}};
    for (auto c : cases)
        EXPECT_EQ(TWorkWithTransStatis::SurplusLimit(c.maxConnections), c.limit)
            << c.maxConnections;
}

// Surplus peers are dropped worst first while more than the limit are
// connected, and only those that ask for it; idle ones far down the list
// go when they bring nothing; servers stay. Dropped peers are penalised.
TEST_F(SchedulingTest, SurplusAndIdlePeersAreDropped) {
    SchedulingTask t(dir.Path());
    t.MakeContent(100);
    t.SetMaxPeerConnections(10);  // limit 4
    TPeerId* server = t.AddServer("http://127.0.0.1:8001/f");
    std::vector<ScriptedPeer*> peers;
    for (int i = 0; i < 20; ++i) {
        auto* p = new ScriptedPeer(&t);
        p->m_source = t.AddPeer(i + 1);
        ASSERT_NE(p->m_source, nullptr);
        p->m_source->AddRef();
        p->m_connection = std::make_unique<QConnection>();
        p->m_linkState = TPeerObject::kLinkEstablished;
        p->m_periodReceived = (100 - i) * 4096;  // ranked in this order
        peers.push_back(p);
        t.ActiveForTest().push_back(p);
    }
    // A server source ranked last is never dropped by this step.
    ScriptedSource* s = t.AddSource(0, server);
    s->m_connection = std::make_unique<QConnection>();
    // Peers 2..7 connected and asking to be dropped; 12..19 not connected.
    for (int i = 2; i < 8; ++i) peers[static_cast<size_t>(i)]->wantsDrop = true;
    for (int i = 12; i < 20; ++i) {
        peers[static_cast<size_t>(i)]->m_linkState = TPeerObject::kLinkNone;
        peers[static_cast<size_t>(i)]->m_periodReceived = 0;
    }
    t.SortActive();
    t.DropSurplusSources();
    std::set<TPeerObject*> left(t.ActiveSources().begin(), t.ActiveSources().end());
    EXPECT_TRUE(left.count(s));
    for (int i = 0; i < 20; ++i) {
        // Ranked: peers 0..11, the server (12), peers 12..19 (13..20); an
        // unconnected peer goes when its index is above 4 + 12 = 16.
        const bool dropped = (i >= 2 && i < 8) || i >= 16;
        EXPECT_EQ(left.count(peers[static_cast<size_t>(i)]) == 0, dropped) << "peer " << i;
    }
    int penalised = 0;
    for (TPeerId* c : t.Candidates()) penalised += c->waitingSeconds >= 6 ? 1 : 0;
    EXPECT_EQ(penalised, 6 + 4);
}

// A connection without traffic is closed at the sixth check (every fourth
// run of the statistics step); one that moves bytes is kept.
TEST_F(SchedulingTest, StalledConnectionsAreClosed) {
    SchedulingTask t(dir.Path());
    t.MakeContent(10);
    auto* quiet = new ScriptedPeer(&t);
    auto* busy = new ScriptedPeer(&t);
    for (ScriptedPeer* p : {quiet, busy}) {
        p->m_connection = std::make_unique<QConnection>();
        p->m_linkState = TPeerObject::kLinkEstablished;
        t.ActiveForTest().push_back(p);
    }
    for (int check = 1; check <= 7; ++check) {
        busy->received += 1000;
        t.CheckStalledConnections();
        EXPECT_TRUE(busy->IsConnected());
        // The first check compares with nothing moved yet.
        EXPECT_EQ(quiet->IsConnected(), check < 6) << "check " << check;
    }
}

TEST_F(SchedulingTest, ReturnedBlocks) {
    SchedulingTask t(dir.Path());
    t.MakeContent(8);  // pieces of 256 KiB: 16 blocks each
    auto bits = [](std::initializer_list<int> pieces) {
        std::vector<uint8_t> b(1, 0);
        for (int p : pieces) b[0] |= static_cast<uint8_t>(0x80 >> p);
        return b;
    };
    // Two peers give blocks back: piece 1 (blocks 16-19) and piece 3 (48-49).
    std::vector<BlockRequest> first{{16, kBlockSize}, {17, kBlockSize}, {48, kBlockSize}};
    std::vector<BlockRequest> second{{18, kBlockSize}, {49, kBlockSize}, {19, kBlockSize}};
    ASSERT_TRUE(t.ReturnBlocks(first));
    EXPECT_TRUE(first.empty());
    ASSERT_TRUE(t.ReturnBlocks(second));  // in front, in their order
    EXPECT_EQ(t.ReturnedBlockCount(), 6u);
    std::vector<BlockRequest> empty;
    EXPECT_TRUE(t.ReturnBlocks(empty));

    struct Case {
        std::vector<uint8_t> have, excluded;
        int32_t maximum;
        std::vector<int64_t> blocks;
    } cases[] = {
        {bits({0, 2}), bits({}), 0, {}},         // the peer has neither piece
        {bits({1, 3}), bits({1}), 0, {49, 48}},  // piece 1 excluded
        {bits({1, 3}), bits({}), 2, {18, 19}},   // at most 2
        {bits({1, 3}), bits({}), 0, {16, 17}},   // the rest of piece 1
        {bits({1, 3}), bits({}), 0, {}},         // nothing left
    };
    int n = 0;
    for (const auto& c : cases) {
        std::vector<BlockRequest> out;
        const bool found = t.PickReturnedBlocks(&out, c.have, c.excluded, c.maximum);
        std::vector<int64_t> blocks;
        for (const auto& b : out) blocks.push_back(b.block);
        EXPECT_EQ(found, !c.blocks.empty()) << "case " << n;
        EXPECT_EQ(blocks, c.blocks) << "case " << n++;
    }
    // Blocks of a piece the piece map has are released.
    std::vector<BlockRequest> again{{20, kBlockSize}, {40, kBlockSize}};
    t.ReturnBlocks(again);
    t.Pieces()->SetHave(1, true);
    t.PruneReturnedBlocks();
    EXPECT_EQ(t.ReturnedBlockCount(), 1u);
}

// An incomplete task whose piece map saw no new data for the stall time
// stops by itself at the next publication; the wait is a setting.
TEST_F(SchedulingTest, NoProgressStop) {
    const int saved = GetEngineTimings().stallStopSeconds;
    for (int limit : {900, 1}) {
        SetEngineTiming(&EngineTimings::stallStopSeconds, limit);
        SchedulingTask t(dir.Path());
        t.MakeContent(10);
        const uint32_t made = CachedSeconds();
        while (CachedSeconds() < made + 2)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(t.StallStopDue(), limit == 1) << limit;
        if (limit == 1) {
            // New data restarts the wait.
            const std::string block(kBlockSize, 'x');
            t.Pieces()->StoreBlock(0, 0, block.data(), kBlockSize, nullptr);
            EXPECT_FALSE(t.StallStopDue());
        }
    }
    SetEngineTiming(&EngineTimings::stallStopSeconds, saved);
}

// A verified piece is not needed (no source fetches it again), and once
// every piece is verified the task can complete.
TEST_F(SchedulingTest, VerifiedPiecesInTheCache) {
    SchedulingTask t(dir.Path());
    t.MakeContent(3);
    const std::string piece(kPiece, 'p');
    bool completed = false;
    for (int32_t p = 0; p < 3; ++p) {
        ASSERT_EQ(t.Pieces()->StoreBlock(p, 0, piece.data(), kPiece, nullptr, &completed), kPiece);
        ASSERT_TRUE(completed);
        t.OnPieceCompleted(p);
        // A verified piece is written at once (it stays in the cache only
        // while its write fails): either way no source fetches it again.
        if (p == 0) {
            EXPECT_FALSE(t.IsPieceNeeded(p));
            EXPECT_TRUE(t.IsPieceNeeded(p + 1));
        }
    }
    EXPECT_EQ(t.Pieces()->HaveCount(), 3);
    EXPECT_TRUE(t.IsDownloadComplete());
}

TEST_F(SchedulingTest, RequestedListAllowance) {
    struct Case {
        int32_t pieces, done, connections, allowed;
    } cases[] = {
        {100, 30, 9, 2},   // 70 left: twice, not three times
        {100, 95, 9, 60},  // 5 left: 60 times
    };
    for (const auto& c : cases) {
        SchedulingTask t(dir.Path());
        t.MakeContent(c.pieces);
        for (int32_t p = 0; p < c.done; ++p) t.Pieces()->SetHave(p, true);
        TPeerId* server = t.AddServer("http://127.0.0.1:8001/f");
        for (int i = 0; i < c.connections; ++i) t.AddSource(0, server);
        int granted = 0;
        while (granted < 1000 && t.MarkRequested(c.pieces - 1, true, false)) ++granted;
        EXPECT_EQ(granted, c.allowed) << c.pieces - c.done << " left";
    }
}

TEST(RatePolicyTest, AllowancesAndPassRate) {
    EXPECT_EQ(TWorkWithTransStatis::Allowance(0, 0), 1048576000);
    EXPECT_EQ(TWorkWithTransStatis::Allowance(1, 0), 3072);
    EXPECT_EQ(TWorkWithTransStatis::Allowance(2000, 0), 2048000);
    TaskSettings s;
    s.downloadLimitKiB = 40000;  // out of range: no limit
    s.Validate();
    EXPECT_EQ(TWorkWithTransStatis::Allowance(s.downloadLimitKiB, 0), 1048576000);
    struct {
        int64_t bytes;
        int cls, sleep, d1, d2;
    } classes[] = {{3145729, 1, 2, 14, 42}, {3145728, 2, 3, 9, 27}, {1536001, 2, 3, 9, 27},
                   {819201, 3, 4, 7, 21},   {307201, 4, 5, 6, 18},  {307200, 5, 6, 5, 15},
                   {0, 5, 6, 5, 15}};
    for (auto c : classes) {
        auto k = TWorkWithTransStatis::ClassFor(c.bytes);
        EXPECT_EQ(k.cls, c.cls) << c.bytes;
        EXPECT_EQ(k.tickSleepMs, c.sleep) << c.bytes;
        EXPECT_EQ(k.d1, c.d1) << c.bytes;
        EXPECT_EQ(k.d2, c.d2) << c.bytes;
    }
    int32_t slots = 0, maxConnections = 0;
    TWorkWithTransStatis::PeerNumbers(44 * 4096, 0, &slots, &maxConnections);
    EXPECT_EQ(slots, 8);
    EXPECT_EQ(maxConnections, 52);
    EXPECT_EQ(TPeerObject::QueueDepthForRate(0), 2);
    EXPECT_EQ(TPeerObject::QueueDepthForRate(64 * 1024), 10);
}

TEST(RandomStartTest, Table) {
    struct {
        bool option, storeMode;
        int32_t pieces, done;
        uint32_t tick;
        int32_t start;
    } cases[] = {
        {false, false, 100, 0, 12345, 0},  // option off
        {true, false, 0, 0, 12345, 0},     // no pieces
        {true, false, 100, 0, 12345, 12345 % 6},
        {true, false, 100, 1, 12345, 12345 % 16},  // one piece done: not added
        {true, false, 100, 7, 1000, 1000 % 76 + 7},
        {true, true, 100, 7, 1000, 1000 % 146 - 100 + 7},  // brought below the piece count
        {true, false, 3, 0, 5, 2},                         // 5 mod 6 = 5, less 3 = 2
    };
    for (const auto& c : cases) {
        EXPECT_EQ(
            TWorkWithPieces::RandomStartPieceFor(c.option, c.storeMode, c.pieces, c.done, c.tick),
            c.start)
            << c.pieces << " " << c.done << " " << c.tick;
    }
}

TEST_F(SchedulingTest, ServerBansAtHalfOfTheHashedPieces) {
    struct Case {
        int failed, hashed;
        bool banned;
    } cases[] = {{32, 60, true}, {31, 60, false}, {32, 64, true}, {32, 65, false}};
    for (const auto& c : cases) {
        SchedulingTask t(dir.Path());
        t.MakeContent(4);
        TPeerId* server = t.AddServer("http://127.0.0.1:8001/f");
        server->failedPieces = c.failed;
        server->piecesHashed = c.hashed;
        t.BanServers();
        EXPECT_EQ(t.CandidateCount(), c.banned ? 0u : 1u) << c.failed << " of " << c.hashed;
    }
}

TEST_F(SchedulingTest, CandidatesAreNotDuplicated) {
    SchedulingTask t(dir.Path());
    t.AddServer("http://127.0.0.1:8001/f");
    t.AddServer("http://127.0.0.1:8001/f");
    t.AddServer("HTTP://127.0.0.1:8001/f");
    EXPECT_EQ(t.CandidateCount(), 1u);
    t.AddServer("http://127.0.0.1:8001/g");
    EXPECT_EQ(t.CandidateCount(), 2u);
}

// Random rates, connection counts and piece counts: server sources that
// claim ranges through PickPiece, get split and finish never hold the same
// piece at once, and every piece is eventually requested.
TEST_F(SchedulingTest, NoPieceTwiceAndNoneLost) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 30; ++round) {
        SchedulingTask t(dir.Path());
        const int32_t pieces = 1 + static_cast<int32_t>(rng() % 200);
        const int connections = 1 + static_cast<int>(rng() % 12);
        t.MakeContent(pieces);
        t.SetConnectionLimits(connections, 0);
        TPeerId* server = t.AddServer("http://127.0.0.1:8001/f");
        std::vector<ScriptedSource*> sources;
        for (int i = 0; i < connections; ++i) {
            sources.push_back(t.AddSource(static_cast<int32_t>(rng() % 5000000), server));
        }
        std::set<int32_t> requested;
        for (int step = 0; step < 20000 && t.Pieces()->HaveCount() < pieces; ++step) {
            ScriptedSource* s = sources[rng() % sources.size()];
            if (s->inFlight < 0) {
                // Ask for work, as a source does when its queue runs low.
                int32_t p = s->PickPiece();
                if (p >= 0) {
                    for (ScriptedSource* o : sources) {
                        ASSERT_FALSE(o != s && o->inFlight == p)
                            << "piece " << p << " handed to two sources";
                    }
                    s->m_lastPiece = p;
                    s->Fetch(p);
                    requested.insert(p);
                }
            } else if (rng() % 3 == 0) {
                // The piece arrives.
                t.Pieces()->SetHave(s->inFlight, true);
                s->Arrived();
            }
            if (rng() % 97 == 0)
                s->ReleaseRange();  // a source drops its range and what it had in flight
        }
        for (int32_t p = 0; p < pieces; ++p) {
            EXPECT_TRUE(requested.count(p) == 1 || t.Pieces()->Have(p))
                << "piece " << p << " never requested";
        }
        EXPECT_EQ(t.Pieces()->HaveCount(), pieces) << "round " << round;
    }
}

// Connections of the same speed fetching a file through PickPiece stay
// side by side at the front: the pieces in flight are never far beyond the
// first piece still missing, so the file's verified prefix grows with the
// download; and every piece arrives.
TEST_F(SchedulingTest, ConnectionsStayAtTheFront) {
    struct Case {
        int32_t pieces;
        int connections;
    } cases[] = {{119, 7}, {950, 7}, {400, 1}, {64, 12}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.pieces) + " pieces, " + std::to_string(c.connections));
        SchedulingTask t(dir.Path());
        t.MakeContent(c.pieces);
        t.SetConnectionLimits(c.connections, 0);
        TPeerId* server = t.AddServer("http://127.0.0.1:8001/f");
        std::vector<ScriptedSource*> sources;
        for (int i = 0; i < c.connections; ++i) sources.push_back(t.AddSource(1000000, server));
        const int32_t window = c.connections * (t.ServerChunk() + 1);
        int32_t farthest = 0;
        for (int step = 0; step < 100000 && t.Pieces()->HaveCount() < c.pieces; ++step) {
            // In turn: a connection without work asks for a piece, one with a
            // piece receives it.
            ScriptedSource* s = sources[static_cast<size_t>(step) % sources.size()];
            if (s->inFlight < 0) {
                const int32_t p = s->PickPiece();
                if (p < 0) continue;
                s->m_lastPiece = p;
                s->Fetch(p);
                int32_t front = 0;
                while (front < c.pieces && t.Pieces()->Have(front)) ++front;
                farthest = std::max(farthest, p - front);
            } else {
                t.Pieces()->SetHave(s->inFlight, true);
                s->Arrived();
            }
        }
        EXPECT_EQ(t.Pieces()->HaveCount(), c.pieces);
        EXPECT_LT(farthest, window);
    }
}

}  // namespace

// Eight tasks drawing from the same pool of mirrors in the same second draw
// differently: each task has its own random numbers, seeded once.
TEST(MirrorDraw, TasksDrawingInTheSameSecondDiffer) {
    lftest::TempDir dir;
    std::string pool, companions;
    for (int i = 1; i <= 100; ++i) {
        pool += "http://127.0.0.1:" + std::to_string(20000 + i) + "/m.bin\n";
        companions += "null\n";
    }
    std::vector<std::unique_ptr<SchedulingTask>> tasks;
    for (int t = 0; t < 8; ++t) {
        tasks.push_back(std::make_unique<SchedulingTask>(dir.Path()));
        tasks.back()->AddMirrors(pool.c_str(), companions.c_str());
    }
    std::set<std::vector<std::string>> draws;
    for (auto& t : tasks) {
        std::vector<std::string> drawn = t->DrawMirrors(4);
        EXPECT_EQ(drawn.size(), 4u);
        draws.insert(drawn);
    }
    EXPECT_EQ(draws.size(), tasks.size());
}

// A BitTorrent source that takes its pieces through the task's grant (the
// scan of the file) and queues their blocks, as the peer wire does.
class GrantedPeer : public TPeerObject {
public:
    explicit GrantedPeer(TWorkThread* task) : TPeerObject(task, kSourceBitTorrent) {}
    bool Receive() override { return true; }
    int32_t Take() {
        const int32_t p = m_task->PickInFile(this, 0);
        if (p < 0) return -1;
        for (int32_t b = 0; b < kPiece / kBlockSize; ++b)
            Enqueue(static_cast<int64_t>(p) * (kPiece / kBlockSize) + b, kBlockSize);
        return p;
    }
    // The remote sends the block: it leaves the queue and is stored.
    void Deliver(int64_t block) {
        for (auto it = m_queue.begin(); it != m_queue.end(); ++it) {
            if (it->block != block) continue;
            m_task->NoteQueued(block, -1);
            m_queue.erase(it);
            break;
        }
        const std::string data(kBlockSize, 'd');
        const int32_t piece = static_cast<int32_t>(block * kBlockSize / kPiece);
        m_task->Pieces()->StoreBlock(piece, static_cast<int32_t>(block * kBlockSize % kPiece),
                                     data.data(), kBlockSize, nullptr);
    }
};

// A piece granted to one BitTorrent source is out of the other sources'
// reach only while that source still fetches it. Whatever ends that (the
// source closes, its remote chokes or stalls and the requests go back, the
// piece map drops what had arrived), the piece is needed again at once,
// also outside the end game; and an entry that nobody gives back cannot
// keep the last pieces from the others, since the end game holds as soon
// as the requested list covers what is left.
TEST_F(SchedulingTest, GrantedPieceGoesBackWhenItsSourceStopsFetching) {
    enum Event { kNothing, kCloses, kGivesBack, kDataDropped, kOthersFinish };
    const struct {
        const char* name;
        Event event;
        bool neededAfter;
    } cases[] = {
        {"the source keeps fetching", kNothing, false},
        {"the source closes", kCloses, true},
        {"its remote chokes or stalls: requests go back", kGivesBack, true},
        {"the piece map dropped the blocks that had arrived", kDataDropped, true},
        {"the other pieces finish while the entry stays", kOthersFinish, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SchedulingTask t(dir.Path());
        t.MakeContent(8);
        // Pieces 0-5 are done; 6 and 7 are left: one piece granted is not
        // yet the end game.
        for (int32_t p = 0; p < 6; ++p) t.Pieces()->SetHave(p, true);
        auto* x = new GrantedPeer(&t);
        auto* y = new GrantedPeer(&t);
        const int32_t piece = x->Take();
        ASSERT_GE(piece, 6);
        const int32_t other = piece == 6 ? 7 : 6;
        EXPECT_FALSE(t.IsPieceNeeded(piece));
        EXPECT_FALSE(t.InEndGame());
        const uint64_t generation = t.WantedGeneration();
        const int64_t first = static_cast<int64_t>(piece) * (kPiece / kBlockSize);
        switch (c.event) {
            case kNothing:
                x->ReleaseIdleGrants();  // its sweep keeps what it fetches
                break;
            case kCloses:
                x->Reset();
                break;
            case kGivesBack:
                x->Deliver(first);
                x->GiveBackRequests();
                EXPECT_GT(t.ReturnedBlockCount(), 0u);
                break;
            case kDataDropped:
                // Every block but the last arrives, the cache drops them,
                // then the last one arrives: nothing of the piece is queued
                // and the piece is not complete.
                for (int64_t b = first; b < first + kPiece / kBlockSize - 1; ++b) x->Deliver(b);
                t.Pieces()->DropBuffer(piece);
                x->Deliver(first + kPiece / kBlockSize - 1);
                x->ReleaseIdleGrants();  // the sweep of every second
                break;
            case kOthersFinish:
                t.Pieces()->SetHave(other, true);
                break;
        }
        EXPECT_EQ(t.IsPieceNeeded(piece), c.neededAfter);
        if (c.neededAfter) {
            if (c.event != kOthersFinish) {
                EXPECT_NE(t.WantedGeneration(), generation) << "starved sources are not told";
                EXPECT_FALSE(t.InEndGame());
            }
            // The other source takes it (first the other piece, when that
            // is still missing).
            int32_t got = y->Take();
            if (got == other) got = y->Take();
            EXPECT_EQ(got, piece);
        } else {
            EXPECT_EQ(t.WantedGeneration(), generation);
        }
        x->Reset();
        y->Reset();
        x->Release();
        y->Release();
    }
}
