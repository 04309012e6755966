// Two engines' UDP services in two homes behind NAT routers, with
// lf-rendezvous on the internet between them: both learn their routers'
// addresses, the move to the listener's port registers again, and a query
// by identity and one by the endpoint a tracker would report both find the
// other engine, which punches towards the asker at most three times, after
// which the asker's datagrams reach it through both routers.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <thread>

#include "tests/support/NatLab.h"
#include "tests/support/TestDirs.h"

using namespace std::chrono_literals;

namespace {

const std::string kDriver = LF_BINARY_DIR "/tests/net/udp_server_driver";
const std::string kRendezvous = LF_BINARY_DIR "/tools/lf-rendezvous/lf-rendezvous";

// Waits until the file holds a line matching `pattern`; answers the first
// match's groups (empty when none came in time).
std::smatch WaitForLine(const std::string& path, const std::string& pattern,
                        std::chrono::seconds limit = 60s) {
    static std::string text;  // the matches refer into it
    const std::regex re(pattern);
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        text = lftest::ReadFile(path);
        std::smatch m;
        if (std::regex_search(text, m, re)) return m;
        if (std::chrono::steady_clock::now() > end) return {};
        std::this_thread::sleep_for(100ms);
    }
}

std::vector<std::string> Engine(const std::vector<std::string>& extra) {
    std::vector<std::string> argv = {"env", "LANTERNFISH_RENDEZVOUS_HOST=198.18.0.1",
                                     "LANTERNFISH_RENDEZVOUS_PORT=82", kDriver};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
}

// The lab's routers behave as the engines' traversal needs: an
// unsolicited datagram from the other home is dropped, one that answers a
// datagram sent out first passes.
TEST(UdpServerNatTest, RoutersDropUnsolicitedDatagrams) {
    if (!lftest::InPrivateNetworkNamespace())
        GTEST_SKIP() << "needs a private network namespace (unshare --net)";
    if (!lftest::HaveProgram("nft") || !lftest::HaveProgram("python3"))
        GTEST_SKIP() << "needs nft and python3";
    lftest::TempDir dir;
    lftest::NatLab lab;
    ASSERT_TRUE(lab.Ok());
    // udp.py PORT [SEND_TO_HOST SEND_TO_PORT] SECONDS: binds PORT, sends one
    // datagram first when told to, then keeps sending every 0.3 s (when
    // told) and reports the first datagram received, or "none" at the end.
    const std::string script = dir / "udp.py";
    lftest::WriteFile(script,
                      "import socket, sys, time\n"
                      "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                      "s.bind(('0.0.0.0', int(sys.argv[1])))\n"
                      "to = (sys.argv[2], int(sys.argv[3])) if len(sys.argv) > 3 else None\n"
                      "end = time.time() + float(sys.argv[-1])\n"
                      "s.settimeout(0.3)\n"
                      "got = False\n"
                      "while time.time() < end:\n"
                      "    if to: s.sendto(b'x' * 64, to)\n"
                      "    try:\n"
                      "        d, a = s.recvfrom(2048)\n"
                      "        if not got: print('got %s:%d' % a, flush=True)\n"
                      "        got = True\n"
                      "    except socket.timeout:\n"
                      "        pass\n"
                      "if not got: print('none', flush=True)\n");
    // B only listens; A sends to B's router: nothing arrives.
    lftest::ChildProcess listen, send;
    ASSERT_TRUE(lab.StartInHome(1, {"python3", script, "7000", "4"}, dir / "b1.log", &listen));
    ASSERT_TRUE(lab.StartInHome(0, {"python3", script, "7100", "198.18.2.2", "7000", "3"},
                                dir / "a1.log", &send));
    EXPECT_FALSE(WaitForLine(dir / "b1.log", "^none", 30s).empty());
    listen.Wait();
    send.Wait();
    // Both send towards the other's public endpoint: the holes open.
    ASSERT_TRUE(lab.StartInHome(1, {"python3", script, "7000", "198.18.1.2", "7100", "6"},
                                dir / "b2.log", &listen));
    ASSERT_TRUE(lab.StartInHome(0, {"python3", script, "7100", "198.18.2.2", "7000", "6"},
                                dir / "a2.log", &send));
    EXPECT_FALSE(WaitForLine(dir / "b2.log", "got 198\\.18\\.1\\.2:7100", 30s).empty())
        << lftest::ReadFile(dir / "b2.log");
    EXPECT_FALSE(WaitForLine(dir / "a2.log", "got 198\\.18\\.2\\.2:7000", 30s).empty())
        << lftest::ReadFile(dir / "a2.log");
}

