// The connection object against real servers on loopback (nginx as the
// origin; dante, microsocks, tinyproxy and an OpenSSH dynamic forward as
// proxies) and against tiny fake proxies that misbehave.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <iterator>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/net/Connection.h"
#include "engine/net/NameResolve.h"
#include "tests/net/NetFixture.h"
#include "tests/support/TestDirs.h"

using namespace lf;

namespace {

using namespace nettest;
using Failure = QConnection::Failure;

// Bytes that differ from position to position.
std::string PseudoStream(size_t size) {
    std::string s(size, '\0');
    uint32_t x = 12345;
    for (char& ch : s) {
        x = x * 1103515245u + 12345u;
        ch = static_cast<char>(x >> 24);
    }
    return s;
}

QProxyConfig Direct() {
    return QProxyConfig{};
}

QProxyConfig Proxy(int type, int port, const std::string& user = "", const std::string& pw = "") {
    QProxyConfig c;
    c.type = type;
    c.address = Loopback();
    c.port = static_cast<uint16_t>(port);
    c.user = user;
    c.password = pw;
    c.timeoutSeconds = 5;
    return c;
}

// Drives a connection until it fails, for at most `limitSeconds`.
// Answers true when it failed.
bool RunUntilFailure(QConnection& c, int limitSeconds = 10) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(limitSeconds);
    while (std::chrono::steady_clock::now() < end) {
        if (c.Flush() < 0) return true;
        c.WaitReadable(1);
        if (c.ReceiveData() < 0) return true;
    }
    return false;
}

TEST(ConnectionDirect, FetchesTheFileFromNginxBlockingAndNonBlocking) {
    int port = NginxPort();
    ASSERT_GT(port, 0);
    QProxyConfig none = Direct();
    QConnection c;  // one object, reused after Close
    for (bool blocking : {true, false}) {
        SCOPED_TRACE(blocking ? "blocking" : "non-blocking");
        ASSERT_TRUE(c.Connect(Loopback(), static_cast<uint16_t>(port), blocking, &none));
        if (blocking) {
            EXPECT_TRUE(c.IsThrough());
        }
        std::string status;
        std::string body = FetchFile(c, &status);
        EXPECT_EQ(status, "HTTP/1.1 200 OK");
        EXPECT_EQ(body.size(), OriginFile().size());
        EXPECT_TRUE(body == OriginFile());
        EXPECT_GT(c.BytesReceived(), OriginFile().size());
        EXPECT_EQ(c.BytesSent(), 43u);  // the request
        EXPECT_EQ(c.TargetPort(), port);
        EXPECT_EQ(c.LocalAddress(), Loopback());
        EXPECT_GT(c.LocalPort(), 0);
        EXPECT_EQ(c.LastFailure(), Failure::kClosedByPeer);
        c.Close();
        EXPECT_FALSE(c.IsOpen());
        EXPECT_EQ(c.BytesReceived(), 0u);
        EXPECT_EQ(c.ReceivedSize(), 0u);
        EXPECT_EQ(c.LastFailure(), Failure::kNone);
    }
}

