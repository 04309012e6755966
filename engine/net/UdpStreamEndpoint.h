// Reliable, ordered byte streams carried in the datagrams of the UDP
// server's socket, with socket-like operations (create, connect, bind,
// listen, accept, send, receive, select, local name, close) that report the
// platform's socket error numbers.
//
// The endpoint does no I/O of its own: the UDP server hands it stream
// datagrams and the ticks of its 20 ms, 40 ms and 2 s passes
// (IUdpStreamSink), and it sends through IUdpDatagramOut. Rendezvous
// queries go through IUdpRendezvous. Tests drive two endpoints over a
// simulated link with a fake clock.
//
// Driving it: OnRetransmitPass every 40 ms (it runs the acknowledgement
// pass after itself), OnAckPass at the 20 ms ticks in between (an extra call
// right after a retransmission pass does nothing), OnTimerPass every 2 s.
// The clock in UdpStreamConfig should read the same milliseconds as the
// nowMs the server passes.
//
// Loss repair: besides the retry timer (1600 + 800 x retries ms, closed
// after 128 retries), a sender resends a packet as soon as an
// acknowledgement shows it missing while a packet sent after it arrived,
// again after each repair interval (twice the measured acknowledgement
// delay plus 40 ms, 80 to 800 ms) while it stays missing, and probes with
// its oldest packet when the remote stays silent that long; at most three
// such repairs between timer retries, counted as retransmissions but not
// as retries. Acknowledgements of new arrivals go out twice. All of it
// uses the existing packets, so any peer of the protocol understands it.
//
// Locking: every public call takes the endpoint's lock (recursive). When the
// UDP server has a lock of its own that it holds around its calls into the
// endpoint, it passes that lock to the constructor so that both share one
// lock (the endpoint calls SendDatagram while holding it).
#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/net/UdpPacketHooks.h"

namespace lf {

// Error numbers of the stream operations (the platform's socket errors).
inline constexpr int kUdpErrInterrupted = 10004;
inline constexpr int kUdpErrInvalid = 10022;
inline constexpr int kUdpErrWouldBlock = 10035;
inline constexpr int kUdpErrNotSocket = 10038;
inline constexpr int kUdpErrAddressInUse = 10048;
inline constexpr int kUdpErrUnreachable = 10051;
inline constexpr int kUdpErrNotConnected = 10057;
inline constexpr int kUdpErrNotInitialised = 10093;

// Packet types (the type field, read as unsigned).
inline constexpr uint32_t kUdpRequest = 1;
inline constexpr uint32_t kUdpRequestAnswer = 0x10001;
inline constexpr uint32_t kUdpAnswerConfirm = 0x80010001;
inline constexpr uint32_t kUdpData = 2;
inline constexpr uint32_t kUdpAck = 16;
inline constexpr uint32_t kUdpKeepalive = 0x10002;
inline constexpr uint32_t kUdpClose = 0x80000000;
inline constexpr uint32_t kUdpRefusal = 3;
inline constexpr uint32_t kUdpPacketAck = 0x80000002;

inline constexpr size_t kUdpHeaderSize = 64;
inline constexpr int kUdpSlots = 12;
inline constexpr int kUdpLargePayload = 1320;
inline constexpr int kUdpSmallPayload = 660;
inline constexpr size_t kUdpFreeRecordPool = 256;

// Record states.
enum : int {
    kUdpNew = 0,
    kUdpQuerying = 1,
    kUdpRequesting = 2,
    kUdpRequestReceived = 3,
    kUdpEstablished = 5,
    kUdpClosed = 6,
    kUdpBound = 7,
    kUdpListening = 8,
};

// The checksum of a stream packet: zlib's Adler-32 of bytes 32 to the end
// with the key as the initial value.
uint32_t UdpPacketChecksum(uint32_t key, const uint8_t* packet, size_t size);

// The window for a loss percentage: min(12, (1260 - 12 x loss) / 100), not
// below 0; the payload size: 1320 up to 30 % loss, else 660.
int UdpWindowForLoss(int loss);
int UdpPayloadForLoss(int loss);

struct UdpStreamConfig {
    // The own identity seed (the first 8 bytes of the 12-byte identity,
    // which ends in "UDP" "0").
    std::array<uint8_t, 8> seed{};
    // The local IPv4 (network order) that UdpLocalName reports.
    uint32_t localAddressNet = 0;
    // Connection setup and idle limit, seconds.
    int timeoutSeconds = 30;
    // The first connection key handed out (keys count up from here,
    // skipping 0 and keys in use).
    uint32_t firstKey = 1;
    // Milliseconds for the socket-like operations (the passes bring their
    // own time). Defaults to a monotonic clock.
    std::function<uint64_t()> clock;
};

// What a test or a diagnostic may read about one record.
struct UdpRecordInfo {
    int state = -1;
    bool connected = false;
    bool incoming = false;
    uint32_t key = 0;
    uint32_t remoteKey = 0;
    uint32_t nonce = 0;
    uint32_t remoteAddressNet = 0;
    uint16_t remotePort = 0;
    uint32_t virtualPort = 0;
    int loss = 0;
    int window = 0;
    int payload = 0;
    int sendCount = 0;
    uint32_t sendBase = 0;
    uint32_t nextExpected = 0;
    int reorderHeld = 0;
    int deliveryQueued = 0;
    uint32_t packetsSent = 0;
    uint32_t retransmissions = 0;
    uint32_t bytesAcknowledged = 0;
    uint32_t bytesReceived = 0;
    int maxRetries = 0;
    // Early resends of packets that acknowledgements showed missing (they
    // count among the retransmissions too), and the smoothed time from a
    // data packet's send to its acknowledgement (0 before the first).
    uint32_t repairs = 0;
    uint32_t ackDelayMs = 0;
};

// One record handle; 0 is none. A handle is the record's key, which stays
// unique while the record lives.
using UdpHandle = uint32_t;

class UdpStreamEndpoint : public IUdpStreamSink {
public:
    UdpStreamEndpoint(UdpStreamConfig config, IUdpDatagramOut* out,
                      IUdpRendezvous* rendezvous = nullptr,
                      std::recursive_mutex* sharedLock = nullptr);
    ~UdpStreamEndpoint() override;
    UdpStreamEndpoint(const UdpStreamEndpoint&) = delete;
    UdpStreamEndpoint& operator=(const UdpStreamEndpoint&) = delete;

