// The listener's state as the engine interface shows it for a task, and
// what P2P off and on does to the listener and the LAN discovery socket,
// seen from outside: connections to the listening port, and a plain bind of
// the LAN port (which fails while the engine holds it). One engine with one
// torrent task; the process runs in a network namespace of its own, since
// the LAN port is the same for every engine of the suite. The rendezvous
// service's name does not resolve: the UDP service keeps looking it up,
// and nothing else of the engine minds.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "engine/core/EngineApi.h"
#include "engine/core/LanternfishCore.h"
#include "engine/net/LanDiscovery.h"
#include "engine/net/UdpServer.h"
#include "tests/e2e/EngineTask.h"
#include "tests/support/NetLab.h"
#include "tests/support/TestDirs.h"

using namespace lf;
using namespace std::chrono_literals;

namespace {

bool CanConnect(const char* address, int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = inet_addr(address);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0;
    close(fd);
    return ok;
}

// True when a UDP socket without address reuse can take the port (nobody
// holds it).
bool UdpPortFree(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0;
    close(fd);
    return ok;
}

bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(50ms);
    }
    return done();
}

std::string ListenerText(TaskHandle h) {
    char text[64] = "?";
    EXPECT_EQ(GetTaskListenerText(h, text, sizeof text), 0);
    return text;
}

TEST(ListenerStateTest, TextAndP2PSwitch) {
    ASSERT_TRUE(lftest::InPrivateNetworkNamespace()) << "run inside unshare --net";
    ASSERT_TRUE(lftest::EnterOwnNetworkNamespace());
    ASSERT_EQ(lftest::Run("ip link set lo multicast on && ip route replace 224.0.0.0/4 dev lo"), 0);
    // The address check every second instead of every 180 s; the task waits
    // for peers that never come.
    setenv("LANTERNFISH_ADDRESS_CHECK_SECONDS", "1", 1);
    setenv("LANTERNFISH_START_TIMEOUT_SECONDS", "600", 1);
    setenv("LANTERNFISH_RENDEZVOUS_HOST", "rendezvous.invalid", 1);
    lftest::TempDir dir;
    ASSERT_EQ(lftest::Run("head -c 100000 /dev/urandom > '" + dir / "f.bin" + "'"), 0);
    const std::string torrent = lfe2e::MakeTorrent(dir / "f.bin", dir / "f.torrent", 16);
    const int port = lftest::FreeTcpPort();
    ASSERT_TRUE(UdpPortFree(lan::kPort));

    SetListenPort(port);
    ASSERT_EQ(EngineStartup(nullptr), 0);
    ASSERT_EQ(SetLocalAddress("127.0.0.1"), 0);
    SetP2PEnabled(1);
    std::string keep;
    TaskDescription d = lfe2e::DescribeTask("", dir / "got.bin", torrent, &keep);
    ASSERT_EQ(CreateAndStartTask(&d), 0);
    char small[4];
    EXPECT_EQ(GetTaskListenerText(d.handle, nullptr, 16), kEngineInvalidArgument);
    EXPECT_EQ(GetTaskListenerText(nullptr, small, sizeof small), kEngineUnknownTask);

    const std::string on = "127.0.0.1 : " + std::to_string(port);
    EXPECT_TRUE(Eventually([&] { return ListenerText(d.handle) == on; })) << ListenerText(d.handle);
    EXPECT_TRUE(CanConnect("127.0.0.1", port));
    EXPECT_TRUE(Eventually([] { return !UdpPortFree(lan::kPort); })) << "no LAN socket";
    ASSERT_NE(CLanternfishCore::Instance().udpServer, nullptr);
    EXPECT_TRUE(CLanternfishCore::Instance().udpServer->IsRunning());
    EXPECT_EQ(CLanternfishCore::Instance().udpServer->PublicAddress(), 0u);
    // Cut to the buffer, terminated.
    ASSERT_EQ(GetTaskListenerText(d.handle, small, sizeof small), 0);
    EXPECT_STREQ(small, "127");

    // The local address moves: the next address check reopens the
    // listener, and the text follows.
    ASSERT_EQ(SetLocalAddress("127.0.0.5"), 0);
    const std::string moved = "127.0.0.5 : " + std::to_string(port);
    EXPECT_TRUE(Eventually([&] { return ListenerText(d.handle) == moved; }))
        << ListenerText(d.handle);
    EXPECT_TRUE(CanConnect("127.0.0.1", port)) << "the listener binds every address";

    SetP2PEnabled(0);
    EXPECT_TRUE(Eventually([&] { return ListenerText(d.handle) == "Service Disabled!"; }))
        << ListenerText(d.handle);
    EXPECT_FALSE(CanConnect("127.0.0.1", port));
    EXPECT_TRUE(UdpPortFree(lan::kPort)) << "the LAN socket stays open while P2P is off";

    SetP2PEnabled(1);
    EXPECT_TRUE(Eventually([&] { return ListenerText(d.handle) == moved; }))
        << ListenerText(d.handle);
    EXPECT_TRUE(CanConnect("127.0.0.1", port));
    EXPECT_TRUE(Eventually([] { return !UdpPortFree(lan::kPort); })) << "no LAN socket again";

    // The engine stops and its last task goes: the listener and the LAN
    // socket close.
    int32_t result = 0;
    EXPECT_EQ(StopTasks(&d.handle, 1, 0, &result), 0);
    const auto t0 = std::chrono::steady_clock::now();
    EngineShutdown();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 15s) << "the lookup held the shutdown";
    EXPECT_FALSE(CanConnect("127.0.0.1", port));
    EXPECT_TRUE(UdpPortFree(lan::kPort));
}

}  // namespace
