// LAN discovery between engines in network namespaces on one bridge: lf-get
// runs in each lab host; the test itself joins the bridge as one more host
// to watch and send datagrams of the group. The bridge has no uplink.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/e2e/TrackerEngine.h"
#include "tests/support/NetLab.h"
#include "tests/support/Netns.h"
#include "tests/support/TestDirs.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kLfGet = std::string(LF_BINARY_DIR) + "/tools/lf-get/lf-get";
constexpr int kPort = 31576;
const char* const kGroup = "233.65.31.78";

std::string HashBytes(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// A datagram: first word, address, port, kind, info hash, peer id.
std::string Datagram(uint32_t first, const char* address, int port, uint32_t kind,
                     const std::string& hash, char idMark) {
    std::string d(56, '\0');
    std::memcpy(&d[0], &first, 4);  // little-endian on this machine
    const uint32_t a = inet_addr(address);
    std::memcpy(&d[4], &a, 4);
    d[8] = static_cast<char>(port >> 8);
    d[9] = static_cast<char>(port & 0xff);
    std::memcpy(&d[12], &kind, 4);
    std::memcpy(&d[16], hash.data(), 20);
    d.replace(36, 20, std::string(20, idMark));
    return d;
}

// The test's member of the group, on its own bridge address.
class GroupMember {
public:
    explicit GroupMember(const char* address) {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(kPort);
        m_ok = bind(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0;
        ip_mreq m{};
        m.imr_multiaddr.s_addr = inet_addr(kGroup);
        m.imr_interface.s_addr = inet_addr(address);
        m_ok = m_ok && setsockopt(m_fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof(m)) == 0;
        in_addr i{};
        i.s_addr = inet_addr(address);
        setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_IF, &i, sizeof(i));
        const unsigned char off = 0;
        setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_LOOP, &off, sizeof(off));
        timeval tv{0, 200000};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    }
    ~GroupMember() { close(m_fd); }
    bool Ok() const { return m_ok; }
    void Send(const std::string& d) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(kPort);
        sa.sin_addr.s_addr = inet_addr(kGroup);
        sendto(m_fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
    }
    struct Seen {
        std::string bytes;
        uint32_t from;
    };
    // Every datagram that arrives within `time`.
    std::vector<Seen> Collect(std::chrono::milliseconds time) {
        std::vector<Seen> out;
        const auto end = Clock::now() + time;
        while (Clock::now() < end) {
            char b[2048];
            sockaddr_in from{};
            socklen_t len = sizeof(from);
            const ssize_t n =
                recvfrom(m_fd, b, sizeof(b), 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n > 0)
                out.push_back({std::string(b, static_cast<size_t>(n)), from.sin_addr.s_addr});
        }
        return out;
    }

private:
    int m_fd = -1;
    bool m_ok = false;
};

struct Counted {
    int queries = 0;
    int answers = 0;
};
Counted CountFrom(const std::vector<GroupMember::Seen>& seen, const char* address,
                  const std::string& hash) {
    Counted c;
    for (const auto& s : seen) {
        if (s.from != inet_addr(address) || s.bytes.size() != 56) continue;
        if (s.bytes.compare(16, 20, hash) != 0) continue;
        (s.bytes[12] == 1 ? c.answers : c.queries) += 1;
    }
    return c;
}

// The clock time (seconds of the day) of the first engine log line that
// holds `needle` ("... [hh:mm:ss] [text]"); -1 when there is none.
int LineTime(const std::string& log, const std::string& needle) {
    const size_t at = log.find(needle);
    if (at == std::string::npos) return -1;
    const size_t open = log.rfind("] [", at);
    if (open == std::string::npos || open < 8) return -1;
    const std::string t = log.substr(open - 8, 8);  // hh:mm:ss
    if (t[2] != ':' || t[5] != ':') return -1;
    return std::stoi(t.substr(0, 2)) * 3600 + std::stoi(t.substr(3, 2)) * 60 +
           std::stoi(t.substr(6, 2));
}

class LanDiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(lftest::InPrivateNetworkNamespace()) << "run inside unshare --net";
        lan = std::make_unique<lftest::Lan>(lab, "lan");
        ASSERT_TRUE(lan->Ok());
    }
    // lf-get in a host: the torrent's file at `target`, listening on 6881.
    void StartEngine(lftest::ChildProcess* p, const std::string& host, const std::string& address,
                     const std::string& torrent, const std::string& target, bool seed,
                     const std::string& log) {
        std::vector<std::string> argv = {"ip",
                                         "netns",
                                         "exec",
                                         host,
                                         "env",
                                         "LANTERNFISH_DEBUG=1",
                                         "LANTERNFISH_START_TIMEOUT_SECONDS=600",
                                         kLfGet,
                                         "--torrent",
                                         torrent,
                                         "--peers",
                                         "20",
                                         "--listen",
                                         "6881",
                                         "--bind",
                                         address};
        if (seed) argv.push_back("--seed");
        argv.push_back(target);
        ASSERT_TRUE(p->Start(argv, log));
    }

    lftest::NetLab lab;
    std::unique_ptr<lftest::Lan> lan;
    lftest::TempDir dir;
};

// One engine without any source and the test as a second member of the
// group: the engine's two queries arrive; of the datagrams sent to it only
// the well-formed query is answered, once.
TEST_F(LanDiscoveryTest, QueriesAnsweredOnceOthersIgnored) {
    const std::string host = lan->AddHost("eng", "198.18.0.1/24");
    ASSERT_FALSE(host.empty());
    // The test's own end goes with the test (the next one wants only lo).
    struct OwnEnd {
        ~OwnEnd() { lftest::Run("ip link del lflan0 2>/dev/null"); }
    } ownEnd;
    ASSERT_TRUE(lan->Join("", "lflan0", "198.18.0.9/24"));
    GroupMember me("198.18.0.9");
    ASSERT_TRUE(me.Ok());
    ASSERT_EQ(lftest::Run("head -c 300000 /dev/urandom > " + dir / "f.bin"), 0);
    ASSERT_EQ(lftest::Run("mktorrent -p -l 16 -o " + dir / "f.torrent" + " " + dir / "f.bin" +
                          " >/dev/null"),
              0);
    const std::string hash = HashBytes(lfe2e::InfoHashOf(dir / "f.torrent"));
    ASSERT_EQ(hash.size(), 20u);
    lftest::ChildProcess engine;
    StartEngine(&engine, host, "198.18.0.1", dir / "f.torrent", dir / "got.bin", false,
                dir / "engine.log");

    // Its announcement: two queries with its listener's address and port.
    std::vector<GroupMember::Seen> seen;
    for (int i = 0; i < 30 && CountFrom(seen, "198.18.0.1", hash).queries < 2; ++i) {
        auto more = me.Collect(1s);
        seen.insert(seen.end(), more.begin(), more.end());
    }
    const Counted start = CountFrom(seen, "198.18.0.1", hash);
    ASSERT_EQ(start.queries, 2) << "no announcement of the engine";
    EXPECT_EQ(start.answers, 0) << "its own echo is not answered";
    for (const auto& s : seen) {
        if (s.from != inet_addr("198.18.0.1")) continue;
        EXPECT_EQ(s.bytes.substr(4, 6), std::string("\xc6\x12\x00\x01\x1a\xe1", 6));
    }

    // What it must ignore, what it adds without answering, and one query.
    me.Send(Datagram(1, "198.18.0.9", 7002, 0, hash, 'a'));
    me.Send(Datagram(0, "198.18.0.9", 7002, 0, hash, 'b').substr(0, 55));
    me.Send(Datagram(0, "198.18.0.9", 7001, 1, hash, 'c'));
    me.Send(Datagram(0, "198.18.0.9", 7000, 0, hash, 'd'));
    // Two LAN passes of the engine (every 10 s) and some.
    seen = me.Collect(25s);
    const Counted after = CountFrom(seen, "198.18.0.1", hash);
    EXPECT_EQ(after.answers, 1);
    EXPECT_EQ(after.queries, 0);
    engine.Stop();
    const std::string log = lftest::ReadFile(dir / "engine.log");
    EXPECT_NE(log.find("LAN peer 198.18.0.9:7000 found (query)"), std::string::npos) << log;
    EXPECT_NE(log.find("LAN peer 198.18.0.9:7001 found (answer)"), std::string::npos);
    EXPECT_EQ(log.find("198.18.0.9:7002"), std::string::npos) << "a malformed datagram was used";
}