    // IUdpStreamSink.
    void OnStreamDatagram(const uint8_t* data, size_t size, uint32_t fromAddressNet,
                          uint16_t fromPortNet, uint64_t nowMs) override;
    void OnAckPass(uint64_t nowMs) override;
    void OnRetransmitPass(uint64_t nowMs) override;
    void OnTimerPass(uint64_t nowMs) override;
    void OnQueryEntry(const uint8_t* askedSeed, uint32_t addressNet, uint16_t portNet,
                      const uint8_t* seed, uint64_t nowMs) override;
    void OnQueryDone(uint32_t sequence, uint64_t nowMs) override;
    void OnPunch(const uint8_t* punch, uint32_t fromAddressNet, uint16_t fromPortNet,
                 uint64_t nowMs) override;
    void SetSuspended(bool suspended) override;
    void SetServiceRunning(bool running) override;

    // Socket-like operations. Each writes 0 or an error number to *error
    // (when given). Ports are in host order, addresses in network order.
    UdpHandle UdpSocket(int* error = nullptr);
    // Always -1: 10035 when the connect started.
    int UdpConnect(UdpHandle h, uint32_t addressNet, uint16_t port, const uint8_t* seed8,
                   int* error = nullptr);
    long UdpSend(UdpHandle h, const uint8_t* data, size_t size, int* error = nullptr);
    long UdpReceive(UdpHandle h, uint8_t* buffer, size_t size, int* error = nullptr);
    int UdpBind(UdpHandle h, uint32_t addressNet, uint16_t virtualPort, int* error = nullptr);
    int UdpListen(UdpHandle h, int backlog, int* error = nullptr);
    UdpHandle UdpAccept(UdpHandle h, uint32_t* addressNet, uint16_t* port, uint8_t* seed8,
                        int* error = nullptr);
    int UdpLocalName(UdpHandle h, uint32_t* addressNet, uint16_t* virtualPort, uint8_t* seed8,
                     int* error = nullptr);
    int UdpClose(UdpHandle h, int* error = nullptr);
    // Keeps in each set the handles that are ready and answers their total;
    // waits up to timeoutMs (negative: no limit) in steps of at most 10 ms,
    // without holding the lock while waiting.
    int UdpSelect(std::vector<UdpHandle>* readSet, std::vector<UdpHandle>* writeSet,
                  std::vector<UdpHandle>* errorSet, int timeoutMs);

    // The service goes away: every open record of the active list sends its
    // close (when connected) and is closed; the handles stay until
    // UdpClose, their calls fail.
    void CloseAll();
    // State of a connecting record for the stream wrapper: 1 connected, 0
    // still connecting, -1 failed or not a record.
    int ConnectProgress(UdpHandle h);
    // Whether a closed record was closed by its peer's close packet.
    bool ClosedByPeer(UdpHandle h);

