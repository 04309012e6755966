// Two engines behind NAT routers exchange a torrent over a hole-punched UDP
// stream. The NAT lab (tests/support/NatLab.h) holds lf-rendezvous and
// opentracker on its internet host; opentracker sees the engines' router
// addresses, so each engine learns the other as a compact entry whose
// endpoint identity the rendezvous service resolves. Engine A (complete,
// seeding) lives in home 0, engine B (empty) in home 1; each is an lf-get
// process run inside its home. TCP between the homes cannot work: the
// routers drop unsolicited packets, so the bytes can only come over the
// stream.
//
// Cases: a clean internet link; the same with 5 % loss, 1 % duplication and
// reordering of the datagrams crossing the internet (nft on the internet
// host: numgen drops, dup, and a share diverted through a slower second link
// to B's router); a peer that never answers (an engine killed after it
// registered and announced), whose UDP connect ends by its (shortened) limit
// while the download carries on from the live seeder; a standard seeder
// (aria2, reachable over TCP) whose UDP attempt fails at once; rendezvous
// queries that go unanswered, so that every UDP connect ends by its limit
// and the download comes over TCP from aria2; routers that masquerade with
// a random port per destination, so that the UDP connect to the engine
// behind them ends by its full limit while TCP attempts to a standard
// seeder go on and complete the download.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/e2e/TrackerEngine.h"
#include "tests/support/NatLab.h"
#include "tests/support/TestDirs.h"

using namespace std::chrono_literals;

namespace {

const std::string kLfGet = LF_BINARY_DIR "/tools/lf-get/lf-get";
const std::string kRendezvous = LF_BINARY_DIR "/tools/lf-rendezvous/lf-rendezvous";
constexpr const char* kTrackerAddress = "198.18.0.1";

// Waits until the file holds `count` lines matching `pattern`.
bool WaitForLines(const std::string& path, const std::string& pattern, std::chrono::seconds limit,
                  size_t count = 1) {
    const std::regex re(pattern);
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const std::string text = lftest::ReadFile(path);
        size_t n = 0;
        for (auto it = std::sregex_iterator(text.begin(), text.end(), re);
             it != std::sregex_iterator(); ++it)
            ++n;
        if (n >= count) return true;
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(100ms);
    }
}

std::vector<std::string> Lines(const std::string& path, const std::string& pattern) {
    const std::regex re(pattern);
    std::vector<std::string> out;
    std::string line;
    std::istringstream in(lftest::ReadFile(path));
    while (std::getline(in, line))
        if (std::regex_search(line, re)) out.push_back(line);
    return out;
}

class UdpNatTransferTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!lftest::InPrivateNetworkNamespace())
            GTEST_SKIP() << "needs a private network namespace (unshare --net)";
        for (const char* p : {"nft", "opentracker", "mktorrent", "aria2c"})
            if (!lftest::HaveProgram(p)) GTEST_SKIP() << "needs " << p;
        ASSERT_TRUE(lab.Ok());
        ASSERT_TRUE(lab.StartRendezvous(kRendezvous, dir / "rendezvous.log"));
    }

    // The file, its torrent announcing to opentracker on the internet host,
    // and opentracker itself.
    void MakeContent(size_t bytes) {
        ASSERT_EQ(
            lftest::Run("mkdir -p '" + dir / "a" + "' '" + dir / "a2" + "' '" + dir / "b" + "'"),
            0);
        lftest::WriteFile(dir / "a/f.bin", lftest::PseudoRandomBytes(bytes, 24));
        ASSERT_EQ(lftest::Run("cp '" + dir / "a/f.bin" + "' '" + dir / "a2/f.bin" + "'"), 0);
        hash = lfe2e::InfoHashOf(
            lfe2e::MakeTrackerTorrent(dir / "a/f.bin", "http://x/a", dir / "probe.torrent"));
        ASSERT_EQ(hash.size(), 40u);
        // opentracker drops to user nobody and reads its whitelist inside
        // its folder.
        const std::string folder = dir / "tracker";
        ASSERT_EQ(lftest::Run("mkdir -p '" + folder + "'"), 0);
        lftest::WriteFile(folder + "/whitelist", hash + "\n");
        chmod(dir.Path().c_str(), 0755);
        chmod(folder.c_str(), 0755);
        chmod((folder + "/whitelist").c_str(), 0644);
        trackerPort = lftest::FreeTcpPort();
        std::vector<std::string> argv = lab.Lab().Prefix(lab.Internet());
        const std::string port = std::to_string(trackerPort);
        argv.insert(argv.end(), {"opentracker", "-i", kTrackerAddress, "-p", port, "-P", port, "-d",
                                 folder, "-w", "whitelist", "-u", "nobody"});
        ASSERT_TRUE(tracker.Start(argv, dir / "opentracker.log"));
        torrent = lfe2e::MakeTrackerTorrent(
            dir / "a/f.bin", "http://" + std::string(kTrackerAddress) + ":" + port + "/announce",
            dir / "f.torrent");
        want = lftest::Capture("sha1sum < '" + dir / "a/f.bin" + "'");
    }

    // lf-get in a home, with the lab's rendezvous service and the engine
    // log on stderr.
    void StartEngine(int home, lftest::ChildProcess* p, const std::string& target, int listen,
                     bool seed, const std::string& log, const std::string& extraEnv = "") {
        std::vector<std::string> argv = {"env",
                                         "LANTERNFISH_RENDEZVOUS_HOST=198.18.0.1",
                                         "LANTERNFISH_RENDEZVOUS_PORT=82",
                                         "LANTERNFISH_DEBUG=1",
                                         "LF_GET_TRACE=1",
                                         "LANTERNFISH_START_TIMEOUT_SECONDS=300"};
        if (!extraEnv.empty()) argv.push_back(extraEnv);
        argv.insert(argv.end(), {kLfGet, "--torrent", torrent, "--peers", "20", "--listen",
                                 std::to_string(listen)});
        if (seed) argv.push_back("--seed");
        argv.push_back(target);
        ASSERT_TRUE(lab.StartInHome(home, argv, log, p));
    }

    // A seeder in home 0 that registered with the rendezvous service and
    // announced to the tracker.
    void StartSeeder(lftest::ChildProcess* p, const std::string& target, int listen,
                     const std::string& log) {
        StartEngine(0, p, target, listen, true, log);
        ASSERT_TRUE(WaitForLines(log, "Tracker .* answered", 30s)) << lftest::ReadFile(log);
        ASSERT_TRUE(WaitForLines(
            log, "UDP streams accepted on virtual port " + std::to_string(listen), 30s))
            << lftest::ReadFile(log);
    }

    // A standard seeder on the internet host (aria2, reachable over TCP),
    // serving the file in `folder`, after its first announce.
    void StartAria2(lftest::ChildProcess* p, const std::string& folder, int port) {
        std::vector<std::string> argv = lab.Lab().Prefix(lab.Internet());
        argv.insert(argv.end(),
                    {"aria2c", "--interface=198.18.0.1", "--disable-ipv6=true",
                     "--enable-dht=false", "--bt-enable-lpd=false", "--enable-peer-exchange=false",
                     "--listen-port=" + std::to_string(port), "--seed-ratio=0.0",
                     "--bt-seed-unverified=true", "--check-integrity=false", "--summary-interval=0",
                     "--console-log-level=warn", "--dir=" + folder, torrent});
        ASSERT_TRUE(p->Start(argv, dir / "aria2.log"));
        std::this_thread::sleep_for(2s);  // its first announce
    }

    // The downloader in home 1: runs to its end.
    int Download(const std::string& log, const std::string& extraEnv = "") {
        lftest::ChildProcess b;
        StartEngine(1, &b, dir / "b/f.bin", 6882, false, log, extraEnv);
        return b.Wait();
    }

    void ExpectOverUdp(const std::string& seederLog, const std::string& leecherLog) {
        EXPECT_FALSE(
            Lines(leecherLog, "198\\.18\\.1\\.2 : 6881 connected over a UDP stream").empty())
            << lftest::ReadFile(leecherLog);
        EXPECT_FALSE(Lines(seederLog, "incoming UDP stream from 198\\.18\\.2\\.2").empty())
            << lftest::ReadFile(seederLog);
        EXPECT_EQ(lftest::Capture("sha1sum < '" + dir / "b/f.bin" + "'"), want);
    }

    static bool ExitedWell(int status) { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

    // Cases named RandomPorts... get routers that give every new mapping a
    // random public port (one per destination), which defeats hole punching.
    static bool RandomPortsCase() {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        return info != nullptr && std::string_view(info->name()).starts_with("RandomPorts");
    }

    lftest::TempDir dir;
    lftest::NatLab lab{RandomPortsCase()};
    lftest::ChildProcess tracker;
    int trackerPort = 0;
    std::string hash, torrent, want;
};