// Reading into the caller's memory: bytes already buffered come first,
// bytes put back go in front of what is buffered, and the end of the stream
// is reported only once nothing is left.
TEST(ConnectionDirect, ReceiveIntoTakesBufferedBytesFirst) {
    const std::string sent = PseudoStream(200000);
    FakeServer server([&](int fd) { WriteAll(fd, sent); });
    QProxyConfig none = Direct();
    QConnection c;
    ASSERT_TRUE(c.Connect(Loopback(), static_cast<uint16_t>(server.Port()), true, &none));
    // Ten bytes into the receive buffer, then reads of every size into
    // memory of our own.
    while (c.ReceivedSize() < 10) ASSERT_GE(c.ReceiveData(10), 0);
    ASSERT_EQ(c.ReceivedSize(), 10u);
    std::string got;
    std::vector<uint8_t> buffer(70000);
    const size_t sizes[] = {3, 10, 16384, 1, 65536, 7, 70000};
    size_t turn = 0;
    for (;;) {
        const size_t want = sizes[turn++ % std::size(sizes)];
        const long n = c.ReceiveInto(buffer.data(), want);
        if (n < 0) break;
        ASSERT_LE(static_cast<size_t>(n), want);
        got.append(reinterpret_cast<const char*>(buffer.data()), static_cast<size_t>(n));
        // Every third read gives its last two bytes back.
        if (turn % 3 == 0 && n >= 2) {
            ASSERT_TRUE(c.PutBack(buffer.data() + n - 2, 2));
            got.resize(got.size() - 2);
            EXPECT_GE(c.ReceivedSize(), 2u);
        }
    }
    EXPECT_EQ(got.size(), sent.size());
    EXPECT_TRUE(got == sent);
    EXPECT_EQ(c.ReceivedSize(), 0u);
    EXPECT_EQ(c.LastFailure(), Failure::kClosedByPeer);
    EXPECT_EQ(c.BytesReceived(), sent.size());
}

struct ProxyCase {
    const char* name;
    int (*port)();
    int type;
    const char* user;
    const char* password;
    bool blocking;
};

TEST(ConnectionProxy, EveryProxyDeliversTheSameBytes) {
    int origin = NginxPort();
    ASSERT_GT(origin, 0);
    const ProxyCase cases[] = {
        {"dante SOCKS4", DantePort, kProxySocks4, "", "", false},
        {"dante SOCKS5", DantePort, kProxySocks5, "", "", false},
        {"dante SOCKS5 blocking", DantePort, kProxySocks5, "", "", true},
        {"microsocks SOCKS5 user/password", MicrosocksPort, kProxySocks5, kMicrosocksUser,
         kMicrosocksPassword, false},
        {"tinyproxy CONNECT", TinyproxyPort, kProxyHttp, "", "", false},
        {"tinyproxy CONNECT blocking", TinyproxyPort, kProxyHttp, "", "", true},
        {"tinyproxy CONNECT with Basic credentials", TinyproxyAuthPort, kProxyHttp, kTinyproxyUser,
         kTinyproxyPassword, false},
        {"ssh -D SOCKS4", SshSocksPort, kProxySocks4, "", "", false},
        {"ssh -D SOCKS5", SshSocksPort, kProxySocks5, "", "", false},
    };
    for (const ProxyCase& pc : cases) {
        SCOPED_TRACE(pc.name);
        int port = pc.port();
        ASSERT_GT(port, 0);
        QProxyConfig cfg = Proxy(pc.type, port, pc.user, pc.password);
        QConnection c;
        ASSERT_TRUE(c.Connect(Loopback(), static_cast<uint16_t>(origin), pc.blocking, &cfg));
        if (pc.blocking) {
            EXPECT_TRUE(c.IsThrough());
        }
        std::string status;
        std::string body = FetchFile(c, &status);
        EXPECT_EQ(status, "HTTP/1.1 200 OK");
        EXPECT_EQ(body.size(), OriginFile().size());
        EXPECT_TRUE(body == OriginFile());
        if (pc.type == kProxyHttp) {
            EXPECT_EQ(c.ProxyStatus(), 200);
        }
    }
}

struct RefusalCase {
    const char* name;
    int (*port)();
    int type;
    const char* user;
    const char* password;
    bool closedPort;  // target a port nothing listens on (else the origin)
    int status;       // expected HTTP status / SOCKS result
};

