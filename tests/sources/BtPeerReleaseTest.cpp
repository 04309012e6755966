// A BitTorrent source that ends gives its task back the requested-list
// entries of the pieces it was granted and did not finish, so that the
// servers and other peers fetch them; the pieces of its private range that
// it had not started yet go back with the range, once each.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/sources/BtPeer.h"
#include "tests/sources/FakeHost.h"
#include "tests/support/TestDirs.h"

namespace {

using sourcetest::FakeHost;

std::vector<int32_t> Sorted(std::vector<int32_t> v) {
    std::sort(v.begin(), v.end());
    return v;
}

TEST(BtPeerReleaseTest, EndingPeerGivesBackWhatItWasGranted) {
    const struct {
        const char* name;
        std::vector<int32_t> granted;
        int32_t rangeFirst, rangeCursor, rangeLast;  // private range (first < 0: none)
        std::vector<int32_t> released;
    } cases[] = {
        {"nothing granted", {}, -1, -1, -1, {}},
        {"two pieces", {1, 3}, -1, -1, -1, {1, 3}},
        {"a piece granted twice", {2, 2}, -1, -1, -1, {2, 2}},
        // Pieces 4..7 granted with the range, 7 and 6 handed out: 6 and 7 go
        // back as granted pieces, 4 and 5 with the range.
        {"private range half walked", {7, 6, 5, 4}, 4, 6, 7, {4, 5, 6, 7}},
        {"private range and a piece", {1, 7, 6, 5, 4}, 4, 7, 7, {1, 4, 5, 6, 7}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        lftest::TempDir dir;
        FakeHost host(dir.Path());
        ASSERT_TRUE(host.MakePieces(8 * 16384, 16384));
        auto* peer = new lf::TBTPeer(&host);
        for (int32_t p : c.granted) peer->NoteGranted(p);
        if (c.rangeFirst >= 0) {
            auto* r = new lf::PieceRange();
            r->first = c.rangeFirst;
            r->last = c.rangeLast;
            r->cursor = c.rangeCursor;
            r->owner = peer;
            peer->m_privateRange = r;
        }
        peer->Reset();
        EXPECT_EQ(Sorted(host.released), Sorted(c.released));
        // A second reset gives nothing back again.
        host.released.clear();
        peer->Reset();
        EXPECT_TRUE(host.released.empty());
        peer->Release();
    }
}

}  // namespace

namespace {

// A source with a connection object, so that it may deliver blocks.
class DeliveringSource : public lf::TPeerObject {
public:
    explicit DeliveringSource(lf::TPeerHost* host) : TPeerObject(host, lf::kSourceBitTorrent) {
        m_connection = std::make_unique<lf::QConnection>();
        m_linkState = kLinkEstablished;
    }
    bool Receive() override { return true; }
};

// The task's payload counts the bytes the piece map stored: a second copy
// of a block (end game) is received (it counts toward the source's rate)
// but is not payload again.
TEST(BtPeerReleaseTest, SecondCopiesAreNotPayload) {
    const struct {
        const char* name;
        std::vector<std::pair<int64_t, int32_t>> deliveries;  // block, length
        int64_t payload;
        int64_t received;
    } cases[] = {
        {"one block", {{0, 16384}}, 16384, 16384},
        {"the same block twice", {{1, 16384}, {1, 16384}}, 16384, 32768},
        {"two blocks in one delivery, one held", {{2, 16384}, {2, 32768}}, 32768, 49152},
        // A finished piece takes nothing more at all.
        {"a whole piece, then a block of it again", {{0, 65536}, {3, 16384}}, 65536, 65536},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        lftest::TempDir dir;
        FakeHost host(dir.Path());
        ASSERT_TRUE(host.MakePieces(4 * 65536, 65536));
        auto* s = new DeliveringSource(&host);
        for (const auto& [block, length] : c.deliveries) {
            const std::string data(static_cast<size_t>(length), 'b');
            ASSERT_TRUE(s->DeliverBlock(block, length, data.data()));
        }
        EXPECT_EQ(host.payload, c.payload);
        EXPECT_EQ(s->m_rateReceived, c.received);
        s->Reset();
        s->Release();
    }
}

}  // namespace
