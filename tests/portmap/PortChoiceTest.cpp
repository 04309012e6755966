// Port choice, the socket-table port test, address classification and the
// start-up paths of CPortForwardEngine that end before any router is asked.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/log/LogApi.h"
#include "portmap/PortChoice.h"
#include "portmap/PortForwardEngine.h"
#include "portmap/SocketTable.h"
#include "tests/support/TestDirs.h"

using namespace lf;

namespace {

using portmap::ChooseListenPort;
using portmap::FirstCandidate;
using portmap::NextCandidate;

TEST(PortChoice, FirstCandidateSkipsExcludedPorts) {
    const struct {
        unsigned random;
        int first;
    } cases[] = {
        {4443, 44445},                                    // 44444 is excluded
        {123454443, 44445},                               // only random mod 10000 counts
        {0, 40001},         {9999, 50000}, {411, 40413},  // 40412 excluded
        {420, 40424},                                     // 40421, 40422, 40423 excluded
        {425, 40427},                                     // 40426 excluded
        {3957, 43959},      {7261, 47263}, {3000, 43001},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FirstCandidate(c.random), c.first) << "random " << c.random;
    }
}

TEST(PortChoice, NextCandidateSkipsAndWraps) {
    const std::pair<int, int> cases[] = {
        {44443, 44445}, {40411, 40413}, {40420, 40424}, {40425, 40427}, {43957, 43959},
        {47261, 47263}, {49999, 50000}, {50000, 40000}, {39998, 40000}, {65535, 40000},
        {0, 40000},     {-7, 40000},    {70000, 40000}, {45000, 45001},
    };
    for (const auto& [from, to] : cases) EXPECT_EQ(NextCandidate(from), to) << "after " << from;
}

TEST(PortChoice, ScanSkipsPortsInUseAndWraps) {
    const struct {
        unsigned random;
        std::set<int> inUse;
        int expected;
    } cases[] = {
        {4443, {}, 44445},
        {4443, {44445, 44446}, 44447},
        {4442, {44443, 44445}, 44446},  // 44444 is never tried
        {9998, {49999, 50000}, 40000},  // wraps to the bottom
        {9999, {50000, 40000, 40001}, 40002},
    };
    for (const auto& c : cases) {
        std::vector<int> tried;
        const int port = ChooseListenPort(c.random, [&](int p) {
            tried.push_back(p);
            return c.inUse.count(p) > 0;
        });
        EXPECT_EQ(port, c.expected) << "random " << c.random;
        for (int p : tried) EXPECT_FALSE(portmap::IsExcludedPort(p)) << p;
    }
}

TEST(PortChoice, AllPortsInUseTriesEachCandidateOnceAndGivesZero) {
    for (unsigned random : {0u, 4443u, 9999u, 411u}) {
        std::multiset<int> tried;
        const int port = ChooseListenPort(random, [&](int p) {
            tried.insert(p);
            return tried.size() <= 20000;  // a scan that never ends gets a port
        });
        EXPECT_EQ(port, 0);
        // 40000..50000 without the eight excluded ports, each once.
        EXPECT_EQ(tried.size(), 10001u - 8u);
        EXPECT_EQ(std::set<int>(tried.begin(), tried.end()).size(), tried.size());
        EXPECT_EQ(*tried.begin(), 40000);
        EXPECT_EQ(*tried.rbegin(), 50000);
    }
}

TEST(PortChoice, PrivateAndPublicAddresses) {
    const std::pair<const char*, bool> cases[] = {
        {"0.1.2.3", true},         {"6.255.255.255", true}, {"7.0.0.1", false},
        {"10.233.0.2", true},      {"11.22.34.5", false},   {"127.0.1.1", true},
        {"192.168.1.20", true},    {"192.167.1.20", false}, {"192.169.0.1", false},
        {"169.254.3.4", true},     {"169.253.3.4", false},  {"172.15.0.1", false},
        {"172.16.0.1", true},      {"172.31.255.1", true},  {"172.32.0.1", false},
        {"8.8.8.8", false},        {"223.5.5.5", false},    {"100.64.0.1", false},
        {"not an address", false},
    };
    for (const auto& [address, isPrivate] : cases) {
        EXPECT_EQ(portmap::IsPrivateIPv4(address), isPrivate) << address;
    }
}

// --- socket tables -------------------------------------------------------

