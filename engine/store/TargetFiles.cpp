#include "engine/store/TargetFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "engine/log/LogApi.h"

namespace lf {

namespace {

constexpr int kLogChannel = 4;  // piece store / disk lines

bool Exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::string Sanitize(const std::string& rel) {
    std::string out = rel;
    for (char& c : out)
        if (c == '?' || c == '\r' || c == '\n') c = '_';
    return out;
}

std::string FolderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Free space used by the growth guard: 2147483647 when the query fails.
int64_t GuardFreeSpace(const std::string& path) {
    std::string probe = FolderOf(path);
    for (;;) {
        struct statvfs vfs;
        if (::statvfs(probe.c_str(), &vfs) == 0)
            return static_cast<int64_t>(vfs.f_bavail) * static_cast<int64_t>(vfs.f_frsize);
        if (errno != ENOENT || probe == "/" || probe == ".") return 2147483647;
        probe = FolderOf(probe);
    }
}

}  // namespace

QTMutex& StoreDiskLock() {
    static QTMutex* lock = new QTMutex;
    return *lock;
}

int64_t GetDriveFreeSpace(const std::string& path) {
    if (path.empty()) return 0;
    std::string probe = path;
    for (;;) {
        struct statvfs vfs;
        if (::statvfs(probe.c_str(), &vfs) == 0)
            return static_cast<int64_t>(vfs.f_bavail) * static_cast<int64_t>(vfs.f_frsize);
        if (errno != ENOENT && errno != ENOTDIR) return 0;
        if (probe == "/" || probe == ".") return 0;
        while (probe.size() > 1 && probe.back() == '/') probe.pop_back();
        probe = FolderOf(probe);
    }
}

int64_t GetSizeOnDisk(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) return -1;
        std::string temp = path + kTempSuffix;
        if (::stat(temp.c_str(), &st) != 0) return errno == ENOENT ? 0 : -1;
    }
    return static_cast<int64_t>(st.st_blocks) * 512;
}

bool CreateFolders(const std::string& path, bool lastIsFolder) {
    bool ok = true;
    for (size_t i = 1; i < path.size(); ++i) {
        if (path[i] != '/') continue;
        std::string part = path.substr(0, i);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) ok = false;
    }
    if (lastIsFolder && !path.empty()) {
        std::string p = path;
        while (p.size() > 1 && p.back() == '/') p.pop_back();
        if (::mkdir(p.c_str(), 0755) != 0 && errno != EEXIST) ok = false;
    }
    return ok;
}

bool FileWriteTime(const std::string& path, uint64_t* fileTime) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    constexpr uint64_t kEpochDelta = 11644473600ULL;  // 1601-01-01 to 1970-01-01
    *fileTime = (static_cast<uint64_t>(st.st_mtim.tv_sec) + kEpochDelta) * 10000000ULL +
                static_cast<uint64_t>(st.st_mtim.tv_nsec) / 100;
    return true;
}

TTargetFiles::~TTargetFiles() {
    CloseAll();
}

