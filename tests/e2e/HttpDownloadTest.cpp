#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "engine/core/EngineApi.h"
#include "engine/core/EngineSettings.h"
#include "engine/core/LanternfishCore.h"
#include "engine/log/LogApi.h"
#include "engine/net/NameResolve.h"
#include "engine/net/ProxyConfig.h"
#include "tests/e2e/EngineTask.h"
#include "tests/net/NetFixture.h"
#include "tests/support/Nginx.h"
#include "tests/support/TestDirs.h"

using namespace lf;

namespace {

using lfe2e::Download;
using lfe2e::WaitForTask;

class HttpDownloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(lftest::HaveProgram("nginx"));
        www = dir / "www";
        ASSERT_EQ(lftest::Run("mkdir -p '" + www + "' '" + dir / "out" + "'"), 0);
        ASSERT_TRUE(nginx.Start(www));
        ASSERT_EQ(EngineStartup(dir.Path().c_str()), 0);
        OpenEngineLog();
        EngineLog::SetBasePath((dir / "engine").c_str());
    }
    void TearDown() override {
        EngineShutdown();
        CloseEngineLog();
    }

    TaskDescription Describe(const std::string& sources, const std::string& target) {
        return lfe2e::DescribeTask(sources, target, "", &keepSources);
    }

    // A v1 torrent of www/name made by mktorrent (pieces of 2^log2 bytes).
    std::string MakeTorrent(const std::string& name, int log2) {
        return lfe2e::MakeTorrent(www + "/" + name, dir / (name + ".torrent"), log2);
    }
    // A task for a target file with a torrent and sources.
    TaskDescription DescribeWithTorrent(const std::string& sources, const std::string& target,
                                        const std::string& torrent) {
        return lfe2e::DescribeTask(sources, target, torrent, &keepSources);
    }

    lftest::TempDir dir;
    std::string www;
    lftest::NginxServer nginx;
    std::string keepSources;
};

TEST_F(HttpDownloadTest, HttpOnlyTask) {
    const std::string content = lftest::PseudoRandomBytes(20 * 1024 * 1024 + 12345, 7);
    lftest::WriteFile(www + "/file.bin", content);
    const std::string target = dir / "out/file.bin";
    auto d = Describe(nginx.Url("/file.bin"), target);
    ASSERT_EQ(CreateAndStartTask(&d), 0);
    SetTaskConnectionLimits(d.handle, 8, 0);
    Download r = WaitForTask(d.handle, 120);
    EXPECT_EQ(r.status, 20206);
    EXPECT_EQ(r.info.downloadedBytes, content.size());
    // At the end idle connections may fetch the last pieces a second time.
    EXPECT_GE(r.info.httpBytes, content.size());
    EXPECT_LE(r.info.httpBytes, content.size() + 1024 * 1024);
    int32_t results[1];
    StopTasks(&d.handle, 1, 0, results);
    EXPECT_TRUE(lftest::ReadFile(target) == content);
}

// With a local address set, the server sees the connections come from it.
TEST_F(HttpDownloadTest, LocalAddressBindsServerConnections) {
    const std::string content = lftest::PseudoRandomBytes(300000, 8);
    lftest::WriteFile(www + "/local.bin", content);
    ASSERT_EQ(SetLocalAddress("300.1.1.1"), -101);
    ASSERT_EQ(SetLocalAddress("127.0.0.7"), 0);
    auto d = Describe(nginx.Url("/local.bin"), dir / "out/local.bin");
    ASSERT_EQ(CreateAndStartTask(&d), 0);
    SetTaskConnectionLimits(d.handle, 2, 0);
    Download r = WaitForTask(d.handle, 60);
    SetLocalAddress(nullptr);
    EXPECT_EQ(r.status, 20206);
    int32_t results[1];
    StopTasks(&d.handle, 1, 0, results);
    const std::string log = nginx.AccessLog();
    EXPECT_NE(log.find("127.0.0.7 "), std::string::npos) << log;
    EXPECT_EQ(log.find("127.0.0.1 "), std::string::npos) << log;
}