const char kTable[] =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
    "timeout inode\n"
    "   0: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        "
    "0 12345 1 0000000000000000 100 0 0 10 0\n"
    "   1: 00000000:AD9D 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        "
    "0 12346 1 0000000000000000 100 0 0 10 0\n"
    "  12: 0100007F:D431 0100007F:1F90 06 00000000:00000000 03:00001770 00000000     0        "
    "0 0 3 0000000000000000\n"
    "  sl  local_address                         remote_address                        st "
    "tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
    "   0: 00000000000000000000000001000000:AD9E 00000000000000000000000000000000:0000 0A "
    "00000000:00000000 00:00000000 00000000     0        0 22 1 0000000000000000 100 0 0 10 0\n"
    // damaged lines: short port, bad address length, no slot, no blank after the port
    "   2: 0100007F:1F9 00000000:0000 0A\n"
    "   3: 0100007:1F91 00000000:0000 0A\n"
    "0100007F:1F92 00000000:0000 0A\n"
    "   4: 0100007F:1F93:00000000:0000 0A\n"
    // last line without a newline
    "   5: 0100007F:C350 00000000:0000 07 00000000:00000000 00:00000000 00000000     0";

TEST(SocketTable, LocalPortsOfEveryStateAndFamilyInChunksOfEverySize) {
    const std::string bytes(kTable);
    for (size_t chunk = 1; chunk <= bytes.size(); ++chunk) {
        portmap::CSocketTableParser parser;
        for (size_t at = 0; at < bytes.size(); at += chunk) {
            parser.Feed(bytes.data() + at, std::min(chunk, bytes.size() - at));
        }
        parser.Finish();
        ASSERT_EQ(parser.Entries(), 5u) << "chunk " << chunk;
        ASSERT_EQ(parser.Count(), 5u) << "chunk " << chunk;
        // 8080 listening, 44445 listening on any, 54321 in TIME_WAIT, 44446 on
        // IPv6, 50000 a UDP socket.
        for (int port : {8080, 44445, 54321, 44446, 50000}) {
            ASSERT_TRUE(parser.InUse(port)) << port << " chunk " << chunk;
        }
        // Remote ports and damaged lines do not count.
        for (int port : {0, 8081, 0x1F9, 0x1F91, 0x1F92, 0x1F93, 44447, -1, 65536}) {
            ASSERT_FALSE(parser.InUse(port)) << port << " chunk " << chunk;
        }
    }
}

TEST(SocketTable, OverlongLineIsIgnoredAndTheNextLineCounts) {
    std::string bytes = "   0: 0100007F:1F90 00000000:0000 0A" +
                        std::string(portmap::CSocketTableParser::kMaxLine, 'x') + "\n";
    bytes += "   1: 0100007F:1F91 00000000:0000 0A\n";
    portmap::CSocketTableParser parser;
    parser.Feed(bytes.data(), bytes.size());
    parser.Finish();
    EXPECT_FALSE(parser.InUse(0x1F90));
    EXPECT_TRUE(parser.InUse(0x1F91));
}

TEST(SocketTable, MissingTablesAddNothingAndSeveralTablesAddUp) {
    lftest::TempDir dir;
    lftest::WriteFile(dir / "a", "   0: 0100007F:1F90 00000000:0000 0A 0");  // no newline
    lftest::WriteFile(dir / "b", "   0: 0100007F:1F91 00000000:0000 0A 0\n");
    const auto parser = portmap::ReadSocketTables({dir / "a", dir / "missing", dir / "b"});
    EXPECT_TRUE(parser.InUse(0x1F90));
    EXPECT_TRUE(parser.InUse(0x1F91));
    EXPECT_EQ(parser.Count(), 2u);
}

// --- the engine's start-up paths ----------------------------------------

struct Recorder {
    std::mutex lock;
    std::vector<std::pair<std::string, std::string>> events;
    std::vector<std::pair<int, long>> notes;
};

std::mutex g_logLock;
std::vector<std::string> g_logLines;
void CaptureLog(const char* line) {
    std::lock_guard<std::mutex> guard(g_logLock);
    g_logLines.emplace_back(line);
}

class EngineStartTest : public ::testing::Test {
protected:
    void SetUp() override {
        EngineLog::Open();
        {
            std::lock_guard<std::mutex> guard(g_logLock);
            g_logLines.clear();
        }
        SetDebugOutputSink(&CaptureLog);
        engine.SetEventSink([this](const std::string& code, const std::string& text) {
            std::lock_guard<std::mutex> guard(recorder.lock);
            recorder.events.emplace_back(code, text);
        });
        engine.SetNotificationSink([this](int code, long detail) {
            std::lock_guard<std::mutex> guard(recorder.lock);
            recorder.notes.emplace_back(code, detail);
        });
        engine.SetRandomSource([] { return 4443u; });
        // Searches stay on loopback even outside the suite's namespace.
        engine.SetMulticastInterface("lo");
    }
    void TearDown() override {
        SetDebugOutputSink(nullptr);
        EngineLog::Close();
    }
    bool Logged(const std::string& text) {
        std::lock_guard<std::mutex> guard(g_logLock);
        for (const auto& line : g_logLines) {
            if (line.find("[" + text + "]") != std::string::npos) return true;
        }
        return false;
    }

