// The engine's UDP transport on loopback, with lf-rendezvous as the
// rendezvous service: the core's shared services bring the streams up with
// the UDP service, a stream made by the network services' factory reaches a
// second UDP service (a server and its streams made by the test) through
// the rendezvous query, the punch and the request, and carries bytes both
// ways; suspension makes connects fail with 10051 and sends and receives
// with 10022; a stop takes the factory away, leaves the old stream failing
// cleanly, and the next start brings new streams.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "engine/core/LanternfishCore.h"
#include "engine/net/UdpServer.h"
#include "engine/net/UdpStream.h"
#include "engine/net/UdpStreamService.h"
#include "tests/support/NetLab.h"
#include "tests/support/TestDirs.h"

using namespace lf;
using namespace std::chrono_literals;

namespace {

const uint32_t kLoopback = inet_addr("127.0.0.1");
const std::string kRendezvous = LF_BINARY_DIR "/tools/lf-rendezvous/lf-rendezvous";

template <class Pred>
bool Eventually(Pred pred, std::chrono::milliseconds limit = 20s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return pred();
}

QTransportId IdentityOf(const std::array<uint8_t, 8>& seed) {
    QTransportId id;
    std::memcpy(id.bytes, seed.data(), 8);
    std::memcpy(id.bytes + 8, "UDP", 3);
    return id;
}

// Moves `data` through `from` and reads it back on `to` (both connected).
bool Carry(QNetStream& from, QNetStream& to, const std::string& data) {
    size_t sent = 0;
    std::string got;
    const auto end = std::chrono::steady_clock::now() + 30s;
    uint8_t buffer[8192];
    while (got.size() < data.size() && std::chrono::steady_clock::now() < end) {
        if (sent < data.size()) {
            const long n =
                from.Send(reinterpret_cast<const uint8_t*>(data.data()) + sent, data.size() - sent);
            if (n < 0) return false;
            sent += static_cast<size_t>(n);
        }
        const long r = to.Receive(buffer, sizeof(buffer));
        if (r < 0) return false;
        if (r > 0) {
            got.append(reinterpret_cast<char*>(buffer), static_cast<size_t>(r));
        } else {
            to.Wait(false, 10);
        }
    }
    return got == data;
}

class UdpTransportCoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!lftest::InPrivateNetworkNamespace())
            GTEST_SKIP() << "needs a private network namespace (unshare --net)";
        rendezvousPort = lftest::FreeTcpPort();
        ASSERT_TRUE(rendezvous.Start(
            {kRendezvous, "--listen", "127.0.0.1:" + std::to_string(rendezvousPort), "--verbose"},
            dir / "rendezvous.log"));
        // Registered before it serves, an engine would wait for its next
        // registration.
        ASSERT_TRUE(Eventually([&] {
            return lftest::ReadFile(dir / "rendezvous.log").find("serving") != std::string::npos;
        })) << lftest::ReadFile(dir / "rendezvous.log");
        setenv("LANTERNFISH_RENDEZVOUS_HOST", "127.0.0.1", 1);
        setenv("LANTERNFISH_RENDEZVOUS_PORT", std::to_string(rendezvousPort).c_str(), 1);
        // The remote side: a UDP service of its own with streams listening
        // on virtual port 7000.
        UdpServiceConfig c;
        c.rendezvousHost = "127.0.0.1";
        c.rendezvousPort = rendezvousPort;
        c.localPort = 18000;
        c.localAddress = kLoopback;
        c.identitySeed = remoteSeed;
        ASSERT_EQ(remote.StartUdpService(c), 0);
        remoteStreams = UdpStreamService::Make(remote, remoteSeed, kLoopback, 30, 0x7000);
        remoteStreams->Attach();
        ASSERT_TRUE(Eventually([&] { return remote.PublicAddress() == kLoopback; }));
        listener = std::make_unique<QUdpStream>(remoteStreams->Endpoint(), QTransportId{});
        ASSERT_TRUE(listener->Open());
        ASSERT_TRUE(Eventually([&] { return listener->Bind(kLoopback, 7000); }));
        ASSERT_TRUE(Eventually([&] { return listener->Listen(8); }));
    }
    void TearDown() override {
        CLanternfishCore::Instance().StopSharedServices();
        listener.reset();
        if (remoteStreams) remoteStreams->Retire();
        remote.StopUdpService();
        remoteStreams.reset();
        unsetenv("LANTERNFISH_RENDEZVOUS_HOST");
        unsetenv("LANTERNFISH_RENDEZVOUS_PORT");
    }

    // A stream from the core's transport to the remote, and the remote's
    // accepted end.
    bool Connect(std::unique_ptr<QNetStream>* out, std::unique_ptr<QNetStream>* accepted) {
        CLanternfishCore& core = CLanternfishCore::Instance();
        *out = core.Net().MakeTransportStream(IdentityOf(remoteSeed));
        if (!*out || !(*out)->Open()) return false;
        if ((*out)->StartConnect(kLoopback, 7000) < 0) return false;
        if (!Eventually([&] { return (*out)->CheckConnect() == 1; })) return false;
        return Eventually([&] {
            uint32_t a = 0;
            uint16_t p = 0;
            *accepted = listener->Accept(&a, &p);
            return *accepted != nullptr;
        });
    }

    lftest::TempDir dir;
    lftest::ChildProcess rendezvous;
    int rendezvousPort = 0;
    const std::array<uint8_t, 8> remoteSeed{0x52, 0x45, 0x4d, 0x4f, 0x54, 0x45, 0x21, 0x01};
    QUInternalServer remote;
    std::shared_ptr<UdpStreamService> remoteStreams;
    std::unique_ptr<QUdpStream> listener;
};

