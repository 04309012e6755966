// CLanternfishCore: the owner of everything engine-wide. It holds the
// settings the interface sets (listening port, P2P and disguise switches,
// start-up folder), the waits of the task loop, the interface lock, the
// task list and its registries, the machine id, the half-open gate and the
// network services (NetServices.h) shared by every task's connections, the
// message sink and machine code, and the seats of the shared services that
// later parts of the engine fill (the shared TCP listener, the LAN socket
// and the UDP server: empty while those services do not exist). The clocks
// of the time thread live below, in engine/base; the core starts and stops
// that thread.
//
// Task threads read the settings and the waits while the interface writes
// them: every field they read is atomic or copied under a lock.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/base/QMutex.h"
#include "engine/core/EngineSettings.h"
#include "engine/core/SharedListener.h"
#include "engine/net/HalfOpen.h"
#include "engine/net/NetServices.h"

namespace lf {

class TBaseWork;
// Seat for the UDP server of the peer-to-peer half.
class QUInternalServer;
class UdpStreamService;

using EngineMessageSink = void (*)(void* owner, const std::string& text, const std::string& caption,
                                   uint32_t style);
using MachineCodeProvider = std::string (*)();

class CLanternfishCore {
public:
    // The process's core (made on first use; shuts the engine down at exit).
    static CLanternfishCore& Instance();
    ~CLanternfishCore();
    CLanternfishCore(const CLanternfishCore&) = delete;
    CLanternfishCore& operator=(const CLanternfishCore&) = delete;

    // ---- settings held by the interface ----
    std::atomic<int32_t> listenPort{0};    // 0 means 8080
    std::atomic<uint8_t> p2pEnabled{0};    // BitTorrent peers, LAN discovery, listener
    std::atomic<uint8_t> httpDisguise{0};  // read by the peer wire
    std::atomic<uint8_t> started{0};
    // The local IPv4 address (network order) outgoing TCP connections and
    // datagram sockets bind to; 0 binds none. Set by SetLocalAddress, or at
    // start-up from LANTERNFISH_LOCAL_ADDRESS (a dotted address), so that
    // several engines on one machine use distinct loopback addresses.
    std::atomic<uint32_t> localAddress{0};
    std::string StartupFolder() const;
    void SetStartupFolder(const char* folder);
    EngineTimings Timings() const;
    void SetTimings(const EngineTimings& timings);

    // ---- services ----
    QTMutex& InterfaceLock() { return m_interfaceLock; }
    // Connection attempts in flight across all tasks.
    QHalfOpenGate& HalfOpen() { return m_halfOpen; }
    // The network layer's settings and shared state (connect and lookup
    // limits, failed-name set, transport streams), handed to every task's
    // connections and source addresses.
    QNetServices& Net() { return m_net; }
    // A limit that replaces the probed one when positive (set before the
    // first task).
    std::atomic<int32_t> halfOpenLimitSetting{0};
    // The process identifier: 16 random bytes made once per process, bytes 0
    // and 1 never zero. Its first 12 bytes end the tasks' BitTorrent peer
    // ids and its first 8 are the identity of the UDP transport, so both
    // name this process the same way.
    std::array<uint8_t, 16> ProcessId();
    // The 8-byte machine id: the first 8 bytes of the process identifier.
    std::array<uint8_t, 8> MachineId();
    // Started by the first task in the list, stopped with the last.
    void StartSharedServices();
    void StopSharedServices();
    // The UDP server's part of the two above (the server lives in the
    // udpServer seat from its first start to the end of the process).
    void StartUdpServer();
    void StopUdpServer();
    // ---- the UDP transport (reliable streams over the UDP server) ----
    // The streams can be used: the service thread runs, it is not suspended
    // and the streams of this run are attached.
    bool UdpTransportOn();
    // Outgoing connections may try the UDP transport: it is on and the
    // rendezvous service told the engine its public IPv4 address (the
    // service is suspended once the engine is reachable from outside).
    bool UdpNatTraversalPermitted();
    // Counts the runs of the UDP service: the listener's accepting side
    // restarts when it changed.
    uint32_t UdpGeneration() const { return m_udpGeneration.load(); }
    // Seconds a BitTorrent connect over the UDP transport may take (28;
    // LANTERNFISH_UDP_CONNECT_SECONDS shortens it for tests).
    std::atomic<int32_t> udpConnectSeconds{28};

    // ---- task list and registries (under TaskListLock) ----
    QTMutex& TaskListLock() { return m_taskListLock; }
    std::vector<TBaseWork*> tasks;
    std::vector<TBaseWork*> bandwidth;
    std::vector<std::array<uint8_t, 20>> infoHashes;

    // ---- messages ----
    std::atomic<EngineMessageSink> messageSink{nullptr};
    // Messages handed to their own thread and not yet through the sink:
    // clearing the sink waits for them, so that a front end that ends
    // right after a failure still shows its message.
    std::mutex messageLock;
    std::condition_variable messageDone;
    int messagesInFlight = 0;
    std::atomic<MachineCodeProvider> machineCodeProvider{nullptr};
    std::string MachineCode() const;
    // Keeps the first non-empty code.
    void OfferMachineCode(const std::string& code);

    // ---- the services of the peer-to-peer half ----
    // The shared TCP listener with its pending connections, and the LAN
    // discovery socket (under TaskListLock).
    QSharedListener& Listener() { return *sharedListener; }
    QLanSocket& LanSocket() { return sharedListener->Lan(); }
    std::unique_ptr<QSharedListener> sharedListener = std::make_unique<QSharedListener>();
    QUInternalServer* udpServer = nullptr;

private:
    CLanternfishCore();

    mutable std::mutex m_folderLock;
    std::string m_startupFolder;
    struct AtomicTimings {
        std::atomic<int> sourceRefreshSeconds, noSourceSeconds, startTimeoutSeconds, lanPassSeconds,
            resumeSaveSeconds, stallStopSeconds, httpHeadSeconds, httpBodySeconds,
            rangeStarveSeconds, trackerRepeatSeconds, trackerAgainSeconds;
    } m_timings;
    QTMutex m_interfaceLock;
    QTMutex m_taskListLock;
    QHalfOpenGate m_halfOpen;
    QNetServices m_net;
    std::mutex m_udpLock;
    std::shared_ptr<UdpStreamService> m_udpStreams;
    // Retired services whose streams are still alive (they use the server's
    // lock, so the server outlives them).
    std::vector<std::weak_ptr<UdpStreamService>> m_retiredUdp;
    std::atomic<uint32_t> m_udpGeneration{0};
    std::once_flag m_processIdOnce;
    std::array<uint8_t, 16> m_processId{};
    mutable std::mutex m_machineCodeLock;
    std::string m_machineCode;
};

}  // namespace lf
