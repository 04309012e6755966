// The whole release over P2SP between two hosts of a lab: a server host
// (nginx, throttled, opentracker and lf-rendezvous), host A seeding a
// finished release with `lanternfish --seed`, and host B downloading the
// same release from scratch with the terminal front end. With the resource
// list's P2P switch on, B takes bytes from the server and from A, and A's
// upload figure matches what B got from peers; with it off, B downloads
// from the server alone and never opens a BitTorrent connection (checked
// with `ss` in both hosts and on the tracker). The lab is a bridge with
// 198.18.0.0/24 addresses inside the test's own namespace.
//
// The same release with A and B each behind a NAT router (tests/support/
// NatLab.h), the server host being the lab's internet: TCP between the homes
// cannot get through the routers, so B's bytes from A come over a UDP stream
// punched through the rendezvous service.
//
// And B killed (SIGKILL) again and again at random moments of a P2SP
// download, then run to the end: every file verified, and what was fetched
// again (the server's bytes plus A's upload, beyond the release's size)
// stays within the write cache plus a piece per connection for each kill.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/HeadlessFixture.h"
#include "tests/app/ReleaseFiles.h"
#include "tests/support/NatLab.h"
#include "tests/support/NetLab.h"
#include "tests/support/Netns.h"
#include "tests/support/OpenTracker.h"
#include "tests/support/TestDirs.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using lfapptest::kReleaseFileNames;

const std::string kProgram = std::string(LF_BINARY_DIR) + "/app/lanternfish";
const std::string kServer = "198.18.0.1";
const std::string kHostA = "198.18.0.2";
const std::string kHostB = "198.18.0.3";
constexpr int kHttpPort = 8080;
constexpr int kRendezvousPort = 8086;
constexpr int kSeedPort = 6881;
constexpr uint64_t kPieceLength = 65536;

// About 6 MB; the server sends each request at 16 KiB/s after its first
// second, so a server-only download takes some seconds and A's share shows.
using Sizes = std::array<uint64_t, 8>;
const Sizes kSizes = {40000, 300000, 1000000, 1000000, 1000000, 1000000, 1000000, 999999};

// Where the hosts are: on one bridge, or A and B in two homes behind NAT
// routers with the server host as their internet.
enum class Layout { kBridge, kNat };

// The number after `label` in `text` (the last occurrence), or -1.
long long NumberAfter(const std::string& text, const std::string& label) {
    const size_t at = text.rfind(label);
    if (at == std::string::npos) return -1;
    return std::strtoll(text.c_str() + at + label.size(), nullptr, 10);
}

// TCP connections in a host between its address and `peer` (ss without a
// state filter lists every state but listening, SYN-SENT included);
// `filter` narrows them down ("state established").
std::vector<std::string> ConnectionsTo(const std::string& host, const std::string& peer,
                                       const std::string& filter = "") {
    const std::string out =
        lftest::Capture("ip netns exec " + host + " ss -Htn " + filter + " 2>/dev/null");
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        if (line.find(peer + ":") != std::string::npos) lines.push_back(line);
    }
    return lines;
}

class ReleaseSwarmTest : public ::testing::Test {
protected:
    explicit ReleaseSwarmTest(Layout layout = Layout::kBridge, const Sizes& sizes = kSizes,
                              const std::string& serverRate = "16k")
        : layout(layout), sizes(sizes), serverRate(serverRate) {}