TEST_F(UdpTransportCoreTest, StreamsComeAndGoWithTheService) {
    CLanternfishCore& core = CLanternfishCore::Instance();
    core.localAddress.store(kLoopback);
    EXPECT_EQ(core.Net().MakeTransportStream(IdentityOf(remoteSeed)), nullptr)
        << "no transport before the service runs";
    core.StartSharedServices();
    const uint32_t generation = core.UdpGeneration();
    ASSERT_TRUE(Eventually([&] { return core.UdpTransportOn(); }));
    ASSERT_TRUE(Eventually([&] { return core.UdpNatTraversalPermitted(); }));

    std::unique_ptr<QNetStream> ours, theirs;
    ASSERT_TRUE(Connect(&ours, &theirs));
    EXPECT_TRUE(ours->IsTransport());
    const std::string there = lftest::PseudoRandomBytes(256 * 1024, 7);
    const std::string back = lftest::PseudoRandomBytes(64 * 1024, 8);
    EXPECT_TRUE(Carry(*ours, *theirs, there));
    EXPECT_TRUE(Carry(*theirs, *ours, back));

    // Stopped: no factory any more; the old stream fails and goes quietly.
    core.StopSharedServices();
    EXPECT_FALSE(core.UdpTransportOn());
    EXPECT_FALSE(core.UdpNatTraversalPermitted());
    EXPECT_EQ(core.Net().MakeTransportStream(IdentityOf(remoteSeed)), nullptr);
    const uint8_t byte = 1;
    uint8_t buffer[16];
    EXPECT_TRUE(Eventually(
        [&] { return ours->Send(&byte, 1) < 0 || ours->Receive(buffer, sizeof(buffer)) < 0; }));
    ours.reset();
    theirs.reset();

    // Started again: new streams of a new run, connecting as before.
    core.StartSharedServices();
    EXPECT_NE(core.UdpGeneration(), generation);
    ASSERT_TRUE(Eventually([&] { return core.UdpTransportOn(); }));
    ASSERT_TRUE(Connect(&ours, &theirs));
    EXPECT_TRUE(Carry(*ours, *theirs, back));
}

// Reachable from outside: the service suspends; a connect fails with 10051,
// a send or receive on a live stream with 10022.
TEST_F(UdpTransportCoreTest, SuspensionFailsTheStreamCalls) {
    CLanternfishCore& core = CLanternfishCore::Instance();
    core.localAddress.store(kLoopback);
    core.StartSharedServices();
    ASSERT_TRUE(Eventually([&] { return core.UdpNatTraversalPermitted(); }));
    std::unique_ptr<QNetStream> ours, theirs;
    ASSERT_TRUE(Connect(&ours, &theirs));

    core.udpServer->SetSuspended(true);
    EXPECT_FALSE(core.UdpTransportOn());
    EXPECT_FALSE(core.UdpNatTraversalPermitted());
    const uint8_t byte = 1;
    ASSERT_TRUE(Eventually([&] { return ours->Send(&byte, 1) < 0; }));
    EXPECT_EQ(ours->LastError(), kUdpErrInvalid);
    uint8_t buffer[16];
    EXPECT_LT(ours->Receive(buffer, sizeof(buffer)), 0);
    EXPECT_EQ(ours->LastError(), kUdpErrInvalid);
    std::unique_ptr<QNetStream> next = core.Net().MakeTransportStream(IdentityOf(remoteSeed));
    ASSERT_NE(next, nullptr);
    ASSERT_TRUE(next->Open());
    EXPECT_LT(next->StartConnect(kLoopback, 7000), 0);
    EXPECT_EQ(next->LastError(), kUdpErrUnreachable);

    // Switched off again: streams connect once more.
    core.udpServer->SetSuspended(false);
    ASSERT_TRUE(Eventually([&] { return core.UdpTransportOn(); }));
    std::unique_ptr<QNetStream> again, accepted;
    ASSERT_TRUE(Connect(&again, &accepted));
    EXPECT_TRUE(Carry(*again, *accepted, "after the suspension"));
}

}  // namespace