    Recorder recorder;
    CPortForwardEngine engine;
};

// A socket bound to a loopback port; closed when the object goes away.
class Bound {
public:
    Bound(int family, int type, int port) {
        fd = socket(family, type, 0);
        if (family == AF_INET) {
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<uint16_t>(port));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        } else {
            sockaddr_in6 a{};
            a.sin6_family = AF_INET6;
            a.sin6_port = htons(static_cast<uint16_t>(port));
            a.sin6_addr = in6addr_loopback;
            ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        }
        if (ok && type == SOCK_STREAM) ok = listen(fd, 4) == 0;
    }
    ~Bound() { close(fd); }
    int fd = -1;
    bool ok = false;
};

TEST_F(EngineStartTest, PortsInUseOnThisComputerAreSkipped) {
    // Three consecutive candidates are taken by a TCP listener, an IPv6 TCP
    // listener and a UDP socket; the port test must see all three in the
    // system's socket tables. Other tests may hold ports too: look for a
    // start whose three candidates can be bound here.
    for (unsigned random = 1000; random < 9000; random += 97) {
        const int first = FirstCandidate(random);
        const int second = NextCandidate(first);
        const int third = NextCandidate(second);
        Bound tcp(AF_INET, SOCK_STREAM, first);
        Bound tcp6(AF_INET6, SOCK_STREAM, second);
        Bound udp(AF_INET, SOCK_DGRAM, third);
        if (!(tcp.ok && tcp6.ok && udp.ok)) continue;
        engine.SetRandomSource([random] { return random; });
        EXPECT_EQ(engine.ChoosePort(), NextCandidate(third));
        EXPECT_TRUE(recorder.events.empty());
        return;
    }
    FAIL() << "no three free ports to bind";
}

TEST_F(EngineStartTest, FreePortIsTheFirstCandidate) {
    EXPECT_EQ(engine.ChoosePort(), 44445);
}

TEST_F(EngineStartTest, NoFreePortGivesZeroAndTheEvent) {
    lftest::TempDir dir;
    std::string table = "  sl  local_address rem_address   st\n";
    for (int port = 40000; port <= 50000; ++port) {
        char line[128];
        std::snprintf(line, sizeof line, "%4d: 0100007F:%04X 00000000:0000 0A\n", port - 40000,
                      port);
        table += line;
    }
    lftest::WriteFile(dir / "tcp", table);
    engine.SetSocketTablePaths({dir / "tcp"});
    engine.SetLocalAddressSource([] { return std::string("192.168.1.20"); });
    EXPECT_EQ(engine.ChoosePortAndMap(), 0);
    ASSERT_EQ(recorder.events.size(), 1u);
    EXPECT_EQ(recorder.events[0].first, "11500105");
    EXPECT_EQ(recorder.events[0].second, "没有可用的端口，uPnP失败");
    EXPECT_TRUE(Logged("没有可用的端口，uPnP失败"));
    EXPECT_EQ(engine.ThreadsStarted(), 0);
    EXPECT_FALSE(engine.Busy());
}

TEST_F(EngineStartTest, PublicAddressNeedsNoMappingAndStartsNoThread) {
    engine.SetLocalAddressSource([] { return std::string("11.22.34.5"); });
    EXPECT_EQ(engine.ChoosePortAndMap(), 44445);
    ASSERT_EQ(recorder.events.size(), 1u);
    EXPECT_EQ(recorder.events[0].first, "11390001");
    EXPECT_EQ(recorder.events[0].second, "无需uPnP：本机直通外网11.22.34.5");
    EXPECT_TRUE(Logged("无需uPnP：本机直通外网11.22.34.5"));
    EXPECT_EQ(engine.ThreadsStarted(), 0);
    EXPECT_FALSE(engine.Busy());
    EXPECT_TRUE(recorder.notes.empty());
}

TEST_F(EngineStartTest, NoLocalAddressGivesZero) {
    engine.SetLocalAddressSource([] { return std::string(); });
    EXPECT_EQ(engine.ChoosePortAndMap(), 0);
    ASSERT_EQ(recorder.events.size(), 1u);
    EXPECT_EQ(recorder.events[0].first, "11500105");
    EXPECT_EQ(recorder.events[0].second, "无法获取本地ip，uPnP失败");
    EXPECT_EQ(engine.ThreadsStarted(), 0);
}

