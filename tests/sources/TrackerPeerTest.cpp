// A tracker source against small scripted trackers (TCP and UDP) inside the
// test: the request it sends and what it makes of each kind of reply.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/sources/PeerId.h"
#include "engine/sources/TrackerPeer.h"
#include "tests/sources/FakeHost.h"
#include "tests/sources/TrackerBytes.h"
#include "tests/support/TestDirs.h"

using namespace lf;

namespace {

using trackertest::Compact;
using trackertest::Gzip;
using trackertest::PeerText;
using trackertest::Str;

using Clock = std::chrono::steady_clock;

int BoundSocket(int type, uint16_t port, const char* address = "127.0.0.1") {
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = inet_addr(address);
    sa.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
        close(fd);
        return -1;
    }
    if (type == SOCK_STREAM) listen(fd, 4);
    return fd;
}

uint16_t PortOf(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof(sa);
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    return ntohs(sa.sin_port);
}

bool Readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
}

// One HTTP tracker connection: waits for `requests` requests, then writes
// the parts (each after its delay), then closes unless told to stay open.
struct HttpScript {
    std::vector<std::pair<std::string, int>> parts;
    int requests = 1;
    bool close = true;
};

class ScriptedHttpTracker {
public:
    ScriptedHttpTracker(HttpScript script, uint16_t port = 0, const char* address = "127.0.0.1")
        : m_script(std::move(script)) {
        m_fd = BoundSocket(SOCK_STREAM, port, address);
        if (m_fd >= 0) m_thread = std::thread([this] { Serve(); });
    }
    ~ScriptedHttpTracker() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
        if (m_fd >= 0) close(m_fd);
    }
    bool Ok() const { return m_fd >= 0; }
    uint16_t Port() const { return PortOf(m_fd); }
    std::string Received() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_received;
    }

private:
    void Serve() {
        int c = -1;
        while (!m_stop && c < 0) {
            if (Readable(m_fd, 50)) c = accept(m_fd, nullptr, nullptr);
        }
        if (c < 0) return;
        int seen = 0;
        char buf[4096];
        while (!m_stop && seen < m_script.requests) {
            if (!Readable(c, 50)) continue;
            ssize_t n = recv(c, buf, sizeof(buf), 0);
            if (n <= 0) break;
            std::lock_guard<std::mutex> g(m_lock);
            m_received.append(buf, static_cast<size_t>(n));
            seen = 0;
            for (size_t at = m_received.find("\r\n\r\n"); at != std::string::npos;
                 at = m_received.find("\r\n\r\n", at + 4))
                ++seen;
        }
        for (const auto& [bytes, delay] : m_script.parts) {
            std::this_thread::sleep_for(std::chrono::milliseconds(delay));
            send(c, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        }
        while (!m_script.close && !m_stop)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        close(c);
    }

    HttpScript m_script;
    int m_fd = -1;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::mutex m_lock;
    std::string m_received;
};

// A UDP tracker answering each datagram (numbered from 0) with what the
// handler returns.
using UdpHandler = std::function<std::vector<std::string>(const std::string&, int)>;

