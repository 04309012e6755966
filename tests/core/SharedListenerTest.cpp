// The engine's shared listener with eight tasks on it: each task's pass
// runs the incoming dispatch as the task threads do; remote peers are
// plain sockets of this test on loopback. Tasks here are small doubles of
// the task base that take what the dispatch offers them.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/base/QMutex.h"
#include "engine/core/BaseWork.h"
#include "engine/core/LanternfishCore.h"
#include "engine/core/WorkThread.h"
#include "engine/log/LogApi.h"
#include "engine/net/Connection.h"
#include "engine/net/PendingConnection.h"
#include "tests/support/NetLab.h"
#include "tests/support/Netns.h"
#include "tests/support/TestDirs.h"

using namespace lf;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

std::mutex g_logLock;
std::string g_logLines;
void CaptureLog(const char* line) {
    std::lock_guard<std::mutex> g(g_logLock);
    g_logLines += line;
    g_logLines += "\n";
}

// A task that takes every connection the dispatch offers it.
class OfferedTask : public TBaseWork {
public:
    explicit OfferedTask(uint8_t mark) { hash.fill(mark); }
    void Run() override {}
    int StartDownload() override { return 0; }
    int RestartFromScratch() override { return 0; }
    void SetConnectionLimits(int32_t, int32_t) override {}
    int SetSpeedLimit(int32_t, int32_t) override { return 0; }
    int64_t Tick() override { return 0; }
    void Publish(bool, bool) override {}
    int ContinueDownload() override { return 0; }
    void AddMirrors(const char*, const char*) override {}
    void ClearMirrors() override {}
    int32_t CopyPieceMap(uint8_t*, int32_t) override { return 0; }
    int32_t PieceMapSize() override { return 0; }
    bool IsHandshakeForTask(const QConnection& c) override {
        return incoming::IsHandshakeFor(c.ReceivedData(), c.ReceivedSize(), hash.data());
    }
    bool AcceptIncoming(std::unique_ptr<QConnection>& c, bool disguised) override {
        if (refuse) return false;
        taken.push_back({std::move(c), disguised});
        return true;
    }
    // One pass of the task thread's dispatch.
    void Pass() {
        QGuard guard(TaskListLock());
        CLanternfishCore::Instance().Listener().Dispatch(*this, &hash, &listenerText);
    }

    InfoHash20 hash{};
    bool refuse = false;
    std::string listenerText;
    struct Taken {
        std::unique_ptr<QConnection> connection;
        bool disguised;
    };
    std::vector<Taken> taken;
};

std::string Handshake(const InfoHash20& hash) {
    std::string h(1, '\x13');
    h += "BitTorrent protocol";
    h += std::string(8, '\0');
    h.append(reinterpret_cast<const char*>(hash.data()), 20);
    h += "-XX0001-abcdefghijkl";
    return h;
}

// A remote peer: a blocking socket connected to the listener.
class Remote {
public:
    explicit Remote(int port, const char* from = "127.0.0.1", const char* to = "127.0.0.1") {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = inet_addr(from);
        bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof(local));
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        sa.sin_addr.s_addr = inet_addr(to);
        m_connected = connect(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0;
    }
    ~Remote() { close(m_fd); }
    bool Connected() const { return m_connected; }
    bool Send(const std::string& bytes) {
        return send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }
    // The engine closed its end (reads end of stream or a reset).
    bool ClosedByEngine() {
        char b[256];
        for (;;) {
            const ssize_t n = recv(m_fd, b, sizeof(b), MSG_DONTWAIT);
            if (n > 0) continue;
            if (n == 0) return true;
            return errno != EAGAIN && errno != EWOULDBLOCK;
        }
    }

private:
    int m_fd = -1;
    bool m_connected = false;
};

class SharedListenerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(lftest::InPrivateNetworkNamespace())
            << "run inside unshare --net: the listener takes every address";
        // Multicast on the lone loopback of the test's namespace.
        lftest::Run("ip link set lo multicast on; ip route replace 224.0.0.0/4 dev lo");
        core.listenPort = port = lftest::FreeTcpPort();
        core.localAddress = inet_addr("127.0.0.1");
        core.p2pEnabled = 1;
        for (uint8_t i = 1; i <= 8; ++i) tasks.push_back(std::make_unique<OfferedTask>(i));
        PassAll();
        ASSERT_TRUE(Listener().Listening());
    }
    void TearDown() override {
        tasks.clear();
        core.p2pEnabled = 0;
        core.localAddress = 0;
    }
    QSharedListener& Listener() { return core.Listener(); }
    size_t Pending() {
        QGuard guard(core.TaskListLock());
        return Listener().PendingCount();
    }
    // Every task's dispatch once, as the eight task threads would.
    void PassAll() {
        for (auto& t : tasks) t->Pass();
    }
    // Passes every 100 ms until done() or the limit.
    bool PassUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
        const auto end = Clock::now() + limit;
        while (Clock::now() < end) {
            PassAll();
            if (done()) return true;
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }
    size_t TakenCount() {
        size_t n = 0;
        for (auto& t : tasks) n += t->taken.size();
        return n;
    }

    CLanternfishCore& core = CLanternfishCore::Instance();
    int port = 0;
    std::vector<std::unique_ptr<OfferedTask>> tasks;
};