    void SetUp() override {
        ASSERT_TRUE(lftest::InPrivateNetworkNamespace()) << "run inside unshare --net";
        // The test watches the tracker from a network namespace of its own,
        // so that other tests' labs are not in the way.
        static const bool own = lftest::EnterOwnNetworkNamespace();
        ASSERT_TRUE(own);
        if (layout == Layout::kBridge) {
            lan = std::make_unique<lftest::Lan>(lab, "swarm");
            ASSERT_TRUE(lan->Ok());
            server = lan->AddHost("server", kServer + "/24");
            hostA = lan->AddHost("a", kHostA + "/24");
            hostB = lan->AddHost("b", kHostB + "/24");
            ASSERT_FALSE(server.empty() || hostA.empty() || hostB.empty());
            ASSERT_TRUE(lan->Join("", "lab0", "198.18.0.100/24"));
            seenA = kHostA;
            seenB = kHostB;
        } else {
            if (!lftest::HaveProgram("nft")) GTEST_SKIP() << "needs nft";
            nat = std::make_unique<lftest::NatLab>();
            ASSERT_TRUE(nat->Ok());
            server = nat->Internet();
            hostA = nat->Home(0);
            hostB = nat->Home(1);
            // What each side sees of the other: its router's address.
            seenA = lftest::NatLab::PublicAddress(0);
            seenB = lftest::NatLab::PublicAddress(1);
            // TCP attempts between the homes are made and dropped by the
            // routers; what counts is that none is established.
            ssFilter = "state established";
            ASSERT_TRUE(Lab().Link("", "198.18.9.2/30", server, "198.18.9.1/30"));
            ASSERT_TRUE(Lab().Exec("", "ip route add " + kServer + "/32 via 198.18.9.1"));
        }

        std::filesystem::create_directories(dir / "www/qarrd160107");
        std::filesystem::create_directories(dir / "www/lanternfish");
        std::filesystem::create_directories(dir / "seed");
        std::vector<std::string> files;
        for (int i = 0; i < 8; ++i) {
            const std::string path = dir / (std::string("www/qarrd160107/") + kReleaseFileNames[i]);
            lftest::WriteFile(path, lftest::PseudoRandomBytes(sizes[i], 3000 + i));
            releaseSize += sizes[i];
            md5[i] = lfapptest::Md5OfFile(path);
            std::filesystem::copy_file(path, dir / (std::string("seed/") + kReleaseFileNames[i]));
            files.push_back(path);
        }
        // The torrents' info hashes do not depend on the tracker: the first
        // release gives the tracker's whitelist, the second names its port.
        ASSERT_TRUE(MakeRelease(files, "http://" + kServer + ":1/announce"));
        hashes = InfoHashes();
        ASSERT_EQ(hashes.size(), 8u);
        ASSERT_TRUE(tracker.Start(hashes, kServer, Lab().Prefix(server)));
        ASSERT_TRUE(MakeRelease(files, tracker.HttpAnnounce()));

        // nginx in the server host.
        std::string conf = "daemon off;\nworker_processes 1;\nuser root;\n";
        conf += "pid " + (dir / "nginx.pid") + ";\nerror_log " + (dir / "nginx-error.log") + ";\n";
        conf += "events { worker_connections 1024; }\nhttp {\n";
        conf += "  access_log " + (dir / "access.log") + ";\n";
        for (const char* t : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
            conf += std::string("  ") + t + "_temp_path " + (dir / t) + ";\n";
        conf += "  types { text/xml xml; }\n  default_type application/octet-stream;\n";
        conf += "  server { listen " + kServer + ":" + std::to_string(kHttpPort) + "; root " +
                (dir / "www") + "; limit_rate " + serverRate + "; }\n}\n";
        lftest::WriteFile(dir / "nginx.conf", conf);
        std::vector<std::string> argv = Lab().Prefix(server);
        const char* nginx =
            std::filesystem::exists("/usr/sbin/nginx") ? "/usr/sbin/nginx" : "nginx";
        argv.insert(argv.end(), {nginx, "-c", dir / "nginx.conf", "-p", dir.Path()});
        ASSERT_TRUE(nginxProcess.Start(argv, dir / "nginx.out"));
        ASSERT_TRUE(lftest::WaitForTcp(kServer, kHttpPort));

        argv = Lab().Prefix(server);
        argv.insert(argv.end(), {std::string(LF_BINARY_DIR) + "/tools/lf-rendezvous/lf-rendezvous",
                                 "--listen", kServer + ":" + std::to_string(kRendezvousPort)});
        ASSERT_TRUE(rendezvous.Start(argv, dir / "rendezvous.log"));
    }

    bool MakeRelease(const std::vector<std::string>& files, const std::string& trackerUrl) {
        const std::string base = "http://" + kServer + ":" + std::to_string(kHttpPort);
        std::string cmd = std::string(LF_BINARY_DIR) +
                          "/tools/make-release/lf-make-release --out " + (dir / "release") +
                          " --base-url " + base + "/qarrd160107/" + " --list-url " + base +
                          "/lanternfish/resources.xml --tracker " + trackerUrl +
                          " --piece-length " + std::to_string(kPieceLength);
        for (const std::string& f : files) cmd += " " + f;
        return lftest::Run(cmd + " >/dev/null") == 0;
    }

    std::vector<std::string> InfoHashes() {
        std::string cmd = std::string(LF_SOURCE_DIR) + "/tools/demo/info-hashes.py";
        for (auto& e : std::filesystem::directory_iterator(dir / "release/torrents"))
            cmd += " " + e.path().string();
        std::istringstream in(lftest::Capture(cmd));
        std::vector<std::string> out;
        for (std::string h; in >> h;) out.push_back(h);
        return out;
    }

    void SetSwitch(bool on) {
        lftest::WriteFile(dir / "www/lanternfish/resources.xml",
                          std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<project>\n"
                                      "  <configs>\n    <expire-info><expired>false</expired>"
                                      "<message></message><url></url></expire-info>\n"
                                      "    <p2p-switch>") +
                              (on ? "on" : "off") +
                              "</p2p-switch>\n  </configs>\n  <resources>\n  </resources>\n"
                              "</project>\n");
    }