TEST(ConnectionProxy, RefusalsGiveTheProxysAnswer) {
    int origin = NginxPort();
    ASSERT_GT(origin, 0);
    const RefusalCase cases[] = {
        {"tinyproxy: port not allowed", TinyproxyPort, kProxyHttp, "", "", true, 403},
        {"tinyproxy: no credentials", TinyproxyAuthPort, kProxyHttp, "", "", false, 407},
        {"tinyproxy: wrong password", TinyproxyAuthPort, kProxyHttp, kTinyproxyUser, "nope", false,
         401},
        // microsocks answers a bad password with a SOCKS5 reply "not allowed" (2).
        {"microsocks: wrong password", MicrosocksPort, kProxySocks5, kMicrosocksUser, "nope", false,
         2},
        {"microsocks: no credentials", MicrosocksPort, kProxySocks5, "", "", false, 0xff},
        {"dante SOCKS4: target refuses", DantePort, kProxySocks4, "", "", true, 91},
        {"dante SOCKS5: target refuses", DantePort, kProxySocks5, "", "", true, 5},
    };
    int closed = lftest::FreeTcpPort();
    for (const RefusalCase& rc : cases) {
        SCOPED_TRACE(rc.name);
        int port = rc.port();
        ASSERT_GT(port, 0);
        QProxyConfig cfg = Proxy(rc.type, port, rc.user, rc.password);
        QConnection c;
        uint16_t target = static_cast<uint16_t>(rc.closedPort ? closed : origin);
        // A quick refusal may already fail the non-blocking Connect.
        if (c.Connect(Loopback(), target, false, &cfg)) {
            ASSERT_TRUE(RunUntilFailure(c));
        }
        // microsocks may drop the connection right after its refusal.
        if (rc.port == MicrosocksPort && c.LastFailure() == Failure::kProxyClosed) continue;
        EXPECT_EQ(c.LastFailure(), Failure::kProxyRejected);
        EXPECT_EQ(c.ProxyStatus(), rc.status);
        EXPECT_EQ(c.ReceivedSize(), 0u);  // nothing of the proxy's answer reaches the caller
        // Blocking mode fails in Connect itself.
        QConnection b;
        EXPECT_FALSE(b.Connect(Loopback(), target, true, &cfg));
        EXPECT_FALSE(b.IsOpen());
    }
}