TEST_F(SharedListenerTest, HandshakeReachesItsTaskOnly) {
    EXPECT_EQ(tasks[0]->listenerText, "127.0.0.1 : " + std::to_string(port));
    Remote peer(port);
    ASSERT_TRUE(peer.Connected());
    // Task 5's hash; the rest of the handshake and a message follow later.
    ASSERT_TRUE(peer.Send(Handshake(tasks[4]->hash).substr(0, 30)));
    std::this_thread::sleep_for(300ms);
    PassAll();
    EXPECT_EQ(TakenCount(), 0u) << "offered before the info hash was in";
    ASSERT_TRUE(peer.Send(Handshake(tasks[4]->hash).substr(30)));
    ASSERT_TRUE(PassUntil([&] { return TakenCount() > 0; }));
    ASSERT_EQ(tasks[4]->taken.size(), 1u);
    EXPECT_EQ(TakenCount(), 1u);
    const OfferedTask::Taken& t = tasks[4]->taken[0];
    EXPECT_FALSE(t.disguised);
    const std::string got(reinterpret_cast<const char*>(t.connection->ReceivedData()),
                          t.connection->ReceivedSize());
    EXPECT_EQ(got, Handshake(tasks[4]->hash));
    EXPECT_EQ(Pending(), 0u);
}

TEST_F(SharedListenerTest, DisguisedHandshakeIsStrippedAndMarked) {
    Remote peer(port);
    const std::string header = "GET / HTTP/1.0\r\nHost: 16777343:1\r\n\r\n";
    ASSERT_TRUE(peer.Send(header + Handshake(tasks[1]->hash)));
    ASSERT_TRUE(PassUntil([&] { return !tasks[1]->taken.empty(); }));
    const OfferedTask::Taken& t = tasks[1]->taken[0];
    EXPECT_TRUE(t.disguised);
    const std::string got(reinterpret_cast<const char*>(t.connection->ReceivedData()),
                          t.connection->ReceivedSize());
    EXPECT_EQ(got, Handshake(tasks[1]->hash));
}

