// Source descriptions: parsing and normalising address texts, equality,
// retry and penalty state, and name resolution with real lookups against a
// private /etc/hosts.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/net/NameResolve.h"
#include "engine/net/NetServices.h"
#include "engine/sources/PeerId.h"
#include "tests/net/NetFixture.h"

using namespace lf;

namespace {

std::string Dotted(uint32_t a) {
    return a == 0xffffffffu ? "none" : DottedAddress(a);
}

// Owns one reference of a description.
struct Id {
    TPeerId* p;
    explicit Id(const std::string& text) : p(new TPeerId(text)) {}
    ~Id() { p->Release(); }
    TPeerId* operator->() { return p; }
    TPeerId& operator*() { return *p; }
};

struct ParseCase {
    const char* text;
    bool ok;
    int kind;
    const char* address;  // normalised text
    const char* host;
    uint16_t port;
    const char* path;
    const char* query;
    const char* fileName;
    const char* user;
    const char* password;
    int transport;
};

TEST(PeerIdParse, NormalisesAndSplitsAddressTexts) {
    const ParseCase cases[] = {
        {"HTTP://127.0.0.2/a b.cab", true, kSourceHttp, "HTTP://127.0.0.2/a%20b.cab", "127.0.0.2",
         80, "/a%20b.cab", "", "a b.cab", "", "", 0},
        {"http://127.0.0.2:8080", true, kSourceHttp, "http://127.0.0.2:8080", "127.0.0.2", 8080,
         "/", "", "", "", "", 0},
        {"http://127.0.0.2\\dir\\f.bin", true, kSourceHttp, "http://127.0.0.2/dir/f.bin",
         "127.0.0.2", 80, "/dir/f.bin", "", "f.bin", "", "", 0},
        {"http://127.0.0.2/\xe4\xb8\xad.bin", true, kSourceHttp, "http://127.0.0.2/%e4%b8%ad.bin",
         "127.0.0.2", 80, "/%e4%b8%ad.bin", "", "\xe4\xb8\xad.bin", "", "", 0},
        {"http://127.0.0.2/100%25.bin?x=1", true, kSourceHttp, "http://127.0.0.2/100%25.bin?x=1",
         "127.0.0.2", 80, "/100%25.bin?x=1", "", "100%.bin?x=1", "", "", 0},
        {"ftp://127.0.0.3/x", true, kSourceFtp, "ftp://127.0.0.3/x", "127.0.0.3", 21, "/x", "", "x",
         "anonymous", TPeerId::kGuestPassword, 0},
        {"ftp://u:p@127.0.0.3:2121/pub/f%20g.cab", true, kSourceFtp,
         "ftp://u:p@127.0.0.3:2121/pub/f g.cab", "127.0.0.3", 2121, "/pub/f g.cab", "", "f g.cab",
         "u", "p", 0},
        {"FTP://u@127.0.0.3", true, kSourceFtp, "FTP://u@127.0.0.3", "127.0.0.3", 21, "/", "", "",
         "u", "", 0},
        {"tracker://udp://127.0.0.4:6969", true, kSourceTracker, "tracker://udp://127.0.0.4:6969",
         "127.0.0.4", 6969, "/", "", "", "", "", 0},
        {"tracker://http://127.0.0.4/announce?x=1", true, kSourceTracker,
         "tracker://http://127.0.0.4/announce?x=1", "127.0.0.4", 80, "/announce", "x=1", "", "", "",
         1},
        {"tracker://TCP://127.0.0.4:2710/a%3Fb", true, kSourceTracker,
         "tracker://TCP://127.0.0.4:2710/a?b", "127.0.0.4", 2710, "/a", "b", "", "", "", 1},
        {"btnode://1.2.3.4:6881", true, kSourceBitTorrent, "btnode://1.2.3.4:6881", "", 6881, "",
         "", "", "", "", 0},
        // Refused.
        {"gopher://127.0.0.2/x", false, 0, "", "", 0, "", "", "", "", "", 0},
        {"tracker://wss://127.0.0.4/a", false, kSourceTracker, "", "", 0, "", "", "", "", "", 0},
        {"tracker://127.0.0.4:80", false, kSourceTracker, "", "", 0, "", "", "", "", "", 0},
        {"btnode://0.0.0.0:6881", false, kSourceBitTorrent, "", "", 0, "", "", "", "", "", 0},
        {"btnode://1.2.3.4", false, kSourceBitTorrent, "", "", 0, "", "", "", "", "", 0},
        {"btnode://peer.test:6881", false, kSourceBitTorrent, "", "", 0, "", "", "", "", "", 0},
        {"http://127.0.0.2:0/x", false, kSourceHttp, "", "", 0, "", "", "", "", "", 0},
        {"http://127.0.0.2:99999/x", false, kSourceHttp, "", "", 0, "", "", "", "", "", 0},
        {"ftp://127.0.0.3:abc/x", false, kSourceFtp, "", "", 0, "", "", "", "", "", 0},
        {"http://0.0.0.0/x", false, kSourceHttp, "", "", 0, "", "", "", "", "", 0},
        {"http://256.1.1.1/x", false, kSourceHttp, "", "", 0, "", "", "", "", "", 0},
        {"http:///x", false, kSourceHttp, "", "", 0, "", "", "", "", "", 0},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.text);
        Id id(c.text);
        ASSERT_EQ(id->ParseAndWait(), c.ok);
        EXPECT_EQ(id->parsed, c.ok);
        if (!c.ok) {
            EXPECT_EQ(id->ipv4 == 0xffffffffu || c.kind == kSourceBitTorrent, true);
            continue;
        }
        EXPECT_EQ(id->kind, c.kind);
        EXPECT_EQ(id->address, c.address);
        EXPECT_EQ(id->port, c.port);
        EXPECT_FALSE(id->lookupFailed);
        if (c.kind == kSourceBitTorrent) {
            EXPECT_EQ(Dotted(id->ipv4), "1.2.3.4");
            EXPECT_EQ(id->details, nullptr);
            continue;
        }
        ASSERT_NE(id->details, nullptr);
        EXPECT_EQ(Dotted(id->ipv4), c.host);
        EXPECT_EQ(id->details->hostName, c.host);
        EXPECT_EQ(id->details->path, c.path);
        EXPECT_EQ(id->details->query, c.query);
        EXPECT_EQ(id->details->fileName, c.fileName);
        EXPECT_EQ(id->details->user, c.user);
        EXPECT_EQ(id->details->password, c.password);
        EXPECT_EQ(id->trackerTransport, c.transport);
        EXPECT_TRUE(id->alternates.empty());
    }
}

