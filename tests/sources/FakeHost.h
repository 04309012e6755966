// A small stand-in for a task: the host a source talks to in the source
// tests. It keeps one piece map without hashes, hands out its pieces as one
// range, and records every event a source reports, so that a source can be
// driven pass by pass on the test's thread without a work thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "engine/sources/PeerHost.h"
#include "engine/sources/PeerObject.h"
#include "engine/store/TPieces.h"

namespace sourcetest {

class FakeHost : public lf::TPeerHost {
public:
    // Piece maps are made in `folder` (the target file is `name`).
    explicit FakeHost(std::string folder, std::string name = "content.bin");
    ~FakeHost();
    FakeHost(const FakeHost&) = delete;
    FakeHost& operator=(const FakeHost&) = delete;

    // A piece map of `size` bytes in pieces of `pieceLength` (no hashes).
    bool MakePieces(int64_t size, int32_t pieceLength = 256 * 1024);
    // A source description for `address` (parsed; the host keeps a reference).
    lf::TPeerId* AddSource(const std::string& address);
    // Runs s->RunCycle until the download is complete, the cycle fails or
    // `seconds` passed; the piece map's writes are done after every cycle.
    // Answers the last RunCycle result.
    bool Drive(lf::TPeerObject* s, int seconds = 20);
    // The target file's bytes (after the piece map closed its files).
    std::string Written();

    // ---- what the sources reported ----
    std::vector<int64_t> serverSizes;
    std::vector<std::string> redirects;  // address texts of redirect targets
    int removed = 0;
    int fetchingMetainfo = 0;
    int64_t payload = 0;
    int piecesCompleted = 0;
    int piecesFailed = 0;
    int comeBacks = 0;
    std::vector<int32_t> released;   // MarkRequested(piece, remove one entry)
    int64_t budget = INT64_MAX / 4;  // DownloadBudgetLeft
    int32_t rangePieces = 0;         // pieces of each range (0: one range of everything)
    lf::SourceTimings timings;

    // ---- TPeerHost ----
    lf::TPieces* Pieces() const override { return m_pieces; }
    std::vector<lf::PieceRange*>& Ranges() override { return m_ranges; }
    bool DivideRanges() override;
    bool EngageRange(lf::TPeerObject* s) override;
    bool ClaimAtPosition(lf::TPeerObject*, int32_t) override { return false; }
    void ReturnRange(lf::PieceRange* r, lf::TPeerObject* owner) override;
    void RemoveRange(lf::PieceRange* r) override;
    bool HasUnfinishedRange() const override;
    bool AddFreshRange(lf::TPeerObject*) override { return false; }
    int32_t EndGamePiece(lf::TPeerObject*) override { return -1; }
    bool IsPieceNeeded(int32_t piece) override;
    bool MarkRequested(int32_t piece, bool add, bool completed) override {
        if (!add && !completed) released.push_back(piece);
        return true;
    }
    int32_t CurrentPosition() override { return 0; }
    bool IsDownloadComplete() override;
    int64_t TotalBytes() override { return m_pieces != nullptr ? m_pieces->TotalLength() : 0; }
    void NoteQueued(int64_t block, int delta) override;
    bool QueuedByServer(int32_t piece) const override;
    bool ReturnBlocks(std::vector<lf::BlockRequest>& blocks) override;
    int32_t PickFromRanges(lf::TPeerObject*) override { return -1; }
    int32_t PickInFile(lf::TPeerObject*, int32_t) override { return -1; }
    bool PickReturnedBlocks(std::vector<lf::BlockRequest>*, const std::vector<uint8_t>&,
                            const std::vector<uint8_t>&, int32_t) override {
        return false;
    }
    bool InEndGame() const override { return false; }
    void CountPayload(int, int64_t bytes) override { payload += bytes; }
    int64_t DownloadBudgetLeft() const override { return budget; }
    void OnPieceCompleted(int32_t) override { ++piecesCompleted; }
    void OnPieceFailed() override { ++piecesFailed; }
    int64_t TaskClock() override;
    void ComeBackAtOnce() override { ++comeBacks; }
    lf::SourceTimings Timings() const override { return timings; }
    lf::QHalfOpenGate* HalfOpenGate() override { return nullptr; }
    lf::QNetServices* NetServices() override { return nullptr; }
    // Like a task without metainfo: the first reported size makes the piece map.
    void OnServerSize(lf::TPeerId* source, int64_t size) override;
    void RemoveCandidate(lf::TPeerId*) override { ++removed; }
    void AddRedirectTarget(lf::TPeerId* target) override;
    void SetFetchingMetainfo() override { ++fetchingMetainfo; }

private:
    std::string m_folder;
    std::string m_name;
    lf::TPieces* m_pieces = nullptr;
    std::vector<lf::PieceRange*> m_ranges;
    std::map<int32_t, int> m_queued;  // blocks queued per piece
    std::vector<lf::TPeerId*> m_sources;
};

}  // namespace sourcetest