TEST_F(EngineStartTest, PrivateAddressBuildsTheRequestAndStartsBothThreads) {
    // Only loopback exists here: the search finds nothing. The engine is
    // destroyed while both threads still wait; that must stop them without
    // the timeout event.
    engine.SetLocalAddressSource([] { return std::string("192.168.1.20"); });
    engine.SetSearchDelay(std::chrono::milliseconds(100));
    EXPECT_EQ(engine.ChoosePortAndMap(), 44445);
    EXPECT_EQ(engine.ThreadsStarted(), 2);
    EXPECT_TRUE(Logged("IGD设备信息线程已创建"));
    EXPECT_TRUE(Logged("uPnP线程已创建"));
    const auto& r = engine.Request();
    EXPECT_EQ(r.remoteHost, "");
    EXPECT_EQ(r.externalPort, "44445");
    EXPECT_EQ(r.internalPort, "44445");
    EXPECT_EQ(r.protocol, "TCP");
    EXPECT_EQ(r.internalClient, "192.168.1.20");
    EXPECT_EQ(r.enabled, "Yes");
    EXPECT_EQ(r.description, "Lanternfish uPnP for P2SP upload/download");
}

TEST(EngineHandler, ResultsOfTheMappingNotifications) {
    // The controller's handler alone: what each result turns into. No
    // discovery ran, so the device record is empty.
    const struct {
        std::vector<std::pair<int, long>> notes;
        const char* event;  // the one event expected, or nullptr
        const char* text;
    } cases[] = {
        {{{34, 0}}, "11390000", "uPnP成功"},
        {{{18, 0}, {34, CPortForwardEngine::kEFail}}, "11500105", "uPnP失败，因为没有IGD设备信息"},
        {{{18, CPortForwardEngine::kEFail}, {34, -1}}, "11500105", "uPnP失败，因为没有IGD设备信息"},
        {{{17, 0}, {17, 6}, {33, 2}, {18, 0}}, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        std::vector<std::pair<std::string, std::string>> events;
        CPortForwardEngine engine;
        engine.SetEventSink([&](const std::string& code, const std::string& text) {
            events.emplace_back(code, text);
        });
        for (const auto& [code, detail] : c.notes) engine.OnNotification(code, detail);
        EXPECT_FALSE(engine.GatewayFound());
        if (c.event == nullptr) {
            EXPECT_TRUE(events.empty());
        } else {
            ASSERT_EQ(events.size(), 1u);
            EXPECT_EQ(events[0].first, c.event);
            EXPECT_EQ(events[0].second, c.text);
        }
    }
}

TEST_F(EngineStartTest, DiscoveryWithoutADeviceIsLogged) {
    engine.OnNotification(CPortForwardEngine::kDiscoveryDone, 0);
    EXPECT_TRUE(Logged("NAT device ^Not^ found.."));
    EXPECT_FALSE(engine.GatewayFound());
    EXPECT_EQ(engine.Device().children, "");
}

TEST(EngineStop, DestroyingTheEngineStopsWaitingThreadsQuietly) {
    std::vector<std::string> events;
    std::mutex lock;
    {
        CPortForwardEngine engine;
        engine.SetEventSink([&](const std::string& code, const std::string&) {
            std::lock_guard<std::mutex> guard(lock);
            events.push_back(code);
        });
        engine.SetLocalAddressSource([] { return std::string("10.1.2.3"); });
        engine.SetMulticastInterface("lo");
        engine.SetSearchDelay(std::chrono::milliseconds(100));
        ASSERT_NE(engine.ChoosePortAndMap(), 0);
        ASSERT_TRUE(engine.Busy());
    }
    EXPECT_TRUE(events.empty());
}

TEST(EngineNotifications, WithoutASinkDiscoveryReleasesTheMappingThreadDirectly) {
    // No notification sink: code 18 reaches OnNotification on the worker
    // thread. Nothing answers on loopback, so discovery ends when the
    // (shortened) wait is over and the mapping thread reports the timeout.
    std::mutex lock;
    std::vector<std::pair<std::string, std::string>> events;
    CPortForwardEngine engine;
    engine.SetEventSink([&](const std::string& code, const std::string& text) {
        std::lock_guard<std::mutex> guard(lock);
        events.emplace_back(code, text);
    });
    engine.SetLocalAddressSource([] { return std::string("10.1.2.3"); });
    engine.SetMulticastInterface("lo");
    engine.SetSearchDelay(std::chrono::milliseconds(100));
    engine.SetDiscoveryWait(std::chrono::milliseconds(300));
    ASSERT_NE(engine.ChoosePortAndMap(), 0);
    while (engine.Busy()) usleep(20000);
    std::lock_guard<std::mutex> guard(lock);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].first, "11500105");
    EXPECT_EQ(events[0].second, "uPnP失败，获取IGD设备超时");
    EXPECT_FALSE(engine.GatewayFound());
}

}  // namespace