TEST_F(HttpDownloadTest, TorrentTaskWithHttpSource) {
    ASSERT_TRUE(lftest::HaveProgram("mktorrent"));
    const std::string content = lftest::PseudoRandomBytes(30 * 1024 * 1024 + 777, 9);
    lftest::WriteFile(www + "/data.cab", content);
    const std::string torrent = MakeTorrent("data.cab", 18);
    const std::string target = dir / "out/data.cab";
    auto d = DescribeWithTorrent(nginx.Url("/data.cab"), target, torrent);
    ASSERT_EQ(CreateAndStartTask(&d), 0);
    SetTaskConnectionLimits(d.handle, 8, 0);
    Download r = WaitForTask(d.handle, 120);
    EXPECT_EQ(r.status, 20206);
    int32_t results[1];
    StopTasks(&d.handle, 1, 0, results);
    EXPECT_TRUE(lftest::ReadFile(target) == content);
}

// A server that ignores Range (python's http.server answers 200 with the
// whole file): the body is read from offset 0 and nothing lands at a wrong
// offset, both as the only source of an HTTP task and beside nginx in a
// hashed task.
TEST_F(HttpDownloadTest, ServerIgnoringRange) {
    const std::string content = lftest::PseudoRandomBytes(6 * 1024 * 1024 + 999, 11);
    lftest::WriteFile(www + "/plain.bin", content);
    const int port = lftest::FreeTcpPort();
    lftest::ChildProcess py;
    ASSERT_TRUE(py.Start({"/usr/bin/python3", "-m", "http.server", "--bind", "127.0.0.1",
                          "--directory", www, std::to_string(port)},
                         dir / "py.log"));
    ASSERT_TRUE(lftest::WaitForTcpPort(port));
    const std::string pyUrl = "http://127.0.0.1:" + std::to_string(port) + "/plain.bin";

    const std::string only = dir / "out/only.bin";
    auto a = Describe(pyUrl, only);
    ASSERT_EQ(CreateAndStartTask(&a), 0);
    SetTaskConnectionLimits(a.handle, 4, 0);
    Download r = WaitForTask(a.handle, 120);
    EXPECT_EQ(r.status, 20206);
    int32_t results[1];
    StopTasks(&a.handle, 1, 0, results);
    EXPECT_TRUE(lftest::ReadFile(only) == content);

    ASSERT_TRUE(lftest::HaveProgram("mktorrent"));
    const std::string torrent = MakeTorrent("plain.bin", 16);
    const std::string mixed = dir / "out/mixed.bin";
    auto b = DescribeWithTorrent(pyUrl + "?mixed\n" + nginx.Url("/plain.bin"), mixed, torrent);
    ASSERT_EQ(CreateAndStartTask(&b), 0);
    SetTaskConnectionLimits(b.handle, 8, 0);
    r = WaitForTask(b.handle, 120);
    EXPECT_EQ(r.status, 20206);
    StopTasks(&b.handle, 1, 0, results);
    EXPECT_TRUE(lftest::ReadFile(mixed) == content);
}