TEST(UdpServerNatTest, EnginesBehindTwoNatsFindEachOther) {
    if (!lftest::InPrivateNetworkNamespace())
        GTEST_SKIP() << "needs a private network namespace (unshare --net)";
    if (!lftest::HaveProgram("nft")) GTEST_SKIP() << "needs nft";
    lftest::TempDir dir;
    lftest::NatLab lab;
    ASSERT_TRUE(lab.Ok());
    const std::string serviceLog = dir.Path() + "/rendezvous.log";
    ASSERT_TRUE(lab.StartRendezvous(kRendezvous, serviceLog));
    ASSERT_TRUE(WaitForLine(serviceLog, "serving 1").size() > 0);

    // Engine B starts on 8000, then its listener's port 6881 arrives.
    const std::string logB = dir.Path() + "/b.log";
    lftest::ChildProcess b;
    ASSERT_TRUE(lab.StartInHome(1, Engine({"--move-to", "6881"}), logB, &b));
    const std::smatch idB = WaitForLine(logB, "identity ([0-9a-f]{24})");
    ASSERT_EQ(idB.size(), 2u);
    const std::string identityB = idB[1];
    EXPECT_FALSE(WaitForLine(logB, "public 198\\.18\\.2\\.2:8000 nat 1").empty());
    EXPECT_FALSE(WaitForLine(logB, "bound 6881").empty());
    // The service hears of the new port at once, not at the next 300 s
    // registration.
    EXPECT_FALSE(WaitForLine(logB, "public 198\\.18\\.2\\.2:6881 nat 1", 20s).empty());
    EXPECT_FALSE(WaitForLine(serviceLog, "register " + identityB +
                                             " 198\\.18\\.2\\.2:6881 local 198\\.19\\.2\\.2:6881")
                     .empty());

    // Engine A asks for B by identity and by B's public endpoint.
    const std::string logA = dir.Path() + "/a.log";
    lftest::ChildProcess a;
    ASSERT_TRUE(lab.StartInHome(
        0, Engine({"--query-seed", identityB.substr(0, 16), "--query-endpoint", "198.18.2.2:6881"}),
        logA, &a));
    EXPECT_FALSE(WaitForLine(logA, "public 198\\.18\\.1\\.2:8000 nat 1").empty());
    const std::string seedB = identityB.substr(0, 16);
    EXPECT_FALSE(
        WaitForLine(logA, "state2 " + seedB + " 198\\.18\\.2\\.2:6881 asked " + seedB).empty());
    EXPECT_FALSE(
        WaitForLine(logA, "state2 " + seedB + " 198\\.18\\.2\\.2:6881 asked 0000c6120202").empty())
        << "the endpoint identity resolves to B itself";

    // B was told and punched towards A's router: at most three times, and
    // then its punch list is empty.
    EXPECT_FALSE(WaitForLine(logB, "punches [1-9][0-9]* punch-list").empty());
    EXPECT_FALSE(WaitForLine(logB, "punches [1-9][0-9]* punch-list 0", 30s).empty());
    const std::string out = lftest::ReadFile(logB);
    std::smatch last;
    std::string::const_iterator from = out.begin();
    int punches = 0;
    const std::regex re("punches ([0-9]+)");
    while (std::regex_search(from, out.end(), last, re)) {
        punches = std::stoi(last[1]);
        from = last.suffix().first;
    }
    EXPECT_GE(punches, 1);
    EXPECT_LE(punches, 3);
    // The path through both routers is open: A's datagrams reach B from
    // A's public endpoint.
    EXPECT_FALSE(WaitForLine(logB, "stream-from 198\\.18\\.1\\.2:8000", 30s).empty());
    a.Stop();
    b.Stop();
    // Routers that keep the ports: nothing to say about them.
    EXPECT_EQ(lftest::ReadFile(logA).find(" appears as "), std::string::npos);
    EXPECT_EQ(lftest::ReadFile(logB).find(" appears as "), std::string::npos);
    if (HasFailure() || std::getenv("LF_SHOW_LAB_LOGS") != nullptr) {
        std::printf("--- rendezvous\n%s--- engine A\n%s--- engine B\n%s",
                    lftest::ReadFile(serviceLog).c_str(), lftest::ReadFile(logA).c_str(),
                    lftest::ReadFile(logB).c_str());
    }
}

}  // namespace