    UdpRecordInfo Info(UdpHandle h);
    size_t LiveRecords();
    size_t IncomingRecords();
    size_t FreeRecords();
    std::recursive_mutex& Lock() { return *m_lock; }

private:
    struct Payload {
        std::vector<uint8_t> bytes;
        uint32_t number = 0;
        size_t readOffset = 0;
        bool present = false;
    };
    struct SendSlot {
        std::vector<uint8_t> bytes;
        uint32_t number = 0;
        uint64_t sendTick = 0;  // 0: not yet sent; the retry timer counts from here
        bool everSent = false;
        int retries = 0;
        uint64_t lastSendMs = 0;        // the latest transmission of any kind
        bool sentAgain = false;         // sent more than once: no sample of the ack delay
        uint32_t lastSendSequence = 0;  // the sequence field of the latest transmission
        bool missing = false;  // acknowledged packets left after this one, it did not arrive
        int repairs = 0;       // early resends since the last timer retry
    };
    enum class List { kActive, kIncoming, kBound };
    struct Record;

    uint64_t Now() const;
    Record* Find(UdpHandle h);
    Record* FindIn(uint32_t key, List list);
    Record* TakeRecord(uint64_t nowMs);
    void ReleaseRecord(uint32_t key);
    uint32_t NextKey();
    void Fail(int* error, int code) const;

    // Packets.
    void FillHeader(std::vector<uint8_t>& p, uint32_t key, uint32_t sequence, uint32_t type,
                    const uint8_t* receiverIdentity);
    bool Transmit(Record& r, std::vector<uint8_t>& p, uint32_t key);
    bool SendControl(Record& r, uint32_t type, const std::vector<uint8_t>& body, int times);
    void SendRequest(Record& r);
    void SendAnswer(Record& r);
    void SendConfirm(Record& r);
    void SendKeepalive(Record& r);
    void SendClose(Record& r);
    bool SendDataSlot(Record& r, SendSlot& s, uint64_t nowMs);
    bool SendAck(Record& r, int held, uint64_t nowMs);
    // Resends the packets that acknowledgements showed missing, each at most
    // once per repair interval and kMaxRepairs times between timer retries.
    // False when a send would block.
    bool RepairHoles(Record& r, uint64_t nowMs);
    static uint64_t RepairIntervalMs(const Record& r);

    void HandleData(const uint8_t* p, size_t size, uint32_t ip, uint16_t port, uint64_t nowMs);
    void HandleAck(const uint8_t* p, uint32_t ip, uint16_t port, uint64_t nowMs);
    void HandleRequest(const uint8_t* p, uint32_t ip, uint16_t port, uint64_t nowMs);
    void HandleAnswer(const uint8_t* p, uint32_t ip, uint16_t port, uint64_t nowMs);
    void HandleConfirm(const uint8_t* p, uint32_t ip, uint16_t port, uint64_t nowMs);
    void HandleKeepalive(const uint8_t* p, uint32_t ip, uint16_t port, uint64_t nowMs);
    void HandleClose(const uint8_t* p, uint32_t ip, uint64_t nowMs);
    void HandleRefusal(const uint8_t* p, uint32_t ip);
    void HandlePacketAck(const uint8_t* p, uint32_t ip, uint16_t port, uint64_t nowMs);
    void SendRefusal(const uint8_t* request, uint32_t ip, uint16_t port);

    // Records.
    static int Loss(const Record& r);
    void CloseRecord(Record& r, bool keepReceived);
    void SlideSendWindow(Record& r);
    int MoveInOrder(Record& r);
    void ShiftReorder(Record& r, int count);
    bool HasData(const Record& r) const;
    bool Readable(const Record& r);
    bool Writable(const Record& r) const;
    void Notify();

    UdpStreamConfig m_config;
    IUdpDatagramOut* m_out;
    IUdpRendezvous* m_rendezvous;
    std::recursive_mutex m_ownLock;
    std::recursive_mutex* m_lock;
    std::condition_variable_any m_changed;
    std::map<uint32_t, std::unique_ptr<Record>> m_records;  // live records by key
    std::vector<std::unique_ptr<Record>> m_pool;            // free records
    uint32_t m_nextKey;
    uint64_t m_serial = 0;
    int m_incomingLimit = 32;
    bool m_suspended = false;
    bool m_running = true;
    std::array<uint8_t, 12> m_identity{};
};

}  // namespace lf
