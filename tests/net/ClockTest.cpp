#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <ctime>

#include "engine/net/HalfOpen.h"
#include "engine/net/IPFilter.h"
#include "engine/base/TimeThread.h"

using namespace lf;

namespace {

// Runs first in this binary: right after start the cached clock reads 1.
TEST(ClockTest, CachedClockStartsAtOne) {
    EXPECT_EQ(CachedSeconds(), 1u);
    uint64_t wall = WallSeconds();
    uint64_t now = static_cast<uint64_t>(std::time(nullptr));
    EXPECT_LE(wall, now);
    EXPECT_GE(wall + 2, now);
}

TEST(ClockTest, StepCountsWholeSecondsAndSurvivesWrap) {
    ClockBase c{4294966000u, 10, 1000000, 10, 1000000};
    c.Step(4294966999u);  // 999 ms later: no second yet
    EXPECT_EQ(c.cached, 10u);
    c.Step(4294967295u);  // 1295 ms: one second
    EXPECT_EQ(c.cached, 11u);
    EXPECT_EQ(c.wall, 1000001u);
    c.Step(200u);  // wrapped: exactly one second more, new bases
    EXPECT_EQ(c.cached, 12u);
    EXPECT_EQ(c.wall, 1000002u);
    EXPECT_EQ(c.t0, 200u);
    c.Step(2199u);  // keeps counting from the new base
    EXPECT_EQ(c.cached, 13u);
    EXPECT_EQ(c.wall, 1000003u);
}

TEST(ClockTest, ThreadAdvancesAndStops) {
    uint32_t start = CachedSeconds();
    for (int i = 0; i < 40 && CachedSeconds() == start; ++i) SleepMs(100);
    EXPECT_GT(CachedSeconds(), start);
    StopTimeThread();
    uint32_t stopped = CachedSeconds();  // reading starts a new thread
    EXPECT_GE(stopped, start + 1);
    StopTimeThread();
}

TEST(HalfOpenTest, LimitFromProbe) {
    struct {
        int probed, limit;
    } cases[] = {{10, 8}, {2, 32}, {0, 32}, {-1, 32}, {-6, 32}, {3, 1}, {34, 32}, {50, 32}};
    for (auto c : cases) EXPECT_EQ(HalfOpenLimitFromProbe(c.probed), c.limit) << c.probed;
    EXPECT_EQ(ProbeHalfOpenLimit(), -1);
    EXPECT_EQ(HalfOpenLimitFromProbe(ProbeHalfOpenLimit()), 32);
}

TEST(IPFilterTest, RangesByEnd) {
    CIPFilter f;
    auto ip = [](const char* text) {
        in_addr a{};
        inet_pton(AF_INET, text, &a);
        return a.s_addr;
    };
    EXPECT_FALSE(f.IsFiltered(ip("10.0.0.1")));  // empty admits all
    f.AddRange(ntohl(ip("10.0.0.0")), ntohl(ip("10.0.0.255")));
    f.AddRange(ntohl(ip("192.168.1.10")), ntohl(ip("192.168.1.20")));
    struct {
        const char* address;
        bool filtered;
    } cases[] = {{"10.0.0.0", true},       {"10.0.0.255", true},    {"10.0.1.0", false},
                 {"9.255.255.255", false}, {"192.168.1.9", false},  {"192.168.1.15", true},
                 {"192.168.1.20", true},   {"192.168.1.21", false}, {"255.255.255.255", false}};
    for (auto c : cases) EXPECT_EQ(f.IsFiltered(ip(c.address)), c.filtered) << c.address;
}

}  // namespace