// Three engines with the same torrent and no tracker, one of them complete:
// the others find it by multicast and finish.
TEST_F(LanDiscoveryTest, EnginesFindTheSeederAndFinish) {
    const std::string seeder = lan->AddHost("seed", "198.18.0.1/24");
    const std::string b = lan->AddHost("leechb", "198.18.0.2/24");
    const std::string c = lan->AddHost("leechc", "198.18.0.3/24");
    ASSERT_FALSE(seeder.empty() || b.empty() || c.empty());
    ASSERT_EQ(lftest::Run("mkdir -p " + dir / "a" + " " + dir / "b" + " " + dir / "c" +
                          " && head -c 33554432 /dev/urandom > " + dir / "a/f.bin"),
              0);
    ASSERT_EQ(lftest::Run("mktorrent -p -l 18 -o " + dir / "f.torrent" + " " + dir / "a/f.bin" +
                          " >/dev/null"),
              0);
    lftest::ChildProcess a, pb, pc;
    StartEngine(&a, seeder, "198.18.0.1", dir / "f.torrent", dir / "a/f.bin", true, dir / "a.log");
    const auto start = Clock::now();
    StartEngine(&pb, b, "198.18.0.2", dir / "f.torrent", dir / "b/f.bin", false, dir / "b.log");
    StartEngine(&pc, c, "198.18.0.3", dir / "f.torrent", dir / "c/f.bin", false, dir / "c.log");
    const int sb = pb.Wait(), sc = pc.Wait();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    a.Stop();
    EXPECT_TRUE(WIFEXITED(sb) && WEXITSTATUS(sb) == 0) << lftest::ReadFile(dir / "b.log");
    EXPECT_TRUE(WIFEXITED(sc) && WEXITSTATUS(sc) == 0) << lftest::ReadFile(dir / "c.log");
    const std::string want = lftest::Capture("sha1sum < " + dir / "a/f.bin");
    EXPECT_EQ(lftest::Capture("sha1sum < " + dir / "b/f.bin"), want);
    EXPECT_EQ(lftest::Capture("sha1sum < " + dir / "c/f.bin"), want);
    const std::string seederLog = lftest::ReadFile(dir / "a.log");
    for (const auto& [name, address] :
         {std::pair<const char*, const char*>{"b.log", "198.18.0.2"}, {"c.log", "198.18.0.3"}}) {
        // The leecher and the seeder found each other by multicast within
        // 20 s of the task's start: the leecher heard the seeder's answer,
        // or the seeder heard the leecher's query (it then connects to the
        // leecher itself, and the leecher may finish before any answer).
        const std::string log = lftest::ReadFile(dir / name);
        const int created = LineTime(log, "Create P2SP Task");
        int found = LineTime(log, "LAN peer 198.18.0.1:6881 found");
        if (found < 0)
            found = LineTime(seederLog, std::string("LAN peer ") + address + ":6881 found");
        ASSERT_GE(created, 0) << log;
        ASSERT_GE(found, 0) << name << " and the seeder did not find each other on the LAN\n"
                            << log << "\n"
                            << seederLog;
        const int after = (found - created + 86400) % 86400;
        EXPECT_LE(after, 20) << name << "\n" << log;
        std::printf("%s and the seeder found each other %d s after its start\n", name, after);
    }
    std::printf("both leechers finished in %.1f s\n", seconds);
}

}  // namespace
