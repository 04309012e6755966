// The BitTorrent source's request and upload policy: how many requests are
// kept on the wire and in the pending list for a download rate, and how
// many bytes one upload step serves for an upload rate.
#include <gtest/gtest.h>

#include <cstdint>

#include "engine/sources/BtPeer.h"

namespace lf {
namespace {

struct RateCase {
    int64_t rate;  // bytes per second
    int32_t inFlight;
    int32_t pending;
};

TEST(BtRequestPolicy, RequestsForRate) {
    const RateCase cases[] = {
        {-1, 6, 2},                     // no rate yet (or a bad one)
        {0, 6, 2},                      //
        {16383, 6, 3},                  // below one block a second
        {16384, 6, 4},                  //
        {65536, 6, 10},                 // 4 blocks a second: the floor holds
        {65536 + 16384, 7, 12},         // the floor is left behind
        {1 << 20, 66, 130},             // 1 MiB/s: a second's worth plus two
        {8 << 20, 500, 1002},           // 8 MiB/s: 514 capped to 500 on the wire
        {32 << 20, 500, 1002},          // both at their bounds
        {int64_t{1} << 40, 500, 1002},  // absurd rates stay bounded
    };
    for (const RateCase& c : cases) {
        SCOPED_TRACE(c.rate);
        EXPECT_EQ(TBTPeer::InFlightFor(c.rate), c.inFlight);
        EXPECT_EQ(TBTPeer::PendingFor(c.rate), c.pending);
    }
}

TEST(BtRequestPolicy, BoundsHoldAtEveryRate) {
    int32_t lastInFlight = 0, lastPending = 0;
    for (int64_t rate = 0; rate <= (int64_t{64} << 20); rate += 4099) {
        const int32_t inFlight = TBTPeer::InFlightFor(rate);
        const int32_t pending = TBTPeer::PendingFor(rate);
        // libtorrent ignores requests beyond 2000 queued; the engine keeps
        // at most 500 on the wire to one remote.
        ASSERT_GE(inFlight, TBTPeer::kMinInFlight);
        ASSERT_LE(inFlight, TBTPeer::kMaxInFlight);
        ASSERT_LE(pending, 2 * TBTPeer::kMaxInFlight + 2);
        // Never fewer on the wire nor pending at a higher rate.
        ASSERT_GE(inFlight, lastInFlight) << rate;
        ASSERT_GE(pending, lastPending) << rate;
        // Past the floor the pending list holds at least what goes on the
        // wire, so the wire is never short for want of records.
        if (inFlight > TBTPeer::kMinInFlight) {
            ASSERT_GE(pending, inFlight) << rate;
        }
        lastInFlight = inFlight;
        lastPending = pending;
    }
}

struct UploadCase {
    int64_t rate;
    bool complete;
    int64_t step;
};

TEST(BtRequestPolicy, UploadStepForRate) {
    const UploadCase cases[] = {
        {-5, false, 262144},                // no rate yet: the floor
        {0, false, 262144},                 //
        {0, true, 262144 + 16384},          // a complete task adds a block
        {2 << 20, false, 262144},           // an eighth is below the floor
        {4 << 20, false, 524288},           // an eighth of a second's worth
        {16 << 20, false, 2097152},         // at the cap
        {16 << 20, true, 2097152 + 16384},  //
        {int64_t{1} << 40, false, 2097152},
    };
    for (const UploadCase& c : cases) {
        SCOPED_TRACE(c.rate);
        EXPECT_EQ(TBTPeer::UploadStepFor(c.rate, c.complete), c.step);
    }
    // A step holds at least one whole piece of 1 MiB pieces' requests
    // at the cap, and at least 16 blocks at the floor.
    EXPECT_GE(TBTPeer::UploadStepFor(0, false), 16 * 16384);
    EXPECT_GE(TBTPeer::kMaxUploadStep, 1 << 20);
}

}  // namespace
}  // namespace lf
