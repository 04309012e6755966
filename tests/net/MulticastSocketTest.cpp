// Several receivers of one multicast group on a host: two sockets share
// the port (address reuse) and both get what is sent to the group. Runs on
// the loopback of the test's private network namespace only. The suite's
// other tests run engines in the same namespace at the same time, and they
// hold the LAN discovery port: this test uses a free port of its own.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "engine/net/DatagramSocket.h"
#include "engine/net/LanDiscovery.h"
#include "tests/support/NetLab.h"
#include "tests/support/TestDirs.h"

using namespace lf;

namespace {

// A UDP port nobody holds now (bound on any address, read, released).
uint16_t FreeUdpPort() {
    QDatagramSocket probe;
    if (!probe.Open(0, 0)) return 0;
    return probe.LocalPort();
}

long ReceiveSoon(QDatagramSocket& s, char* buf, size_t size) {
    for (int i = 0; i < 400; ++i) {
        const long n = s.Receive(buf, size);
        if (n != 0) return n;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return 0;
}

TEST(MulticastSocketTest, ReceiversShareThePort) {
    ASSERT_TRUE(lftest::InPrivateNetworkNamespace()) << "run inside unshare --net";
    ASSERT_EQ(lftest::Run("ip link set lo multicast on && ip route replace 224.0.0.0/4 dev lo"), 0);
    const uint16_t port = FreeUdpPort();
    ASSERT_NE(port, 0);
    QDatagramSocket plain;
    ASSERT_TRUE(plain.Open(port, 0));
    QDatagramSocket second;
    EXPECT_FALSE(second.Open(port, 0)) << "without address reuse the port is taken";
    plain.Close();

    QDatagramSocket a, b;
    a.SetReuseAddress(true);
    b.SetReuseAddress(true);
    ASSERT_TRUE(a.Open(port, 0));
    ASSERT_TRUE(b.Open(port, 0));
    ASSERT_TRUE(a.JoinGroup(lan::GroupAddress(), 0)) << a.LastError();
    ASSERT_TRUE(b.JoinGroup(lan::GroupAddress(), 0)) << b.LastError();
    const std::string d(56, 'q');
    ASSERT_EQ(a.Send(d.data(), d.size(), lan::GroupAddress(), port), 56);
    char buf[128];
    EXPECT_EQ(ReceiveSoon(a, buf, sizeof(buf)), 56) << "looped back to the sender's host";
    EXPECT_EQ(ReceiveSoon(b, buf, sizeof(buf)), 56);
    EXPECT_EQ(std::string(buf, 56), d);
}

TEST(MulticastSocketTest, JoinNeedsAnOpenSocket) {
    QDatagramSocket s;
    EXPECT_FALSE(s.JoinGroup(lan::GroupAddress(), 0));
}

}  // namespace
