// Standard BitTorrent clients reach our engine's listener with the HTTP
// disguise on (the application's setting): our disguised outgoing
// connections fail against them, so every transfer rides on the
// connections they open to us, found in the tracker's list. Also two of
// our engines, both disguised, and a scripted initiator that reads the
// answer to its disguised request. Each engine is an lf-get process.
// The tests run in a network namespace of their own, where no other test
// adds or removes addresses: aria2 started while another test's lab address
// exists can resolve nothing once it goes (IncomingPeersLargeTest.cpp).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/TrackerEngine.h"
#include "tests/support/NetLab.h"

namespace {

using namespace std::chrono_literals;

const std::string kLfGet = std::string(LF_BINARY_DIR) + "/tools/lf-get/lf-get";
const std::string kLtPeer = std::string(LF_SOURCE_DIR) + "/tests/support/lt_peer.py";

class IncomingPeersTest : public ::testing::Test {
protected:
    void SetUp() override {
        static const bool own = lftest::EnterOwnNetworkNamespace();
        ASSERT_TRUE(own) << "run inside unshare --net";
        for (const char* p : {"opentracker", "aria2c", "mktorrent"})
            ASSERT_TRUE(lftest::HaveProgram(p)) << p;
        ASSERT_EQ(lftest::Run("mkdir -p '" + dir / "seed" + "' '" + dir / "out" + "'"), 0);
        ASSERT_EQ(lftest::Run("head -c 33554432 /dev/urandom > '" + dir / "seed/f.bin" + "'"), 0);
        hash = lfe2e::InfoHashOf(
            lfe2e::MakeTrackerTorrent(dir / "seed/f.bin", "http://x/a", dir / "probe.torrent"));
        ASSERT_EQ(hash.size(), 40u);
        ASSERT_TRUE(tracker.Start({hash}));
        torrent = lfe2e::MakeTrackerTorrent(dir / "seed/f.bin", tracker.HttpAnnounce(),
                                            dir / "f.torrent");
        want = lftest::Capture("sha1sum < '" + dir / "seed/f.bin" + "'");
    }
    // lf-get with the disguise on, bound to `address`, on a free port.
    void StartOurs(lftest::ChildProcess* p, const std::string& address, const std::string& target,
                   bool seed, const std::string& log, int* port = nullptr) {
        const int listen = lftest::FreeTcpPort();
        if (port != nullptr) *port = listen;
        std::vector<std::string> argv = {"env",
                                         "LANTERNFISH_START_TIMEOUT_SECONDS=150",
                                         kLfGet,
                                         "--torrent",
                                         torrent,
                                         "--peers",
                                         "20",
                                         "--listen",
                                         std::to_string(listen),
                                         "--disguise",
                                         "on",
                                         "--bind",
                                         address};
        if (seed) argv.push_back("--seed");
        argv.push_back(target);
        ASSERT_TRUE(p->Start(argv, log));
    }
    bool WaitForSeeds(int n) {
        return lfe2e::WaitForScrape(tracker, hash, 30, [n](auto c) { return c.complete >= n; });
    }
    bool WaitForLeechers(int n) {
        return lfe2e::WaitForScrape(tracker, hash, 30, [n](auto c) { return c.incomplete >= n; });
    }
    std::string Sha1(const std::string& path) {
        return lftest::Capture("sha1sum < '" + path + "'");
    }
    static bool ExitedWell(int status) { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }
    void DownloadFromSeeder(bool aria2);