// A proxy that sends its reply (and then target bytes) one byte at a time:
// the caller sees exactly the target bytes, none of the reply or its body.
TEST(ConnectionProxy, ReplyInSingleBytesLeavesOnlyTargetBytes) {
    const std::string httpReply =
        "HTTP/1.0 200 Connection established\r\nContent-Length: 5\r\n\r\nHELLO";
    const std::string socks5Method("\x05\x00", 2);
    const std::string socks5Reply("\x05\x00\x00\x03\x09localhost\x1f\x90", 16);
    const std::string target = "target bytes after the reply";
    std::mutex seenLock;
    std::string seen;
    auto trickle = [](int fd, const std::string& bytes) {
        for (char ch : bytes) {
            WriteAll(fd, std::string(1, ch));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    FakeServer http([&](int fd) {
        std::string got = ReadFor(fd, 300);
        {
            std::lock_guard<std::mutex> g(seenLock);
            seen = got;
        }
        trickle(fd, httpReply + target);
        ReadFor(fd, 300);
    });
    FakeServer socks5([&](int fd) {
        std::string got = ReadFor(fd, 200);  // greeting
        trickle(fd, socks5Method);
        got += ReadFor(fd, 200);  // connect request
        {
            std::lock_guard<std::mutex> g(seenLock);
            seen = got;
        }
        trickle(fd, socks5Reply + target);
        ReadFor(fd, 300);
    });
    struct Case {
        const char* name;
        int type;
        int port;
        std::string expectSent;
    } cases[] = {
        {"HTTP", kProxyHttp, http.Port(),
         "CONNECT 127.0.0.1:8080 HTTP/1.1\r\nProxy-Authorization: Basic dTpw\r\n\r\n"},
        {"SOCKS5", kProxySocks5, socks5.Port(),
         std::string("\x05\x01\x00\x05\x01\x00\x03\x09localhost\x1f\x90", 19)},
    };
    for (Case& k : cases) {
        SCOPED_TRACE(k.name);
        QProxyConfig cfg = Proxy(k.type, k.port);
        if (k.type == kProxyHttp) {
            cfg.user = "u";
            cfg.password = "p";
        } else {
            cfg.resolveAtProxy = true;
        }
        QConnection c;
        if (k.type == kProxyHttp)
            ASSERT_TRUE(c.Connect(Loopback(), 8080, false, &cfg));
        else
            ASSERT_TRUE(c.ConnectByName("localhost", 8080, false, &cfg));
        std::string got;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (got.size() < target.size() && std::chrono::steady_clock::now() < end) {
            c.WaitReadable(1);
            ASSERT_GE(c.ReceiveData(), 0);
            got.assign(reinterpret_cast<const char*>(c.ReceivedData()), c.ReceivedSize());
        }
        EXPECT_EQ(got, target);
        std::lock_guard<std::mutex> g(seenLock);
        EXPECT_EQ(seen, k.expectSent);
        if (k.type == kProxySocks5) {
            EXPECT_EQ(c.HostName(), "localhost");
        }
    }
}

// Fake proxies that close mid-handshake, answer garbage or stay silent: the
// connection fails with the matching result and never hangs.
TEST(ConnectionProxy, BrokenProxiesFailWithoutHanging) {
    FakeServer closeAtOnce([](int fd) { ReadFor(fd, 100); });
    FakeServer closeMidReply([](int fd) {
        ReadFor(fd, 100);
        WriteAll(fd, std::string("\x05", 1));  // half a SOCKS5 method reply
    });
    FakeServer httpGarbage([](int fd) {
        ReadFor(fd, 100);
        WriteAll(fd, "garbage without status\r\n\r\n");
        ReadFor(fd, 2000);
    });
    FakeServer binaryGarbage([](int fd) {
        ReadFor(fd, 100);
        WriteAll(fd, std::string("\x47\x4f\x50\x48\x45\x52\x21\x21\x21\x21", 10));
        ReadFor(fd, 2000);
    });
    FakeServer silent([](int fd) { ReadFor(fd, 4000); });
    struct Case {
        const char* name;
        int type;
        int port;
        Failure expect;
    } cases[] = {
        {"HTTP, closed at once", kProxyHttp, closeAtOnce.Port(), Failure::kProxyClosed},
        {"SOCKS4, closed at once", kProxySocks4, closeAtOnce.Port(), Failure::kProxyClosed},
        {"SOCKS5, closed at once", kProxySocks5, closeAtOnce.Port(), Failure::kProxyClosed},
        {"SOCKS5, closed mid reply", kProxySocks5, closeMidReply.Port(), Failure::kProxyClosed},
        {"HTTP, garbage", kProxyHttp, httpGarbage.Port(), Failure::kProxyMalformed},
        {"SOCKS4, garbage", kProxySocks4, binaryGarbage.Port(), Failure::kProxyMalformed},
        {"SOCKS5, garbage", kProxySocks5, binaryGarbage.Port(), Failure::kProxyMalformed},
        {"HTTP, silent", kProxyHttp, silent.Port(), Failure::kTimedOut},
        {"SOCKS5, silent", kProxySocks5, silent.Port(), Failure::kTimedOut},
    };
    for (const Case& k : cases) {
        for (bool blocking : {false, true}) {
            SCOPED_TRACE(std::string(k.name) + (blocking ? ", blocking" : ""));
            QProxyConfig cfg = Proxy(k.type, k.port);
            cfg.timeoutSeconds = 1;
            QConnection c;
            if (blocking) {
                EXPECT_FALSE(c.Connect(Loopback(), 80, true, &cfg));
            } else {
                ASSERT_TRUE(c.Connect(Loopback(), 80, false, &cfg));
                ASSERT_TRUE(RunUntilFailure(c));
                EXPECT_EQ(c.ReceiveData(), -1);
            }
            EXPECT_EQ(c.LastFailure(), k.expect);
            EXPECT_FALSE(c.IsOpen());
            EXPECT_EQ(c.ReceivedSize(), 0u);
        }
    }
}

TEST(ConnectionFailures, RefusedInvalidAndNeverCompleting) {
    // Refused: nothing listens.
    QProxyConfig none = Direct();
    uint16_t closed = static_cast<uint16_t>(lftest::FreeTcpPort());
    QConnection c;
    EXPECT_FALSE(c.Connect(Loopback(), closed, true, &none));
    EXPECT_EQ(c.LastFailure(), Failure::kConnectFailed);
    EXPECT_EQ(c.LastError(), ECONNREFUSED);
    if (c.Connect(Loopback(), closed, false, &none)) {
        EXPECT_TRUE(c.WaitWritable(5));  // answers at once: the next call reports
        EXPECT_EQ(c.Flush(), -1);
    }
    EXPECT_EQ(c.LastFailure(), Failure::kConnectFailed);

    // Invalid targets.
    EXPECT_FALSE(c.Connect(0, 80, false, &none));
    EXPECT_EQ(c.LastFailure(), Failure::kInvalidTarget);
    EXPECT_FALSE(c.Connect(Loopback(), 0, false, &none));
    EXPECT_FALSE(c.Connect(0xffffffffu, 80, false, &none));
    EXPECT_FALSE(c.ConnectByName("", 80, false, &none));

    // Never completes: a listener whose accept queue is full drops our SYN.
    int lfd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = Loopback();
    ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)), 0);
    ASSERT_EQ(listen(lfd, 0), 0);
    socklen_t len = sizeof(sa);
    getsockname(lfd, reinterpret_cast<sockaddr*>(&sa), &len);
    std::vector<int> fillers;
    for (int i = 0; i < 8; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
        fillers.push_back(fd);
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, 300) == 0) break;  // this one hangs: the queue is full
    }
    QNetServices net;
    net.SetConnectTimeoutMs(700);
    c.SetNetServices(&net);
    uint16_t port = ntohs(sa.sin_port);
    EXPECT_FALSE(c.Connect(Loopback(), port, true, &none));
    EXPECT_EQ(c.LastFailure(), Failure::kTimedOut);
    ASSERT_TRUE(c.Connect(Loopback(), port, false, &none));
    EXPECT_TRUE(c.IsConnecting());
    EXPECT_FALSE(c.WaitWritable(0));  // the writability test: not yet
    EXPECT_TRUE(RunUntilFailure(c));
    EXPECT_EQ(c.LastFailure(), Failure::kTimedOut);
    c.SetNetServices(nullptr);
    // The same through a proxy there: its connect gets half the proxy timeout.
    QProxyConfig unreachable = Proxy(kProxySocks5, port);
    unreachable.timeoutSeconds = 1;
    EXPECT_FALSE(c.Connect(Loopback(), 80, true, &unreachable));
    EXPECT_EQ(c.LastFailure(), Failure::kTimedOut);
    for (int fd : fillers) close(fd);
    close(lfd);
}

