// TPieces: the piece map of one download task.
//
// It knows which pieces are present and verified (the have map), which are
// partly on disk (Part bytes from the piece start, with the running SHA-1 of
// those bytes) and which received data still waits in memory; it verifies
// each piece with SHA-1 as its data reaches the disk, writes through the
// task's target files (TTargetFiles) and makes the state survive a restart
// through the resume data ("bits") and the cache file.
//
// Typical use by the task layer (one task thread):
//
//   TPieces* map = new TPieces;                 // reference count 1
//   map->SetEventSink([&](const TPieceEvent& e) { ... });
//   map->SetDownloadFolder(folder);             // '/' is appended when missing
//   map->SetResumeData(bits); map->SetSelectionData(part);
//   map->SetCacheFilePath(infoPath + "df");     // empty: no cache file
//   map->SetStopFlag(&stopRequested);
//   map->BuildPieceTable(layout);               // start-up recovery; IsReady()
//   ... map->StoreBlock(piece, offset, data, len, source, &completed) ...
//   ... map->Maintain() every few seconds ...
//   ... map->MakeResumeData() when saving the info file ...
//   map->CloseFiles(/*saveResume=*/true, /*finishing=*/done);
//   map->Release();
//
// Events (TPieceEvent; delivered synchronously on the calling thread):
//   1     a piece's have bit changed: flag = new state, kind 4, value = piece
//   2     every piece is present (quick check passed)
//   3     the start-up check began (flag 1), or resume data was restored (0)
//   100   the piece table was built: kind 4, value = piece count
//   1000  new selection data: data/length (the "part" value of the info file)
//   1001  new resume data: data/length (the "bits" value of the info file)
//   1002  not enough free disk space to grow a file (task error 20210)
//   1003  the disk failure cleared
//   1004  a target file cannot be opened or sized (task error 20215)
//
// Crash safety. Data reaches the disk before any resume data that refers to
// it is produced; a piece's have bit is set only after its verified bytes
// were written; the saved SHA-1 context of a partial piece is checked against
// the bytes on disk when it is restored; cache-file data is hashed with the
// rest of its piece before the piece counts as verified. DiskVersion() grows
// with every write to the target files, so an owner that wants to lose as
// little as possible on a crash saves resume data whenever it changed.
//
// Not thread-safe: everything runs on the task's work thread, except that
// DataLock() guards data reads requested from other threads.
#pragma once

#include <sys/uio.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/base/QMutex.h"
#include "engine/base/RefObject.h"
#include "engine/store/ContentLayout.h"
#include "engine/store/PieceEvents.h"
#include "engine/store/Sha1Context.h"
#include "engine/store/TargetFiles.h"

namespace lf {

constexpr int32_t kBlockBytes = 16384;
constexpr int32_t kMaxChunkBytes = 128 * 1024;
// One cache-limit unit is 256 KiB.
constexpr int64_t kCacheUnitBytes = 256 * 1024;
// StoreBlock writes a verified piece at once; one whose write failed waits
// in memory and is written with the others once this much waits (or one
// piece, when pieces are larger), in runs of at most kWriteRunBytes per
// write.
constexpr int64_t kWriteBatchBytes = 512 << 10;
constexpr int64_t kWriteRunBytes = 16 << 20;

struct TPieceEvent {
    int32_t type = 0;
    int32_t flag = 0;
    int32_t kind = 0;
    int64_t value = 0;
    // Events 1000 and 1001: the serialized value; valid during the call.
    const char* data = nullptr;
    int64_t length = 0;
};

using TPieceEventSink = std::function<void(const TPieceEvent&)>;

// What the piece map needs from a data source. Source kinds: 1 BitTorrent
// peer, 2 HTTP server, 4 FTP server.
class IPieceSource {
public:
    virtual ~IPieceSource() = default;
    virtual int SourceKind() const = 0;
    // Called when this source delivered a whole piece; hashFailed when the
    // piece then failed its check.
    virtual void ChargePiece(bool hashFailed) = 0;
    // IPv4 address (host order) and port of a BitTorrent peer.
    virtual bool PeerAddress(uint32_t* ip, uint16_t* port) const {
        (void)ip;
        (void)port;
        return false;
    }
};

class TPieces : public TRefObject {
public:
    TPieces();