// B downloads 32 MiB from A over the stream: byte-exact, and both logs show
// the transport.
TEST_F(UdpNatTransferTest, CleanLink) {
    MakeContent(32u << 20);
    lftest::ChildProcess a;
    StartSeeder(&a, dir / "a/f.bin", 6881, dir / "a.log");
    const auto start = std::chrono::steady_clock::now();
    const int status = Download(dir / "b.log");
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    a.Stop();
    ASSERT_TRUE(ExitedWell(status)) << lftest::ReadFile(dir / "b.log");
    ExpectOverUdp(dir / "a.log", dir / "b.log");
    std::printf("32 MiB over the UDP stream in %.1f s (%.0f KiB/s)\n", seconds, 32768.0 / seconds);
}

// The same across an internet that loses 5 % of the datagrams, duplicates
// 1 % and sends 2 % of those towards B the slow way (they arrive late).
TEST_F(UdpNatTransferTest, LossDuplicationAndReordering) {
    // 32 MiB, about 80 s here (the streams repair losses from their
    // acknowledgements); LF_UDP_IMPAIRED_MIB picks another size.
    size_t mib = 32;
    if (const char* v = std::getenv("LF_UDP_IMPAIRED_MIB"); v != nullptr && std::atoi(v) > 0)
        mib = static_cast<size_t>(std::atoi(v));
    const size_t bytes = mib << 20;
    MakeContent(bytes);
    const std::string inet = lab.Internet();
    // The internet host's interfaces towards the routers.
    auto devTo = [&](const std::string& address) {
        std::string out = lftest::Capture("ip netns exec " + inet + " ip -o route get " + address +
                                          " | sed -n 's/.* dev \\([^ ]*\\).*/\\1/p'");
        while (!out.empty() && out.back() == '\n') out.pop_back();
        return out;
    };
    const std::string toA = devTo("198.18.1.2"), toB = devTo("198.18.2.2");
    ASSERT_FALSE(toA.empty());
    ASSERT_FALSE(toB.empty());
    // A second, slower link to B's router: a share of the datagrams towards
    // B goes that way and arrives late.
    std::string slowInet, slowRouter;
    ASSERT_TRUE(lab.Lab().Link(inet, "198.18.12.1/24", lab.Router(1), "198.18.12.2/24", &slowInet,
                               &slowRouter));
    ASSERT_TRUE(lab.Lab().Exec(
        inet, "tc qdisc add dev " + slowInet + " root tbf rate 2mbit burst 32kbit latency 400ms"));
    ASSERT_TRUE(lab.Lab().Exec(lab.Router(1),
                               "sysctl -qw net.ipv4.conf.all.rp_filter=0 && "
                               "sysctl -qw net.ipv4.conf." +
                                   slowRouter + ".rp_filter=0"));
    // Also let the router's input chain take the slow link's datagrams (the
    // masquerade answers arrive there too).
    ASSERT_TRUE(lab.Lab().Exec(lab.Router(1), "nft add rule ip lfnat input iifname \\\"" +
                                                  slowRouter + "\\\" ct state established accept"));
    const std::string rules =
        "table ip lfimpair {\n"
        "  chain forward { type filter hook forward priority 0; policy accept;\n"
        "    meta l4proto udp numgen random mod 100 < 5 counter drop\n"
        "    meta l4proto udp ip daddr 198.18.1.2 numgen random mod 100 < 1 counter dup to "
        "198.18.1.2 device \"" +
        toA +
        "\"\n"
        "    meta l4proto udp ip daddr 198.18.2.2 numgen random mod 100 < 1 counter dup to "
        "198.18.2.2 device \"" +
        toB +
        "\"\n"
        "    meta l4proto udp ip daddr 198.18.2.2 numgen random mod 100 < 2 counter dup to "
        "198.18.12.2 device \"" +
        slowInet +
        "\" drop\n"
        "  }\n"
        "}\n";
    lftest::WriteFile(dir / "impair.nft", rules);
    ASSERT_EQ(lftest::Run("ip netns exec " + inet + " nft -f '" + dir / "impair.nft" + "'"), 0);

    lftest::ChildProcess a;
    StartSeeder(&a, dir / "a/f.bin", 6881, dir / "a.log");
    const auto start = std::chrono::steady_clock::now();
    const int status = Download(dir / "b.log");
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    a.Stop();
    const std::string counters =
        lftest::Capture("ip netns exec " + inet + " nft list table ip lfimpair");
    ASSERT_TRUE(ExitedWell(status)) << lftest::ReadFile(dir / "b.log");
    ExpectOverUdp(dir / "a.log", dir / "b.log");
    // Each impairment touched datagrams of the transfer.
    const std::regex packets("counter packets ([0-9]+)");
    int touched = 0, rulesSeen = 0;
    for (auto it = std::sregex_iterator(counters.begin(), counters.end(), packets);
         it != std::sregex_iterator(); ++it) {
        ++rulesSeen;
        if (std::stoi((*it)[1]) > 0) ++touched;
    }
    EXPECT_EQ(rulesSeen, 4) << counters;
    EXPECT_EQ(touched, 4) << counters;
    std::printf("%zu MiB over the impaired stream in %.1f s (%.0f KiB/s)\n%s", mib, seconds,
                static_cast<double>(bytes) / 1024.0 / seconds, counters.c_str());
}