    // The environment of both programs: English texts, the lab's rendezvous.
    std::vector<std::string> Environment(const std::string& host, const std::string& name) {
        std::vector<std::string> argv = Lab().Prefix(host);
        argv.insert(
            argv.end(),
            {"env", "LANGUAGE=en", "LANG=en_US.UTF-8",
             "LANTERNFISH_DATA_HOME=" + (dir / (name + "-data")), "LANTERNFISH_OPEN_COMMAND=true",
             "LANTERNFISH_SHUTDOWN_COMMAND=true", "LANTERNFISH_RENDEZVOUS_HOST=" + kServer,
             "LANTERNFISH_RENDEZVOUS_PORT=" + std::to_string(kRendezvousPort),
             "LANTERNFISH_LOG_ALL=1", "LANTERNFISH_UDP_CONNECT_SECONDS=10"});
        argv.insert(argv.end(), extraEnvironment.begin(), extraEnvironment.end());
        return argv;
    }

    void StartSeeder() {
        std::vector<std::string> argv = Environment(hostA, "a");
        argv.insert(argv.end(), {kProgram, "--release", dir / "release", "--seed", dir / "seed",
                                 "--listen", std::to_string(kSeedPort)});
        ASSERT_TRUE(seeder.Start(argv, dir / "seeder.log"));
        const auto end = Clock::now() + 60s;
        while (Clock::now() < end &&
               lftest::ReadFile(dir / "seeder.log").find("Seeding;") == std::string::npos) {
            std::this_thread::sleep_for(100ms);
        }
        ASSERT_NE(lftest::ReadFile(dir / "seeder.log").find("Seeding;"), std::string::npos)
            << lftest::ReadFile(dir / "seeder.log");
        // A is on the tracker before B starts.
        for (const std::string& h : hashes) {
            const auto until = Clock::now() + 30s;
            while (tracker.Scrape(h).complete < 1 && Clock::now() < until)
                std::this_thread::sleep_for(200ms);
            ASSERT_EQ(tracker.Scrape(h).complete, 1) << h;
        }
    }

    // The seeder stopped as a user would (SIGTERM); its upload figure.
    long long StopSeeder() {
        seeder.Signal(SIGTERM);
        seeder.Wait();
        const std::string log = lftest::ReadFile(dir / "seeder.log");
        return NumberAfter(log, "Bytes uploaded this time: ");
    }

    struct Download {
        int exitCode = -1;
        std::string output;
        // The most TCP connections between A and B seen at once (ss in B),
        // the UDP streams B's log says it connected, and whether A ever had
        // a TCP connection from B (ss in A).
        size_t mostConnections = 0;
        size_t udpStreams = 0;
        bool seenInA = false;
    };

    // B's terminal front end on the release; `extra` goes after the usual
    // arguments.
    std::vector<std::string> LeecherArgv(const std::vector<std::string>& extra) {
        std::vector<std::string> argv = Environment(hostB, "b");
        argv.insert(argv.end(),
                    {kProgram, "--headless", "--quiet", "--no-port-mapping", "--release",
                     dir / "release", "--save", dir / "b/qarrd160107", "--no-install"});
        argv.insert(argv.end(), extra.begin(), extra.end());
        return argv;
    }

    Download RunLeecher(const std::vector<std::string>& extra = {"--verify"}) {
        Download d;
        std::vector<std::string> argv = {"timeout", "-s", "KILL", "150"};
        const std::vector<std::string> b = LeecherArgv(extra);
        argv.insert(argv.end(), b.begin(), b.end());
        lftest::ChildProcess leecher;
        EXPECT_TRUE(leecher.Start(argv, dir / "leecher.log"));
        std::atomic<bool> ended{false};
        std::thread watch([&] {
            while (!ended) {
                d.mostConnections =
                    std::max(d.mostConnections, ConnectionsTo(hostB, seenA, ssFilter).size());
                if (!ConnectionsTo(hostA, seenB, ssFilter).empty()) d.seenInA = true;
                std::this_thread::sleep_for(100ms);
            }
        });
        const int status = leecher.Wait();
        ended = true;
        watch.join();
        d.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        d.output = lftest::ReadFile(dir / "leecher.log");
        const std::string streams = lftest::Capture("grep -rh 'connected over a UDP stream' '" +
                                                    dir / "b-data" + "' 2>/dev/null | wc -l");
        d.udpStreams = static_cast<size_t>(std::atoll(streams.c_str()));
        return d;
    }

