// TPeerObject: the common base of every source a task draws from (HTTP and
// FTP servers, BitTorrent peers, trackers). It binds a source description
// (TPeerId) to a connection, runs the per-pass steps in a fixed order, keeps
// the queue of 16 KiB block requests, claims ranges of pieces for server
// sources and hands received blocks to the task's piece map.
//
// Objects are created, driven and released by their task's work thread
// only; reference counts are not locked.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "engine/base/RefObject.h"
#include "engine/net/Connection.h"
#include "engine/sources/PeerHost.h"
#include "engine/sources/PeerId.h"
#include "engine/store/TPieces.h"

namespace lf {

class TPeerObject : public TRefObject, public IPieceSource {
public:
    enum LinkState { kLinkNone = 0, kLinkConnected = 1, kLinkEstablished = 2 };
    enum Phase {
        kPhaseNone = 0,
        kPhaseWorking = 1,
        kPhaseWaiting = 4,
        kPhaseTimedOut = 5,
        kPhaseFinished = 6
    };

    TPeerObject(TPeerHost* task, int kind);

    // ---- per-pass steps ----
    virtual bool Receive() = 0;
    virtual bool Flush();
    virtual bool Tick();
    virtual bool ServeUploads() { return true; }
    // Gives queued requests back, closes the connection, releases the range
    // and the source; the object can be used again.
    virtual void Reset();
    virtual bool RunCycle();
    virtual bool ProcessUpload();
    virtual bool SendRequests() { return true; }
    // Binds the source (takes a reference) and creates the connection object.
    virtual bool Connect(TPeerId* source);
    virtual bool Attach(std::unique_ptr<QConnection> connection);
    virtual bool SendHandshake() { return true; }
    virtual bool CheckHandshake() { return true; }
    virtual bool IsSlow() { return false; }
    virtual bool ShouldDrop(bool keepIdle);
    virtual bool TimedOut() { return false; }
    virtual bool IsConnected() const;
    virtual int32_t PeerRate() { return 0; }
    // The upload rate to the remote as of now (the last rate period's by
    // default).
    virtual int32_t UploadRateNow(uint32_t /*nowMs*/) const { return m_uploadRate; }
    virtual bool IsStarved() { return false; }
    virtual bool IsLongSeed() { return false; }
    virtual void CheckRequests() {}
    virtual bool IsSeed() { return true; }
    virtual void ReleaseRange();
    virtual int32_t PickPiece();
    // What the remote offers: a server has every piece; BitTorrent peers
    // answer from their remote's bitfield and their excluded set.
    virtual bool RemoteHasPiece(int32_t /*piece*/) const { return true; }
    virtual bool ExcludedPiece(int32_t /*piece*/) const { return false; }
    // BitTorrent sources: the engine chokes the remote; the remote's have
    // messages (for the ranking).
    virtual bool ChokesRemote() const { return false; }
    virtual int32_t HaveMessageCount() const { return 0; }
    // Deletes the private range (BitTorrent sources); the pieces it had not
    // handed out yet leave the task's requested list.
    void ReleasePrivateRange();
    // BitTorrent sources: a piece the task's requested list granted to this
    // source; the source gives it back (one entry of the list) when it ends
    // before the piece is done, so that the HTTP sources and other peers
    // may fetch it again.
    void NoteGranted(int32_t piece);
    void ReleaseGranted(int32_t piece);
    // Gives back the entries of granted pieces of which no block is queued
    // here any more (the blocks went back to the task, or the piece map
    // dropped what had arrived), so that every other source may take such
    // a piece at once. Pieces whose blocks are all held are only forgotten;
    // those of the private range not handed out yet stay with the range.
    void ReleaseIdleGrants();
    // Hands every queued request back to the task (the returned-block list)
    // together with the pieces granted for them: a remote that chokes us or
    // stalls keeps nothing from the other sources.
    void GiveBackRequests();
    // One stall check (every 16 s): a connection whose received and sent
    // totals did not grow since the last check gets a strike (up to 5); true
    // at the sixth check without traffic: the connection is to be closed.
    static bool StallCheck(int32_t* strikes, uint64_t* lastReceived, uint64_t* lastSent,
                           uint64_t received, uint64_t sent);
    // Byte totals of the connection, for the stall check.
    virtual void TrafficTotals(uint64_t* received, uint64_t* sent) const;

