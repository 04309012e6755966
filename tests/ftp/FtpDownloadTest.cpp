// The FTP source through the engine interface, against proftpd, a scripted
// server that misbehaves, nginx beside it and a SOCKS5 proxy.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "engine/core/EngineApi.h"
#include "engine/core/LanternfishCore.h"
#include "engine/log/LogApi.h"
#include "engine/net/ProxyConfig.h"
#include "tests/e2e/EngineTask.h"
#include "tests/ftp/FtpServers.h"
#include "tests/net/NetFixture.h"
#include "tests/support/Nginx.h"
#include "tests/support/TestDirs.h"

using namespace lf;

namespace {

using lfe2e::Download;
using lfe2e::WaitForTask;

// FTP bytes are counted in neither the HTTP nor the BitTorrent figure.
uint64_t FtpBytes(const TaskInfo& info) {
    return info.downloadedBytes - info.httpBytes - info.btBytes;
}

std::string Md5(const std::string& path) {
    return lftest::Capture("md5sum '" + path + "' | cut -d' ' -f1");
}

class FtpDownloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(lftest::HaveProgram("proftpd"));
        ASSERT_TRUE(lftest::HaveProgram("mktorrent"));
        ASSERT_TRUE(lftest::HaveProgram("nginx"));
        www = dir / "www";
        ASSERT_EQ(lftest::Run("mkdir -p '" + www + "' '" + dir / "out" + "'"), 0);
        ASSERT_EQ(EngineStartup(dir.Path().c_str()), 0);
        OpenEngineLog();
        EngineLog::SetBasePath((dir / "engine").c_str());
    }
    void TearDown() override {
        EngineShutdown();
        CloseEngineLog();
    }

    // www/name with pseudo-random contents and its torrent.
    std::string MakeFile(const std::string& name, size_t size, unsigned seed, int log2) {
        lftest::WriteFile(www + "/" + name, lftest::PseudoRandomBytes(size, seed));
        return lfe2e::MakeTorrent(www + "/" + name, dir / (name + ".torrent"), log2);
    }

    TaskDescription Describe(const std::string& sources, const std::string& target,
                             const std::string& torrent) {
        return lfe2e::DescribeTask(sources, target, torrent, &keepSources);
    }

    // Runs one task to its end and stops it.
    Download Run(const std::string& sources, const std::string& target, const std::string& torrent,
                 int servers, int seconds = 120) {
        auto d = Describe(sources, target, torrent);
        // The same torrent again replaces the earlier task.
        EXPECT_EQ(RecoverAndContinueTask(&d, 1), 0);
        SetTaskConnectionLimits(d.handle, servers, 0);
        Download r = WaitForTask(d.handle, seconds);
        int32_t results[1];
        StopTasks(&d.handle, 1, 0, results);
        return r;
    }

    lftest::TempDir dir;
    std::string www;
    std::string keepSources;
};

