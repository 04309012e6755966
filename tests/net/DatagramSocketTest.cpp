#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "engine/net/DatagramSocket.h"

using namespace lf;

namespace {

uint32_t Ip(const char* dotted) {
    return inet_addr(dotted);
}

// Reads one datagram within a second.
long ReceiveSoon(QDatagramSocket& s, char* buf, size_t size) {
    for (int i = 0; i < 200; ++i) {
        long n = s.Receive(buf, size);
        if (n != 0) return n;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return 0;
}

TEST(DatagramSocketTest, SendRefusals) {
    QDatagramSocket s;
    const std::string big(8193, 'x');
    const struct {
        const char* name;
        const void* bytes;
        size_t size;
        uint32_t ip;
        int port;
    } cases[] = {
        {"no bytes", "x", 0, Ip("127.0.0.1"), 9},
        {"null", nullptr, 1, Ip("127.0.0.1"), 9},
        {"above 8192", big.data(), big.size(), Ip("127.0.0.1"), 9},
        {"address 0", "x", 1, 0, 9},
        {"port 0", "x", 1, Ip("127.0.0.1"), 0},
        {"port 65536", "x", 1, Ip("127.0.0.1"), 65536},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(s.Send(c.bytes, c.size, c.ip, c.port), -1) << c.name;
        EXPECT_FALSE(s.IsOpen()) << c.name;
    }
    char buf[16];
    EXPECT_EQ(s.Receive(buf, sizeof(buf)), -1);  // never opened
}

TEST(DatagramSocketTest, OpensOnFirstSendAndRecordsTheSender) {
    QDatagramSocket server;
    ASSERT_TRUE(server.Open(0, Ip("127.0.0.1")));
    const uint16_t port = server.LocalPort();
    char buf[9000];
    EXPECT_EQ(server.Receive(buf, sizeof(buf)), 0);  // would block: still open
    EXPECT_TRUE(server.IsOpen());

    QDatagramSocket client;
    client.SetLocal(0, Ip("127.0.0.3"));  // the local-address setting
    const std::string d(8192, 'd');
    ASSERT_EQ(client.Send(d.data(), d.size(), Ip("127.0.0.1"), port), 8192);
    EXPECT_TRUE(client.IsOpen());
    ASSERT_EQ(ReceiveSoon(server, buf, sizeof(buf)), 8192);
    EXPECT_EQ(server.SenderAddress(), Ip("127.0.0.3"));
    EXPECT_EQ(server.SenderPort(), client.LocalPort());
    // A datagram larger than the buffer is cut to the buffer.
    ASSERT_EQ(client.Send(d.data(), 100, Ip("127.0.0.1"), port), 100);
    EXPECT_EQ(ReceiveSoon(server, buf, 10), 10);
    // An empty send is refused; the socket still answers both ways.
    ASSERT_EQ(client.Send("", 0, Ip("127.0.0.1"), port), -1);
    EXPECT_EQ(server.Send("ok", 2, server.SenderAddress(), server.SenderPort()), 2);
    EXPECT_EQ(ReceiveSoon(client, buf, sizeof(buf)), 2);
}

TEST(DatagramSocketTest, PortUnreachableKeepsTheSocketOpen) {
    QDatagramSocket probe;
    ASSERT_TRUE(probe.Open(0, Ip("127.0.0.1")));
    const uint16_t closedPort = probe.LocalPort();
    probe.Close();
    QDatagramSocket s;
    char buf[16];
    for (int i = 0; i < 3; ++i) {
        EXPECT_GE(s.Send("x", 1, Ip("127.0.0.1"), closedPort), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(s.Receive(buf, sizeof(buf)), 0);
        EXPECT_TRUE(s.IsOpen());
    }
    // Binding an address the machine does not have fails quietly.
    EXPECT_FALSE(s.Open(0, Ip("198.18.200.1")));
    EXPECT_FALSE(s.IsOpen());
}

}  // namespace
