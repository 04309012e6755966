// The UDP server's protocol without sockets or threads: the messages it
// exchanges with the rendezvous service (registration, keepalive, queries
// and their answers, relay notices) and with other engines (punches), the
// sorting of received datagrams, and the timers of the server's loop.
// Everything takes bytes and a millisecond clock, so tests drive it with a
// clock of their own; the server thread only moves datagrams between its
// socket and this object.
//
// Addresses are IPv4 in network byte order ("as stored"); ports are in host
// order unless a name ends in Net.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "engine/net/UdpPacketHooks.h"

namespace lf {

// 8 bytes of identity seed, then "UDP", then "0".
using UdpIdentity = std::array<uint8_t, 12>;

// The 12-byte identity made from an 8-byte seed. A zero seed byte 0
// becomes 1 and a zero byte 1 becomes 2 (bytes 0 and 1 both zero would
// read as an endpoint identity). The engine's process identifier never
// has those bytes zero, so its identity and its peer ids always agree.
UdpIdentity MakeUdpIdentity(const uint8_t seed[8]);
// True for an identity (or seed) whose bytes 0 and 1 are zero: it names an
// engine by its public endpoint (bytes 2-5 the IPv4 as stored, bytes 6-7 the
// port in network order).
bool IsEndpointIdentity(const uint8_t seed[8]);

// Big-endian helpers shared with the rendezvous server.
uint32_t ReadBe32(const uint8_t* p);
void WriteBe32(uint8_t* p, uint32_t v);

// Message layout constants.
inline constexpr uint32_t kRendezvousRegister = 2;
inline constexpr uint32_t kRendezvousQuery = 3;
inline constexpr uint32_t kRendezvousAnswer = 0x80000003u;
inline constexpr uint32_t kRelayNoticeWord = 0x33333333u;
inline constexpr uint32_t kAliasPort = 0xFFFFFFFFu;
inline constexpr size_t kServiceAnswerSize = 8;
inline constexpr size_t kRegistrationSize = 64;
inline constexpr size_t kQueryHeaderSize = 48;
inline constexpr size_t kQueryEntrySize = 16;
inline constexpr size_t kQueryBufferLimit = 256;  // 13 entries
inline constexpr size_t kMinAnswerSize = 64;
inline constexpr size_t kRelayNoticeSize = 32;
inline constexpr size_t kPunchSize = 48;
inline constexpr size_t kPunchListLimit = 512;
inline constexpr size_t kPendingQueryLimit = 2048;

// What the dispatcher made of one datagram.
enum class UdpDatagramKind {
    kDroppedBencoded,  // longer than 8 bytes and starting with "d"
    kIgnored,          // too short, unknown, or failed its checks
    kServiceAnswer,    // 8 bytes from the rendezvous address
    kRelayNotice,      // handled relay notice
    kPunch,            // a punch addressed to this engine
    kStream,           // handed to the stream sink
    kQueryAnswer,      // an answer to a pending query
};

// One hole punch to repeat.
struct UdpPunchEntry {
    UdpIdentity identity{};
    uint32_t addressNet = 0;
    uint16_t port = 0;
    uint32_t repeats = 0;
};

// The timers of the loop, in milliseconds.
struct UdpServerTimings {
    uint64_t retransmitMs = 40;
    uint64_t ackMs = 20;
    uint64_t connectionTimerMs = 2000;
    uint64_t registrationMs = 300000;  // "more than 299 seconds"
    uint64_t keepaliveMs = 52000;      // at least 10 s
    uint64_t resolveRetryMs = 30000;
};

class QPacketBufferPool;

class QUdpServerCore {
public:
    // Every datagram the core sends goes through `out`.
    explicit QUdpServerCore(IUdpDatagramOut* out);

    // ---- configuration ----
    void SetIdentitySeed(const uint8_t seed[8]);
    const UdpIdentity& Identity() const { return m_identity; }
    // Keepalive period in seconds; below 10 counts as 10.
    void SetKeepaliveSeconds(int seconds);
    // The rendezvous service's address (0 while it is not resolved) and port.
    void SetRendezvous(uint32_t addressNet, uint16_t port);
    uint32_t RendezvousAddress() const { return m_rendezvousAddress; }
    // The endpoint reported in registrations and queries.
    void SetLocal(uint32_t addressNet, uint16_t port);
    uint32_t LocalAddress() const { return m_localAddress; }
    uint16_t LocalPort() const { return m_localPort; }
    // Receiver of stream packets, query results and punches (may be null).
    void SetSink(IUdpStreamSink* sink) { m_sink = sink; }
    IUdpStreamSink* Sink() const { return m_sink; }
    // The packet buffer pool trimmed at every registration (may be null).
    void SetPool(QPacketBufferPool* pool) { m_pool = pool; }
    const UdpServerTimings& Timings() const { return m_timings; }