// Stopping mid-download and starting again fetches no verified piece twice.
TEST_F(HttpDownloadTest, StopAndRestartKeepsVerifiedPieces) {
    ASSERT_TRUE(lftest::HaveProgram("mktorrent"));
    const std::string content = lftest::PseudoRandomBytes(12 * 1024 * 1024 + 5, 13);
    lftest::WriteFile(www + "/slow.bin", content);
    const std::string torrent = MakeTorrent("slow.bin", 16);
    lftest::NginxServer slow;
    ASSERT_TRUE(slow.Start(www, "location /s/ { alias " + www + "/; limit_rate 2m; }"));
    const std::string target = dir / "out/slow.bin";
    auto d = DescribeWithTorrent(slow.Url("/s/slow.bin"), target, torrent);
    ASSERT_EQ(CreateAndStartTask(&d), 0);
    SetTaskConnectionLimits(d.handle, 2, 0);
    TaskInfo info{};
    for (int i = 0; i < 200; ++i) {
        QueryTask(d.handle, &info);
        if (info.progress > 3000) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_GT(info.progress, 3000u);
    int32_t results[1];
    ASSERT_EQ(StopTasks(&d.handle, 1, 0, results), 0);
    QueryTask(d.handle, &info);
    const uint64_t verified = info.downloadedBytes;
    const uint64_t fetchedBefore = info.httpBytes;
    ASSERT_GT(verified, 0u);
    ASSERT_EQ(RestartTask(d.handle), 0);
    SetTaskConnectionLimits(d.handle, 2, 0);
    Download r = WaitForTask(d.handle, 120);
    EXPECT_EQ(r.status, 20206);
    StopTasks(&d.handle, 1, 0, results);
    EXPECT_TRUE(lftest::ReadFile(target) == content);
    // What the second run fetched covers at most what was not verified,
    // plus the pieces that were in flight (one per connection).
    const uint64_t second = r.info.httpBytes - fetchedBefore;
    EXPECT_LE(second, content.size() - verified + 2 * 64 * 1024) << "verified " << verified;
}

// Sources that fail beside a good one: the download completes with the
// right bytes, and the server log shows how the failing source was treated.
TEST_F(HttpDownloadTest, FailingSourcesBesideAGoodOne) {
    ASSERT_TRUE(lftest::HaveProgram("mktorrent"));
    const std::string content = lftest::PseudoRandomBytes(8 * 1024 * 1024 + 4321, 17);
    lftest::WriteFile(www + "/good.bin", content);
    lftest::WriteFile(www + "/short.bin", content.substr(0, content.size() / 2));
    const std::string torrent = MakeTorrent("good.bin", 16);
    lftest::NginxServer bad;
    ASSERT_TRUE(bad.Start(www,
                          "location = /e500 { return 500; }\n"
                          "location = /loop { return 302 /loop; }\n"
                          "location = /rel/start { return 302 rel/good.bin; }\n"
                          "location /rel/rel/ { alias " +
                              www + "/; }\n"));
    struct Case {
        const char* name;
        std::string badUrl;
        const char* path;  // as the bad server logs it
        int maxRequests;   // how often the bad source may be asked during the download
    } cases[] = {
        {"404 removed", bad.Url("/missing.bin"), "/missing.bin", 1},
        {"500 penalised", bad.Url("/e500"), "/e500", 1},
        {"wrong size penalised", bad.Url("/short.bin"), "/short.bin", 1},
        {"redirect loop removed", bad.Url("/loop"), "/loop", 4},
        {"relative location followed", bad.Url("/rel/start"), "/rel/start", 3},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string target = dir / ("out/case" + std::to_string(n++) + ".bin");
        auto d = DescribeWithTorrent(c.badUrl + "\n" + nginx.Url("/good.bin?" + std::to_string(n)),
                                     target, torrent);
        ASSERT_EQ(RecoverAndContinueTask(&d, 1), 0);
        SetTaskConnectionLimits(d.handle, 4, 0);
        Download r = WaitForTask(d.handle, 120);
        EXPECT_EQ(r.status, 20206);
        int32_t results[1];
        StopTasks(&d.handle, 1, 0, results);
        EXPECT_TRUE(lftest::ReadFile(target) == content);
        std::string log = bad.AccessLog();
        int requests = 0;
        for (size_t at = log.find(std::string("GET ") + c.path + " "); at != std::string::npos;
             at = log.find(std::string("GET ") + c.path + " ", at + 1)) {
            ++requests;
        }
        EXPECT_GE(requests, 1);
        EXPECT_LE(requests, c.maxRequests);
    }
}

// A download limit of 2000 KiB/s holds: the average over 10 s stays within
// 10 % of the limit.
TEST_F(HttpDownloadTest, SpeedLimitHolds) {
    ASSERT_TRUE(lftest::HaveProgram("mktorrent"));
    const std::string content = lftest::PseudoRandomBytes(48 * 1024 * 1024, 19);
    lftest::WriteFile(www + "/limited.bin", content);
    const std::string torrent = MakeTorrent("limited.bin", 18);
    auto d = DescribeWithTorrent(nginx.Url("/limited.bin"), dir / "out/limited.bin", torrent);
    ASSERT_EQ(CreateAndStartTask(&d), 0);
    SetTaskConnectionLimits(d.handle, 8, 0);
    ASSERT_EQ(SetTaskSpeedLimit(d.handle, 1, 2000), 0);
    // The published counters move in steps; measure between two steps so
    // that the phase of the publication does not count as speed.
    TaskInfo info{};
    std::this_thread::sleep_for(std::chrono::seconds(3));
    auto nextStep = [&](uint64_t after) {
        for (;;) {
            QueryTask(d.handle, &info);
            if (info.httpBytes != after) return std::chrono::steady_clock::now();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    };
    QueryTask(d.handle, &info);
    const auto t0 = nextStep(info.httpBytes);
    const uint64_t start = info.httpBytes;
    std::this_thread::sleep_for(std::chrono::seconds(10));
    QueryTask(d.handle, &info);
    const auto t1 = nextStep(info.httpBytes);
    const double seconds = std::chrono::duration<double>(t1 - t0).count();
    const double rate = static_cast<double>(info.httpBytes - start) / seconds / 1024.0;
    std::printf("measured %.0f KiB/s\n", rate);
    EXPECT_GT(rate, 1800.0);
    EXPECT_LT(rate, 2200.0);
    int32_t results[1];
    StopTasks(&d.handle, 1, 0, results);
}

// The same download through an HTTP CONNECT proxy (tinyproxy) and a SOCKS5
// proxy with user name and password (microsocks).
TEST_F(HttpDownloadTest, ThroughProxies) {
    const int origin = nettest::NginxPort();
    ASSERT_GT(origin, 0);
    struct Case {
        const char* name;
        int type;
        int port;
        std::string user, password;
    } cases[] = {
        {"CONNECT", kProxyHttp, nettest::TinyproxyPort(), "", ""},
        {"SOCKS5", kProxySocks5, nettest::MicrosocksPort(), nettest::kMicrosocksUser,
         nettest::kMicrosocksPassword},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_GT(c.port, 0);
        QProxyConfig proxy;
        proxy.type = c.type;
        proxy.address = nettest::Loopback();
        proxy.port = static_cast<uint16_t>(c.port);
        proxy.user = c.user;
        proxy.password = c.password;
        CLanternfishCore::Instance().Net().SetProxyConfig(proxy);
        const std::string target = dir / ("out/proxied" + std::to_string(n++) + ".bin");
        auto d = Describe(
            "http://127.0.0.1:" + std::to_string(origin) + "/file.bin?" + std::to_string(n),
            target);
        ASSERT_EQ(CreateAndStartTask(&d), 0);
        Download r = WaitForTask(d.handle, 60);
        EXPECT_EQ(r.status, 20206);
        int32_t results[1];
        StopTasks(&d.handle, 1, 0, results);
        EXPECT_TRUE(lftest::ReadFile(target) == nettest::OriginFile());
        CLanternfishCore::Instance().Net().SetProxyConfig(QProxyConfig{});
    }
    // Control: with a proxy that is not there, nothing arrives, so the
    // downloads above really went through their proxies.
    QProxyConfig dead;
    dead.type = kProxySocks5;
    dead.address = nettest::Loopback();
    dead.port = static_cast<uint16_t>(lftest::FreeTcpPort());
    CLanternfishCore::Instance().Net().SetProxyConfig(dead);
    auto d = Describe("http://127.0.0.1:" + std::to_string(origin) + "/file.bin?dead",
                      dir / "out/dead.bin");
    ASSERT_EQ(CreateAndStartTask(&d), 0);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    TaskInfo info{};
    QueryTask(d.handle, &info);
    EXPECT_EQ(info.httpBytes, 0u);
    int32_t results[1];
    StopTasks(&d.handle, 1, 0, results);
    CLanternfishCore::Instance().Net().SetProxyConfig(QProxyConfig{});
}

// A resolver on 127.0.0.53:53 that never answers: a redirect to a name
// leaves that name being looked up for the whole (long) time limit, while
// the task's other source goes on delivering. (Its own address: other tests
// run a silent resolver on 127.0.0.1:53 at the same time.)
TEST(HttpDownloadHostsNamespace, SilentResolverTests) {
    EXPECT_EQ(nettest::RunInHostsNamespace("HttpDownloadSilentResolver.*", "127.0.0.1 localhost\n",
                                           "nameserver 127.0.0.53\noptions timeout:30 attempts:1\n",
                                           "hosts: files dns\n"),
              0);
}

class HttpDownloadSilentResolver : public HttpDownloadTest {
protected:
    void SetUp() override {
        if (!nettest::InHostsNamespace())
            GTEST_SKIP() << "runs inside HttpDownloadHostsNamespace.SilentResolverTests";
        HttpDownloadTest::SetUp();
    }
};

TEST_F(HttpDownloadSilentResolver, RedirectToAnUnansweredNameDoesNotStallTheTask) {
    const int dns = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(0x7f000035);  // 127.0.0.53
    sa.sin_port = htons(53);
    ASSERT_EQ(bind(dns, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)), 0);
    QNetServices& net = CLanternfishCore::Instance().Net();
    const int savedTimeout = net.LookupTimeoutMs();
    net.SetLookupTimeoutMs(60000);

    const std::string content = lftest::PseudoRandomBytes(6 * 1024 * 1024 + 5, 23);
    lftest::WriteFile(www + "/r.bin", content);
    lftest::NginxServer slow;
    ASSERT_TRUE(slow.Start(www, "location /s/ { alias " + www + "/; limit_rate 1m; }"));
    std::atomic<int> redirects{0};
    nettest::FakeServer redirector([&redirects](int fd) {
        nettest::ReadFor(fd, 200, 4096);
        nettest::WriteAll(fd,
                          "HTTP/1.1 302 Found\r\nLocation: http://unanswered.test/r.bin\r\n"
                          "Content-Length: 0\r\n\r\n");
        ++redirects;
    });
    const std::string target = dir / "out/r.bin";
    auto d = Describe(
        slow.Url("/s/r.bin") + "\nhttp://127.0.0.1:" + std::to_string(redirector.Port()) + "/r.bin",
        target);
    ASSERT_EQ(CreateAndStartTask(&d), 0);
    SetTaskConnectionLimits(d.handle, 2, 0);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (redirects.load() == 0 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_GT(redirects.load(), 0);
    // The name is still being looked up (the resolver never answers); the
    // bytes from nginx keep coming meanwhile.
    TaskInfo before{}, after{};
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(QueryTask(d.handle, &before), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_EQ(QueryTask(d.handle, &after), 0);
    if (before.progress < 10000) {
        EXPECT_GT(after.httpBytes, before.httpBytes);
    }
    Download r = WaitForTask(d.handle, 60);
    EXPECT_EQ(r.status, 20206);
    int32_t results[1];
    StopTasks(&d.handle, 1, 0, results);
    EXPECT_TRUE(lftest::ReadFile(target) == content);
    net.SetLookupTimeoutMs(savedTimeout);
    close(dns);
}

}  // namespace

namespace {

// What a running task reports follows the bytes it received: the held
// figure never exceeds the file, never falls below the verified bytes, and
// keeps up with the received bytes while the verified figure still waits
// for the write cache.
TEST_F(HttpDownloadTest, HeldBytesFollowTheReceivedBytes) {
    ASSERT_TRUE(lftest::HaveProgram("mktorrent"));
    const int64_t size = 24 * 1024 * 1024 + 999;
    lftest::WriteFile(www + "/held.bin", lftest::PseudoRandomBytes(static_cast<size_t>(size), 3));
    lftest::NginxServer slow;
    ASSERT_TRUE(slow.Start(www, "location /slow/ { alias " + www + "/; limit_rate 1m; }"));
    auto d = DescribeWithTorrent(slow.Url("/slow/held.bin"), dir / "out/held.bin",
                                 MakeTorrent("held.bin", 20));
    ASSERT_EQ(CreateAndStartTask(&d), 0);
    SetTaskConnectionLimits(d.handle, 2, 0);
    bool sawMiddle = false;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    TaskInfo info{};
    while (std::chrono::steady_clock::now() < end) {
        ASSERT_EQ(QueryTask(d.handle, &info), 0);
        EXPECT_LE(info.heldBytes, static_cast<uint64_t>(size));
        EXPECT_GE(info.heldBytes, info.downloadedBytes);
        // Halfway: the held figure is within about a second of transfer
        // (both are published once a second) of what arrived.
        if (info.httpBytes > static_cast<uint64_t>(size) / 3 &&
            info.httpBytes < static_cast<uint64_t>(size) * 2 / 3) {
            sawMiddle = true;
            EXPECT_GE(info.heldBytes + 3 * 1024 * 1024, info.httpBytes)
                << "held " << info.heldBytes << " verified " << info.downloadedBytes << " received "
                << info.httpBytes;
        }
        if (info.status != 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(info.status, 20206);
    EXPECT_EQ(info.heldBytes, static_cast<uint64_t>(size));
    EXPECT_TRUE(sawMiddle);
    int32_t results[1];
    StopTasks(&d.handle, 1, 0, results);
}

}  // namespace
