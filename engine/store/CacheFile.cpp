// The cache file: received data of pieces without their bit that was still
// in memory when the task stopped. A sequence of records, integers 32-bit
// little-endian:
//   header      blob length L, checksum, piece index, 0
//   blob header buffered bytes, Part, block count n, 0
//   n blocks    offset in the piece, 16384, 16384 data bytes, 8 zero bytes
// L = 16 + 16400 n. The checksum is Adler-32 over the blob, started at the
// Adler-32 of the 20-byte info hash, itself started at the piece index.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "engine/log/LogApi.h"
#include "engine/store/StoreChecksum.h"
#include "engine/store/TPieces.h"

namespace lf {

namespace {

constexpr int kLogChannel = 4;
constexpr int32_t kRecordBlockBytes = 16400;
constexpr int32_t kMaxBlocksPerRecord = 512;
constexpr size_t kStagingFlush = (1u << 20) - 1;

void Put32(std::string& out, uint32_t v) {
    char b[4] = {static_cast<char>(v & 0xff), static_cast<char>((v >> 8) & 0xff),
                 static_cast<char>((v >> 16) & 0xff), static_cast<char>((v >> 24) & 0xff)};
    out.append(b, 4);
}

uint32_t Get32(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return static_cast<uint32_t>(u[0]) | (static_cast<uint32_t>(u[1]) << 8) |
           (static_cast<uint32_t>(u[2]) << 16) | (static_cast<uint32_t>(u[3]) << 24);
}

bool WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t w = ::write(fd, data.data() + done, data.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        done += static_cast<size_t>(w);
    }
    return true;
}

uint32_t RecordSeed(const std::string& infoHash, int32_t index) {
    char hash[20] = {};
    std::memcpy(hash, infoHash.data(), std::min<size_t>(infoHash.size(), sizeof hash));
    return AdlerFrom(static_cast<uint32_t>(index), hash, sizeof hash);
}

}  // namespace