class ScriptedUdpTracker {
public:
    explicit ScriptedUdpTracker(UdpHandler handler) : m_handler(std::move(handler)) {
        m_fd = BoundSocket(SOCK_DGRAM, 0);
        m_thread = std::thread([this] { Serve(); });
    }
    ~ScriptedUdpTracker() {
        m_stop = true;
        m_thread.join();
        close(m_fd);
    }
    uint16_t Port() const { return PortOf(m_fd); }
    int Count() const { return m_count; }

private:
    void Serve() {
        char buf[2048];
        while (!m_stop) {
            if (!Readable(m_fd, 50)) continue;
            sockaddr_in from{};
            socklen_t len = sizeof(from);
            ssize_t n =
                recvfrom(m_fd, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n <= 0) continue;
            for (const std::string& r :
                 m_handler(std::string(buf, static_cast<size_t>(n)), m_count++))
                sendto(m_fd, r.data(), r.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
        }
    }

    UdpHandler m_handler;
    int m_fd = -1;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_count{0};
};

// Answers of a UDP tracker, built from the request they answer.
std::string ConnectAnswer(const std::string& request, const std::string& cid, int txDelta = 0) {
    return trackertest::ConnectReply(trackertest::TxOf(request) + txDelta, cid);
}

std::string AnnounceAnswer(const std::string& request, const std::string& entries) {
    return trackertest::AnnounceReply(trackertest::TxOf(request), entries);
}

class FakeTrackerHost : public ITrackerHost {
public:
    bool FillAnnounce(tracker::AnnounceValues* v) override {
        v->infoHash.fill('A');
        v->infoHash[0] = 0x12;
        v->infoHash[1] = 0xab;
        v->peerId.fill('P');
        v->listenPort = 6881;
        v->left = 1000;
        return true;
    }
    tracker::PeerIdField HttpAnnouncePeerId() override {
        tracker::PeerIdField id;
        id.fill('H');
        return id;
    }
    void OfferTrackerPeer(const tracker::PeerEntry& p) override { peers.push_back(p); }
    void StoreTrackerCounts(int32_t i, int32_t d, int32_t c) override {
        interval = i;
        donePeers = d;
        completed = c;
    }
    std::vector<tracker::PeerEntry> peers;
    int32_t interval = -1, donePeers = -1, completed = -1;
};

struct Outcome {
    std::vector<std::string> peers;
    int subState = -1;
    double seconds = 0;
    FakeTrackerHost host;
};

// Runs a tracker source for `address` until it ends (or `limit` seconds).
void RunSource(const std::string& address, Outcome* out, int limit = 10) {
    lftest::TempDir dir;
    sourcetest::FakeHost task(dir.Path());
    // Requests are repeated when more than a second old (not 10 s).
    task.timings.trackerRepeatSeconds = 1;
    TPeerId* source = task.AddSource("tracker://" + address);
    ASSERT_NE(source, nullptr) << address;
    TTrackerPeer* peer = new TTrackerPeer(&task, &out->host);
    const auto start = Clock::now();
    if (peer->Connect(source)) {
        while (Clock::now() - start < std::chrono::seconds(limit) && peer->RunCycle()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    out->seconds = std::chrono::duration<double>(Clock::now() - start).count();
    out->subState = peer->SubStateValue();
    for (const auto& p : out->host.peers) out->peers.push_back(PeerText(p));
    peer->Reset();
    peer->Release();
}

class TrackerPeerTest : public ::testing::Test {};

std::string Head(const std::string& extra = "") {
    return "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n" + extra + "\r\n";
}
std::string WithLength(const std::string& body) {
    return Head("Content-Length: " + std::to_string(body.size()) + "\r\n") + body;
}

TEST_F(TrackerPeerTest, HttpReplies) {
    const std::string two = Compact("198.18.0.5", 6881) + Compact("127.0.0.2", 51413);
    const std::string body100 =
        "d5:peers" + Str(Compact("198.18.0.9", 9) + std::string(82, 'x')) + "e";
    ASSERT_EQ(body100.size(), 100u);
    const std::string full100 = WithLength(body100);
    const std::string split = "d8:intervali120e5:peers" + Str(two) + "e";
    struct Case {
        const char* name;
        HttpScript script;
        std::vector<std::string> peers;  // the first ones, in order
        int32_t interval;
        size_t peerCount;
    } cases[] = {
        {"interval 60 gives 600",
         {{{WithLength("d8:intervali60e5:peers" + Str(two) + "e"), 0}}},
         {"198.18.0.5:6881", "127.0.0.2:51413"},
         600,
         2},
        {"interval 61", {{{WithLength("d8:intervali61e5:peers0:e"), 0}}}, {}, 61, 0},
        {"interval missing", {{{WithLength("d5:peers0:e"), 0}}}, {}, 600, 0},
        {"13 compact bytes give 2",
         {{{WithLength("d5:peers" + Str(two + "z") + "e"), 0}}},
         {"198.18.0.5:6881", "127.0.0.2:51413"},
         600,
         2},
        {"port 0 and 0.0.0.0 skipped",
         {{{WithLength(
                "d5:peers" +
                Str(Compact("198.18.0.1", 0) + Compact("0.0.0.0", 5) + Compact("198.18.0.2", 7)) +
                "e"),
            0}}},
         {"198.18.0.2:7"},
         600,
         1},
        {"length 100 as 60 then 40 bytes",
         {{{full100.substr(0, full100.size() - 40), 0}, {full100.substr(full100.size() - 40), 50}}},
         {"198.18.0.9:9"},
         600,
         14},
        {"no length, body in two parts 50 ms apart, connection open",
         {{{Head() + split.substr(0, 20), 0}, {split.substr(20), 50}}, 1, false},
         {"198.18.0.5:6881", "127.0.0.2:51413"},
         120,
         2},
        {"gzip body", {{{WithLength(Gzip(split)), 0}}}, {"198.18.0.5:6881"}, 120, 2},
        {"list peers with and without peer id",
         {{{WithLength("d5:peersld2:ip10:198.18.0.77:peer id20:ABCDEFGHIJKLMNOPQRST4:porti7000e"
                       "ed2:ip10:198.18.0.84:porti7001eeee"),
            0}}},
         {"198.18.0.7:7000", "198.18.0.8:7001"},
         600,
         2},
        {"unanswered request repeated", {{{WithLength("d5:peers0:e"), 0}}, 2}, {}, 600, 0},
    };
    for (auto& c : cases) {
        ScriptedHttpTracker t(c.script);
        ASSERT_TRUE(t.Ok());
        Outcome o;
        RunSource("http://127.0.0.1:" + std::to_string(t.Port()) + "/announce", &o);
        EXPECT_EQ(o.subState, TTrackerPeer::kSubDone) << c.name;
        EXPECT_EQ(o.host.interval, c.interval) << c.name;
        ASSERT_EQ(o.peers.size(), c.peerCount) << c.name;
        for (size_t i = 0; i < c.peers.size(); ++i) EXPECT_EQ(o.peers[i], c.peers[i]) << c.name;
        const std::string request = t.Received();
        EXPECT_EQ(request.rfind("GET /announce?info_hash=%12%abAAAAAAAAAAAAAAAAAA&peer_id=HHHH", 0),
                  0u)
            << c.name;
    }
}

TEST_F(TrackerPeerTest, PeerIdFieldsOfHttpEntries) {
    ScriptedHttpTracker t(
        {{{WithLength("d5:peersld2:ip10:198.18.0.77:peer id20:ABCDEFGHIJKLMNOPQRST"
                      "4:porti7000eed2:ip10:198.18.0.84:porti7001eee"
                      "5:peers6:" +
                      Compact("198.18.0.3", 3) + "e"),
           0}}});
    Outcome o;
    RunSource("http://127.0.0.1:" + std::to_string(t.Port()) + "/announce", &o);
    ASSERT_EQ(o.host.peers.size(), 2u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(o.host.peers[0].peerId.data()), 20),
              "ABCDEFGHIJKLMNOPQRST");
    const uint8_t byAddress[20] = {0, 0, 0,   0,  0, 0, 0,    0,    0, 0,
                                   0, 0, 198, 18, 0, 8, 0x59, 0x1b, 0, 0};
    EXPECT_EQ(std::memcmp(o.host.peers[1].peerId.data(), byAddress, 20), 0);
}

TEST_F(TrackerPeerTest, HttpFailures) {
    {
        // "failure reason": done, no peers.
        ScriptedHttpTracker t({{{WithLength("d14:failure reason9:not heree"), 0}}});
        Outcome o;
        RunSource("http://127.0.0.1:" + std::to_string(t.Port()) + "/announce", &o);
        EXPECT_EQ(o.subState, TTrackerPeer::kSubDone);
        EXPECT_TRUE(o.peers.empty());
    }
    {
        // Above 1 MiB: the source ends without a result.
        ScriptedHttpTracker t(
            {{{Head("Content-Length: 2000000\r\n") + std::string(70000, 'x'), 0}}});
        Outcome o;
        RunSource("http://127.0.0.1:" + std::to_string(t.Port()) + "/announce", &o);
        EXPECT_NE(o.subState, TTrackerPeer::kSubDone);
        EXPECT_TRUE(o.peers.empty());
        EXPECT_LT(o.seconds, 5);
    }
    {
        // Nothing listens: the source ends at the refused connect.
        const int fd = BoundSocket(SOCK_STREAM, 0);
        const uint16_t port = PortOf(fd);
        close(fd);
        Outcome o;
        RunSource("http://127.0.0.1:" + std::to_string(port) + "/announce", &o);
        EXPECT_NE(o.subState, TTrackerPeer::kSubDone);
        EXPECT_LT(o.seconds, 1);
    }
}

TEST_F(TrackerPeerTest, HostLineCarriesThePortOnlyWhenNot80) {
    const struct {
        uint16_t port;
        const char* host;
    } cases[] = {{80, "\r\nHost: 127.0.0.5\r\n"}, {6969, "\r\nHost: 127.0.0.5:6969\r\n"}};
    // At 127.0.0.5, where no other test's tracker is.
    for (const auto& c : cases) {
        ScriptedHttpTracker t({{{WithLength("d5:peers0:e"), 0}}}, c.port, "127.0.0.5");
        if (!t.Ok()) GTEST_SKIP() << "port " << c.port << " taken";
        Outcome o;
        RunSource("http://127.0.0.5:" + std::to_string(c.port) + "/announce", &o);
        EXPECT_NE(t.Received().find(c.host), std::string::npos) << t.Received();
        EXPECT_NE(t.Received().find(" HTTP/1.0\r\nUser-Agent: BitTorrent/4.1.2\r\n"),
                  std::string::npos);
    }
}

TEST_F(TrackerPeerTest, UdpExchanges) {
    const std::string entries =
        Compact("127.0.0.2", 6881) + Compact("198.18.0.4", 0) + Compact("198.18.0.5", 5);
    struct Case {
        const char* name;
        UdpHandler handler;
        int datagrams;  // the source sent this many
    } cases[] = {
        {"plain",
         [&](const std::string& d, int) -> std::vector<std::string> {
             if (d.size() == 16) return {ConnectAnswer(d, "CONNID01")};
             return {AnnounceAnswer(d, entries)};
         },
         2},
        {"wrong transaction id, then the right one; an error reply ignored",
         [&](const std::string& d, int) -> std::vector<std::string> {
             if (d.size() == 16)
                 return {ConnectAnswer(d, "CONNID01", 1), ConnectAnswer(d, "CONNID01")};
             EXPECT_EQ(d.substr(0, 8), "CONNID01");
             return {std::string("\0\0\0\x03", 4) + d.substr(12, 4) + "busy",
                     AnnounceAnswer(d, entries)};
         },
         2},
        {"first connect dropped",
         [&](const std::string& d, int n) -> std::vector<std::string> {
             if (n == 0) return {};
             if (d.size() == 16) return {ConnectAnswer(d, "CONNID02")};
             return {AnnounceAnswer(d, entries)};
         },
         3},
        {"first announce dropped",
         [&](const std::string& d, int n) -> std::vector<std::string> {
             if (d.size() == 16) return {ConnectAnswer(d, "CONNID03")};
             if (n == 1) return {};
             return {AnnounceAnswer(d, entries)};
         },
         3},
    };
    for (auto& c : cases) {
        ScriptedUdpTracker t(c.handler);
        Outcome o;
        RunSource("udp://127.0.0.1:" + std::to_string(t.Port()), &o);
        EXPECT_EQ(o.subState, TTrackerPeer::kSubDone) << c.name;
        EXPECT_EQ(t.Count(), c.datagrams) << c.name;
        ASSERT_EQ(o.peers, (std::vector<std::string>{"127.0.0.2:6881", "198.18.0.5:5"})) << c.name;
        // UDP entries carry the 6-byte entry in bytes 14 to 19.
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(o.host.peers[0].peerId.data()) + 14, 6),
                  Compact("127.0.0.2", 6881))
            << c.name;
    }
}

TEST_F(TrackerPeerTest, UdpGivesUpAfterFourConnects) {
    // A tracker that never answers, and no tracker at all (the port
    // unreachable answers must not end the source early).
    ScriptedUdpTracker silent([](const std::string&, int) { return std::vector<std::string>{}; });
    Outcome o;
    RunSource("udp://127.0.0.1:" + std::to_string(silent.Port()), &o);
    EXPECT_EQ(silent.Count(), 4);
    EXPECT_EQ(o.subState, TTrackerPeer::kSubConnecting);
    EXPECT_GT(o.seconds, 6);  // four tries, each more than 1 s apart, then one more wait

    const int fd = BoundSocket(SOCK_DGRAM, 0);
    const uint16_t port = PortOf(fd);
    close(fd);
    Outcome none;
    RunSource("udp://127.0.0.1:" + std::to_string(port), &none);
    EXPECT_EQ(none.subState, TTrackerPeer::kSubConnecting);
    EXPECT_GT(none.seconds, 6);
}

}  // namespace