    // ---- set-up, before BuildPieceTable ----
    void SetEventSink(TPieceEventSink sink) { m_sink = std::move(sink); }
    // Statistics reports ("11500102" with the peer's address on a hash
    // failure of a piece that a BitTorrent peer delivered).
    void SetReportHook(std::function<void(const char* code, const std::string& text)> hook) {
        m_report = std::move(hook);
    }
    void SetDownloadFolder(std::string folder);
    // Units of 256 KiB; 32 (8 MiB) at creation.
    void SetCacheLimitUnits(int32_t units);
    void SetTrustExistingFiles(bool on) { m_trustExisting = on; }
    void SetSavedStateAllowed(bool on) { m_savedStateAllowed = on; }
    void SetResumeEnabled(bool on) { m_resumeEnabled = on; }
    void SetSelectionData(std::string data) { m_selectionData = std::move(data); }
    void SetResumeData(std::string data) { m_resumeData = std::move(data); }
    void SetCacheFilePath(std::string path) { m_cachePath = std::move(path); }
    // Polled during long checks and while waiting for disk space.
    void SetStopFlag(const std::atomic<bool>* stop);
    // Free-space re-check interval (2000 ms by default; tests shorten it).
    void SetDiskWaitMs(int ms) { m_files.SetDiskWaitMs(ms); }
    // fdatasync the target files before resume data is produced (on by
    // default; protects against power loss, not needed against a killed
    // process).
    void SetSyncBeforeResume(bool on) { m_syncBeforeResume = on; }

    // Builds the piece table from the layout and runs the start-up recovery
    // (previous map with the same geometry, quick check of trusted files,
    // resume data, or the full check). previous may be null. True when the
    // map is ready.
    bool BuildPieceTable(const TContentLayout& layout, TPieces* previous = nullptr);
    bool IsReady() const { return m_ready; }

    // ---- data in ----
    // Stores received bytes of a piece at an offset inside it. The offset
    // must be a multiple of 16 KiB; data reaching into a 16 KiB block only
    // partly (other than at the piece end) is not counted. Data below the
    // bytes already on disk, or for a piece that is present, is ignored.
    // Returns the bytes taken, or -1 for an invalid piece or offset.
    // *completed tells whether the piece is now complete and verified
    // (written and present, or waiting in memory when its write failed).
    // Whole chunks that continue the bytes on disk are hashed and written as
    // they fill, and a verified piece is written at once.
    int32_t StoreBlock(int32_t piece, int32_t offset, const char* data, int32_t length,
                       IPieceSource* source, bool* completed = nullptr);
    // Memory a source may receive the bytes at offset of a piece into
    // directly: the piece's buffer for the 16 KiB blocks from offset on that
    // are not yet held, inside one chunk, at most `most` bytes. Answers the
    // bytes (0 when the bytes cannot go there: the piece is present or
    // complete, the offset is below Part or not a block start, or its block
    // is held) and sets *destination. The bytes count once StoreBlock is
    // called with data pointing there; until then the memory may be
    // overwritten by the next call.
    int32_t ReceiveSpan(int32_t piece, int32_t offset, int32_t most, char** destination);
    // Writes the contiguous whole chunks buffered from Part on when they are
    // at least threshold bytes. True when something was written.
    bool FlushPiece(int32_t piece, int32_t threshold);
    // Writes a complete, verified piece and sets its bit.
    bool WritePiece(int32_t piece);
    // Drops the data of a piece that is still in memory only (the piece was
    // fetched elsewhere). Bytes already on disk stay.
    void DropBuffer(int32_t piece);
    // Changes a piece's bit and the counters; sends event 1 on a change.
    bool SetHave(int32_t piece, bool present);
    // The periodic cache pass.
    void Maintain();
    // Drops the have bits (and the bytes on disk of partial pieces) of every
    // file that was deleted or replaced since this map wrote it: pieces count
    // as present only while the data this map verified is still there.
    // Returns the number of pieces that lost their bit.
    int32_t ForgetChangedFiles();
    // Writes what can be written, saves the cache file and (when asked and
    // ready) produces resume data, then closes the files; when finishing and
    // every piece is verified, moves files to their final names and deletes
    // the cache file.
    bool CloseFiles(bool saveResume, bool finishing);

    // ---- data out ----
    // Reads bytes of a piece: from memory when buffered, else from disk for
    // bytes that are on disk (a present piece, or below Part). Returns the
    // bytes read, or -1.
    int64_t ReadRange(int32_t piece, char* buffer, int32_t length, int32_t offset);
    // Guards data reads requested from other threads.
    QTMutex& DataLock() { return m_dataLock; }

    // ---- saved state ----
    // Serializes the resume dictionary, sends it as event 1001 and returns it
    // (empty when the map is not ready or a file cannot be described).
    std::string MakeResumeData();
    // The selection list, sent as event 1000 (only when ready).
    std::string MakeSelectionData();
    bool SaveCacheFile();
    bool LoadCacheFile();

