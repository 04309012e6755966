// The UDP server's thread on loopback against lf-rendezvous's handler run
// by the test: the core starts it with the machine id, the move to the
// listener's port registers again, two servers find each other, an
// unknown service leaves the socket usable, suspension closes it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/core/LanternfishCore.h"
#include "engine/core/WorkThread.h"
#include "engine/log/LogApi.h"
#include "engine/net/UdpServer.h"
#include "tests/net/UdpServerTestSink.h"
#include "tests/support/NetLab.h"
#include "tools/lf-rendezvous/RendezvousHandler.h"

using namespace lf;
using namespace std::chrono_literals;

namespace {

const uint32_t kLoopback = inet_addr("127.0.0.1");

int BoundUdp(uint16_t port = 0) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = kLoopback;
    sa.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

uint16_t PortOf(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof(sa);
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    return ntohs(sa.sin_port);
}

// A free UDP port on loopback (bound, read, released).
uint16_t FreeUdpPort() {
    const int fd = BoundUdp();
    const uint16_t p = PortOf(fd);
    close(fd);
    return p;
}

// lf-rendezvous's handler behind a loopback socket, on a thread.
class LoopbackRendezvous {
public:
    LoopbackRendezvous() : m_fd(BoundUdp()), m_port(PortOf(m_fd)) {
        m_thread = std::thread([this] { Loop(); });
    }
    ~LoopbackRendezvous() {
        m_stop = true;
        m_thread.join();
        close(m_fd);
    }
    uint16_t Port() const { return m_port; }
    // Registrations seen: (identity, sender port).
    struct Registration {
        std::array<uint8_t, 12> identity;
        uint16_t port;
    };
    std::vector<Registration> Registrations() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_registrations;
    }
    template <class Pred>
    bool WaitFor(Pred pred, std::chrono::milliseconds limit = 20s) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            if (pred(Registrations())) return true;
            std::this_thread::sleep_for(20ms);
        }
        return pred(Registrations());
    }

private:
    void Loop() {
        uint8_t buffer[8192];
        while (!m_stop) {
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            sockaddr_in from{};
            socklen_t len = sizeof(from);
            const ssize_t n =
                recvfrom(m_fd, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n <= 0) continue;
            if (n == 64 && ReadBe32(buffer + 12) == kRendezvousRegister) {
                std::lock_guard<std::mutex> g(m_lock);
                Registration r;
                std::memcpy(r.identity.data(), buffer + 16, 12);
                r.port = ntohs(from.sin_port);
                m_registrations.push_back(r);
            }
            std::vector<RendezvousOutgoing> out;
            m_handler.Handle(buffer, static_cast<size_t>(n), 0, from.sin_addr.s_addr,
                             ntohs(from.sin_port), QUInternalServer::NowMs(), out);
            for (const RendezvousOutgoing& o : out) {
                sockaddr_in to{};
                to.sin_family = AF_INET;
                to.sin_addr.s_addr = o.addressNet;
                to.sin_port = htons(o.port);
                sendto(m_fd, o.bytes.data(), o.bytes.size(), 0, reinterpret_cast<sockaddr*>(&to),
                       sizeof(to));
            }
        }
    }

    int m_fd;
    uint16_t m_port;
    std::atomic<bool> m_stop{false};
    RendezvousHandler m_handler;
    std::mutex m_lock;
    std::vector<Registration> m_registrations;
    std::thread m_thread;
};

std::mutex g_logLock;
std::string g_logLines;
void CaptureLog(const char* line) {
    std::lock_guard<std::mutex> g(g_logLock);
    g_logLines += line;
    g_logLines += "\n";
}

template <class Pred>
bool Eventually(Pred pred, std::chrono::milliseconds limit = 20s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return pred();
}