// A seeder that registered and announced, then died: B's UDP connect to it
// ends by the connect limit (shortened to 4 s here) and B completes from the
// live seeder meanwhile.
TEST_F(UdpNatTransferTest, SilentPeerEndsByConnectLimit) {
    MakeContent(8u << 20);
    lftest::ChildProcess dead, a;
    StartSeeder(&dead, dir / "a2/f.bin", 6891, dir / "dead.log");
    dead.Signal(SIGKILL);
    dead.Wait();
    StartSeeder(&a, dir / "a/f.bin", 6881, dir / "a.log");
    const int status = Download(dir / "b.log", "LANTERNFISH_UDP_CONNECT_SECONDS=4");
    a.Stop();
    ASSERT_TRUE(ExitedWell(status)) << lftest::ReadFile(dir / "b.log");
    ExpectOverUdp(dir / "a.log", dir / "b.log");
    const std::string log = lftest::ReadFile(dir / "b.log");
    EXPECT_FALSE(
        Lines(dir / "b.log", "198\\.18\\.1\\.2 : 6891 connecting over a UDP stream").empty())
        << log;
    EXPECT_FALSE(Lines(dir / "b.log", "198\\.18\\.1\\.2 : 6891 no UDP stream within 4 s").empty())
        << log;
    EXPECT_TRUE(Lines(dir / "b.log", "198\\.18\\.1\\.2 : 6891 connected over a UDP stream").empty())
        << log;
}

// A standard seeder (aria2 on the internet host, reachable over TCP): B's
// first attempt goes over the UDP transport and fails at once (the
// rendezvous service knows no such endpoint), then TCP attempts reach it.
TEST_F(UdpNatTransferTest, StandardSeederAfterAFailedUdpAttempt) {
    MakeContent(4u << 20);
    lftest::ChildProcess aria2;
    StartAria2(&aria2, dir / "a", 6881);
    const auto start = std::chrono::steady_clock::now();
    const int status = Download(dir / "b.log");
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    aria2.Stop();
    ASSERT_TRUE(ExitedWell(status)) << lftest::ReadFile(dir / "b.log");
    EXPECT_EQ(lftest::Capture("sha1sum < '" + dir / "b/f.bin" + "'"), want);
    const std::string log = lftest::ReadFile(dir / "b.log");
    EXPECT_FALSE(
        Lines(dir / "b.log", "198\\.18\\.0\\.1 : 6881 connecting over a UDP stream").empty())
        << log;
    EXPECT_TRUE(Lines(dir / "b.log", "198\\.18\\.0\\.1 : 6881 connected over a UDP stream").empty())
        << log;
    std::printf("4 MiB from aria2 in %.1f s\n", seconds);
}

// The rendezvous service stops answering queries (the internet host drops
// them; registrations still pass): B's UDP connects end by the connect
// limit (shortened to 4 s), and B completes from a standard seeder over TCP.
TEST_F(UdpNatTransferTest, UnansweredQueryEndsByConnectLimit) {
    MakeContent(4u << 20);
    lftest::ChildProcess a, aria2;
    StartSeeder(&a, dir / "a/f.bin", 6881, dir / "a.log");
    // Queries carry type 3 at byte 12 of the datagram (bit 160 from the
    // start of the UDP header).
    ASSERT_TRUE(lab.Lab().Exec(lab.Internet(),
                               "nft add table ip lfquery && nft add chain ip lfquery input "
                               "\"{ type filter hook input priority 0; }\" && nft add rule "
                               "ip lfquery input udp dport 82 @th,160,32 3 counter drop"));
    StartAria2(&aria2, dir / "a2", 6889);
    const int status = Download(dir / "b.log", "LANTERNFISH_UDP_CONNECT_SECONDS=4");
    aria2.Stop();
    a.Stop();
    const std::string counters =
        lftest::Capture("ip netns exec " + lab.Internet() + " nft list table ip lfquery");
    ASSERT_TRUE(ExitedWell(status)) << lftest::ReadFile(dir / "b.log");
    EXPECT_EQ(lftest::Capture("sha1sum < '" + dir / "b/f.bin" + "'"), want);
    const std::string log = lftest::ReadFile(dir / "b.log");
    EXPECT_FALSE(Lines(dir / "b.log", "198\\.18\\.1\\.2 : 6881 no UDP stream within 4 s").empty())
        << log;
    EXPECT_TRUE(Lines(dir / "b.log", "connected over a UDP stream").empty()) << log;
    EXPECT_EQ(counters.find("counter packets 0 "), std::string::npos) << counters;
}

