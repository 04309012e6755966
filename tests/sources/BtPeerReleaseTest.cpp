// A BitTorrent source that ends gives its task back the requested-list
// entries of the pieces it was granted and did not finish, so that the
// servers and other peers fetch them; the pieces of its private range that
// it had not started yet go back with the range, once each.
#include <gtest/gtest.h>

#include <algorithm>
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
