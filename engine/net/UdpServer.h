// QUInternalServer: the engine's one UDP endpoint and its thread
// "UDPServer". The thread opens the socket (every address, the configured
// port), looks up the rendezvous service, then loops: it reads datagrams
// and hands them to the protocol core (UdpServerProtocol.h), runs the
// core's timers, and sleeps briefly when idle. The reliable streams plug in
// as an IUdpStreamSink and send through SendDatagram.
//
// Locking: the thread holds the server lock (ServerLock) except while it
// sleeps; every call of the streams into the server or its core takes the
// same lock. PublicAddress, IsBehindNat and Suspended read plain atomics.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "engine/base/QThread.h"
#include "engine/net/DatagramSocket.h"
#include "engine/net/UdpPacketHooks.h"
#include "engine/net/UdpServerProtocol.h"

namespace lf {

struct UdpServiceConfig {
    std::string rendezvousHost;  // a host name or dotted address, 127 characters at most
    int rendezvousPort = 82;
    int keepaliveSeconds = 52;  // below 10 counts as 10
    int timeoutSeconds = 30;    // the streams' setup and idle timeout
    int localPort = 8000;
    // Reported in registrations and queries; 0 = the machine's local IPv4.
    // The socket itself always binds every address.
    uint32_t localAddress = 0;
    std::array<uint8_t, 8> identitySeed{};
};

// The rendezvous service as the build configures it, replaced by
// LANTERNFISH_RENDEZVOUS_HOST and LANTERNFISH_RENDEZVOUS_PORT when those are
// set (tests point the engine at their own server).
struct RendezvousEndpoint {
    std::string host;
    int port = 82;
};
RendezvousEndpoint ConfiguredRendezvous();

// The server lock: recursive, usable with QGuard, and shared with the
// stream endpoint (which takes a std::recursive_mutex) so that the server
// thread and the task threads calling stream operations take one lock.
class QUdpServerLock : public QBaseMutex {
public:
    bool Create() override { return true; }
    void Close() override {}
    void Destroy() override {}
    bool Lock() override {
        m_mutex.lock();
        return true;
    }
    bool TryLock() override { return m_mutex.try_lock(); }
    bool Unlock() override {
        m_mutex.unlock();
        return true;
    }
    std::recursive_mutex& Native() { return m_mutex; }

private:
    std::recursive_mutex m_mutex;
};

class QUInternalServer : public QThread, public IUdpDatagramOut {
public:
    static constexpr int kSocketBufferBytes = 131072;

    QUInternalServer();
    ~QUInternalServer() override;

    // -1 for an empty or too long host, a port outside 1 to 65535 or a
    // timeout that is not positive; 0 at once when the thread already runs;
    // otherwise stores the configuration and the identity and starts the
    // thread (-1 when it cannot start).
    int StartUdpService(const UdpServiceConfig& config);
    // Stops the thread (waiting for it) and empties the queries and punches.
    void StopUdpService();
    // The listener's address and port: the address is taken when it is
    // neither 0 nor 255.255.255.255 (it is only reported), the port when it
    // is 1 to 65535; the thread then moves the socket to the new port and
    // registers from there.
    void SetLocalEndpoint(uint32_t addressNet, int port);
    // Switched on when the engine is reachable from outside: the socket is
    // closed and sends fail until it is switched off again.
    // The stream sink hears of the change at once.
    void SetSuspended(bool on);
    bool Suspended() const { return m_suspended.load(); }

    uint32_t PublicAddress() const { return m_publicAddress.load(); }
    bool IsBehindNat() const { return m_publicAddress.load() != m_localAddress.load(); }
    UdpIdentity Identity();
    // The port the socket is bound to now (0 when closed).
    uint16_t BoundPort();
    int TimeoutSeconds() const { return m_config.timeoutSeconds; }

    // ---- for the streams (they hold ServerLock around a series of calls;
    // each call below takes it too) ----
    QUdpServerLock& ServerLock() { return m_serverLock; }
    // The sink that receives stream packets, query results, punches and the
    // 20 ms / 40 ms / 2 s passes; null removes it.
    void SetStreamSink(IUdpStreamSink* sink);
    // Queues a rendezvous query for a remote's identity; answers the
    // sequence that its answer will carry.
    uint32_t QueueQuery(uint32_t remoteAddressNet, const uint8_t identity[12]);
    // Forgets hole punches towards an endpoint (port in host order).
    void DropPunches(uint32_t addressNet, uint16_t port);
    // Sends once; "would block" fails, another error is retried once.
    bool SendDatagram(const uint8_t* data, size_t size, uint32_t addressNet,
                      uint16_t portNet) override;
    QPacketBufferPool& PacketPool() { return m_pool; }
    // The protocol core, for inspection under ServerLock.
    QUdpServerCore& Protocol() { return *m_core; }
    // True while the thread runs its loop (the socket may still be closed).
    bool ServiceRunning() const { return m_serviceRunning.load(); }
    // The server's clock in milliseconds (the one its passes receive).
    static uint64_t NowMs();

    void Run() override;

private:
    bool OpenSocket();
    uint32_t ResolveRendezvous();
    void Publish();
    void SleepUnlocked(int ms);
    // Releases the lock until a datagram waits on the socket or ms passed.
    void WaitUnlocked(int ms);
    // Tells the sink the suspended flag when it changed since last told.
    void TellSuspended();

    QUdpServerLock m_serverLock;
    UdpServiceConfig m_config;
    QDatagramSocket m_socket;
    uint16_t m_boundPort = 0;
    QPacketBufferPool m_pool;
    std::unique_ptr<QUdpServerCore> m_core;
    std::atomic<bool> m_suspended{false};
    std::atomic<bool> m_serviceRunning{false};
    int m_toldSuspended = -1;  // what the sink last heard (-1: nothing)
    std::atomic<uint32_t> m_publicAddress{0};
    std::atomic<uint32_t> m_localAddress{0};
};

}  // namespace lf