TEST(PeerIdParse, EncodingAndDecoding) {
    struct Case {
        std::string in, out;
    } decode[] = {
        {"a%41b", "aAb"},   {"x%zzy", "x"},
        {"ab%4", "ab"},     {"a%", "a"},
        {"%4g!", "@!"},     {"%e4%B8%ad", "\xe4\xb8\xad"},
        {"plain", "plain"}, {std::string(5000, 'a'), std::string(TPeerId::kMaxAddressBytes, 'a')},
    };
    for (const Case& c : decode) EXPECT_EQ(TPeerId::DecodeAddress(c.in), c.out) << c.in;
    EXPECT_EQ(TPeerId::EncodeAddress(std::string("a b\x80~%\x7f\t", 8)), "a%20b%80~%\x7f%09");
    EXPECT_EQ(TPeerId::DecodeFileName("a%20b.cab"), "a b.cab");
}

TEST(PeerIdEquality, SameSourceAndSameAddress) {
    struct Case {
        const char* a;
        const char* b;
        bool same;         // SameSource
        bool sameAddress;  // the simple test
        bool shareId;      // give both the same nonzero peer id
    } cases[] = {
        {"http://127.0.0.2/A.cab", "HTTP://127.0.0.2/a.CAB", true, true, false},
        {"http://127.0.0.2/a", "http://127.0.0.2/b", false, false, false},
        {"http://127.0.0.2/a", "ftp://127.0.0.2/a", false, false, false},
        {"ftp://u:p@127.0.0.3/x", "FTP://U:P@127.0.0.3/X", true, true, false},
        {"btnode://1.2.3.4:6881", "btnode://1.2.3.4:6881", true, true, false},
        {"btnode://1.2.3.4:6881", "btnode://1.2.3.4:6882", false, false, false},
        {"btnode://1.2.3.4:6881", "btnode://1.2.3.5:6881", false, false, false},
        {"btnode://1.2.3.4:6881", "btnode://1.2.3.5:7000", true, false, true},
        {"tracker://udp://127.0.0.4:6969", "tracker://udp://127.0.0.4:6969/announce", true, false,
         false},
        {"tracker://udp://127.0.0.4:6969", "tracker://http://127.0.0.4:6969", false, false, false},
        {"tracker://udp://127.0.0.4:6969", "tracker://udp://127.0.0.4:6970", false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " / " + c.b);
        Id a(c.a), b(c.b);
        ASSERT_TRUE(a->ParseAndWait());
        ASSERT_TRUE(b->ParseAndWait());
        if (c.shareId) {
            a->peerId[0] = b->peerId[0] = 0x2d;
            a->peerId[19] = b->peerId[19] = 7;
        }
        EXPECT_EQ(a->SameSource(*b), c.same);
        EXPECT_EQ(b->SameSource(*a), c.same);
        EXPECT_EQ(a->SameAddress(*b), c.sameAddress);
        EXPECT_TRUE(a->SameSource(*a));
    }
}