TEST(ConnectionListen, AcceptsAndCountsBothWays) {
    QConnection listener;
    uint32_t lo = Loopback();
    ASSERT_TRUE(listener.Listen(0, &lo));
    ASSERT_TRUE(listener.IsListening());
    EXPECT_EQ(listener.Accept(), nullptr);  // nothing waiting
    QProxyConfig none = Direct();
    QConnection client;
    ASSERT_TRUE(client.Connect(lo, listener.LocalPort(), true, &none));
    ASSERT_TRUE(listener.WaitReadable(5));
    std::unique_ptr<QConnection> server = listener.Accept();
    ASSERT_NE(server, nullptr);
    EXPECT_TRUE(server->IsThrough());
    EXPECT_EQ(server->HostName(), "127.0.0.1");
    EXPECT_EQ(server->TargetPort(), client.LocalPort());

    EXPECT_EQ(client.SendData("ping", 4), 4);
    ASSERT_TRUE(server->WaitReadable(5));
    EXPECT_EQ(server->ReceiveData(), 4);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(server->ReceivedData())), "ping");
    server->ConsumeReceived(2);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(server->ReceivedData())), "ng");

    // Queued bytes can be looked at and dropped before they are sent.
    ASSERT_TRUE(server->Queue("dropped", 7));
    EXPECT_EQ(server->PendingSendSize(), 7u);
    server->ConsumeSend(7);
    EXPECT_EQ(server->SendData("pong!", 5), 5);
    ASSERT_TRUE(client.WaitReadable(5));
    EXPECT_EQ(client.ReceiveData(), 5);
    EXPECT_EQ(client.BytesSent(), 4u);
    EXPECT_EQ(client.BytesReceived(), 5u);
    EXPECT_EQ(server->BytesSent(), 5u);
    EXPECT_TRUE(server->WaitWritable(0));

    // The peer closes: -1, the buffered bytes stay readable.
    server->Close();
    ASSERT_TRUE(client.WaitReadable(5));
    EXPECT_EQ(client.ReceiveData(), -1);
    EXPECT_EQ(client.ReceivedSize(), 5u);
    EXPECT_EQ(client.LastFailure(), Failure::kClosedByPeer);
    EXPECT_FALSE(client.IsOpen());
}

