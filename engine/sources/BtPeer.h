// TBTPeer: a BitTorrent source. It exchanges pieces with one remote peer
// over the peer wire: downloads 16 KiB blocks of the task's pieces and
// serves the blocks the remote asks for. The bytes are read by the wire
// reader of BtProtocol.h; the task is reached through TPeerHost only.
//
// Request lists: the base's queue is the pending list (in order; its first
// `m_requestsSent` records are on the wire), each record with the time it
// was made; the task's returned-block list is the shared list other
// BitTorrent sources draw from.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "engine/sources/BtProtocol.h"
#include "engine/sources/PeerObject.h"

namespace lf {

class TBTPeer : public TPeerObject {
public:
    enum WireState { kWireIdle = 0, kWireHandshaking = 1, kWireActive = 2 };

    // At most this many requests on the wire to one remote (libtorrent
    // ignores requests beyond 2000 queued).
    static constexpr int32_t kMaxInFlight = 500;
    // At least this many requests on the wire while any are pending.
    static constexpr int32_t kMinInFlight = 6;
    // Bytes of blocks served to one remote in one upload step: bounds of
    // the rate-derived figure.
    static constexpr int64_t kMinUploadStep = 262144;
    static constexpr int64_t kMaxUploadStep = 2097152;
    // Pieces a download step starts at most (the pending list is refilled
    // up to its goal from as many pieces as that takes).
    static constexpr int kMaxPiecesPerTick = 32;
    // At most this many of a remote's requests wait to be served.
    static constexpr size_t kMaxQueuedUploads = 2048;
    // Request and cancel messages are written in gatherings of at most
    // this many bytes (48 messages).
    static constexpr size_t kRequestBatchBytes = 816;
    static constexpr int kConnectSeconds = 22;
    static constexpr int kHandshakeSeconds = 12;
    // Skipped malformed messages tolerated before the connection closes.
    static constexpr int32_t kMaxProtocolErrors = 16;

    explicit TBTPeer(TPeerHost* task);

    // ---- request and upload policy (pure; rates in bytes per second) ----
    // Requests kept on the wire for a download rate.
    static int32_t InFlightFor(int64_t rate);
    // Records kept in the pending list for a download rate.
    static int32_t PendingFor(int64_t rate);
    // Bytes served to one remote in one upload step at an upload rate (a
    // complete task adds one block).
    static int64_t UploadStepFor(int64_t rate, bool complete);

    // ---- TPeerObject ----
    bool Receive() override;
    bool Flush() override;
    bool Tick() override;
    bool ServeUploads() override;
    void Reset() override;
    bool SendRequests() override;
    bool Connect(TPeerId* source) override;
    bool Attach(std::unique_ptr<QConnection> connection) override;
    bool SendHandshake() override;
    bool CheckHandshake() override { return m_wire == kWireActive; }
    bool IsSlow() override;
    bool TimedOut() override;
    int32_t PeerRate() override;
    bool IsStarved() override;
    bool IsLongSeed() override;
    void CheckRequests() override;
    bool IsSeed() override;
    int32_t PickPiece() override;
    bool RemoteHasPiece(int32_t piece) const override;
    bool ExcludedPiece(int32_t piece) const override;
    bool ChokesRemote() const override { return m_chokingRemote; }
    int32_t HaveMessageCount() const override { return m_haveMessages; }

    // ---- called by the source management ----
    // An accepted connection whose first bytes were an HTTP-looking header:
    // the handshake answer starts with the HTTP answer.
    void SetDisguisedIncoming(bool on) { m_disguisedIncoming = on; }
    bool ChokeRemote();
    bool UnchokeRemote();
    // Once per cycle while the remote does not choke us and requests are
    // pending: counts a cycle without a block (send false) and acts on a
    // stall, or puts pending requests on the wire (send true). False: close.
    bool PumpRequests(bool send);
    // Queues a have message (the task sends its batches through this).
    bool QueueHave(uint32_t piece);
    // The have messages received since the last call (the count is zeroed).
    int32_t TakeHaveMessages();