// Both routers masquerade with a random port per destination, so the
// endpoint the rendezvous service saw is not the one a peer's datagrams
// would reach: B's UDP connect to A cannot succeed and ends by the full
// 28 s limit (not shortened here). Meanwhile B's TCP attempts to a standard
// seeder (aria2 on the internet host) go on: B completes from it while the
// UDP attempt is still pending, byte-exact. B seeds afterwards so that its
// log also holds the end of the UDP attempt.
TEST_F(UdpNatTransferTest, RandomPortsUdpConnectFailsWhileTcpGoesOn) {
    MakeContent(4u << 20);
    lftest::ChildProcess a, aria2, b;
    StartSeeder(&a, dir / "a/f.bin", 6881, dir / "a.log");
    StartAria2(&aria2, dir / "a2", 6889);
    const std::string log = dir / "b.log";
    const std::string toA = "peer 198\\.18\\.1\\.2 : 6881 ";
    StartEngine(1, &b, dir / "b/f.bin", 6882, true, log);
    ASSERT_TRUE(WaitForLines(log, toA + "connecting over a UDP stream", 60s))
        << lftest::ReadFile(log);
    const auto udpStart = std::chrono::steady_clock::now();
    const bool udpEnded = WaitForLines(log, toA + "no UDP stream within 28 s", 40s);
    const double udpSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - udpStart).count();
    const bool complete = WaitForLines(log, "lf-get: complete, seeding until stopped", 30s);
    b.Signal(SIGTERM);
    const int status = b.Wait();
    aria2.Stop();
    a.Stop();
    const std::string text = lftest::ReadFile(log);
    ASSERT_TRUE(udpEnded) << text;
    ASSERT_TRUE(complete) << text;
    EXPECT_TRUE(ExitedWell(status)) << text;
    EXPECT_EQ(lftest::Capture("sha1sum < '" + dir / "b/f.bin" + "'"), want);
    // The attempt ended by its 28 s limit, within 30 s.
    EXPECT_LE(udpSeconds, 30.0) << text;
    EXPECT_TRUE(Lines(log, "connected over a UDP stream").empty()) << text;
    EXPECT_TRUE(Lines(dir / "a.log", "incoming UDP stream from").empty())
        << lftest::ReadFile(dir / "a.log");
    // In B's log, the download completed after the UDP attempt to A began
    // and before it ended: the pending attempt held nothing up.
    std::smatch began, ended;
    ASSERT_TRUE(std::regex_search(text, began, std::regex(toA + "connecting over a UDP stream")));
    ASSERT_TRUE(std::regex_search(text, ended, std::regex(toA + "no UDP stream within 28 s")));
    const size_t completeAt = text.find("lf-get: complete, seeding until stopped");
    EXPECT_LT(static_cast<size_t>(began.position(0)), completeAt) << text;
    EXPECT_LT(completeAt, static_cast<size_t>(ended.position(0))) << text;
    // lf-get's progress lines (every 50 ms) bracket the two events.
    double lastTrace = -1, beforeStart = -1, afterStart = -1, beforeEnd = -1, afterEnd = -1;
    const std::regex traceLine("^ *([0-9]+\\.[0-9]+) s  ");
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line)) {
        std::smatch m;
        if (std::regex_search(line, m, traceLine)) {
            lastTrace = std::stod(m[1]);
            if (beforeStart >= 0 && afterStart < 0) afterStart = lastTrace;
            if (beforeEnd >= 0 && afterEnd < 0) afterEnd = lastTrace;
        } else if (beforeStart < 0 &&
                   line.find("1.2 : 6881 connecting over a UDP") != std::string::npos) {
            beforeStart = lastTrace;
        } else if (beforeEnd < 0 && line.find("1.2 : 6881 no UDP stream") != std::string::npos) {
            beforeEnd = lastTrace;
        }
    }
    std::printf("UDP connect to A ended after %.1f s (log: %.3f to %.3f s)\n", udpSeconds,
                beforeEnd - afterStart, afterEnd - beforeStart);
}

}  // namespace