    void ExpectAllFilesVerified(const Download& d) {
        EXPECT_EQ(d.exitCode, 0) << d.output;
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(
                lfapptest::Md5OfFile(dir / (std::string("b/qarrd160107/") + kReleaseFileNames[i])),
                md5[i])
                << kReleaseFileNames[i];
        }
        EXPECT_NE(d.output.find("Verified"), std::string::npos) << d.output;
    }

    lftest::NetLab& Lab() { return nat ? nat->Lab() : lab; }

    const Layout layout;
    const Sizes sizes;
    const std::string serverRate;
    uint64_t releaseSize = 0;
    std::vector<std::string> extraEnvironment;
    lftest::NetLab lab;
    std::unique_ptr<lftest::Lan> lan;
    std::unique_ptr<lftest::NatLab> nat;
    std::string server, hostA, hostB;
    // A's and B's addresses as the other side sees them.
    std::string seenA, seenB;
    std::string ssFilter;
    lftest::TempDir dir;
    std::array<std::string, 8> md5;
    std::vector<std::string> hashes;
    lftest::OpenTracker tracker;
    lftest::ChildProcess nginxProcess, rendezvous, seeder;
};

TEST_F(ReleaseSwarmTest, SwitchOnTakesBytesFromServerAndSeeder) {
    SetSwitch(true);
    StartSeeder();
    const Download d = RunLeecher();
    ExpectAllFilesVerified(d);
    const long long servers = NumberAfter(d.output, "From servers: ");
    const long long peers = NumberAfter(d.output, "from peers: ");
    EXPECT_GT(servers, 0) << d.output;
    EXPECT_GT(peers, 0) << d.output;
    // While neither side is reachable from another network, a first
    // attempt may go over a UDP stream.
    EXPECT_GE(d.mostConnections + d.udpStreams, 1u);
    // B announced too.
    int seen = 0;
    for (const std::string& h : hashes) {
        const auto c = tracker.Scrape(h);
        seen += c.complete + c.incomplete >= 2 ? 1 : 0;
    }
    EXPECT_EQ(seen, 8);
    // A's figures settle within a second of the last block.
    std::this_thread::sleep_for(2s);
    const long long uploaded = StopSeeder();
    ASSERT_GE(uploaded, 0) << lftest::ReadFile(dir / "seeder.log");
    std::printf(
        "B: %lld bytes from the server, %lld from peers over up to %zu connections; "
        "A uploaded %lld\n",
        servers, peers, d.mostConnections, uploaded);
    // Within a piece per connection between them (blocks in flight when a
    // file completed are sent but not counted by B).
    const long long slack = static_cast<long long>(
        kPieceLength * std::max<size_t>(d.mostConnections + d.udpStreams, 1));
    EXPECT_LE(std::llabs(uploaded - peers), slack)
        << "A uploaded " << uploaded << ", B got " << peers << " from peers over up to "
        << d.mostConnections << " connections";
}

TEST_F(ReleaseSwarmTest, SwitchOffDownloadsFromServerAlone) {
    SetSwitch(false);
    StartSeeder();
    const Download d = RunLeecher();
    ExpectAllFilesVerified(d);
    EXPECT_EQ(NumberAfter(d.output, "from peers: "), 0) << d.output;
    EXPECT_GT(NumberAfter(d.output, "From servers: "), 0) << d.output;
    EXPECT_EQ(d.mostConnections, 0u);
    EXPECT_EQ(d.udpStreams, 0u);
    EXPECT_FALSE(d.seenInA);
    // The tracker never heard of B: A alone, complete.
    for (const std::string& h : hashes) {
        const auto c = tracker.Scrape(h);
        EXPECT_EQ(c.complete, 1) << h;
        EXPECT_EQ(c.incomplete, 0) << h;
        EXPECT_EQ(c.downloaded, 0) << h;
    }
    EXPECT_EQ(StopSeeder(), 0);
}

