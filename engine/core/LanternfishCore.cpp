#include "engine/core/LanternfishCore.h"

#include <uuid/uuid.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>

#include "engine/base/TimeThread.h"
#include "engine/core/EngineApi.h"
#include "engine/core/EngineTypes.h"
#include "engine/net/NameResolve.h"
#include "engine/net/UdpServer.h"
#include "engine/net/UdpStreamService.h"
#include "stats/DataUpload.h"

namespace lf {

namespace {
// LANTERNFISH_START_TIMEOUT_SECONDS and LANTERNFISH_NO_SOURCE_SECONDS shorten
// the give-up waits (tests of a dead network; a user who wants an early end).
EngineTimings TimingsFromEnvironment() {
    EngineTimings timings;
    timings.startTimeoutSeconds = static_cast<int>(SecondsFromEnvironment(
        "LANTERNFISH_START_TIMEOUT_SECONDS", 1, 86399, timings.startTimeoutSeconds));
    timings.noSourceSeconds = static_cast<int>(
        SecondsFromEnvironment("LANTERNFISH_NO_SOURCE_SECONDS", 1, 86399, timings.noSourceSeconds));
    return timings;
}

// LANTERNFISH_UDP_CONNECT_SECONDS: the limit of a BitTorrent connect over
// the UDP transport (tests of the failure paths); also shortens the
// streams' setup timeout to match.
int UdpConnectSecondsFromEnvironment() {
    return static_cast<int>(SecondsFromEnvironment("LANTERNFISH_UDP_CONNECT_SECONDS", 1, 28, 28));
}
}  // namespace

CLanternfishCore& CLanternfishCore::Instance() {
    static CLanternfishCore core;
    return core;
}

CLanternfishCore::CLanternfishCore() {
    SetTimings(TimingsFromEnvironment());
    udpConnectSeconds.store(UdpConnectSecondsFromEnvironment());
    machineCodeProvider.store(&DataUploadMachineCode);
}

CLanternfishCore::~CLanternfishCore() {
    {
        // Message threads still on their way use the core's lock and
        // condition (bounded, as clearing the sink is).
        std::unique_lock<std::mutex> lock(messageLock);
        messageDone.wait_for(lock, std::chrono::milliseconds(2000),
                             [this] { return messagesInFlight == 0; });
    }
    EngineShutdown();
    StopUdpServer();
    bool streamsLeft = false;
    {
        std::lock_guard<std::mutex> guard(m_udpLock);
        for (const auto& w : m_retiredUdp) streamsLeft = streamsLeft || !w.expired();
    }
    // Streams still alive share the server's lock: the server then stays.
    if (!streamsLeft) delete udpServer;
    udpServer = nullptr;
}

std::string CLanternfishCore::StartupFolder() const {
    std::lock_guard<std::mutex> guard(m_folderLock);
    return m_startupFolder;
}

void CLanternfishCore::SetStartupFolder(const char* folder) {
    std::lock_guard<std::mutex> guard(m_folderLock);
    m_startupFolder =
        folder != nullptr ? std::string(folder).substr(0, kEnginePathBytes - 1) : std::string();
}

EngineTimings CLanternfishCore::Timings() const {
    EngineTimings t;
    t.sourceRefreshSeconds = m_timings.sourceRefreshSeconds.load();
    t.noSourceSeconds = m_timings.noSourceSeconds.load();
    t.startTimeoutSeconds = m_timings.startTimeoutSeconds.load();
    t.lanPassSeconds = m_timings.lanPassSeconds.load();
    t.resumeSaveSeconds = m_timings.resumeSaveSeconds.load();
    t.stallStopSeconds = m_timings.stallStopSeconds.load();
    t.httpHeadSeconds = m_timings.httpHeadSeconds.load();
    t.httpBodySeconds = m_timings.httpBodySeconds.load();
    t.rangeStarveSeconds = m_timings.rangeStarveSeconds.load();
    t.trackerRepeatSeconds = m_timings.trackerRepeatSeconds.load();
    t.trackerAgainSeconds = m_timings.trackerAgainSeconds.load();
    return t;
}

void CLanternfishCore::SetTimings(const EngineTimings& t) {
    m_timings.sourceRefreshSeconds.store(t.sourceRefreshSeconds);
    m_timings.noSourceSeconds.store(t.noSourceSeconds);
    m_timings.startTimeoutSeconds.store(t.startTimeoutSeconds);
    m_timings.lanPassSeconds.store(t.lanPassSeconds);
    m_timings.resumeSaveSeconds.store(t.resumeSaveSeconds);
    m_timings.stallStopSeconds.store(t.stallStopSeconds);
    m_timings.httpHeadSeconds.store(t.httpHeadSeconds);
    m_timings.httpBodySeconds.store(t.httpBodySeconds);
    m_timings.rangeStarveSeconds.store(t.rangeStarveSeconds);
    m_timings.trackerRepeatSeconds.store(t.trackerRepeatSeconds);
    m_timings.trackerAgainSeconds.store(t.trackerAgainSeconds);
}

std::array<uint8_t, 16> CLanternfishCore::ProcessId() {
    std::call_once(m_processIdOnce, [this] {
        uuid_t id;
        uuid_generate(id);
        std::memcpy(m_processId.data(), id, 16);
        // A zero byte 0 or 1 would make the UDP identity differ from the
        // peer id (the UDP server replaces those bytes), so neither is ever 0.
        if (m_processId[0] == 0) m_processId[0] = 1;
        if (m_processId[1] == 0) m_processId[1] = 2;
    });
    return m_processId;
}

std::array<uint8_t, 8> CLanternfishCore::MachineId() {
    std::array<uint8_t, 8> m{};
    const std::array<uint8_t, 16> p = ProcessId();
    std::memcpy(m.data(), p.data(), 8);
    return m;
}

void CLanternfishCore::StartSharedServices() {
    EnsureTimeThread();
    MachineId();
    StartUdpServer();
    // The DHT node is not part of this engine build: with the DHT switch
    // off nothing else starts for it.
    const int32_t setting = halfOpenLimitSetting.load();
    m_halfOpen.SetLimit(setting > 0 ? setting : HalfOpenLimitFromProbe(ProbeHalfOpenLimit()));
    // The listener opens at the first task's incoming dispatch; nobody has
    // reached this engine from outside yet.
    sharedListener->ClearReachable();
}

void CLanternfishCore::StopSharedServices() {
    // The last task went: the shared listener, its pending connections and
    // the LAN discovery socket close (the next first task reopens them).
    sharedListener->CloseAll();
    StopUdpServer();
}

void CLanternfishCore::StartUdpServer() {
    // The UDP service: the configured rendezvous service, keepalives every
    // 52 s, a 30 s stream timeout, port 8000 until the listener tells its
    // port (SetLocalEndpoint), and the machine id as identity seed. The
    // server object stays once made, so that other services may keep its
    // address. Each run gets fresh streams: an endpoint with the same
    // identity seed, registered as the server's stream sink, and the
    // transport-stream maker of the network services.
    std::lock_guard<std::mutex> guard(m_udpLock);
    if (udpServer == nullptr) udpServer = new QUInternalServer;
    const RendezvousEndpoint rendezvous = ConfiguredRendezvous();
    UdpServiceConfig config;
    config.rendezvousHost = rendezvous.host;
    config.rendezvousPort = rendezvous.port;
    config.keepaliveSeconds = 52;
    config.timeoutSeconds = std::min(30, udpConnectSeconds.load() + 2);
    config.localPort = 8000;
    config.localAddress = localAddress.load();
    config.identitySeed = MachineId();
    if (!m_udpStreams) {
        const uint32_t local =
            config.localAddress != 0 ? config.localAddress : ChooseLocalAddress();
        std::random_device random;
        m_udpStreams =
            UdpStreamService::Make(*udpServer, config.identitySeed, local, config.timeoutSeconds,
                                   static_cast<uint32_t>(random()));
        m_udpStreams->Attach();
        m_net.SetTransportStreamFactory(m_udpStreams->Factory());
        m_udpGeneration.fetch_add(1);
    }
    udpServer->SetSuspended(false);
    if (udpServer->StartUdpService(config) != 0) {
        // Not started (no rendezvous service configured): no transport.
        m_net.SetTransportStreamFactory(nullptr);
        m_udpStreams->Retire();
        m_retiredUdp.push_back(m_udpStreams);
        m_udpStreams.reset();
    }
}

void CLanternfishCore::StopUdpServer() {
    std::lock_guard<std::mutex> guard(m_udpLock);
    if (udpServer == nullptr) return;
    m_net.SetTransportStreamFactory(nullptr);
    // The streams close first, so that their peers hear it.
    if (m_udpStreams) {
        m_udpStreams->Retire();
        m_retiredUdp.push_back(m_udpStreams);
        m_udpStreams.reset();
    }
    udpServer->StopUdpService();
    udpServer->SetSuspended(true);
    m_retiredUdp.erase(std::remove_if(m_retiredUdp.begin(), m_retiredUdp.end(),
                                      [](const auto& w) { return w.expired(); }),
                       m_retiredUdp.end());
}

bool CLanternfishCore::UdpTransportOn() {
    std::lock_guard<std::mutex> guard(m_udpLock);
    return m_udpStreams && udpServer != nullptr && udpServer->ServiceRunning() &&
           !udpServer->Suspended();
}

bool CLanternfishCore::UdpNatTraversalPermitted() {
    std::lock_guard<std::mutex> guard(m_udpLock);
    return m_udpStreams && udpServer != nullptr && udpServer->ServiceRunning() &&
           !udpServer->Suspended() && udpServer->PublicAddress() != 0;
}

std::string CLanternfishCore::MachineCode() const {
    std::lock_guard<std::mutex> guard(m_machineCodeLock);
    return m_machineCode;
}

void CLanternfishCore::OfferMachineCode(const std::string& code) {
    std::lock_guard<std::mutex> guard(m_machineCodeLock);
    if (m_machineCode.empty()) m_machineCode = code;
}

}  // namespace lf