UdpServiceConfig LoopbackConfig(uint16_t rendezvousPort, uint16_t localPort, uint8_t seedByte) {
    UdpServiceConfig c;
    c.rendezvousHost = "127.0.0.1";
    c.rendezvousPort = rendezvousPort;
    c.localPort = localPort;
    c.localAddress = kLoopback;
    c.identitySeed = {seedByte, 0x5A, 1, 2, 3, 4, 5, 6};
    return c;
}

class UdpServerEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!lftest::InPrivateNetworkNamespace())
            GTEST_SKIP() << "needs a private network namespace (unshare --net)";
        // The engine's UDP server starts on port 8000, which engines of the
        // suite's other tests may hold in the suite's namespace: this
        // process gets a namespace of its own (once, before its threads).
        static const bool own = lftest::EnterOwnNetworkNamespace();
        ASSERT_TRUE(own) << "no network namespace of its own";
    }
};

TEST_F(UdpServerEngineTest, CoreStartsTheServiceAndFollowsTheListenersPort) {
    LoopbackRendezvous service;
    setenv("LANTERNFISH_RENDEZVOUS_HOST", "127.0.0.1", 1);
    setenv("LANTERNFISH_RENDEZVOUS_PORT", std::to_string(service.Port()).c_str(), 1);
    CLanternfishCore& core = CLanternfishCore::Instance();
    core.localAddress.store(kLoopback);
    core.StartSharedServices();
    ASSERT_NE(core.udpServer, nullptr);
    ASSERT_TRUE(service.WaitFor([](const auto& r) { return !r.empty(); }));
    const auto first = service.Registrations().front();
    EXPECT_EQ(first.port, 8000);
    // The identity is the machine id, and the tasks' peer ids carry the
    // same 8 bytes: a remote that knows one knows the other.
    const std::array<uint8_t, 8> machine = core.MachineId();
    EXPECT_EQ(std::memcmp(first.identity.data(), machine.data(), 8), 0);
    EXPECT_EQ(std::memcmp(first.identity.data() + 8, "UDP0", 4), 0);
    TWorkThread task;
    EXPECT_EQ(std::memcmp(task.TaskPeerId().data() + 8, first.identity.data(), 8), 0);
    ASSERT_TRUE(Eventually([&] { return core.udpServer->PublicAddress() == kLoopback; }));
    EXPECT_FALSE(core.udpServer->IsBehindNat());

    // The listener runs on another port: the socket moves and the service
    // hears of it at once.
    const uint16_t listenerPort = FreeUdpPort();
    core.udpServer->SetLocalEndpoint(0, listenerPort);
    EXPECT_TRUE(service.WaitFor([&](const auto& r) { return r.back().port == listenerPort; }, 10s));
    EXPECT_TRUE(Eventually([&] { return core.udpServer->BoundPort() == listenerPort; }));
    // Same endpoint again: nothing changes.
    const size_t count = service.Registrations().size();
    core.udpServer->SetLocalEndpoint(kLoopback, listenerPort);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(service.Registrations().size(), count);

    core.StopSharedServices();
    EXPECT_FALSE(core.udpServer->IsRunning());
    EXPECT_EQ(core.udpServer->BoundPort(), 0);
    EXPECT_TRUE(core.udpServer->Suspended());
    unsetenv("LANTERNFISH_RENDEZVOUS_HOST");
    unsetenv("LANTERNFISH_RENDEZVOUS_PORT");
}