    // ---- accessors ----
    int64_t PieceCount() const { return m_pieceCount; }
    int32_t PieceLength() const { return m_pieceLength; }
    int32_t PieceSize(int32_t piece) const;
    bool Have(int32_t piece) const;
    int32_t HaveCount() const { return m_haveCount; }
    const std::vector<uint8_t>& HaveMap() const { return m_haveMap; }
    int64_t VerifiedBytes() const { return m_verifiedBytes; }
    // Verified bytes plus, for every piece not yet verified and written, the
    // bytes on disk below its Part and the blocks received above it.
    int64_t HeldBytes() const;
    int64_t TotalLength() const { return m_totalLength; }
    int64_t ExaminedBytes() const { return m_examinedBytes; }
    bool IsComplete() const { return m_pieceCount > 0 && m_haveCount == m_pieceCount; }
    int32_t LastCompletedPiece() const { return m_lastCompleted; }
    int32_t PartOf(int32_t piece) const;
    // The 16 KiB block at offset is present, on disk below Part, or buffered.
    bool HasBlock(int32_t piece, int32_t offset) const;
    // Received bytes held in memory, and bytes of verified pieces not yet written.
    int64_t CachedBytes() const { return m_cachedBytes; }
    int64_t PendingBytes() const { return m_pendingBytes; }
    int64_t CacheLimitBytes() const { return static_cast<int64_t>(m_cacheUnits) * kCacheUnitBytes; }
    bool IsSkipped(int32_t piece) const;
    const std::string& Name() const { return m_name; }
    const std::string& InfoHash() const { return m_infoHash; }
    const std::vector<int32_t>& PartialList() const { return m_partialList; }
    // Grows with every write to the target files.
    uint64_t DiskVersion() const { return m_diskVersion; }
    TTargetFiles& Files() { return m_files; }
    uint32_t LastActivity() const { return m_lastActivity; }

protected:
    ~TPieces() override;

private:
    struct Piece {
        int32_t index = 0;
        int32_t size = 0;
        int32_t part = 0;
        int32_t chunkSize = 0;
        std::unique_ptr<TSha1Context> ctx;
        const char* hash = nullptr;
        std::vector<char*> chunks;
        std::vector<uint8_t> got;  // per 16 KiB block
        int32_t buffered = 0;      // bytes of received blocks at or above part
        bool complete = false;
        bool verified = false;
        bool skipped = false;
        uint32_t lastFlush = 0;
        IPieceSource* lastSource = nullptr;
        int32_t sourceBytes = 0;
    };

    void Send(int32_t type, int32_t flag = 0, int32_t kind = 0, int64_t value = 0,
              const char* data = nullptr, int64_t length = 0);
    bool PrepareBuffer(Piece& p);
    void ReleaseBuffer(Piece& p);
    void ResetPiece(Piece& p);
    bool VerifyBuffered(Piece& p);
    void OnPieceFilled(Piece& p);
    int32_t ContiguousBytes(const Piece& p) const;
    int64_t WriteBytes(Piece& p, int32_t from, int32_t to);
    bool AppendParts(Piece& p, int32_t from, int32_t to, std::vector<iovec>* parts);
    // The bookkeeping of a complete piece whose bytes reached the disk.
    void PieceWritten(Piece& p);
    int64_t ContentOffset(const Piece& p) const {
        return static_cast<int64_t>(p.index) * m_pieceLength;
    }
    void KeepWithinLimit();
    void WritePending(bool all);
    void Evict(bool force);
    uint32_t Now() const;

    bool Recover(TPieces* previous);
    bool QuickCheck();
    bool FullCheck();
    bool VerifyOnDisk(int32_t piece, std::string& scratch);
    bool LoadResumeData();
    void LoadSelectionData();
    bool RestoredContextMatchesDisk(Piece& p);
    bool StopRequested() const { return m_stop != nullptr && m_stop->load(); }

    TPieceEventSink m_sink;
    std::function<void(const char*, const std::string&)> m_report;
    const std::atomic<bool>* m_stop = nullptr;
    TTargetFiles m_files;
    QTMutex m_dataLock;

    bool m_infoLoaded = false;
    bool m_savedStateAllowed = true;
    bool m_trustExisting = false;
    bool m_resumeEnabled = true;
    bool m_syncBeforeResume = true;
    bool m_ready = false;
    std::string m_folder;
    std::string m_name;
    std::string m_infoHash;
    std::string m_hashes;
    std::vector<Piece> m_pieces;
    int64_t m_pieceCount = 0;
    int32_t m_pieceLength = 0;
    int64_t m_totalLength = 0;
    std::vector<uint8_t> m_haveMap;
    int32_t m_haveCount = 0;
    int64_t m_verifiedBytes = 0;
    int64_t m_examinedBytes = 0;
    int32_t m_lastCompleted = -1;
    std::vector<int32_t> m_partialList;
    int64_t m_cachedBytes = 0;
    int64_t m_pendingBytes = 0;
    int32_t m_cacheUnits = 32;
    std::string m_selectionData;
    std::string m_resumeData;
    std::string m_cachePath;
    uint32_t m_lastActivity = 0;
    uint32_t m_lastEviction = 0;
    uint32_t m_lastIdentityCheck = 0;
    uint64_t m_diskVersion = 0;
};

}  // namespace lf