// Behind NAT routers, with the server at 8 KiB/s per request: B verifies
// every file, and A's share came over UDP streams (B's log names them).
class ReleaseSwarmNatTest : public ReleaseSwarmTest {
protected:
    ReleaseSwarmNatTest() : ReleaseSwarmTest(Layout::kNat, kSizes, "8k") {}
};

TEST_F(ReleaseSwarmNatTest, PiecesFromTheSeederComeOverAUdpStream) {
    SetSwitch(true);
    StartSeeder();
    const Download d = RunLeecher();
    ExpectAllFilesVerified(d);
    const long long servers = NumberAfter(d.output, "From servers: ");
    const long long peers = NumberAfter(d.output, "from peers: ");
    EXPECT_GT(servers, 0) << d.output;
    EXPECT_GT(peers, 0) << d.output;
    // The routers let no TCP connection between the homes through.
    EXPECT_EQ(d.mostConnections, 0u);
    EXPECT_FALSE(d.seenInA);
    EXPECT_GE(d.udpStreams, 1u);
    const std::string bLog = lftest::Capture("grep -rh 'connected over a UDP stream' '" +
                                             dir / "b-data" + "' 2>/dev/null");
    EXPECT_NE(bLog.find(seenA + " : " + std::to_string(kSeedPort)), std::string::npos) << bLog;
    std::this_thread::sleep_for(2s);
    const long long uploaded = StopSeeder();
    std::printf(
        "B: %lld bytes from the server, %lld from peers over %zu UDP streams; A uploaded "
        "%lld\n",
        servers, peers, d.udpStreams, uploaded);
    EXPECT_LE(std::llabs(uploaded - peers),
              static_cast<long long>(kPieceLength * std::max<size_t>(d.udpStreams, 1)))
        << "A uploaded " << uploaded << ", B got " << peers << " from peers";
}

// About 31 MB, B at 700 KB/s: some forty seconds of downloading in all, so
// that ten kills 1.5 to 7 seconds after each start land anywhere from the
// start-up (task records read, resume data restored, no piece verified yet)
// to the middle of the transfer. LF_KILL_EARLIEST_MS and LF_KILL_LATEST_MS
// move the window.
const Sizes kKillSizes = {40000, 1000000, 5000000, 5000000, 5000000, 5000000, 5000000, 4999999};

class ReleaseSwarmKillTest : public ReleaseSwarmTest {
protected:
    ReleaseSwarmKillTest() : ReleaseSwarmTest(Layout::kBridge, kKillSizes, "16k") {
        // Resume data saved every second, so that a kill finds it recent.
        extraEnvironment = {"LANTERNFISH_RESUME_SAVE_SECONDS=1"};
    }

    // What B's task records say is on disk (the sizes saved with the
    // resume data of the eight tasks).
    uint64_t RecordedSize() const {
        uint64_t total = 0;
        std::error_code ec;
        for (auto& e : std::filesystem::recursive_directory_iterator(dir / "b-data", ec)) {
            const std::string name = e.path().filename().string();
            if (e.path().extension() != ".lfconf" || name == "dataupload.lfconf") continue;
            const std::string ini = lftest::ReadFile(e.path().string());
            const long long low = NumberAfter(ini, "LanternfishTaskLastSizeLow=");
            const long long high = NumberAfter(ini, "LanternfishTaskLastSizeHigh=");
            total += static_cast<uint64_t>(std::max(low, 0LL)) +
                     (static_cast<uint64_t>(std::max(high, 0LL)) << 32);
        }
        return total;
    }

    // The file bytes nginx sent (killed transfers count what went out).
    uint64_t ServedBytes() const {
        std::istringstream in(lftest::ReadFile(dir / "access.log"));
        uint64_t total = 0;
        for (std::string line; std::getline(in, line);) {
            if (line.find("/qarrd160107/") == std::string::npos) continue;
            const size_t quote = line.find("\" ", line.find("HTTP/"));
            if (quote == std::string::npos) continue;
            std::istringstream fields(line.substr(quote + 2));
            int status = 0;
            uint64_t bytes = 0;
            if (fields >> status >> bytes) total += bytes;
        }
        return total;
    }

    // Established TCP connections of B (to the server and to A).
    size_t Connections() const {
        const std::string out =
            lftest::Capture("ip netns exec " + hostB + " ss -Htn state established 2>/dev/null");
        return static_cast<size_t>(std::count(out.begin(), out.end(), '\n'));
    }
};

