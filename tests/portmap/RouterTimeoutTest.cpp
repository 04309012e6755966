// No router answers the discovery: the mapping thread waits the full 60
// seconds for it and gives up. Takes about a minute (ctest label "slow").
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <string>

#include "tests/portmap/RouterFixture.h"

namespace {

TEST(RouterTimeout, NoRouterGivesUpAfterTheDiscoveryWait) {
    const std::string missing = portmaptest::MissingTool();
    if (!missing.empty()) GTEST_SKIP() << "needs " << missing;
    lftest::TempDir work;
    const auto start = std::chrono::steady_clock::now();
    const portmaptest::Scenario s = portmaptest::RunScenario("none", work);
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
            .count();
    std::cout << "scenario took " << seconds << " s\n";

    EXPECT_TRUE(s.ProbeExitedCleanly()) << s.all;
    ASSERT_GE(s.Port(), 40000) << s.all;
    EXPECT_TRUE(s.Has("THREADS 2")) << s.all;
    const int timeout = s.Find("EVENT 11500105 uPnP失败，获取IGD设备超时");
    ASSERT_GE(timeout, 0) << s.all;
    // The timeout event is only sent, not logged.
    EXPECT_FALSE(s.Logged("uPnP失败，获取IGD设备超时")) << s.all;
    // Discovery was still searching when the mapping thread gave up; it ends
    // afterwards and finds no device.
    const int done = s.Find("NOTE 18 0");
    ASSERT_GE(done, 0) << s.all;
    EXPECT_LT(timeout, done) << s.all;
    EXPECT_TRUE(s.Logged("NAT device ^Not^ found..")) << s.all;
    // No mapping was tried and no other result was reported.
    for (const auto& note : s.Notes()) {
        EXPECT_NE(note.rfind("33 ", 0), 0u) << note;
        EXPECT_NE(note.rfind("34 ", 0), 0u) << note;
    }
    EXPECT_FALSE(s.Has("EVENT 11390000 uPnP成功")) << s.all;
    EXPECT_FALSE(s.Has("EVENT 11500105 uPnP失败，因为没有IGD设备信息")) << s.all;
}

}  // namespace