TEST_F(UdpServerEngineTest, TwoServersFindEachOther) {
    LoopbackRendezvous service;
    QUInternalServer a, b;
    lftest::RecordingSink sinkA;
    a.SetStreamSink(&sinkA);
    const uint16_t portA = FreeUdpPort(), portB = FreeUdpPort();
    ASSERT_EQ(a.StartUdpService(LoopbackConfig(service.Port(), portA, 0xA1)), 0);
    ASSERT_EQ(b.StartUdpService(LoopbackConfig(service.Port(), portB, 0xB1)), 0);
    EXPECT_EQ(a.StartUdpService(LoopbackConfig(service.Port(), portA, 0xA1)), 0) << "already runs";
    ASSERT_TRUE(service.WaitFor([](const auto& r) { return r.size() >= 2; }));
    const UdpIdentity idB = b.Identity();
    std::array<uint8_t, 8> seedB;
    std::memcpy(seedB.data(), idB.data(), 8);
    {
        QGuard guard(a.ServerLock());
        const uint32_t seq = a.QueueQuery(kLoopback, idB.data());
        std::lock_guard<std::mutex> g(sinkA.lock);
        sinkA.records.push_back({seedB, seq});
    }
    ASSERT_TRUE(Eventually([&] {
        std::lock_guard<std::mutex> g(sinkA.lock);
        return sinkA.records[0].state != 1;
    }));
    std::lock_guard<std::mutex> g(sinkA.lock);
    EXPECT_EQ(sinkA.records[0].state, 2);
    EXPECT_EQ(sinkA.records[0].addressNet, kLoopback);
    EXPECT_EQ(ntohs(sinkA.records[0].portNet), portB);
    EXPECT_GT(sinkA.ackPasses, 0);
}

TEST_F(UdpServerEngineTest, BadConfigurationsAreRefused) {
    QUInternalServer s;
    UdpServiceConfig c = LoopbackConfig(82, 8000, 1);
    c.rendezvousHost.clear();
    EXPECT_EQ(s.StartUdpService(c), -1);
    c = LoopbackConfig(82, 8000, 1);
    c.rendezvousHost = std::string(128, 'a');
    EXPECT_EQ(s.StartUdpService(c), -1);
    c = LoopbackConfig(0, 8000, 1);
    EXPECT_EQ(s.StartUdpService(c), -1);
    c = LoopbackConfig(82, 8000, 1);
    c.localPort = 65536;
    EXPECT_EQ(s.StartUdpService(c), -1);
    c = LoopbackConfig(82, 8000, 1);
    c.timeoutSeconds = 0;
    EXPECT_EQ(s.StartUdpService(c), -1);
    EXPECT_FALSE(s.IsRunning());
}

TEST_F(UdpServerEngineTest, UnknownServiceLeavesTheSocketUsable) {
    QUInternalServer s;
    UdpServiceConfig c = LoopbackConfig(82, FreeUdpPort(), 1);
    c.rendezvousHost = "rendezvous.invalid";
    ASSERT_EQ(s.StartUdpService(c), 0);
    ASSERT_TRUE(Eventually([&] { return s.BoundPort() == c.localPort; }));
    const int peer = BoundUdp();
    const uint8_t hello[64] = {0, 0, 0, 64};
    EXPECT_TRUE(s.SendDatagram(hello, sizeof(hello), kLoopback, htons(PortOf(peer))));
    pollfd p{peer, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 5000), 1);
    close(peer);
    EngineLog::Open();
    EngineLog::SetThresholds(100, 0);  // every line to the debug output, none to files
    SetDebugOutputSink(&CaptureLog);
    const auto t0 = std::chrono::steady_clock::now();
    s.StopUdpService();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 15s);
    SetDebugOutputSink(nullptr);
    EngineLog::Close();
    {
        std::lock_guard<std::mutex> g(g_logLock);
        EXPECT_NE(g_logLines.find("UDPServer Thread Stopped.. "), std::string::npos) << g_logLines;
    }
    EXPECT_FALSE(s.IsRunning());
    EXPECT_FALSE(s.SendDatagram(hello, sizeof(hello), kLoopback, htons(9)));
}

TEST_F(UdpServerEngineTest, SuspensionClosesTheSocketUntilLifted) {
    LoopbackRendezvous service;
    QUInternalServer s;
    const uint16_t port = FreeUdpPort();
    ASSERT_EQ(s.StartUdpService(LoopbackConfig(service.Port(), port, 7)), 0);
    ASSERT_TRUE(service.WaitFor([](const auto& r) { return r.size() == 1; }));
    s.SetSuspended(true);
    ASSERT_TRUE(Eventually([&] { return s.BoundPort() == 0; }));
    const uint8_t hello[64] = {0, 0, 0, 64};
    EXPECT_FALSE(s.SendDatagram(hello, sizeof(hello), kLoopback, htons(service.Port())));
    s.SetSuspended(false);
    EXPECT_TRUE(service.WaitFor([](const auto& r) { return r.size() >= 2; }))
        << "the reopened socket registers again";
    s.StopUdpService();
}

