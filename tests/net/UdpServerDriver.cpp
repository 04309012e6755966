// udp_server_driver: runs the engine's UDP service (started by the core as
// for a download task) in a lab host and reports what it learns, one line
// each, on stdout:
//   identity HEX              the 12-byte identity
//   public A.B.C.D:P nat N    the public endpoint the service reported
//   bound P                   the port the socket is bound to
//   state2 SEED A.B.C.D:P     a querying record moved on to requesting
//   punches N                 punches sent so far (and "punch-list N")
//   punch-from A.B.C.D:P SEED a punch came in
//   stream-from A.B.C.D:P     a stream-sized datagram came in
//   log TEXT                  a line of the engine log
// Once a record moved on, the driver sends a 64-byte stream-sized datagram
// to its endpoint every 500 ms (what a connection request would do), so the
// other side shows whether the hole through both routers is open.
// Options: --move-to PORT (the listener's port, told once the first public
// endpoint is known), --query-seed HEX16 and --query-endpoint A.B.C.D:PORT
// (records that query every 3 s until answered). The rendezvous service
// comes from LANTERNFISH_RENDEZVOUS_HOST and LANTERNFISH_RENDEZVOUS_PORT.
#include <arpa/inet.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/core/LanternfishCore.h"
#include "engine/log/LogApi.h"
#include "engine/net/UdpServer.h"
#include "tests/net/UdpServerTestSink.h"

using namespace lf;

namespace {

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) {
    g_stop = 1;
}

void PrintLogLine(const char* line) {
    std::printf("log %s\n", line);
}

std::string Hex(const uint8_t* p, size_t n) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof(b), "%02x", p[i]);
        s += b;
    }
    return s;
}

bool FromHex(const std::string& text, uint8_t* out, size_t n) {
    if (text.size() != 2 * n) return false;
    for (size_t i = 0; i < n; ++i)
        out[i] = static_cast<uint8_t>(std::stoi(text.substr(2 * i, 2), nullptr, 16));
    return true;
}

std::string Endpoint(uint32_t address, uint16_t port) {
    in_addr a{};
    a.s_addr = address;
    return std::string(inet_ntoa(a)) + ":" + std::to_string(port);
}

// A sink that prints punches and keeps the records.
class DriverSink : public lftest::RecordingSink {};

}  // namespace