TEST(ConnectionConfig, ProcessWideConfigurationIsUsedUnlessTheCallerPassesOne) {
    int origin = NginxPort();
    ASSERT_GT(origin, 0);
    FakeServer forbidding([](int fd) {
        ReadFor(fd, 200);
        WriteAll(fd, "HTTP/1.1 403 Forbidden\r\n\r\n");
    });
    // The default engine-wide configuration (type 0): direct.
    QNetServices net;
    QConnection c;
    c.SetNetServices(&net);
    ASSERT_TRUE(c.Connect(Loopback(), static_cast<uint16_t>(origin), false));
    EXPECT_FALSE(c.Proxy().Usable());
    EXPECT_TRUE(FetchFile(c) == OriginFile());
    net.SetProxyConfig(Proxy(kProxyHttp, forbidding.Port()));
    ASSERT_TRUE(c.Connect(Loopback(), static_cast<uint16_t>(origin), false));
    ASSERT_TRUE(RunUntilFailure(c));
    EXPECT_EQ(c.LastFailure(), Failure::kProxyRejected);
    EXPECT_EQ(c.ProxyStatus(), 403);
    EXPECT_EQ(forbidding.Accepted(), 1);
    QProxyConfig none = Direct();
    ASSERT_TRUE(c.Connect(Loopback(), static_cast<uint16_t>(origin), false, &none));
    EXPECT_TRUE(FetchFile(c) == OriginFile());
    net.SetProxyConfig(QProxyConfig{});

    // The headless mode's environment variable.
    int socks = MicrosocksPort();
    ASSERT_GT(socks, 0);
    std::string text = std::string("socks5://") + kMicrosocksUser + ":" + kMicrosocksPassword +
                       "@127.0.0.1:" + std::to_string(socks);
    setenv("LANTERNFISH_PROXY", text.c_str(), 1);
    setenv("LANTERNFISH_PROXY_TIMEOUT", "4", 1);
    ASSERT_TRUE(LoadProxyConfigFromEnvironment(net));
    QProxyConfig p = net.ProxyConfig();
    EXPECT_EQ(p.type, kProxySocks5);
    EXPECT_EQ(p.port, socks);
    EXPECT_EQ(p.user, kMicrosocksUser);
    EXPECT_EQ(p.timeoutSeconds, 4);
    ASSERT_TRUE(c.Connect(Loopback(), static_cast<uint16_t>(origin), false));
    EXPECT_TRUE(FetchFile(c) == OriginFile());
    setenv("LANTERNFISH_PROXY", "gopher://127.0.0.1:70", 1);
    EXPECT_FALSE(LoadProxyConfigFromEnvironment(net));
    EXPECT_EQ(net.ProxyConfig().type, kProxySocks5);  // unchanged
    unsetenv("LANTERNFISH_PROXY");
    unsetenv("LANTERNFISH_PROXY_TIMEOUT");
}

