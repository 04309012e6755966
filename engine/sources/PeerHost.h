// TPeerHost: what a source asks of the task it works for. Sources (HTTP,
// FTP, BitTorrent peers, trackers) see their task only through this
// interface: scheduling (ranges of pieces, wanted pieces, queued and
// returned blocks), accounting (payload counts, the second's budget, piece
// results) and events (server size, failed and redirected sources). The
// task's work object implements it; tests drive a source through a small
// host of their own.
//
// Everything here runs on the task's thread.
#pragma once

#include <climits>
#include <cstdint>
#include <vector>

#include "engine/sources/PeerId.h"

namespace lf {

class QHalfOpenGate;
class QNetServices;
class TPieces;
class TPeerObject;

constexpr int32_t kBlockSize = 16384;

// One engaged range of pieces of a task (server sources, and the private
// ranges of BitTorrent sources).
struct PieceRange {
    int32_t first = -1;
    int32_t last = -1;
    int32_t cursor = -1;  // the next piece the owner will fetch
    int32_t error = 0;    // the range is not taken over while non-zero
    uint8_t finished = 0;
    uint8_t reopen = 0;         // needed pieces were left behind: walk it again
    uint8_t marked = 0;         // never handed out (private ranges)
    int64_t time = 0;           // task clock of the last hand-out or change
    TPeerId* source = nullptr;  // referenced
    TPeerObject* owner = nullptr;

    PieceRange() = default;
    PieceRange(const PieceRange&) = delete;
    PieceRange& operator=(const PieceRange&) = delete;
    ~PieceRange() { SetSource(nullptr); }
    void SetSource(TPeerId* s) {
        if (s != nullptr) s->AddRef();
        if (source != nullptr) source->Release();
        source = s;
    }
};

struct BlockRequest {
    int64_t block;   // content offset / 16384
    int32_t length;  // bytes
};

// Waits of the server sources, in seconds.
struct SourceTimings {
    int httpHeadSeconds = 15;       // an HTTP source without response headers times out
    int httpBodySeconds = 30;       // an HTTP source without body data times out
    int rangeStarveSeconds = 2;     // no block for this long: the range may be taken over
    int trackerRepeatSeconds = 10;  // an unanswered tracker request older than this is sent again
};

class TPeerHost {
public:
    // ---- scheduling ----
    // The task's piece map, or none while its size is unknown.
    virtual TPieces* Pieces() const = 0;
    // The task's ranges of pieces (built by DivideRanges).
    virtual std::vector<PieceRange*>& Ranges() = 0;
    virtual bool DivideRanges() = 0;
    // Hands source s a range to work on (the best free one, or a split).
    virtual bool EngageRange(TPeerObject* s) = 0;
    // Splits the free range holding `position` there; s takes the rest.
    virtual bool ClaimAtPosition(TPeerObject* s, int32_t position) = 0;
    // A range that nobody works on holds `position`.
    virtual bool FreeRangeAt(int32_t /*position*/) { return true; }
    // The owner gives its range back.
    virtual void ReturnRange(PieceRange* r, TPeerObject* owner) = 0;
    virtual void RemoveRange(PieceRange* r) = 0;
    virtual bool HasUnfinishedRange() const = 0;
    // A fresh range from the first run of needed pieces s has not queued.
    virtual bool AddFreshRange(TPeerObject* s) = 0;
    // End game: when every needed piece is queued by some server, a needed
    // piece that s may fetch a second time (the first copy of a block
    // wins); -1 when none.
    virtual int32_t EndGamePiece(TPeerObject* s) = 0;
    virtual bool IsPieceNeeded(int32_t piece) = 0;
    virtual bool MarkRequested(int32_t piece, bool add, bool completed) = 0;
    // The first piece the task still wants (0 when none).
    virtual int32_t CurrentPosition() = 0;
    virtual bool IsDownloadComplete() = 0;
    virtual int64_t TotalBytes() = 0;
    // Blocks of a piece queued by the task's server sources (a piece goes
    // to one server connection at a time).
    virtual void NoteQueued(int64_t block, int delta) = 0;
    virtual bool QueuedByServer(int32_t piece) const = 0;
    // Blocks a source gave back; the list is emptied.
    virtual bool ReturnBlocks(std::vector<BlockRequest>& blocks) = 0;
    // BitTorrent sources: a piece from the server ranges, or within one
    // file of the metainfo, or -1; returned blocks of a piece the remote
    // has (bitfields in BitTorrent order).
    virtual int32_t PickFromRanges(TPeerObject* s) = 0;
    virtual int32_t PickInFile(TPeerObject* s, int32_t file) = 0;
    virtual bool PickReturnedBlocks(std::vector<BlockRequest>* out,
                                    const std::vector<uint8_t>& peerHave,
                                    const std::vector<uint8_t>& excluded, int32_t maximum) = 0;
    virtual bool InEndGame() const = 0;
    // Counts up whenever a piece or a block may have become wanted again
    // (a requested-list entry given back, blocks returned, a piece failed):
    // a BitTorrent source that found nothing to ask its remote for looks
    // again when it changed.
    virtual uint64_t WantedGeneration() const { return 0; }