    // ---- events from the thread ----
    // The socket was (re)opened: the service learns the new endpoint at the
    // next pass, not only 300 s later.
    void OnSocketOpened();
    // The socket could not be opened: the public address is forgotten.
    void OnSocketFailed();
    // One received datagram.
    UdpDatagramKind Dispatch(const uint8_t* data, size_t size, uint32_t fromAddressNet,
                             uint16_t fromPort, uint64_t nowMs);
    // The timers of one pass and the pending query buffer.
    void RunTimers(uint64_t nowMs);
    // While the rendezvous address is unknown: true when a lookup is due now
    // (at once, then every 30 s); it records the attempt.
    bool ResolveDue(uint64_t nowMs);

    // ---- calls of the streams (under the server lock) ----
    // Adds a query for `identity` (its first 8 bytes are asked for) at
    // `remoteAddressNet`; answers the sequence the answer will carry.
    uint32_t QueueQuery(uint32_t remoteAddressNet, const uint8_t identity[12]);
    // Forgets punches towards an endpoint (a connection request came from it).
    void DropPunches(uint32_t addressNet, uint16_t port);

    // ---- state ----
    uint32_t PublicAddress() const { return m_publicAddress; }
    uint16_t PublicPort() const { return m_publicPort; }
    bool Registered() const { return m_registered; }
    // The public address differs from the local one (true while unknown).
    bool IsBehindNat() const { return m_publicAddress != m_localAddress; }
    const std::vector<UdpPunchEntry>& PunchList() const { return m_punches; }
    const std::vector<uint32_t>& PendingQueries() const { return m_pending; }
    size_t QueryBufferSize() const { return m_queryBuffer.size(); }
    uint32_t QuerySequence() const { return m_sequence; }
    // Counters for tests and the log.
    uint64_t RegistrationsSent() const { return m_registrationsSent; }
    uint64_t KeepalivesSent() const { return m_keepalivesSent; }
    uint64_t PunchesSent() const { return m_punchesSent; }

    // ---- message builders ----
    std::vector<uint8_t> BuildRegistration(uint32_t sequence) const;
    std::vector<uint8_t> BuildPunch(const UdpIdentity& target) const;

private:
    bool SendToService(const std::vector<uint8_t>& bytes);
    void Register(uint64_t nowMs);
    void SendQueryBuffer();
    void HandleServiceAnswer(const uint8_t* data);
    void HandleRelayNotice(const uint8_t* data);
    void HandlePunch(const uint8_t* data, uint32_t fromAddressNet, uint16_t fromPort,
                     uint64_t nowMs);
    bool HandleQueryAnswer(const uint8_t* data, size_t size, uint64_t nowMs);
    void PunchPass();

    IUdpDatagramOut* m_out;
    IUdpStreamSink* m_sink = nullptr;
    QPacketBufferPool* m_pool = nullptr;
    UdpIdentity m_identity{};
    UdpServerTimings m_timings;
    uint32_t m_rendezvousAddress = 0;
    uint16_t m_rendezvousPort = 82;
    uint32_t m_localAddress = 0;
    uint16_t m_localPort = 8000;
    uint32_t m_publicAddress = 0;
    uint16_t m_publicPort = 0;
    uint16_t m_mappedPortLogged = 0;  // the last public port said to differ
    bool m_registered = false;
    bool m_registerNow = true;
    uint32_t m_sequence = 0;
    std::vector<uint32_t> m_pending;
    std::vector<uint8_t> m_queryBuffer;
    std::vector<UdpPunchEntry> m_punches;
    bool m_timersStarted = false;
    uint64_t m_lastRetransmit = 0, m_lastAck = 0, m_lastConnectionTimer = 0;
    uint64_t m_lastRegistration = 0, m_lastKeepalive = 0;
    bool m_resolveTried = false;
    uint64_t m_lastResolve = 0;
    uint64_t m_registrationsSent = 0, m_keepalivesSent = 0, m_punchesSent = 0;
};

// The packet buffers the streams share: fixed-size buffers handed out and
// taken back, with free ones kept for reuse.
class QPacketBufferPool {
public:
    explicit QPacketBufferPool(size_t bufferBytes = 1536) : m_bufferBytes(bufferBytes) {}
    ~QPacketBufferPool();
    QPacketBufferPool(const QPacketBufferPool&) = delete;
    QPacketBufferPool& operator=(const QPacketBufferPool&) = delete;

    uint8_t* Acquire();
    void Release(uint8_t* buffer);
    // When the pool (in use plus free) holds more than 2048 KiB and at most
    // 35 percent of it is in use, free buffers are released, keeping free
    // ones (oldest first) up to one fifth of the bytes in use. Answers the
    // number of buffers released.
    size_t Trim();
    size_t BufferBytes() const { return m_bufferBytes; }
    size_t InUse() const { return m_inUse; }
    size_t FreeCount() const { return m_free.size(); }

    // Whether a trim applies to these counts, and how many free buffers it
    // keeps.
    static bool TrimKeeps(size_t inUse, size_t freeCount, size_t bufferBytes, size_t* keep);

private:
    std::mutex m_lock;
    size_t m_bufferBytes;
    size_t m_inUse = 0;
    std::vector<uint8_t*> m_free;
};

}  // namespace lf