TEST_F(SharedListenerTest, HopelessConnectionsAreClosed) {
    InfoHash20 nobody;
    nobody.fill(0x77);
    Remote unregistered(port);
    ASSERT_TRUE(unregistered.Send(Handshake(nobody)));
    // A task that refuses: its connection is closed, not left pending.
    tasks[6]->refuse = true;
    Remote refused(port);
    ASSERT_TRUE(refused.Send(Handshake(tasks[6]->hash)));
    EXPECT_TRUE(
        PassUntil([&] { return unregistered.ClosedByEngine() && refused.ClosedByEngine(); }));
    EXPECT_EQ(TakenCount(), 0u);

    // One byte per second of a handshake for task 1, and a header that
    // never ends: both still open after 2 s, both closed later.
    Remote slow(port), endless(port);
    const std::string hs = Handshake(tasks[0]->hash);
    const auto start = Clock::now();
    size_t sent = 0;
    ASSERT_TRUE(endless.Send("GET / HTTP/1.0\r\n"));
    bool slowClosed = false, endlessClosed = false;
    for (int i = 0; i < 200 && !(slowClosed && endlessClosed); ++i) {
        const auto elapsed = Clock::now() - start;
        if (elapsed >= std::chrono::seconds(sent) && sent < hs.size())
            slow.Send(hs.substr(sent++, 1));
        if (!endlessClosed) endless.Send("X-Padding: " + std::string(20, 'p') + "\r\n");
        PassAll();
        slowClosed = slowClosed || slow.ClosedByEngine();
        endlessClosed = endlessClosed || endless.ClosedByEngine();
        if (elapsed < 2s) {
            ASSERT_FALSE(slowClosed) << "a slow sender gets 3 s";
            ASSERT_FALSE(endlessClosed) << "a header gets time to end";
        }
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(slowClosed);
    EXPECT_TRUE(endlessClosed);
    EXPECT_EQ(TakenCount(), 0u);
    EXPECT_EQ(Pending(), 0u);
}

TEST_F(SharedListenerTest, CrowdIsTrimmedWhileARealPeerGetsIn) {
    std::vector<std::unique_ptr<Remote>> junk;
    for (int i = 0; i < 40; ++i) {
        junk.push_back(std::make_unique<Remote>(port));
        ASSERT_TRUE(junk.back()->Send("junk"));
        // The accepts keep the listen queue short.
        if (i % 8 == 7) PassAll();
    }
    // Accepted 11 per pass: all 40 are pending after a few passes.
    ASSERT_TRUE(PassUntil([&] { return Pending() >= 40; }, 5s));
    std::this_thread::sleep_for(1100ms);
    Remote peer(port);
    ASSERT_TRUE(peer.Send(Handshake(tasks[2]->hash)));
    ASSERT_TRUE(PassUntil([&] { return !tasks[2]->taken.empty(); }));
    ASSERT_TRUE(PassUntil([&] { return Pending() == 0; }));
    for (auto& j : junk) EXPECT_TRUE(j->ClosedByEngine());
    EXPECT_EQ(TakenCount(), 1u);
}

TEST_F(SharedListenerTest, FilteredAddressesAreClosed) {
    {
        QGuard guard(core.TaskListLock());
        Listener().Filter().AddRange(0x7f000002, 0x7f000002);  // 127.0.0.2
    }
    Remote filtered(port, "127.0.0.2");
    ASSERT_TRUE(filtered.Send(Handshake(tasks[0]->hash)));
    Remote allowed(port, "127.0.0.3");
    ASSERT_TRUE(allowed.Send(Handshake(tasks[0]->hash)));
    ASSERT_TRUE(PassUntil([&] { return filtered.ClosedByEngine() && !tasks[0]->taken.empty(); }));
    EXPECT_EQ(tasks[0]->taken.size(), 1u);
    EXPECT_EQ(tasks[0]->taken[0].connection->TargetAddress(), inet_addr("127.0.0.3"));
    QGuard guard(core.TaskListLock());
    Listener().Filter().Clear();
}

TEST_F(SharedListenerTest, P2POffClosesEverythingAndOnReopens) {
    Remote waiting(port);
    ASSERT_TRUE(waiting.Send("GET"));
    PassAll();
    {
        QGuard guard(core.TaskListLock());
        EXPECT_TRUE(Listener().Lan().IsOpen());
        EXPECT_EQ(Listener().PendingCount(), 1u);
    }
    core.p2pEnabled = 0;
    PassAll();
    for (auto& t : tasks) EXPECT_EQ(t->listenerText, "Service Disabled!");
    {
        QGuard guard(core.TaskListLock());
        EXPECT_FALSE(Listener().Listening());
        EXPECT_FALSE(Listener().Lan().IsOpen());
        EXPECT_EQ(Listener().PendingCount(), 0u);
    }
    EXPECT_TRUE(waiting.ClosedByEngine());
    EXPECT_FALSE(Remote(port).Connected());

    core.p2pEnabled = 1;
    PassAll();
    for (auto& t : tasks) EXPECT_EQ(t->listenerText, "127.0.0.1 : " + std::to_string(port));
    {
        QGuard guard(core.TaskListLock());
        EXPECT_TRUE(Listener().Listening());
        EXPECT_TRUE(Listener().Lan().IsOpen());
    }
    Remote again(port);
    ASSERT_TRUE(again.Send(Handshake(tasks[7]->hash)));
    EXPECT_TRUE(PassUntil([&] { return !tasks[7]->taken.empty(); }));
}

TEST_F(SharedListenerTest, ChangedLocalAddressReopensTheListener) {
    Remote waiting(port);
    ASSERT_TRUE(waiting.Send("GET"));
    ASSERT_TRUE(PassUntil([&] { return Pending() == 1; }));
    core.localAddress = inet_addr("127.0.0.5");
    PassAll();
    EXPECT_EQ(tasks[0]->listenerText, "127.0.0.1 : " + std::to_string(port))
        << "checked only every 180 s";
    {
        QGuard guard(core.TaskListLock());
        Listener().SetAddressCheckSeconds(0);
    }
    PassAll();
    {
        QGuard guard(core.TaskListLock());
        Listener().SetAddressCheckSeconds(QSharedListener::kAddressCheckSeconds);
        EXPECT_TRUE(Listener().Listening());
        EXPECT_EQ(Listener().PendingCount(), 0u);
    }
    for (auto& t : tasks) EXPECT_EQ(t->listenerText, "127.0.0.5 : " + std::to_string(port));
    EXPECT_TRUE(waiting.ClosedByEngine());
    Remote again(port);
    ASSERT_TRUE(again.Send(Handshake(tasks[5]->hash)));
    EXPECT_TRUE(PassUntil([&] { return !tasks[5]->taken.empty(); }));
}

// The listener's address is 198.18.1.1 on a network shared with a host at
// 198.18.1.2; a host at 198.18.2.2 reaches it from a second network.
TEST_F(SharedListenerTest, ReachableFromAnotherNetworkOnly) {
    lftest::NetLab lab;
    const std::string near = lab.AddHost("near"), far = lab.AddHost("far");
    ASSERT_FALSE(near.empty());
    ASSERT_FALSE(far.empty());
    // The test's own ends go with the test (the other tests want only lo).
    struct Ends {
        std::string near, far;
        ~Ends() {
            lftest::Run("ip link del " + near + " 2>/dev/null; ip link del " + far +
                        " 2>/dev/null");
        }
    } ends;
    ASSERT_TRUE(lab.Link("", "198.18.1.1/24", near, "198.18.1.2/24", &ends.near));
    ASSERT_TRUE(lab.Link("", "198.18.2.1/24", far, "198.18.2.2/24", &ends.far));
    ASSERT_TRUE(lab.Exec(far, "ip route add default via 198.18.2.1"));
    core.localAddress = inet_addr("198.18.1.1");
    core.p2pEnabled = 0;
    PassAll();
    core.p2pEnabled = 1;
    PassAll();
    EXPECT_EQ(tasks[0]->listenerText, "198.18.1.1 : " + std::to_string(port));
    auto connectFrom = [&](const std::string& host) {
        // A remote in another namespace: connects, sends a handshake for
        // task 4, and stays a moment.
        const std::string script =
            "import socket,time\n"
            "s=socket.create_connection((\"198.18.1.1\"," +
            std::to_string(port) +
            "))\n"
            "s.sendall(b\"\\x13BitTorrent "
            "protocol\"+bytes(8)+bytes([4])*20+b\"-XX0001-abcdefghijkl\")\n"
            "time.sleep(3)\n";
        lftest::ChildProcess p;
        p.Start({"ip", "netns", "exec", host, "/usr/bin/python3", "-c", script});
        const size_t before = tasks[3]->taken.size();
        EXPECT_TRUE(PassUntil([&] { return tasks[3]->taken.size() > before; }));
        p.Wait();
    };
    // A task with a large peer limit: twice the room for new attempts while
    // nobody reached the engine from outside.
    TWorkThread large;
    large.SetConnectionLimits(49, 120);
    EngineLog::Open();
    EngineLog::SetThresholds(100, 0);  // every line to the debug output, none to files
    SetDebugOutputSink(&CaptureLog);
    connectFrom(near);
    {
        QGuard guard(core.TaskListLock());
        EXPECT_FALSE(Listener().Reachable()) << "the same /24 network is not outside";
    }
    EXPECT_EQ(large.ConnectionAttemptBudget(), 32);
    connectFrom(far);
    {
        QGuard guard(core.TaskListLock());
        EXPECT_TRUE(Listener().Reachable());
    }
    EXPECT_EQ(large.ConnectionAttemptBudget(), 16);
    connectFrom(far);
    connectFrom(near);
    SetDebugOutputSink(nullptr);
    EngineLog::Close();
    {
        QGuard guard(core.TaskListLock());
        EXPECT_TRUE(Listener().Reachable()) << "once set, the flag stays";
    }
    std::lock_guard<std::mutex> g(g_logLock);
    size_t sets = 0;
    for (size_t at = g_logLines.find("reachable from outside"); at != std::string::npos;
         at = g_logLines.find("reachable from outside", at + 1))
        ++sets;
    EXPECT_EQ(sets, 1u) << g_logLines;
    EXPECT_NE(g_logLines.find("incoming connection from 198.18.2.2"), std::string::npos);
}

TEST_F(SharedListenerTest, LastTaskClosesTheListener) {
    tasks.clear();
    QGuard guard(core.TaskListLock());
    EXPECT_FALSE(Listener().Listening());
    EXPECT_FALSE(Listener().Lan().IsOpen());
    EXPECT_FALSE(Remote(port).Connected());
}

}  // namespace