    // Hands received data of one block to the piece map.
    bool DeliverBlock(int64_t block, int32_t length, const char* data);
    // Outstanding requests the queue should hold: rate x 2 / 16384 + 2.
    static int32_t QueueDepthForRate(int32_t rate) { return rate * 2 / kBlockSize + 2; }
    int32_t QueueDepth() const { return QueueDepthForRate(m_downloadRate); }
    // The download rate as of now: the payload of the current rate period
    // over its length (at least 200 ms), not below the last period's rate
    // during the period's first second. Sources that never connected answer
    // the last period's rate. Used where waiting for the next rate period
    // would leave a fast connection idle (range splits, per-pass stepping).
    int32_t CurrentRate(uint32_t nowMs) const;
    // Connected, and no block delivered for `seconds` (clock seconds) since
    // the connection was made or the last block.
    bool Starved(uint32_t nowSeconds, int seconds) const {
        return IsConnected() && nowSeconds - m_lastBlockSeconds >= static_cast<uint32_t>(seconds);
    }
    // Starts a new rate period at nowMs (after the period's payload was counted).
    void StartRatePeriod(uint32_t nowMs) {
        m_ratePeriodStartMs = nowMs;
        m_ratePeriodValid = true;
    }
    bool IsQueued(int64_t block) const;
    bool QueuedPiece(int32_t piece) const;
    // Ranking: true when a ranks before b (best first).
    static bool RanksBefore(const TPeerObject* a, const TPeerObject* b, bool complete);

    // IPieceSource.
    int SourceKind() const override { return m_kind; }
    void ChargePiece(bool hashFailed) override;

    // ---- state (read by the task) ----
    TPeerHost* m_task;
    int m_kind;
    int m_linkState = kLinkNone;
    int m_phase = kPhaseNone;
    int32_t m_lastPosition = 0;
    std::deque<BlockRequest> m_queue;
    uint32_t m_startTime = 0;
    uint32_t m_lastActivity = 0;
    bool m_busy = false;
    bool m_idle = false;
    int32_t m_rangesTaken = 0;
    int32_t m_lastPiece = -1;
    int64_t m_tickSent = 0;
    int64_t m_tickReceived = 0;
    int64_t m_totalSent = 0;
    int32_t m_downloadRate = 0;
    int32_t m_uploadRate = 0;
    int64_t m_periodReceived = 0;
    int64_t m_periodSent = 0;
    int64_t m_totalReceivedKiB = 0;
    int64_t m_rateReceived = 0;  // payload since the last rate computation
    int64_t m_rateSent = 0;
    uint32_t m_ratePeriodStartMs = 0;
    bool m_ratePeriodValid = false;
    TPeerId* m_source = nullptr;
    PieceRange* m_range = nullptr;
    std::unique_ptr<QConnection> m_connection;
    uint32_t m_lastReceive = 0;
    uint32_t m_lastBlockSeconds = 0;  // connection made or last block delivered
    int32_t m_connectionNumber = 0;
    bool m_adoptedIncoming = false;
    PieceRange* m_privateRange = nullptr;  // BitTorrent sources (never in the range list)
    int32_t m_lastHave = -1;               // the remote's last announced piece
    std::vector<int32_t> m_granted;        // requested-list entries this source holds
    int32_t m_stallStrikes = 0;
    uint64_t m_stallReceived = 0;
    uint64_t m_stallSent = 0;

protected:
    ~TPeerObject() override;
    // Gives the queued requests back to the task's shared list or drops them.
    void ReturnQueue();
    void Enqueue(int64_t block, int32_t length);

private:
    uint64_t m_cycleReceivedBase = 0;
    uint64_t m_cycleSentBase = 0;
};

}  // namespace lf
