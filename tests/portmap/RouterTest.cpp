// Discovery and mapping against a real UPnP router (miniupnpd) in the
// test's own namespaces.
#include <gtest/gtest.h>

#include <string>

#include "tests/portmap/RouterFixture.h"

namespace {

using portmaptest::RunScenario;
using portmaptest::Scenario;

const std::vector<std::string> kMappedNotes = {"17 0",   "17 1", "17 5", "17 6", "17 30", "17 70",
                                               "17 100", "18 0", "33 0", "33 1", "33 2",  "34 0"};

void ExpectMapped(const Scenario& s, const std::string& service) {
    EXPECT_TRUE(s.ProbeExitedCleanly()) << s.all;
    const int port = s.Port();
    ASSERT_GE(port, 40000) << s.all;
    ASSERT_LE(port, 50000) << s.all;
    const std::string p = std::to_string(port);
    EXPECT_TRUE(s.Has("ADDRESS 10.233.0.2")) << s.all;
    EXPECT_TRUE(s.Has("THREADS 2")) << s.all;
    EXPECT_TRUE(s.Logged("IGD设备信息线程已创建")) << s.all;
    EXPECT_TRUE(s.Logged("uPnP线程已创建")) << s.all;
    EXPECT_EQ(s.Notes(), kMappedNotes) << s.all;
    EXPECT_TRUE(s.Logged("NAT Device found : Name : <Lanternfish Test Router>")) << s.all;
    EXPECT_TRUE(s.Logged("uPnP成功")) << s.all;
    EXPECT_TRUE(s.Has("EVENT 11390000 uPnP成功")) << s.all;
    EXPECT_TRUE(s.Has("SERVICE " + service)) << s.all;
    // The router forwards TCP port p to the computer's port p ...
    EXPECT_NE(s.rules.find("th dport " + p + " dnat ip to 10.233.0.2:" + p), std::string::npos)
        << s.rules;
    // ... and knows the mapping under our description.
    EXPECT_NE(s.entry.find("<NewInternalClient>10.233.0.2</NewInternalClient>"), std::string::npos)
        << s.entry;
    EXPECT_NE(s.entry.find("<NewInternalPort>" + p + "</NewInternalPort>"), std::string::npos)
        << s.entry;
    EXPECT_NE(s.entry.find("<NewEnabled>1</NewEnabled>"), std::string::npos) << s.entry;
    EXPECT_NE(s.entry.find("<NewPortMappingDescription>Lanternfish uPnP for P2SP "
                           "upload/download</NewPortMappingDescription>"),
              std::string::npos)
        << s.entry;
}

class RouterTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string missing = portmaptest::MissingTool();
        if (!missing.empty()) GTEST_SKIP() << "needs " << missing;
    }
    lftest::TempDir work;
};

TEST_F(RouterTest, MapsThePortOnAnIgdV2Router) {
    ExpectMapped(RunScenario("v2", work), "urn:schemas-upnp-org:service:WANIPConnection:2");
}

TEST_F(RouterTest, MapsThePortOnAnIgdV1Router) {
    ExpectMapped(RunScenario("v1", work), "urn:schemas-upnp-org:service:WANIPConnection:1");
}

TEST_F(RouterTest, RouterThatRefusesTheMapping) {
    const Scenario s = RunScenario("refuse", work);
    EXPECT_TRUE(s.ProbeExitedCleanly()) << s.all;
    ASSERT_GE(s.Port(), 40000) << s.all;
    EXPECT_TRUE(s.Logged("NAT Device found : Name : <Lanternfish Test Router>")) << s.all;
    EXPECT_TRUE(s.Has("NOTE 33 2")) << s.all;
    EXPECT_TRUE(s.Has("NOTE 34 -2147467259")) << s.all;
    EXPECT_TRUE(s.Logged("IGD设备已找到，但是uPnP依然失败")) << s.all;
    EXPECT_TRUE(s.Has("EVENT 11500105 IGD设备已找到，但是uPnP依然失败")) << s.all;
    EXPECT_FALSE(s.Has("EVENT 11390000 uPnP成功")) << s.all;
    EXPECT_EQ(s.rules.find("dnat"), std::string::npos) << s.rules;
    EXPECT_EQ(s.entry.find("NewInternalClient"), std::string::npos) << s.entry;
}

}  // namespace