TEST_F(ReleaseSwarmKillTest, AtRandomMomentsThenFinishes) {
    SetSwitch(true);
    StartSeeder();
    unsigned seed = std::random_device{}();
    if (const char* s = std::getenv("LF_KILL_SEED"); s != nullptr && *s)
        seed = static_cast<unsigned>(std::strtoul(s, nullptr, 10));
    std::printf("kill moments from seed %u (LF_KILL_SEED=%u replays them)\n", seed, seed);
    RecordProperty("kill_seed", std::to_string(seed));
    std::mt19937 rng(seed);
    auto msFromEnvironment = [](const char* name, int fallback) {
        const char* v = std::getenv(name);
        return v != nullptr && std::atoi(v) > 0 ? std::atoi(v) : fallback;
    };
    const int earliest = msFromEnvironment("LF_KILL_EARLIEST_MS", 1500);
    std::uniform_int_distribution<int> moment(
        earliest, std::max(earliest, msFromEnvironment("LF_KILL_LATEST_MS", 7000)));
    const std::vector<std::string> slow = {"--limit", "700", "--no-verify"};

    std::atomic<bool> ended{false};
    std::atomic<size_t> most{0};
    std::thread watch([&] {
        while (!ended) {
            most = std::max(most.load(), Connections());
            std::this_thread::sleep_for(100ms);
        }
    });
    constexpr int kKills = 10;
    uint64_t kept = 0;
    for (int k = 0; k < kKills; ++k) {
        const int ms = moment(rng);
        const std::string log = dir / ("killed-" + std::to_string(k) + ".log");
        lftest::ChildProcess b;
        ASSERT_TRUE(b.Start(LeecherArgv(slow), log));
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        b.Signal(SIGKILL);
        const int status = b.Wait();
        const uint64_t onDisk = RecordedSize();
        std::printf("run %d killed after %d ms; %llu bytes recorded on disk\n", k, ms,
                    static_cast<unsigned long long>(onDisk));
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            << "run " << k << " ended before its kill: " << lftest::ReadFile(log);
        // What the runs before had on disk is still there.
        EXPECT_GE(onDisk, kept) << "run " << k;
        kept = std::max(kept, onDisk);
    }
    const uint64_t recorded = RecordedSize();
    ASSERT_LT(recorded, releaseSize) << "the download finished among the kills";
    const uint64_t servedBefore = ServedBytes();
    const Download d = RunLeecher({"--limit", "700", "--verify"});
    ended = true;
    watch.join();
    ExpectAllFilesVerified(d);
    const long long finalServers = NumberAfter(d.output, "From servers: ");
    const long long finalPeers = NumberAfter(d.output, "from peers: ");
    std::this_thread::sleep_for(2s);
    const long long uploaded = StopSeeder();
    ASSERT_GE(uploaded, 0) << lftest::ReadFile(dir / "seeder.log");
    EXPECT_GT(uploaded, 0);
    EXPECT_GT(servedBefore, 0u);

    // Everything that came to B: the server's bytes and A's upload. Beyond
    // the release's size it was fetched again, for each kill at most what
    // the write caches held (8 MiB a task) and a piece per connection.
    const uint64_t served = ServedBytes();
    const uint64_t fetched = served + static_cast<uint64_t>(uploaded);
    const uint64_t again = fetched > releaseSize ? fetched - releaseSize : 0;
    const uint64_t perKill = 8 * (8u << 20) + most.load() * kPieceLength;
    std::printf(
        "fetched %llu bytes for a release of %llu (server %llu, A %lld): %llu again; "
        "bound %llu (%d kills, up to %zu connections)\n",
        static_cast<unsigned long long>(fetched), static_cast<unsigned long long>(releaseSize),
        static_cast<unsigned long long>(served), uploaded, static_cast<unsigned long long>(again),
        static_cast<unsigned long long>(kKills * perKill), kKills, most.load());
    EXPECT_LE(again, kKills * perKill);
    // What the tasks had recorded on disk before the last kill is not
    // fetched again by the finishing run (beyond the pieces in flight).
    ASSERT_GE(finalServers, 0) << d.output;
    ASSERT_GE(finalPeers, 0) << d.output;
    const uint64_t finalBytes = static_cast<uint64_t>(finalServers + finalPeers);
    std::printf("the finishing run fetched %llu bytes (%lld from the server, %lld from A)\n",
                static_cast<unsigned long long>(finalBytes), finalServers, finalPeers);
    EXPECT_LE(finalBytes, releaseSize - recorded + most.load() * kPieceLength)
        << "recorded " << recorded << " of " << releaseSize << " before the last kill";
}

}  // namespace