int main(int argc, char** argv) {
    int moveTo = 0;
    std::vector<std::array<uint8_t, 8>> asked;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i], v = argv[i + 1];
        if (a == "--move-to") {
            moveTo = std::atoi(v.c_str());
        } else if (a == "--query-seed") {
            std::array<uint8_t, 8> s{};
            if (!FromHex(v, s.data(), 8)) return 2;
            asked.push_back(s);
        } else if (a == "--query-endpoint") {
            const size_t colon = v.find(':');
            std::array<uint8_t, 8> s{};
            const uint32_t address = inet_addr(v.substr(0, colon).c_str());
            const int port = std::atoi(v.c_str() + colon + 1);
            std::memcpy(s.data() + 2, &address, 4);
            s[6] = static_cast<uint8_t>(port >> 8);
            s[7] = static_cast<uint8_t>(port);
            asked.push_back(s);
        } else {
            std::fprintf(stderr, "unknown option %s\n", a.c_str());
            return 2;
        }
    }
    signal(SIGTERM, OnSignal);
    signal(SIGINT, OnSignal);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    EngineLog::Open();
    EngineLog::SetThresholds(100, 0);  // every line to the debug output, none to files
    SetDebugOutputSink(&PrintLogLine);

    CLanternfishCore& core = CLanternfishCore::Instance();
    core.StartSharedServices();
    QUInternalServer* server = core.udpServer;
    if (server == nullptr || !server->IsRunning()) {
        std::printf("no service\n");
        return 1;
    }
    DriverSink sink;
    server->SetStreamSink(&sink);
    const UdpIdentity id = server->Identity();
    std::printf("identity %s\n", Hex(id.data(), 12).c_str());
    for (const auto& s : asked) sink.records.push_back({s, 0, 6});

    std::string lastPublic, lastBound, lastPunches;
    int punchesSeen = 0, streamsSeen = 0;
    uint64_t lastProbe = 0;
    bool moved = false;
    uint64_t lastQuery = 0;
    std::vector<bool> reported(asked.size(), false);
    while (!g_stop) {
        usleep(50000);
        const uint64_t now = QUInternalServer::NowMs();
        QGuard guard(server->ServerLock());
        QUdpServerCore& p = server->Protocol();
        const std::string pub = p.PublicAddress() == 0
                                    ? std::string()
                                    : Endpoint(p.PublicAddress(), p.PublicPort()) + " nat " +
                                          std::to_string(p.IsBehindNat() ? 1 : 0);
        if (pub != lastPublic && !pub.empty()) std::printf("public %s\n", pub.c_str());
        lastPublic = pub;
        const std::string bound = std::to_string(server->BoundPort());
        if (bound != lastBound) std::printf("bound %s\n", bound.c_str());
        lastBound = bound;
        const std::string punches =
            std::to_string(p.PunchesSent()) + " punch-list " + std::to_string(p.PunchList().size());
        if (punches != lastPunches) std::printf("punches %s\n", punches.c_str());
        lastPunches = punches;
        if (moveTo != 0 && !moved && p.PublicAddress() != 0) {
            moved = true;
            server->SetLocalEndpoint(0, moveTo);
        }
        std::lock_guard<std::mutex> g(sink.lock);
        if (sink.punches != punchesSeen) {
            punchesSeen = sink.punches;
            std::printf("punch-from %s %s\n",
                        Endpoint(sink.lastPunchFrom, ntohs(sink.lastPunchPortNet)).c_str(),
                        Hex(sink.lastPunchSeed.data(), 8).c_str());
        }
        if (sink.streamPackets != streamsSeen) {
            streamsSeen = sink.streamPackets;
            std::printf("stream-from %s\n",
                        Endpoint(sink.lastStreamFrom, ntohs(sink.lastStreamPortNet)).c_str());
        }
        if (now - lastProbe >= 500) {
            lastProbe = now;
            uint8_t probe[64] = {0, 0, 0, 64};
            for (const lftest::TestRecord& r : sink.records)
                if (r.state == 2)
                    server->SendDatagram(probe, sizeof(probe), r.addressNet, r.portNet);
        }
        // Records query again every 3 s until answered, as connections do.
        const bool ready = p.PublicAddress() != 0 && (moveTo == 0 || server->BoundPort() == moveTo);
        if (ready && now - lastQuery >= 3000) {
            lastQuery = now;
            for (lftest::TestRecord& r : sink.records) {
                if (r.state != 6 && r.state != 1) continue;
                uint8_t identity[12];
                std::memcpy(identity, r.seed.data(), 8);
                std::memcpy(identity + 8, "UDP0", 4);
                uint32_t address = 0;
                if (r.seed[0] == 0 && r.seed[1] == 0) std::memcpy(&address, r.seed.data() + 2, 4);
                r.sequence = p.QueueQuery(address, identity);
                r.state = 1;
            }
        }
        for (size_t i = 0; i < sink.records.size(); ++i) {
            const lftest::TestRecord& r = sink.records[i];
            if (r.state == 2 && !reported[i]) {
                reported[i] = true;
                std::printf("state2 %s %s asked %s\n", Hex(r.seed.data(), 8).c_str(),
                            Endpoint(r.addressNet, ntohs(r.portNet)).c_str(),
                            Hex(asked[i].data(), 8).c_str());
            }
        }
    }
    server->SetStreamSink(nullptr);
    core.StopSharedServices();
    SetDebugOutputSink(nullptr);
    EngineLog::Close();
    return 0;
}