// A large hashed task from FTP alone, then from FTP and HTTP together: the
// file's MD5 matches, and the bytes are counted by source kind.
TEST_F(FtpDownloadTest, HashedTaskFromFtpThenFtpAndHttp) {
    // 200 MiB; under the sanitizers, which slow the engine several times, less.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    constexpr size_t kSize = 48u * 1024 * 1024 + 4321;
#else
    constexpr size_t kSize = 200u * 1024 * 1024 + 4321;
#endif
    const std::string torrent = MakeFile("big.cab", kSize, 23, 20);
    ftptest::Proftpd ftp;
    ASSERT_TRUE(ftp.Start(www));
    // nginx paced so that its eight connections alone would take about 5 s:
    // the FTP connections, which log in first (slowly under the sanitizers),
    // still get their share.
    lftest::NginxServer nginx;
    ASSERT_TRUE(nginx.Start(www, "    limit_rate " + std::to_string(kSize / 40 / 1024) + "k;\n"));
    const std::string md5 = Md5(www + "/big.cab");

    const std::string alone = dir / "out/alone.cab";
    Download r = Run(ftp.Url("/big.cab"), alone, torrent, 8);
    EXPECT_EQ(r.status, 20206);
    EXPECT_EQ(Md5(alone), md5);
    EXPECT_EQ(r.info.httpBytes, 0u);
    EXPECT_EQ(r.info.btBytes, 0u);
    EXPECT_EQ(FtpBytes(r.info), kSize);
    std::remove(alone.c_str());

    const std::string both = dir / "out/both.cab";
    r = Run(ftp.Url("/big.cab") + "\n" + nginx.Url("/big.cab"), both, torrent, 8);
    EXPECT_EQ(r.status, 20206);
    EXPECT_EQ(Md5(both), md5);
    EXPECT_GT(r.info.httpBytes, 0u);
    EXPECT_GT(FtpBytes(r.info), 0u);
    EXPECT_EQ(r.info.downloadedBytes, kSize);
    // Several FTP transfers ran, each restarted at a block boundary.
    const std::string log = ftp.CommandLog();
    EXPECT_GT(ftptest::CountLines(log, "ftp RETR /big.cab"), 1);
}

// Logins against proftpd and servers that fail in one step. Alone, a
// working FTP source completes the task; beside a slow nginx a failing one
// is given up after its reply (a 5xx reply also keeps it waiting 60 s, so
// it is asked once during the download), and the file is still right.
TEST_F(FtpDownloadTest, LoginsAndFailingSteps) {
    const size_t kSize = 6 * 1024 * 1024 + 77;
    const std::string torrent = MakeFile("small.bin", kSize, 29, 16);
    const std::string md5 = Md5(www + "/small.bin");
    ftptest::Proftpd proftpd;
    ASSERT_TRUE(proftpd.Start(www));
    lftest::NginxServer slow;
    ASSERT_TRUE(slow.Start(www, "location /s/ { alias " + www + "/; limit_rate 2m; }"));
    ftptest::FakeFtp refuseRest, pasvRefused, cutData;
    ASSERT_TRUE(refuseRest.Start(www + "/small.bin", "refuse-rest"));
    ASSERT_TRUE(pasvRefused.Start(www + "/small.bin", "pasv-refused"));
    ASSERT_TRUE(cutData.Start(www + "/small.bin", "cut-data"));

    struct Case {
        const char* name;
        std::string ftpUrl;
        bool withHttp;  // a slow nginx beside it
        std::function<std::string()> log;
        const char* counted;  // log lines that start so...
        int atLeast, atMost;  // ...appear this often
        const char* never;    // log lines that must not appear
    } cases[] = {
        {"anonymous", proftpd.Url("/small.bin"), false, [&] { return proftpd.CommandLog(); },
         "ftp RETR /small.bin", 1, 1000, "- PASS"},
        {"user and password", proftpd.Url("/small.bin", true), false,
         [&] { return proftpd.CommandLog(); }, "lfuser RETR /small.bin", 1, 1000, "ftp RETR"},
        {"wrong password", proftpd.Url("/small.bin", true, "wrong"), true,
         [&] { return proftpd.CommandLog(); }, "- USER lfuser", 1, 2, "lfuser RETR"},
        {"missing file", proftpd.Url("/missing.bin"), true, [&] { return proftpd.CommandLog(); },
         "ftp SIZE missing.bin", 1, 2, "ftp RETR"},
        {"restart offset refused", refuseRest.Url("/small.bin"), true,
         [&] { return refuseRest.CommandLog(); }, "rest ", 1, 2, "retr"},
        {"passive port refused", pasvRefused.Url("/small.bin"), true,
         [&] { return pasvRefused.CommandLog(); }, "pasv", 1, 6, nullptr},
        {"data connection closed mid-transfer", cutData.Url("/small.bin"), false,
         [&] { return cutData.CommandLog(); }, "retr /small.bin", static_cast<int>(kSize / 300000),
         1000, nullptr},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string before = c.log();
        const std::string target = dir / ("out/case" + std::to_string(n++) + ".bin");
        std::string sources = c.ftpUrl;
        if (c.withHttp) sources += "\n" + slow.Url("/s/small.bin?" + std::to_string(n));
        Download r = Run(sources, target, torrent, 4, 60);
        EXPECT_EQ(r.status, 20206);
        EXPECT_EQ(Md5(target), md5);
        // Everything came from the working source (a few blocks twice when
        // the last pieces were fetched by two of its connections at the end).
        const uint64_t working = c.withHttp ? r.info.httpBytes : FtpBytes(r.info);
        EXPECT_GE(working, kSize);
        EXPECT_LE(working, kSize + 1024 * 1024);
        const std::string log = c.log().substr(before.size());
        const int count = ftptest::CountLines(log, c.counted);
        EXPECT_GE(count, c.atLeast) << log;
        EXPECT_LE(count, c.atMost) << log;
        if (c.never != nullptr) {
            EXPECT_EQ(ftptest::CountLines(log, c.never), 0) << log;
        }
    }
}

