// QConnection over the UDP streams: two endpoints joined by an in-process
// link that a thread drives with the real clock (no sockets), connections
// made through the transport stream factory, bytes both ways, and the end
// of the stream when the peer closes.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "engine/net/Connection.h"
#include "engine/net/NetServices.h"
#include "engine/net/UdpStream.h"

using namespace lf;

namespace {

uint64_t NowMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// Delivers datagrams between nodes and runs the passes, on its own thread.
class ThreadLink {
public:
    struct Node : IUdpDatagramOut {
        ThreadLink* link = nullptr;
        uint32_t ip = 0;
        uint16_t port = 0;
        std::unique_ptr<UdpStreamEndpoint> endpoint;
        bool SendDatagram(const uint8_t* data, size_t size, uint32_t addressNet,
                          uint16_t portNet) override {
            std::lock_guard<std::mutex> g(link->m_lock);
            link->m_queue.push_back(
                {ip, port, addressNet, ntohs(portNet), std::vector<uint8_t>(data, data + size)});
            return true;
        }
    };

    Node& AddNode(uint8_t id, const char* dotted, uint16_t port) {
        auto n = std::make_unique<Node>();
        n->link = this;
        n->ip = inet_addr(dotted);
        n->port = port;
        UdpStreamConfig config;
        config.seed.fill(id);
        config.localAddressNet = n->ip;
        config.clock = NowMs;
        n->endpoint = std::make_unique<UdpStreamEndpoint>(config, n.get());
        m_nodes.push_back(std::move(n));
        return *m_nodes.back();
    }
    void Start() {
        m_thread = std::thread([this] { Run(); });
    }
    ~ThreadLink() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
    }

private:
    struct Flight {
        uint32_t fromIp;
        uint16_t fromPort;
        uint32_t toIp;
        uint16_t toPort;
        std::vector<uint8_t> bytes;
    };
    void Run() {
        uint64_t lastAck = NowMs(), lastRetransmit = lastAck, lastTimer = lastAck;
        while (!m_stop) {
            std::deque<Flight> batch;
            {
                std::lock_guard<std::mutex> g(m_lock);
                batch.swap(m_queue);
            }
            uint64_t now = NowMs();
            for (Flight& f : batch)
                for (auto& n : m_nodes)
                    if (n->ip == f.toIp && n->port == f.toPort)
                        n->endpoint->OnStreamDatagram(f.bytes.data(), f.bytes.size(), f.fromIp,
                                                      htons(f.fromPort), now);
            if (now - lastRetransmit >= 40) {
                lastRetransmit = lastAck = now;
                for (auto& n : m_nodes) n->endpoint->OnRetransmitPass(now);
            } else if (now - lastAck >= 20) {
                lastAck = now;
                for (auto& n : m_nodes) n->endpoint->OnAckPass(now);
            }
            if (now - lastTimer >= 2000) {
                lastTimer = now;
                for (auto& n : m_nodes) n->endpoint->OnTimerPass(now);
            }
            if (batch.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    std::mutex m_lock;
    std::deque<Flight> m_queue;
    std::vector<std::unique_ptr<Node>> m_nodes;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
    std::vector<uint8_t> v(size);
    std::mt19937 rng(seed);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
}

// Moves `data` from one connection to the other; true when it arrived
// whole within the time limit.
bool Pump(QConnection& from, QConnection& to, const std::vector<uint8_t>& data, int seconds) {
    if (!from.Queue(data.data(), data.size())) return false;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (from.PendingSendSize() > 0 && from.Flush() < 0) return false;
        to.WaitReadable(0);
        if (to.ReceiveData() < 0) return false;
        if (to.ReceivedSize() >= data.size()) break;
        // One thread serves both ends: a short pause rather than a wait on
        // one of them.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (to.ReceivedSize() != data.size()) return false;
    bool same = std::equal(data.begin(), data.end(), to.ReceivedData());
    to.ConsumeReceived(to.ReceivedSize());
    return same;
}

TEST(UdpStreamConnectionTest, ConnectionCarriesBytesBothWaysAndSeesThePeerClose) {
    ThreadLink link;
    ThreadLink::Node& a = link.AddNode(0xA1, "198.18.0.1", 6881);
    ThreadLink::Node& b = link.AddNode(0xB2, "198.18.0.2", 6881);
    link.Start();
    QNetServices netA, netB;
    netA.SetTransportStreamFactory(MakeUdpStreamFactory(*a.endpoint));
    netB.SetTransportStreamFactory(MakeUdpStreamFactory(*b.endpoint));

    QTransportId toB;
    std::memset(toB.bytes, 0xB2, 8);
    std::memcpy(toB.bytes + 8, "UDP", 3);
    QTransportId any;
    std::memcpy(any.bytes + 8, "UDP", 3);

    QConnection listener;
    listener.SetNetServices(&netB);
    ASSERT_TRUE(listener.Listen(6881, nullptr, &any));
    EXPECT_TRUE(listener.IsTransport());

    QConnection client;
    client.SetNetServices(&netA);
    ASSERT_TRUE(client.Connect(b.ip, 6881, false, nullptr, nullptr, &toB));
    EXPECT_TRUE(client.IsTransport());
    std::unique_ptr<QConnection> server;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((!server || !client.IsThrough()) && std::chrono::steady_clock::now() < end) {
        client.WaitWritable(0);
        if (!server) server = listener.Accept();
        if (!server) listener.WaitReadable(1);
    }
    ASSERT_TRUE(client.IsThrough());
    ASSERT_TRUE(server);
    EXPECT_EQ(server->TargetAddress(), a.ip);

    EXPECT_TRUE(Pump(client, *server, Pattern(300000, 1), 20));
    EXPECT_TRUE(Pump(*server, client, Pattern(200000, 2), 20));
    EXPECT_EQ(client.BytesSent(), 300000u);

    client.Close();
    end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    long n = 0;
    while (n >= 0 && std::chrono::steady_clock::now() < end) {
        server->WaitReadable(1);
        n = server->ReceiveData();
    }
    EXPECT_EQ(n, -1);
    EXPECT_EQ(server->LastFailure(), QConnection::Failure::kClosedByPeer);

    // Without a factory a transport connect fails at once.
    QNetServices none;
    QConnection plain;
    plain.SetNetServices(&none);
    EXPECT_FALSE(plain.Connect(b.ip, 6881, false, nullptr, nullptr, &toB));
    EXPECT_EQ(plain.LastFailure(), QConnection::Failure::kNoTransport);
}

TEST(UdpStreamConnectionTest, ConnectToAnEngineWithoutListenerFails) {
    ThreadLink link;
    ThreadLink::Node& a = link.AddNode(0xA1, "198.18.0.1", 6881);
    ThreadLink::Node& b = link.AddNode(0xB2, "198.18.0.2", 6881);
    link.Start();
    QNetServices netA;
    netA.SetTransportStreamFactory(MakeUdpStreamFactory(*a.endpoint));
    QTransportId toB;
    std::memset(toB.bytes, 0xB2, 8);
    QConnection client;
    client.SetNetServices(&netA);
    ASSERT_TRUE(client.Connect(b.ip, 6881, false, nullptr, nullptr, &toB));
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (client.IsOpen() && std::chrono::steady_clock::now() < end) {
        if (client.WaitWritable(1) && client.Flush() < 0) break;
    }
    EXPECT_FALSE(client.IsThrough());
    EXPECT_EQ(client.LastFailure(), QConnection::Failure::kConnectFailed);
}

}  // namespace