TEST(PeerIdState, RetryAndPenalty) {
    Id id("http://127.0.0.2/f");
    EXPECT_EQ(id->retryMark, TPeerId::kRetryDefault);
    EXPECT_EQ(id->waitingSeconds, 0);
    id->Penalise(0);
    id->Penalise(-5);
    EXPECT_EQ(id->waitingSeconds, 2);  // at least one second each
    id->Penalise(15);
    EXPECT_EQ(id->waitingSeconds, 17);
    id->OnFirstSuccess();
    EXPECT_EQ(id->retryMark, TPeerId::kRetryDefault);
    id->retryMark = TPeerId::kRetryListed;
    id->OnFirstSuccess();
    EXPECT_EQ(id->retryMark, TPeerId::kRetryRedirect);
    id->OnFirstSuccess();
    EXPECT_EQ(id->retryMark, TPeerId::kRetryRedirect);
    EXPECT_EQ(id->RefCount(), 1);
    id->AddRef();
    EXPECT_EQ(id->Release(), 1);
}

std::mutex g_eventsLock;
std::vector<std::string> g_events;
void RecordEvent(const char* code, const char* text) {
    std::lock_guard<std::mutex> g(g_eventsLock);
    g_events.push_back(std::string(code) + " " + text);
}
std::vector<std::string> TakeEvents() {
    std::lock_guard<std::mutex> g(g_eventsLock);
    std::vector<std::string> out;
    out.swap(g_events);
    return out;
}

TEST(PeerIdHostsNamespace, NameTests) {
    EXPECT_EQ(nettest::RunInHostsNamespace(
                  "PeerIdNames.*",
                  "127.0.0.1 localhost\n127.0.0.5 single.test\n"
                  "127.0.0.2 multi.test\n127.0.0.3 multi.test\n127.0.0.4 multi.test\n",
                  "nameserver 192.0.2.53\nnameserver 192.0.2.54\n"),
              0);
}

// A resolver on 127.0.0.1:53 that never answers (a UDP socket the test
// binds): lookups of unknown names hang until the engine's time limit.
TEST(PeerIdHostsNamespace, SilentResolverTests) {
    EXPECT_EQ(nettest::RunInHostsNamespace(
                  "PeerIdSilentResolver.*", "127.0.0.1 localhost\n127.0.0.5 single.test\n",
                  "nameserver 127.0.0.1\noptions timeout:5 attempts:1\n", "hosts: files dns\n"),
              0);
}

class PeerIdNames : public ::testing::Test {
protected:
    void SetUp() override {
        if (!nettest::InHostsNamespace())
            GTEST_SKIP() << "runs inside PeerIdHostsNamespace.NameTests";
        ResetSourceLookupReport();
        SetSourceEventSink(&RecordEvent);
        TakeEvents();
    }
    void TearDown() override { SetSourceEventSink(nullptr); }
    // The failed-name set and the lookup limit the engine hands its tasks.
    QNetServices net;
};