// An FTP address through a SOCKS5 proxy with user name and password
// (microsocks, whose outgoing connections leave from 127.0.0.2): proftpd
// sees the transfer come from that address, and it accepts a passive data
// connection only from the control connection's address, so both went
// through the proxy. With a proxy that is not there nothing arrives.
TEST_F(FtpDownloadTest, ThroughSocks5Proxy) {
    ASSERT_TRUE(lftest::HaveProgram("microsocks"));
    const size_t kSize = 5 * 1024 * 1024 + 3;
    const std::string torrent = MakeFile("proxied.bin", kSize, 31, 16);
    ftptest::Proftpd ftp;
    ASSERT_TRUE(ftp.Start(www));
    const int socks = lftest::FreeTcpPort();
    lftest::ChildProcess microsocks;
    ASSERT_TRUE(microsocks.Start({"microsocks", "-i", "127.0.0.1", "-p", std::to_string(socks),
                                  "-b", "127.0.0.2", "-u", "socksuser", "-P", "socks-pw"},
                                 dir / "microsocks.log"));
    ASSERT_TRUE(lftest::WaitForTcpPort(socks));
    QProxyConfig proxy;
    proxy.type = kProxySocks5;
    proxy.address = nettest::Loopback();
    proxy.port = static_cast<uint16_t>(socks);
    proxy.user = "socksuser";
    proxy.password = "socks-pw";
    QNetServices& net = CLanternfishCore::Instance().Net();
    net.SetProxyConfig(proxy);
    const std::string target = dir / "out/proxied.bin";
    Download r = Run(ftp.Url("/proxied.bin"), target, torrent, 4, 60);
    EXPECT_EQ(r.status, 20206);
    EXPECT_EQ(Md5(target), Md5(www + "/proxied.bin"));
    EXPECT_EQ(FtpBytes(r.info), kSize);
    const std::string reads = ftp.ReadLog();
    EXPECT_GE(ftptest::CountLines(reads, "127.0.0.2 RETR /proxied.bin"), 1) << reads;
    EXPECT_EQ(ftptest::CountLines(reads, "127.0.0.1 "), 0) << reads;

    QProxyConfig dead = proxy;
    dead.port = static_cast<uint16_t>(lftest::FreeTcpPort());
    net.SetProxyConfig(dead);
    auto d = Describe(ftp.Url("/proxied.bin"), dir / "out/dead.bin", torrent);
    ASSERT_EQ(RecoverAndContinueTask(&d, 1), 0);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    TaskInfo info{};
    QueryTask(d.handle, &info);
    EXPECT_EQ(info.downloadedBytes, 0u);
    int32_t results[1];
    StopTasks(&d.handle, 1, 0, results);
    net.SetProxyConfig(QProxyConfig{});
}

}  // namespace