bool TTargetFiles::Setup(const std::string& folder, const TContentLayout& layout) {
    CloseAll();
    m_files.clear();
    m_pieceLength = layout.pieceLength;
    int64_t offset = 0;
    const int64_t plen = layout.pieceLength;
    for (size_t i = 0; i < layout.files.size(); ++i) {
        const TContentFile& cf = layout.files[i];
        TFileEntry f;
        f.index = static_cast<int32_t>(i);
        f.relativePath = cf.path;
        f.length = cf.length;
        f.startOffset = offset;
        f.folder = !cf.path.empty() && cf.path.back() == '/';
        if (cf.length < 0 || cf.path.empty() || (f.folder && cf.length != 0)) return false;
        f.path = folder + Sanitize(cf.path);
        if (f.folder) {
            CreateFolders(f.path, true);
        } else if (cf.length == 0) {
            // An empty file is complete as soon as it exists: made at once,
            // under its own name, with its folders.
            if (!Exists(f.path)) {
                CreateFolders(f.path, false);
                const int fd = ::open(f.path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
                if (fd >= 0) ::close(fd);
            }
        } else if (!Exists(f.path)) {
            // New files take the temporary name until they are complete.
            f.finalPath = f.path;
            f.path += kTempSuffix;
            f.temporary = true;
        }
        if (plen > 0) {
            f.firstPiece = static_cast<int32_t>(offset / plen);
            int64_t last = cf.length > 0 ? (offset + cf.length - 1) / plen : offset / plen;
            f.pieceSpan = cf.length > 0 ? static_cast<int32_t>(last - f.firstPiece + 1) : 0;
        }
        offset += cf.length;
        m_files.push_back(std::move(f));
    }
    return true;
}

bool TTargetFiles::Open(TFileEntry& file, bool forWrite) {
    if (file.fd >= 0) {
        if (!forWrite || !file.readOnly) return true;
        CloseFile(file);
    }
    if (!forWrite) {
        int fd = ::open(file.path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        if (m_sequential) ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        file.fd = fd;
        file.readOnly = true;
        return true;
    }
    struct stat st;
    if (::stat(file.path.c_str(), &st) == 0 && (st.st_mode & S_IWUSR) == 0)
        ::chmod(file.path.c_str(), st.st_mode | S_IWUSR);
    int fd = -1;
    if (file.inode != 0) {
        // A file written before must still be there; one made anew now has
        // lost what was written (its inode number may even be the old one).
        fd = ::open(file.path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) file.lost = true;
    }
    if (fd < 0) fd = ::open(file.path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        CreateFolders(file.path, false);
        fd = ::open(file.path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    }
    if (fd < 0) {
        m_openError = errno;
        EngineLog::Printf(kLogChannel, "open %s for writing failed: errno %d", file.path.c_str(),
                          m_openError);
        return false;
    }
    file.fd = fd;
    file.readOnly = false;
    struct stat now;
    if (::fstat(fd, &now) == 0) {
        const auto dev = static_cast<uint64_t>(now.st_dev);
        const auto ino = static_cast<uint64_t>(now.st_ino);
        if (file.inode != 0 && (file.device != dev || file.inode != ino)) file.lost = true;
        if (file.inode == 0) {
            file.device = dev;
            file.inode = ino;
        }
    }
    return true;
}

bool TTargetFiles::ChangedUnderneath(TFileEntry& file) {
    if (file.inode == 0 || file.folder) return false;
    struct stat st;
    bool same = !file.lost && ::stat(file.path.c_str(), &st) == 0 &&
                static_cast<uint64_t>(st.st_dev) == file.device &&
                static_cast<uint64_t>(st.st_ino) == file.inode;
    // An open file that was deleted keeps its inode until it is closed.
    if (same && file.fd >= 0 && ::fstat(file.fd, &st) == 0 && st.st_nlink == 0) same = false;
    if (same) return false;
    EngineLog::Printf(kLogChannel, "%s was deleted or replaced by another program",
                      file.path.c_str());
    CloseFile(file);
    file.device = 0;
    file.inode = 0;
    file.lost = false;
    return true;
}

void TTargetFiles::CloseFile(TFileEntry& file) {
    if (file.fd >= 0) {
        ::close(file.fd);
        file.fd = -1;
    }
    file.knownSize = -1;
}

void TTargetFiles::CloseAll() {
    for (auto& f : m_files) CloseFile(f);
}

int TTargetFiles::OpenCount() const {
    int n = 0;
    for (const auto& f : m_files) n += f.fd >= 0 ? 1 : 0;
    return n;
}

bool TTargetFiles::SyncAll() {
    bool ok = true;
    for (auto& f : m_files) {
        if (f.fd >= 0 && f.dirty && !f.readOnly) {
            if (::fdatasync(f.fd) != 0) ok = false;
        }
        f.dirty = false;
    }
    return ok;
}

bool TTargetFiles::WaitForSpace(TFileEntry& file, int64_t missing) {
    for (;;) {
        if (GuardFreeSpace(file.path) >= missing) {
            if (m_diskFullSent) {
                m_diskFullSent = false;
                Event(kPieceEventDiskCleared);
            }
            return true;
        }
        if (!m_diskFullSent) {
            m_diskFullSent = true;
            EngineLog::Printf(kLogChannel, "disk full: %s needs %lld more bytes", file.path.c_str(),
                              static_cast<long long>(missing));
            Event(kPieceEventDiskFull);
        }
        if (m_shutdownFlush) return false;
        // Waits in short steps so a stop request is seen quickly.
        for (int waited = 0; waited < m_waitMs; waited += 50) {
            if (m_stop != nullptr && m_stop->load()) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(50, m_waitMs - waited)));
        }
        if (m_stop != nullptr && m_stop->load()) return false;
    }
}

void TTargetFiles::WriteFailure(const std::string& path, int error) {
    if (!m_event) return;
    char reason[256] = "";
    const char* text = error != 0 ? ::strerror_r(error, reason, sizeof reason) : "";
    m_event(kPieceEventWriteFailure,
            path + (text[0] != '\0' ? std::string(": ") + text : std::string()));
}

bool TTargetFiles::EnsureFile(TFileEntry& file, int64_t needed, bool forWrite, bool noGrow) {
    if (file.folder) return needed <= 0;
    if (needed > file.length) return false;
    if (forWrite && file.fd >= 0 && file.readOnly) CloseFile(file);
    if (!Open(file, forWrite)) {
        if (forWrite) WriteFailure(file.path, m_openError);
        return false;
    }
    // The size is read once per open; afterwards this task's own growth and
    // writes keep it.
    if (file.knownSize < 0) {
        struct stat st;
        if (::fstat(file.fd, &st) != 0) {
            const int error = errno;
            CloseFile(file);
            if (forWrite) WriteFailure(file.path, error);
            return false;
        }
        int64_t size = st.st_size;
        if (size > file.length) {
            // Longer than the content says: cut back to the expected length.
            bool wasReadOnly = file.readOnly;
            CloseFile(file);
            {
                QGuard g(StoreDiskLock());
                if (::truncate(file.path.c_str(), file.length) != 0) return false;
            }
            if (!Open(file, !wasReadOnly)) return false;
            if (::fstat(file.fd, &st) != 0 || st.st_size != file.length) return false;
            size = st.st_size;
        }
        file.knownSize = size;
    }
    int64_t size = file.knownSize;
    if (!forWrite) return size >= needed;

    int64_t target = m_growFull
                         ? file.length
                         : std::min<int64_t>(file.length, needed + (1 << 20) + m_pieceLength);
    if (file.Skipped() || m_shutdownFlush) target = needed;
    if (target > size) {
        if (!WaitForSpace(file, target - size)) return false;
        if (!noGrow) {
            QGuard g(StoreDiskLock());
            int rc = ::fallocate(file.fd, 0, 0, target);
            if (rc != 0 && (errno == EOPNOTSUPP || errno == ENOSYS))
                rc = ::ftruncate(file.fd, target);
            if (rc != 0) {
                int err = errno;
                CloseFile(file);
                if (err == ENOSPC) {
                    Event(kPieceEventDiskFull);
                } else {
                    WriteFailure(file.path, err);
                }
                return false;
            }
            size = target;
            file.knownSize = target;
        }
    }
    return size >= needed;
}

int TTargetFiles::FileAt(int64_t contentOffset) const {
    // Binary search for the first file that ends after the offset; empty
    // entries end where they start and are passed over.
    auto it = std::upper_bound(
        m_files.begin(), m_files.end(), contentOffset,
        [](int64_t off, const TFileEntry& f) { return off < f.startOffset + f.length; });
    return it == m_files.end() ? -1 : static_cast<int>(it - m_files.begin());
}

int64_t TTargetFiles::Write(int64_t contentOffset, const char* data, int64_t length) {
    if (length <= 0) return 0;
    iovec part{const_cast<char*>(data), static_cast<size_t>(length)};
    return WriteParts(contentOffset, &part, 1);
}

int64_t TTargetFiles::WriteParts(int64_t contentOffset, const iovec* parts, int count) {
    int64_t length = 0;
    for (int k = 0; k < count; ++k) length += static_cast<int64_t>(parts[k].iov_len);
    int64_t done = 0;
    // Position in the parts: index and offset inside it.
    int part = 0;
    size_t inPart = 0;
    std::vector<iovec> run;
    int i = FileAt(contentOffset);
    while (done < length && i >= 0 && i < static_cast<int>(m_files.size())) {
        TFileEntry& f = m_files[i];
        const int64_t pos = contentOffset + done - f.startOffset;
        const int64_t want = std::min(length - done, f.length - pos);
        if (want <= 0) {
            ++i;
            continue;
        }
        if (!EnsureFile(f, pos + want, true)) break;
        int64_t wrote = 0;
        {
            QGuard g(StoreDiskLock());
            while (wrote < want) {
                // The parts of [done + wrote, done + want), at most IOV_MAX.
                run.clear();
                int p = part;
                size_t in = inPart;
                int64_t left = want - wrote;
                while (left > 0 && p < count && static_cast<int>(run.size()) < IOV_MAX) {
                    size_t n = std::min<size_t>(parts[p].iov_len - in, static_cast<size_t>(left));
                    run.push_back({static_cast<char*>(parts[p].iov_base) + in, n});
                    left -= static_cast<int64_t>(n);
                    in += n;
                    if (in == parts[p].iov_len) {
                        ++p;
                        in = 0;
                    }
                }
                ssize_t w = ::pwritev(f.fd, run.data(), static_cast<int>(run.size()), pos + wrote);
                if (w < 0 && errno == EINTR) continue;
                if (w <= 0) {
                    if (w < 0 && errno == ENOSPC) Event(kPieceEventDiskFull);
                    break;
                }
                wrote += w;
                // Advance the part position by w bytes.
                for (size_t n = static_cast<size_t>(w); n > 0;) {
                    size_t step = std::min(n, parts[part].iov_len - inPart);
                    n -= step;
                    inPart += step;
                    if (inPart == parts[part].iov_len) {
                        ++part;
                        inPart = 0;
                    }
                }
            }
        }
        if (f.knownSize >= 0) f.knownSize = std::max(f.knownSize, pos + wrote);
        f.dirty = true;
        // Start write-back early, every 8 MiB a file receives: the data
        // reaches the disk while more arrives instead of all at a later sync.
        f.unsynced += wrote;
        if (f.unsynced >= (8 << 20)) {
            ::sync_file_range(f.fd, 0, 0, SYNC_FILE_RANGE_WRITE);
            f.unsynced = 0;
        }
        done += wrote;
        if (wrote < want) break;
        ++i;
    }
    return done;
}

int64_t TTargetFiles::Read(int64_t contentOffset, char* buffer, int64_t length) {
    int64_t done = 0;
    int i = FileAt(contentOffset);
    while (done < length && i >= 0 && i < static_cast<int>(m_files.size())) {
        TFileEntry& f = m_files[i];
        int64_t pos = contentOffset + done - f.startOffset;
        int64_t run = std::min(length - done, f.length - pos);
        if (run <= 0) {
            ++i;
            continue;
        }
        if (!EnsureFile(f, pos + run, false)) break;
        int64_t got = 0;
        while (got < run) {
            ssize_t r =
                ::pread(f.fd, buffer + done + got, static_cast<size_t>(run - got), pos + got);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;
            got += r;
        }
        done += got;
        if (got < run) break;
        ++i;
    }
    return done;
}

bool TTargetFiles::RenameCompleted(TFileEntry& file) {
    if (!file.temporary || file.finalPath.empty() || !Exists(file.path)) return false;
    CloseFile(file);
    if (::rename(file.path.c_str(), file.finalPath.c_str()) != 0) {
        EngineLog::Printf(kLogChannel, "rename %s failed: errno %d", file.path.c_str(), errno);
        return false;
    }
    file.temporary = false;
    file.path = file.finalPath;
    file.finalPath.clear();
    return true;
}

}  // namespace lf