bool TPieces::SaveCacheFile() {
    if (m_cachePath.empty() || !m_savedStateAllowed || !m_infoLoaded) return false;
    // Written beside the final name and moved over it, so a crash never
    // leaves a torn cache file behind.
    std::string temp = m_cachePath + ".new";
    QGuard g(StoreDiskLock());
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    std::string staging;
    staging.reserve(kStagingFlush + (1u << 17));
    bool ok = true;
    int records = 0;
    for (const auto& p : m_pieces) {
        // Verified pieces that could not be written yet (a full disk) are kept
        // as well; they are checked again when they come back.
        if (p.buffered <= 0 || p.skipped || Have(p.index) || p.got.empty()) continue;
        std::string blob;
        int32_t n = 0;
        std::string blocks;
        for (size_t b = 0; b < p.got.size() && n < kMaxBlocksPerRecord; ++b) {
            int32_t off = static_cast<int32_t>(b) * kBlockBytes;
            if (!p.got[b] || off < p.part || p.size - off < kBlockBytes) continue;
            const char* src = p.chunks[off / p.chunkSize];
            if (src == nullptr) continue;
            Put32(blocks, static_cast<uint32_t>(off));
            Put32(blocks, kBlockBytes);
            blocks.append(src + off % p.chunkSize, kBlockBytes);
            blocks.append(8, '\0');
            ++n;
        }
        if (n == 0) continue;
        Put32(blob, static_cast<uint32_t>(p.buffered));
        Put32(blob, static_cast<uint32_t>(p.part));
        Put32(blob, static_cast<uint32_t>(n));
        Put32(blob, 0);
        blob += blocks;
        uint32_t sum = AdlerFrom(RecordSeed(m_infoHash, p.index), blob.data(), blob.size());
        std::string record;
        Put32(record, static_cast<uint32_t>(blob.size()));
        Put32(record, sum);
        Put32(record, static_cast<uint32_t>(p.index));
        Put32(record, 0);
        record += blob;
        if (record.size() >= (1u << 20)) {
            ok = ok && WriteAll(fd, staging) && WriteAll(fd, record);
            staging.clear();
        } else {
            staging += record;
            if (staging.size() > kStagingFlush) {
                ok = ok && WriteAll(fd, staging);
                staging.clear();
            }
        }
        ++records;
    }
    ok = ok && WriteAll(fd, staging);
    ok = ::close(fd) == 0 && ok;
    if (!ok || records == 0) {
        ::unlink(temp.c_str());
        if (records == 0) ::unlink(m_cachePath.c_str());
        return ok && records > 0;
    }
    if (::rename(temp.c_str(), m_cachePath.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    EngineLog::Printf(kLogChannel, "cache file saved: %d pieces", records);
    return true;
}

bool TPieces::LoadCacheFile() {
    if (m_cachePath.empty() || !m_savedStateAllowed || !m_infoLoaded) return false;
    std::string data;
    {
        QGuard g(StoreDiskLock());
        int fd = ::open(m_cachePath.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        struct stat st;
        // Never more than the cache could have held, plus one record.
        int64_t cap = CacheLimitBytes() * 2 + m_pieceLength + (1 << 20);
        if (::fstat(fd, &st) == 0 && st.st_size > 0 && st.st_size <= cap) {
            data.resize(static_cast<size_t>(st.st_size));
            size_t got = 0;
            while (got < data.size()) {
                ssize_t r = ::read(fd, data.data() + got, data.size() - got);
                if (r < 0 && errno == EINTR) continue;
                if (r <= 0) break;
                got += static_cast<size_t>(r);
            }
            data.resize(got);
        }
        ::close(fd);
        // Its data now lives in memory; it is saved again at the next stop.
        ::unlink(m_cachePath.c_str());
    }
    int applied = 0;
    size_t pos = 0;
    while (data.size() - pos >= 16) {
        const char* h = data.data() + pos;
        uint32_t len = Get32(h);
        uint32_t sum = Get32(h + 4);
        uint32_t index = Get32(h + 8);
        if (len < 1 || len >= static_cast<uint64_t>(m_pieceLength) + (1u << 20)) break;
        if (index >= static_cast<uint64_t>(m_pieceCount)) break;
        if (data.size() - pos - 16 < len) break;
        const char* blob = h + 16;
        if (AdlerFrom(RecordSeed(m_infoHash, static_cast<int32_t>(index)), blob, len) != sum) break;
        pos += 16 + len;
        Piece& p = m_pieces[index];
        if (Have(p.index) || p.skipped || p.complete) continue;
        if (len < 16) break;
        int32_t buffered = static_cast<int32_t>(Get32(blob));
        int32_t part = static_cast<int32_t>(Get32(blob + 4));
        int32_t n = static_cast<int32_t>(Get32(blob + 8));
        if (buffered <= 0 || part < 0 || n <= 0 ||
            static_cast<int64_t>(len) - 16 < static_cast<int64_t>(kRecordBlockBytes) * n)
            break;
        if (part != p.part) {
            ResetPiece(p);
            break;
        }
        bool bad = false;
        for (int32_t k = 0; k < n; ++k) {
            const char* b = blob + 16 + static_cast<size_t>(k) * kRecordBlockBytes;
            int32_t off = static_cast<int32_t>(Get32(b));
            uint32_t blen = Get32(b + 4);
            if (blen != static_cast<uint32_t>(kBlockBytes) || off < p.part ||
                off % kBlockBytes != 0 || off > p.size - kBlockBytes) {
                bad = true;
                break;
            }
        }
        if (bad) {
            ResetPiece(p);
            break;
        }
        // Stored like received data: once the piece is whole it is verified
        // against its hash before it counts.
        for (int32_t k = 0; k < n && !p.complete; ++k) {
            const char* b = blob + 16 + static_cast<size_t>(k) * kRecordBlockBytes;
            StoreBlock(p.index, static_cast<int32_t>(Get32(b)), b + 8, kBlockBytes, nullptr);
        }
        if (p.buffered > 0 && !p.complete) p.lastFlush = 0;
        ++applied;
    }
    if (applied > 0) EngineLog::Printf(kLogChannel, "cache file: %d records restored", applied);
    return applied > 0;
}

}  // namespace lf