    lftest::TempDir dir;
    lftest::OpenTracker tracker;
    std::string hash, torrent, want;
};

std::vector<std::string> Aria2(const std::string& torrent, const std::string& dir,
                               const std::string& address, bool seed) {
    std::vector<std::string> argv = {"aria2c",
                                     "--interface=" + address,
                                     "--disable-ipv6=true",
                                     "--enable-dht=false",
                                     "--bt-enable-lpd=false",
                                     "--enable-peer-exchange=false",
                                     "--listen-port=" + std::to_string(lftest::FreeTcpPort()),
                                     "--summary-interval=0",
                                     "--console-log-level=warn",
                                     "--file-allocation=none",
                                     "--bt-tracker-interval=5",
                                     "--dir=" + dir};
    if (seed) {
        argv.insert(argv.end(),
                    {"--seed-ratio=0.0", "--bt-seed-unverified=true", "--check-integrity=false"});
    } else {
        argv.push_back("--seed-time=0");
    }
    argv.push_back(torrent);
    return argv;
}

std::vector<std::string> Libtorrent(const std::string& torrent, const std::string& dir,
                                    const std::string& address, bool seed) {
    return {"env",
            "LT_REANNOUNCE_SECONDS=5",
            "/usr/bin/python3",
            kLtPeer,
            torrent,
            dir,
            address,
            std::to_string(lftest::FreeTcpPort()),
            seed ? "seed" : "download",
            "240"};
}

// Our engine seeds; the standard client downloads from it.
TEST_F(IncomingPeersTest, StandardClientsDownloadFromUs) {
    lftest::ChildProcess ours;
    StartOurs(&ours, "127.0.0.2", dir / "seed/f.bin", true, dir / "ours.log");
    ASSERT_TRUE(WaitForSeeds(1)) << lftest::ReadFile(dir / "ours.log");
    const struct {
        const char* name;
        std::vector<std::string> argv;
        std::string out;
    } peers[] = {
        {"aria2", Aria2(torrent, dir / "out/aria2", "127.0.0.3", false), dir / "out/aria2/f.bin"},
        {"libtorrent", Libtorrent(torrent, dir / "out/lt", "127.0.0.4", false),
         dir / "out/lt/f.bin"},
    };
    for (const auto& p : peers) {
        SCOPED_TRACE(p.name);
        lftest::ChildProcess peer;
        const std::string log = dir / (std::string(p.name) + ".log");
        ASSERT_TRUE(peer.Start(p.argv, log));
        const int status = peer.Wait();
        EXPECT_TRUE(ExitedWell(status)) << lftest::ReadFile(log);
        EXPECT_EQ(Sha1(p.out), want);
    }
    ours.Stop();
}

// The standard client seeds; our engine downloads over the connection the
// client opens to our listener. Ours starts first, so that the seeder finds
// it in its tracker answer; ours learns of the seeder only when it announces
// again, and its disguised attempts then fail anyway. The seeder announces
// every 5 s (aria2's --bt-tracker-interval, lt_peer.py's
// LT_REANNOUNCE_SECONDS), so that a first connection that fails under
// load is not its last: the seeder meets ours again in its next tracker
// answer and connects again. (Both clients do the same as leechers.)
void IncomingPeersTest::DownloadFromSeeder(bool aria2) {
    const std::string name = aria2 ? "aria2" : "libtorrent";
    lftest::ChildProcess ours, peer;
    const std::string target = dir / ("out/" + name + ".bin");
    StartOurs(&ours, aria2 ? "127.0.0.5" : "127.0.0.6", target, false,
              dir / ("ours-" + name + ".log"));
    ASSERT_TRUE(WaitForLeechers(1));
    const std::string log = dir / (name + "-seed.log");
    const std::string address = aria2 ? "127.0.0.3" : "127.0.0.4";
    std::vector<std::string> argv = aria2 ? Aria2(torrent, dir / "seed", address, true)
                                          : Libtorrent(torrent, dir / "seed", address, true);
    ASSERT_TRUE(peer.Start(argv, log));
    const int status = ours.Wait();
    peer.Stop();
    EXPECT_TRUE(ExitedWell(status)) << lftest::ReadFile(dir / ("ours-" + name + ".log")) << "\n"
                                    << lftest::ReadFile(log);
    EXPECT_EQ(Sha1(target), want);
}

TEST_F(IncomingPeersTest, WeDownloadFromAria2Seeder) {
    DownloadFromSeeder(true);
}

TEST_F(IncomingPeersTest, WeDownloadFromLibtorrentSeeder) {
    DownloadFromSeeder(false);
}

// Two of our engines, both disguised: the leecher's GET is answered with an
// HTTP status line and the handshake, and both strip the other's header.
TEST_F(IncomingPeersTest, TwoDisguisedEngines) {
    lftest::ChildProcess seeder, leecher;
    int seederPort = 0;
    StartOurs(&seeder, "127.0.0.2", dir / "seed/f.bin", true, dir / "seeder.log", &seederPort);
    ASSERT_TRUE(WaitForSeeds(1)) << lftest::ReadFile(dir / "seeder.log");

    // A scripted initiator: a disguised request, then a handshake.
    const std::string script =
        "import socket,sys\n"
        "s=socket.create_connection(('127.0.0.2'," +
        std::to_string(seederPort) +
        "),source_address=('127.0.0.7',0))\n"
        "h=bytes.fromhex('" +
        hash +
        "')\n"
        "s.sendall(b'GET / HTTP/1.0\\r\\nHost: 33554559:1\\r\\n\\r\\n'+b'\\x13BitTorrent "
        "protocol'+bytes(8)+h+b'-XX0001-abcdefghijkl')\n"
        "s.settimeout(10)\n"
        "b=b''\n"
        "e=-1\n"
        "while e<0 or len(b)<e+4+68:\n"
        "  c=s.recv(4096)\n"
        "  if not c: break\n"
        "  b+=c\n"
        "  e=b.find(b'\\r\\n\\r\\n')\n"
        "ok=b.startswith(b'HTTP/1.0 200 OK\\r\\n') and e>0 and b[e+4:e+24]==b'\\x13BitTorrent "
        "protocol' and b[e+32:e+52]==h\n"
        "print(b[:e+4].decode(errors='replace'))\n"
        "sys.exit(0 if ok else 1)\n";
    lftest::WriteFile(dir / "initiator.py", script);
    EXPECT_EQ(lftest::Run("/usr/bin/python3 '" + dir / "initiator.py" + "'"), 0);

    StartOurs(&leecher, "127.0.0.3", dir / "out/ours.bin", false, dir / "leecher.log");
    const int status = leecher.Wait();
    seeder.Stop();
    EXPECT_TRUE(ExitedWell(status)) << lftest::ReadFile(dir / "leecher.log");
    EXPECT_EQ(Sha1(dir / "out/ours.bin"), want);
}

}  // namespace