// Names: run in a private mount namespace whose /etc/hosts gives
// "origin.test" to 127.0.0.1 and knows no "nosuch.test".
TEST(ConnectionHostsNamespace, NameTests) {
    EXPECT_EQ(
        RunInHostsNamespace("ConnectionNames.*", "127.0.0.1 localhost\n127.0.0.1 origin.test\n",
                            "nameserver 192.0.2.53\n"),
        0);
}

class ConnectionNames : public ::testing::Test {
protected:
    void SetUp() override {
        if (!InHostsNamespace()) GTEST_SKIP() << "runs inside ConnectionHostsNamespace.NameTests";
    }
    // The failed-name set and limits the engine hands its connections.
    QNetServices net;
};

TEST_F(ConnectionNames, ResolvesHereAndRemembersFailedNames) {
    int origin = NginxPort();
    ASSERT_GT(origin, 0);
    QProxyConfig none = Direct();
    QConnection c;
    c.SetNetServices(&net);
    ASSERT_TRUE(c.ConnectByName("origin.test", static_cast<uint16_t>(origin), false, &none));
    EXPECT_EQ(c.HostName(), "origin.test");
    EXPECT_EQ(c.TargetAddress(), Loopback());
    EXPECT_TRUE(FetchFile(c) == OriginFile());

    EXPECT_FALSE(c.ConnectByName("nosuch.test", static_cast<uint16_t>(origin), false, &none));
    EXPECT_EQ(c.LastFailure(), Failure::kHostNotFound);
    EXPECT_EQ(c.LastError(), kLookupHostNotFound);
    EXPECT_TRUE(net.IsFailedName("nosuch.test"));
    // Refused at once the next time, without a lookup.
    EXPECT_FALSE(c.ConnectByName("nosuch.test", static_cast<uint16_t>(origin), true, &none));
    EXPECT_EQ(c.LastFailure(), Failure::kHostNotFound);
}

TEST_F(ConnectionNames, ProxiesResolveNamesThemselves) {
    int origin = NginxPort();
    ASSERT_GT(origin, 0);
    // Local resolution of the name would now be refused: success proves
    // that the proxy resolved it.
    net.AddFailedName("origin.test");
    struct Case {
        const char* name;
        int (*port)();
        int type;
    } cases[] = {
        {"ssh -D SOCKS4A", SshSocksPort, kProxySocks4a},
        {"ssh -D SOCKS5 by name", SshSocksPort, kProxySocks5},
        {"tinyproxy CONNECT by name", TinyproxyPort, kProxyHttp},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        int port = k.port();
        ASSERT_GT(port, 0);
        QProxyConfig cfg = Proxy(k.type, port);
        cfg.resolveAtProxy = true;
        QConnection c;
        c.SetNetServices(&net);
        c.SetNetServices(&net);
        ASSERT_TRUE(c.ConnectByName("origin.test", static_cast<uint16_t>(origin), false, &cfg));
        std::string body = FetchFile(c);
        EXPECT_TRUE(body == OriginFile());
        EXPECT_EQ(c.HostName(), "origin.test");
    }
    // A name the proxy cannot resolve: ssh closes the channel without a
    // SOCKS reply.
    QProxyConfig cfg = Proxy(kProxySocks4a, SshSocksPort());
    cfg.resolveAtProxy = true;
    QConnection c;
    c.SetNetServices(&net);
    if (c.ConnectByName("nosuch.test", static_cast<uint16_t>(origin), false, &cfg)) {
        ASSERT_TRUE(RunUntilFailure(c));
    }
    EXPECT_EQ(c.LastFailure(), Failure::kProxyClosed);
    EXPECT_EQ(c.ReceivedSize(), 0u);
}

}  // namespace