    // ---- accounting ----
    // Payload accepted by the piece map from a source of the given kind.
    virtual void CountPayload(int kind, int64_t bytes) = 0;
    // Bytes a source may still receive in this second.
    virtual int64_t DownloadBudgetLeft() const = 0;
    virtual void OnPieceCompleted(int32_t piece) = 0;
    virtual void OnPieceFailed() = 0;
    // The task clock (seconds since 1970).
    virtual int64_t TaskClock() = 0;
    // A source has unread data: the task should come back at once.
    virtual void ComeBackAtOnce() = 0;
    virtual SourceTimings Timings() const = 0;
    // The local IPv4 address outgoing connections bind to (0: none).
    virtual uint32_t LocalBindAddress() const { return 0; }
    // The gate of connection attempts shared by all tasks (none: no limit).
    virtual QHalfOpenGate* HalfOpenGate() = 0;
    // The engine's network services for the connections (none: defaults).
    virtual QNetServices* NetServices() = 0;

    // ---- BitTorrent sources ----
    // The task's 68-byte handshake (info hash and the task's peer id), or
    // none while the task has no info hash.
    virtual const uint8_t* BtHandshakeBlock() { return nullptr; }
    // The engine's HTTP-disguise and P2P switches.
    virtual bool HttpDisguise() const { return false; }
    virtual bool PeerWireEnabled() const { return true; }
    // Outgoing peer connections may go over the UDP transport (the engine
    // knows its public address and is not reachable from outside), and the
    // seconds such a connect may take.
    virtual bool NatTraversalPermitted() { return false; }
    virtual int UdpConnectSeconds() const { return 28; }
    // Another established BitTorrent source of the task talks to this
    // IPv4 address with this peer id.
    virtual bool PeerConnected(const TPeerObject* /*s*/, uint32_t /*ipv4*/,
                               const uint8_t* /*peerId*/) {
        return false;
    }
    // Upload bytes the task's sources may still send in this second.
    virtual int64_t UploadBudgetLeft() const { return INT32_MAX; }
    // Payload sent to a remote (the task's upload counters).
    virtual void CountUpload(int64_t /*bytes*/) {}
    // Some source of the task queued upload output in this cycle.
    virtual bool UploadQueuedThisCycle() const { return false; }
    virtual void NoteUploadQueued() {}
    virtual int32_t UploadSlots() const { return 8; }
    // The first piece of the task's priority window.
    virtual int32_t PriorityWindowStart() { return CurrentPosition(); }
    // The task still needs pieces from more than this many more pieces.
    virtual int32_t MissingPieces() { return 0; }

    // ---- events ----
    // A server reported the size of its resource.
    virtual void OnServerSize(TPeerId* source, int64_t size) = 0;
    // The source is of no further use to the task.
    virtual void RemoveCandidate(TPeerId* source) = 0;
    // A redirect named another source.
    virtual void AddRedirectTarget(TPeerId* target) = 0;
    // A whole-document source began fetching the task's metainfo.
    virtual void SetFetchingMetainfo() = 0;

protected:
    ~TPeerHost() = default;
};

}  // namespace lf