TEST_F(PeerIdNames, ResolvesOneOrSeveralAddresses) {
    std::vector<uint32_t> found;
    EXPECT_EQ(TPeerId::Resolve("single.test", found, &net), 1);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(Dotted(found[0]), "127.0.0.5");
    found.clear();
    EXPECT_EQ(TPeerId::Resolve("multi.test", found, &net), 3);
    EXPECT_EQ(found.size(), 3u);
    found.clear();
    EXPECT_EQ(TPeerId::Resolve("127.0.0.9", found, &net), 1);
    EXPECT_EQ(TPeerId::Resolve("0.0.0.0", found, &net), 0);

    Id id("http://multi.test:8000/dir/file.cab");
    ASSERT_TRUE(id->ParseAndWait(&net));
    EXPECT_EQ(Dotted(id->ipv4), "127.0.0.2");
    ASSERT_EQ(id->alternates.size(), 2u);
    EXPECT_EQ(Dotted(id->alternates[0]), "127.0.0.3");
    EXPECT_EQ(Dotted(id->alternates[1]), "127.0.0.4");
    EXPECT_EQ(id->port, 8000);
    EXPECT_EQ(id->details->hostName, "multi.test");

    Id tracker("tracker://udp://single.test:6969");
    ASSERT_TRUE(tracker->ParseAndWait(&net));
    EXPECT_EQ(Dotted(tracker->ipv4), "127.0.0.5");
    Id sameByAddress("tracker://udp://127.0.0.5:6969/announce");
    ASSERT_TRUE(sameByAddress->ParseAndWait(&net));
    EXPECT_TRUE(tracker->SameSource(*sameByAddress));
    EXPECT_TRUE(TakeEvents().empty());
}

TEST_F(PeerIdNames, FailedLookupsReportOnceUntilASuccess) {
    const std::string expected =
        "11500106 ErrCode : (11001) Host : (nosuch.test) , DNS : (192.0.2.53), 备用 DNS : "
        "(192.0.2.54)";
    Id a("http://nosuch.test/f.cab");
    EXPECT_FALSE(a->ParseAndWait(&net));
    EXPECT_TRUE(a->lookupFailed);
    EXPECT_FALSE(a->parsed);
    EXPECT_EQ(a->ipv4, 0xffffffffu);
    EXPECT_TRUE(net.IsFailedName("nosuch.test"));
    Id b("ftp://nosuch.test/f.cab");
    EXPECT_FALSE(b->ParseAndWait(&net));  // a second failure: no second report
    std::vector<std::string> events = TakeEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], expected);

    Id ok("http://single.test/f.cab");
    EXPECT_TRUE(ok->ParseAndWait(&net));  // a success re-arms the report
    Id c("tracker://http://nosuch.test/announce");
    EXPECT_FALSE(c->ParseAndWait(&net));
    events = TakeEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], expected);
}

TEST(PeerIdSilentResolver, LookupGivesUpAtTheTimeLimit) {
    if (!nettest::InHostsNamespace()) GTEST_SKIP() << "runs inside SilentResolverTests";
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(53);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)), 0);
    QNetServices net;
    net.SetLookupTimeoutMs(300);
    ResetSourceLookupReport();
    SetSourceEventSink(&RecordEvent);
    TakeEvents();

    std::vector<uint32_t> found;
    EXPECT_EQ(LookupHostTimed("slow.test", net.LookupTimeoutMs(), found), kLookupTimedOut);
    EXPECT_EQ(TPeerId::Resolve("single.test", found, &net), 1);  // the hosts file still answers
    Id id("http://slow.test/f.cab");
    EXPECT_FALSE(id->ParseAndWait(&net));
    EXPECT_TRUE(id->lookupFailed);
    // A timeout is no proof that the name does not exist.
    EXPECT_FALSE(net.IsFailedName("slow.test"));
    std::vector<std::string> events = TakeEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], "11500106 ErrCode : (10060) Host : (slow.test) , DNS : (127.0.0.1)");

    // Parse itself never looks a name up: the lookup is a state that each
    // Resolution step only looks at, until it gives up at the time limit.
    Id pending("http://slow2.test/f.cab");
    EXPECT_TRUE(pending->Parse());
    EXPECT_TRUE(pending->resolving);
    EXPECT_FALSE(pending->parsed);
    EXPECT_EQ(pending->Resolution(&net), TPeerId::kResolving);
    EXPECT_EQ(pending->Resolution(&net), TPeerId::kResolving);
    TPeerId::ResolveState state;
    while ((state = pending->Resolution(&net)) == TPeerId::kResolving)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(state, TPeerId::kResolveFailed);
    EXPECT_TRUE(pending->lookupFailed);
    EXPECT_FALSE(pending->resolving);
    // A dotted address needs no lookup.
    Id dotted("http://127.0.0.7:81/f.cab");
    EXPECT_TRUE(dotted->Parse());
    EXPECT_TRUE(dotted->parsed);
    EXPECT_EQ(dotted->Resolution(&net), TPeerId::kResolved);
    SetSourceEventSink(nullptr);
    close(fd);
}

}  // namespace