// The configured local address is only reported: the socket binds every
// address, so datagrams to any of the host's addresses reach it, and its
// own go out from the address the route picks (the service sees 127.0.0.1,
// not the reported 127.0.0.5, and the engine counts itself behind NAT).
TEST_F(UdpServerEngineTest, SocketBindsEveryAddress) {
    LoopbackRendezvous service;
    QUInternalServer s;
    lftest::RecordingSink sink;
    s.SetStreamSink(&sink);
    UdpServiceConfig c = LoopbackConfig(service.Port(), FreeUdpPort(), 5);
    c.localAddress = inet_addr("127.0.0.5");
    ASSERT_EQ(s.StartUdpService(c), 0);
    ASSERT_TRUE(Eventually([&] { return s.PublicAddress() != 0; }));
    EXPECT_EQ(s.PublicAddress(), kLoopback);
    EXPECT_TRUE(s.IsBehindNat());
    for (const char* to : {"127.0.0.1", "127.0.0.3", "127.0.0.5"}) {
        const int peer = BoundUdp();
        uint8_t stream[64] = {0, 0, 0, 64};
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(c.localPort));
        sa.sin_addr.s_addr = inet_addr(to);
        const int before = [&] {
            std::lock_guard<std::mutex> g(sink.lock);
            return sink.streamPackets;
        }();
        sendto(peer, stream, sizeof(stream), 0, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
        EXPECT_TRUE(Eventually(
            [&] {
                std::lock_guard<std::mutex> g(sink.lock);
                return sink.streamPackets > before;
            },
            5s))
            << to;
        close(peer);
    }
    s.StopUdpService();
}

// No socket can be made (the process is out of descriptors): said in the
// log with the system's error code, the public address is forgotten, and
// the thread tries again every second until it gets one.
TEST_F(UdpServerEngineTest, SocketThatCannotBeMadeIsTriedAgain) {
    QUInternalServer s;
    UdpServiceConfig c = LoopbackConfig(9, FreeUdpPort(), 3);
    {
        std::lock_guard<std::mutex> g(g_logLock);
        g_logLines.clear();
    }
    EngineLog::Open();
    EngineLog::SetThresholds(100, 0);
    SetDebugOutputSink(&CaptureLog);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = 256;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> fillers;
    for (;;) {
        const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0) break;
        fillers.push_back(fd);
    }
    const bool exhausted = errno == EMFILE;
    const int started = s.StartUdpService(c);
    const bool said = Eventually([] {
        std::lock_guard<std::mutex> g(g_logLock);
        return g_logLines.find("socket bind error : Last Error(24)") != std::string::npos;
    });
    std::this_thread::sleep_for(1500ms);
    const uint16_t boundMeanwhile = s.BoundPort();
    for (const int fd : fillers) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_TRUE(exhausted);
    ASSERT_EQ(started, 0);
    EXPECT_TRUE(said) << g_logLines;
    EXPECT_EQ(boundMeanwhile, 0);
    EXPECT_EQ(s.PublicAddress(), 0u);
    {
        std::lock_guard<std::mutex> g(g_logLock);
        size_t times = 0;
        for (size_t at = g_logLines.find("socket bind error"); at != std::string::npos;
             at = g_logLines.find("socket bind error", at + 1))
            ++times;
        EXPECT_GE(times, 2u) << "tried again every second";
    }
    EXPECT_TRUE(Eventually([&] { return s.BoundPort() == c.localPort; }));
    s.StopUdpService();
    SetDebugOutputSink(nullptr);
    EngineLog::Close();
}

}  // namespace
