// The target files of one task: naming (with the ".lftmp" suffix while a file
// is incomplete), folders, opening with the access each use needs, growth
// ahead of the data with a free-space guard, content-range reads and writes
// across file boundaries, and the rename at completion.
//
// Content offsets run over all files end to end in metainfo order. A
// TTargetFiles object belongs to one task and is used from that task's work
// thread only; growth, writes and start-up check reads of all tasks are
// serialised by the process-wide disk lock (StoreDiskLock()).
//
// Events reported through the event function (see TPieces for the record):
//   1004  a file cannot be opened or sized for writing (task error 20215)
//   1002  not enough free space to grow a file (task error 20210); sent once
//         per shortage; writes that fail with ENOSPC report it as well
//   1003  space became available again while waiting
#pragma once

#include <sys/uio.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/base/QMutex.h"
#include "engine/store/ContentLayout.h"
#include "engine/store/PieceEvents.h"

namespace lf {

// Suffix of a target file while it is incomplete.
inline constexpr const char* kTempSuffix = ".lftmp";

// Priority values of a file entry; kFileSkipped marks a file that is not
// selected.
inline constexpr int32_t kFileSkipped = -3;

struct TFileEntry {
    int fd = -1;
    bool readOnly = false;  // fd was opened for reading only
    int32_t index = 0;
    int32_t state = 0;         // kFileSkipped, or a priority -2..2
    std::string path;          // path in use on disk
    std::string relativePath;  // below the download folder, as in the metainfo
    std::string finalPath;     // rename target; empty unless under a temporary name
    bool temporary = false;    // path is the temporary name
    bool folder = false;       // a folder entry: created as a folder, no data
    bool dirty = false;        // written since the last sync
    int64_t unsynced = 0;      // bytes written since write-back was last started
    int64_t knownSize = -1;    // size of the open file as this task left it; -1 unknown
    int64_t length = 0;
    int64_t startOffset = 0;
    int32_t firstPiece = 0;
    int32_t pieceSpan = 0;
    // The file this task writes (device and inode, 0 until first opened for
    // writing): another process that replaces or deletes it takes the data
    // with it.
    uint64_t device = 0;
    uint64_t inode = 0;
    bool lost = false;  // found missing or replaced when opened again

    bool Skipped() const { return state == kFileSkipped; }
};

// The process-wide disk lock.
QTMutex& StoreDiskLock();

// Free bytes available to the caller on the file system holding path (or its
// nearest existing parent); 0 on failure.
int64_t GetDriveFreeSpace(const std::string& path);
// Allocated size of path, or of path + ".lftmp" when path does not exist:
// 0 when neither exists, -1 when it cannot be examined.
int64_t GetSizeOnDisk(const std::string& path);
// Creates every missing folder along path (up to its last '/'); when
// lastIsFolder, the last component as well. True when all exist afterwards.
bool CreateFolders(const std::string& path, bool lastIsFolder);
// Windows FILETIME (100 ns since 1601-01-01 UTC) of a file's last write;
// false when the file cannot be examined.
bool FileWriteTime(const std::string& path, uint64_t* fileTime);

class TTargetFiles {
public:
    // Event 1004 carries "path: reason" as its text; other events none.
    using EventFn = std::function<void(int type, const std::string& text)>;

    TTargetFiles() = default;
    ~TTargetFiles();
    TTargetFiles(const TTargetFiles&) = delete;
    TTargetFiles& operator=(const TTargetFiles&) = delete;

    // Builds the file entries: names (temporary name for a file that does not
    // exist yet under its plain name), offsets and piece spans. folder ends
    // in '/'. Folder entries are created at once.
    bool Setup(const std::string& folder, const TContentLayout& layout);

    std::vector<TFileEntry>& Files() { return m_files; }
    const std::vector<TFileEntry>& Files() const { return m_files; }

    void SetEventFn(EventFn fn) { m_event = std::move(fn); }
    // Polled while waiting for free space.
    void SetStopFlag(const std::atomic<bool>* stop) { m_stop = stop; }
    // Interval of the free-space re-check (2000 ms by default).
    void SetDiskWaitMs(int ms) { m_waitMs = ms; }
    // Grow files to their full length at first write (on by default); when
    // off, a file grows to at most the needed size + 1 MiB + one piece.
    void SetGrowToFullLength(bool on) { m_growFull = on; }
    // During the shutdown flush, growth uses the needed size and a lack of
    // free space fails at once instead of waiting.
    void SetShutdownFlush(bool on) { m_shutdownFlush = on; }
    // Read-only open for the sequential start-up check.
    void SetSequentialHint(bool on) { m_sequential = on; }

    // Opens the file as needed and makes sure it holds at least needed bytes
    // (see the class comment for growth and events). noGrow: never extend.
    bool EnsureFile(TFileEntry& file, int64_t needed, bool forWrite, bool noGrow = false);

    // Writes length bytes at a content offset; returns the bytes written
    // (short on failure).
    int64_t Write(int64_t contentOffset, const char* data, int64_t length);
    // Writes the parts one after the other from a content offset, each file's
    // run with one vectored write under one hold of the disk lock; returns
    // the bytes written (short on failure).
    int64_t WriteParts(int64_t contentOffset, const struct iovec* parts, int count);
    // Reads length bytes at a content offset; returns the bytes read (short
    // when a file is missing or too short).
    int64_t Read(int64_t contentOffset, char* buffer, int64_t length);

    // Moves a file from its temporary name to its final name.
    bool RenameCompleted(TFileEntry& file);
    void CloseFile(TFileEntry& file);
    void CloseAll();
    int OpenCount() const;
    // fdatasync of every file written since the last sync.
    bool SyncAll();
    // True when the file at the entry's path is no longer the one this task
    // wrote (deleted, or replaced by another file). The entry is closed and
    // forgets the old identity, so the next write starts a new file.
    bool ChangedUnderneath(TFileEntry& file);

    // Index of the file holding a content offset (the first file with data
    // at or after it), or -1.
    int FileAt(int64_t contentOffset) const;

private:
    bool Open(TFileEntry& file, bool forWrite);
    bool WaitForSpace(TFileEntry& file, int64_t missing);
    void Event(int type) {
        if (m_event) m_event(type, std::string());
    }
    // A file that cannot be opened or sized for writing (event 1004), with
    // the path and the system's reason for errno.
    void WriteFailure(const std::string& path, int error);

    std::vector<TFileEntry> m_files;
    EventFn m_event;
    const std::atomic<bool>* m_stop = nullptr;
    int m_waitMs = 2000;
    bool m_growFull = true;
    bool m_shutdownFlush = false;
    bool m_sequential = false;
    bool m_diskFullSent = false;
    int m_openError = 0;  // errno of the last failed open for writing
    int64_t m_pieceLength = 0;
};

}  // namespace lf