namespace {

// Routers that map every destination to another random public port: the
// service sees ports the engines never bound, B's punches leave from yet
// another port, and A's datagrams towards B's registered endpoint meet no
// mapping. The query is still answered and B is told and punches, but no
// datagram gets through either router; the connections of the streams
// then time out and the task goes on without them.
TEST(UdpServerNatTest, RandomPortMappingDefeatsPunching) {
    if (!lftest::InPrivateNetworkNamespace())
        GTEST_SKIP() << "needs a private network namespace (unshare --net)";
    if (!lftest::HaveProgram("nft")) GTEST_SKIP() << "needs nft";
    lftest::TempDir dir;
    lftest::NatLab lab(true);
    ASSERT_TRUE(lab.Ok());
    const std::string serviceLog = dir.Path() + "/rendezvous.log";
    ASSERT_TRUE(lab.StartRendezvous(kRendezvous, serviceLog));
    ASSERT_TRUE(WaitForLine(serviceLog, "serving 1").size() > 0);

    const std::string logB = dir.Path() + "/b.log";
    lftest::ChildProcess b;
    ASSERT_TRUE(lab.StartInHome(1, Engine({"--move-to", "6881"}), logB, &b));
    const std::smatch idB = WaitForLine(logB, "identity ([0-9a-f]{24})");
    ASSERT_EQ(idB.size(), 2u);
    const std::string identityB = idB[1];
    EXPECT_FALSE(WaitForLine(logB, "bound 6881").empty());
    // Registered from 6881, seen by the service on another port.
    const std::smatch registered =
        WaitForLine(serviceLog, "register " + identityB +
                                    " 198\\.18\\.2\\.2:([0-9]+) local 198\\.19\\.2\\.2:6881");
    ASSERT_EQ(registered.size(), 2u);
    const std::string publicPortB = registered[1];
    EXPECT_NE(publicPortB, "6881") << "the router kept the port: not a random mapping";

    const std::string logA = dir.Path() + "/a.log";
    lftest::ChildProcess a;
    const std::string seedB = identityB.substr(0, 16);
    ASSERT_TRUE(lab.StartInHome(0, Engine({"--query-seed", seedB}), logA, &a));
    // The answer names B's registered endpoint; B punches, at most three
    // times, towards the endpoint the service saw for A.
    EXPECT_FALSE(
        WaitForLine(logA, "state2 " + seedB + " 198\\.18\\.2\\.2:" + publicPortB + " asked")
            .empty());
    EXPECT_FALSE(WaitForLine(logB, "punches [1-3] punch-list 0", 30s).empty());
    // A sends towards B every 500 ms: nothing arrives at B, and B's punches
    // never reach A.
    std::this_thread::sleep_for(8s);
    a.Stop();
    b.Stop();
    const std::string outA = lftest::ReadFile(logA), outB = lftest::ReadFile(logB);
    EXPECT_EQ(outB.find("stream-from"), std::string::npos) << outB;
    EXPECT_EQ(outA.find("punch-from"), std::string::npos) << outA;
    // Both engines said that their routers change ports.
    EXPECT_NE(outA.find("[UDP port 8000 appears as 198.18.1.2:"), std::string::npos) << outA;
    EXPECT_NE(outB.find("[UDP port 6881 appears as 198.18.2.2:" + publicPortB + ":"),
              std::string::npos)
        << outB;
    if (HasFailure() || std::getenv("LF_SHOW_LAB_LOGS") != nullptr) {
        std::printf("--- rendezvous\n%s--- engine A\n%s--- engine B\n%s",
                    lftest::ReadFile(serviceLog).c_str(), outA.c_str(), outB.c_str());
    }
}

}  // namespace
