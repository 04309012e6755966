// TWorkWithPieces: the layer of a work object that holds the task's
// metainfo and piece map, divides the content into ranges of pieces for the
// server sources, keeps the requested-piece list and turns piece-store
// events into task status.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/core/WorkWithPeers.h"
#include "engine/sources/PeerHost.h"
#include "engine/sources/PeerObject.h"

namespace lf {

class TPieces;
class TTorrent;
struct PieceRange;
struct TPieceEvent;

class TWorkWithPieces : public TWorkWithPeers, public TPeerHost {
public:
    ~TWorkWithPieces() override;

    bool HasMetainfo() override;
    std::string AnnounceAddress() override;
    void RefreshFromPieces() override;
    void Reset(bool clearFileList, bool clearAll) override;

    // ---- task thread ----
    // Reads the task's metainfo from its "file://" locator. False (with
    // status 20211 and a stop request) when the file is not metainfo.
    bool ReadMetainfoFromLocator();
    // Builds the piece map from the metainfo bytes the task holds.
    bool LoadMetainfoIntoPieceStore();
    bool SizeKnown();
    void FinishDownload();
    void ServeDataReads();
    void PieceMaintenance();
    void ReloadMetainfoIfFlagged();
    void MarkPieceMapChanged() { m_pieceMapChanged = true; }
    void HandlePieceEvent(const TPieceEvent& e);

    // ---- engine interface ----
    int32_t CopyPieceMap(uint8_t* buffer, int32_t length) override;
    int32_t PieceMapSize() override;
    // Path of file i: kind 1 path, 2 name, 3 final path.
    std::string FileText(int index, int kind);

    // ---- sources ----
    // ---- sources (TPeerHost) ----
    TPieces* Pieces() const override { return m_pieces; }
    std::vector<PieceRange*>& Ranges() override { return m_ranges; }
    bool DivideRanges() override;
    bool EngageRange(TPeerObject* s) override;
    PieceRange* ChooseVictim(TPeerObject* s);
    // Pieces a server connection is handed at a time from a free range.
    int32_t ServerChunk();
    // The connection has delivered no block for the starve wait.
    bool Starved(const TPeerObject* s) const;
    // Connected to a server that has never delivered payload.
    bool Unproven(const TPeerObject* s) const;
    // Not starved, and its server has delivered payload before.
    bool Delivers(const TPeerObject* s) const;
    bool ClaimAtPosition(TPeerObject* s, int32_t position) override;
    bool FreeRangeAt(int32_t position) override;
    // The owner gives its range back.
    void ReturnRange(PieceRange* r, TPeerObject* owner) override;
    void RemoveRange(PieceRange* r) override;
    bool HasUnfinishedRange() const override;
    // A fresh range from the first run of needed pieces the source has not queued.
    bool AddFreshRange(TPeerObject* s) override;
    int32_t EndGamePiece(TPeerObject* s) override;
    bool IsPieceNeeded(int32_t piece) override;
    bool MarkRequested(int32_t piece, bool add, bool completed) override;
    // The first piece the task still wants (0 when none).
    int32_t CurrentPosition() override;
    bool IsDownloadComplete() override;
    int64_t TotalBytes() override;
    void OnPieceCompleted(int32_t piece) override;
    void OnPieceFailed() override;
    // A server reported the size of its resource.
    void OnServerSize(TPeerId* source, int64_t size) override;
    void SetTaskError(int32_t code);
    void SetFetchingMetainfo() override;
    void RemoveCandidate(TPeerId* source) override { PenalizeCandidate(source, false, 0); }
    void AddRedirectTarget(TPeerId* target) override { AddCandidate(target, false, false); }
    void ComeBackAtOnce() override { m_comeBack = true; }
    SourceTimings Timings() const override;
    uint32_t LocalBindAddress() const override;
    QHalfOpenGate* HalfOpenGate() override;
    QNetServices* NetServices() override;
    bool InEndGame() const override { return m_endGame; }
    uint64_t WantedGeneration() const override { return m_wantedGeneration; }
    // A start piece for a BitTorrent source's first choice.
    int32_t RandomStartPiece();
    // The rule behind it: 0 with the option off or no pieces; otherwise
    // a = (20 in piece-store mode, else 10) x done + 6, b = tick mod a brought
    // below the piece count, answered plus the pieces done when more than
    // one piece is done.
    static int32_t RandomStartPieceFor(bool option, bool storeMode, int32_t pieces, int32_t done,
                                       uint32_t tick);
    // Blocks of a piece queued by the task's server sources (a piece is
    // handed to one server connection at a time).
    void NoteQueued(int64_t block, int delta) override;
    bool QueuedByServer(int32_t piece) const override {
        return piece >= 0 && static_cast<size_t>(piece) < m_serverQueued.size() &&
               m_serverQueued[piece] > 0;
    }
    const std::vector<int32_t>& RequestedList() const { return m_requested; }

    // ---- BitTorrent sources ----
    // A piece for source s from the server ranges (its private range, a
    // new one, or the end of a range), or -1.
    int32_t PickFromRanges(TPeerObject* s) override;
    // A piece for source s within file `file` of the metainfo, or -1.
    int32_t PickInFile(TPeerObject* s, int32_t file) override;
    // Blocks a BitTorrent source gave back; the list is emptied. Dropped
    // while the task is stopping.
    bool ReturnBlocks(std::vector<BlockRequest>& blocks) override;
    // Moves the returned blocks of the first piece that the peer has, that
    // is not excluded and that the piece map still wants into `out` (up to
    // `maximum` entries, 16 when not positive). Bitfields in BitTorrent order.
    bool PickReturnedBlocks(std::vector<BlockRequest>* out, const std::vector<uint8_t>& peerHave,
                            const std::vector<uint8_t>& excluded, int32_t maximum) override;
    // Releases returned blocks the piece map already has (all of them once
    // the download is complete).
    void PruneReturnedBlocks();
    size_t ReturnedBlockCount() const { return m_returned.size(); }

protected:
    TPeerHost* Host() override { return this; }
    // Copies the piece map's numbers into the working status (lock held or not).
    void CopyPieceNumbers();
    // Called by publication under the task lock.
    void PublishPieceData(bool force);
    // Builds the piece map for a task that has a size but no metainfo.
    bool MakeHashlessPieceMap(int64_t size, const std::string& fileName);
    bool SetUpPieceMap(TPieces* pieces);
    void CheckEndGame();

    TPieces* m_pieces = nullptr;
    TTorrent* m_torrent = nullptr;
    bool m_metainfoLoaded = false;
    bool m_metainfoReload = false;
    bool m_errorFlag = false;
    bool m_pieceMapChanged = false;
    bool m_endGame = false;
    bool m_stickyEndGame = false;
    uint64_t m_wantedGeneration = 0;
    std::vector<uint8_t> m_have;
    std::vector<uint8_t> m_publishedHave;
    uint32_t m_publishedPieceCount = 0;
    std::vector<int32_t> m_requested;
    std::vector<int32_t> m_publishedRequested;
    std::vector<PieceRange*> m_ranges;
    int32_t m_firstWanted = 0;
    std::vector<int32_t> m_serverQueued;
    std::vector<BlockRequest> m_returned;
    // Verified pieces whose bytes still wait in the write cache (the piece
    // map sets their have bits once they are written), and one byte per
    // piece for them.
    std::vector<int32_t> m_unwritten;
    std::vector<uint8_t> m_verified;
    struct PublishedFile {
        std::string name;
        std::string path;
        int64_t size = 0;
    };
    std::vector<PublishedFile> m_publishedFiles;
};

}  // namespace lf