    // ---- state read by the task and the tests ----
    bool Ready() const { return m_ready; }
    bool ChokingRemote() const { return m_chokingRemote; }
    bool ChokedByRemote() const { return m_chokedByRemote; }
    bool NothingWanted() const { return m_nothingWanted; }
    bool Incoming() const { return m_incoming; }
    bool HasPieces() const { return m_hasPieces; }
    int WireStateValue() const { return m_wire; }
    int32_t HaveCount() const { return m_haveCount; }
    int32_t RequestsSent() const { return m_requestsSent; }
    size_t QueuedUploads() const { return m_uploads.size(); }
    int32_t ProtocolErrors() const { return m_protocolErrors; }
    const bt::Hash20& RemotePeerId() const { return m_remotePeerId; }
    uint32_t RemoteAddress() const;
    bool FaultClosed() const { return m_fault != bt::WireFault::kNone; }
    bt::WireFault LastFault() const { return m_fault; }
    // Bytes of payload served to the remote over the connection's life.
    int64_t UploadedBytes() const { return m_uploaded; }
    // The upload rate of the running rate period (the last period's rate
    // while the running one is young).
    int32_t UploadRateNow(uint32_t nowMs) const override;

protected:
    ~TBTPeer() override;

private:
    struct UploadRequest {
        uint32_t index;
        uint32_t begin;
        uint32_t length;
    };

    bt::TorrentView View() const;
    bool ReadAvailable(int64_t* readThisCall);
    bool OnHandshake();
    bool ParseMessages();
    bool HandleMessage(const bt::Message& m);
    bool HandlePiece(const bt::Message& m);
    void OnChokeChange(bool wasChoked);
    // Cancels every sent request (messages) and hands all pending ones back.
    void CancelAndReturnAll();
    // Puts pending records on the wire up to the in-flight goal.
    bool SendPending(int32_t goal);
    int32_t InFlightGoal() const;
    int32_t PendingGoal() const;
    int32_t Rate() const;
    void FillFromPiece(int32_t piece);
    void RemovePending(size_t i);
    bool WriteGathered(std::string* out, bool force);
    bool QueueBytes(const void* bytes, size_t size);
    bool TaskComplete();
    void DropUploadsOfPiece(uint32_t index);

    int m_wire = kWireIdle;
    bool m_incoming = false;
    bool m_disguisedIncoming = false;
    bool m_ready = false;
    bool m_chokingRemote = false;
    bool m_chokedByRemote = true;
    bool m_nothingWanted = false;
    bool m_hasPieces = false;
    bool m_blockArriving = false;
    bool m_overUdp = false;
    uint32_t m_connectStartMs = 0;  // TickCountMs() when the connect began
    bt::Handshake m_handshake{};
    bt::Hash20 m_remotePeerId{};
    std::unique_ptr<bt::WireReader> m_reader;
    std::vector<uint8_t> m_peerPieces;
    std::vector<uint8_t> m_excluded;
    std::deque<uint32_t> m_requestTimes;  // beside m_queue: when each record was made
    std::deque<UploadRequest> m_uploads;
    std::string m_serveBuffer;         // one upload step's messages
    std::vector<int64_t> m_cancelled;  // blocks cancelled on the wire that may still come
    int32_t m_haveCount = 0;
    int32_t m_bitfieldCount = 0;
    int32_t m_haveMessages = 0;
    int32_t m_requestsSent = 0;
    int32_t m_stallCount = -2;
    int32_t m_protocolErrors = 0;
    int32_t m_flushToggle = 0;
    uint64_t m_progressMark = 0;
    int64_t m_lastPick = 0;
    uint64_t m_wantedSeen = 0;  // the task's wanted generation at the last choice
    int64_t m_starvedSince = 0;
    int64_t m_chokedSince = 0;
    int64_t m_seedSince = 0;
    uint32_t m_establishedSeconds = 0;
    int64_t m_uploaded = 0;
    bt::WireFault m_fault = bt::WireFault::kNone;
};

}  // namespace lf
