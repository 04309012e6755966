#include "engine/store/TPieces.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "engine/base/TimeThread.h"
#include "engine/log/LogApi.h"
#include "engine/store/BufferPool.h"

namespace lf {

namespace {

constexpr int kLogChannel = 4;
// Cache age in seconds (a fixed engine setting) and the flush age derived from it.
constexpr uint32_t kCacheAge = 3600;
constexpr uint32_t kFlushAge = std::max<uint32_t>(kCacheAge / 6, 15);
constexpr int64_t kEvictFloor = 256 * 1024;

}  // namespace

TPieces::TPieces() {
    m_lastActivity = Now();
}

TPieces::~TPieces() {
    for (auto& p : m_pieces) {
        for (char* c : p.chunks) ReleaseChunk(c);
        p.chunks.clear();
        ReleaseSha1(std::move(p.ctx));
    }
    m_files.CloseAll();
}

uint32_t TPieces::Now() const {
    return CachedSeconds();
}

void TPieces::Send(int32_t type, int32_t flag, int32_t kind, int64_t value, const char* data,
                   int64_t length) {
    if (!m_sink) return;
    TPieceEvent e;
    e.type = type;
    e.flag = flag;
    e.kind = kind;
    e.value = value;
    e.data = data;
    e.length = length;
    m_sink(e);
}

int64_t TPieces::HeldBytes() const {
    int64_t held = m_verifiedBytes;
    for (const Piece& p : m_pieces) {
        if ((m_haveMap[static_cast<size_t>(p.index) >> 3] & (0x80 >> (p.index & 7))) != 0) continue;
        held += std::min<int64_t>(p.size, static_cast<int64_t>(p.part) + p.buffered);
    }
    return std::min(held, m_totalLength);
}

void TPieces::SetDownloadFolder(std::string folder) {
    // An empty folder is the working folder: file paths stay relative.
    if (!folder.empty() && folder.back() != '/') folder += '/';
    m_folder = std::move(folder);
}

void TPieces::SetCacheLimitUnits(int32_t units) {
    m_cacheUnits = std::clamp(units, 1, 8000);
}

void TPieces::SetStopFlag(const std::atomic<bool>* stop) {
    m_stop = stop;
    m_files.SetStopFlag(stop);
}

int32_t TPieces::PieceSize(int32_t piece) const {
    if (piece < 0 || piece >= m_pieceCount) return 0;
    return m_pieces[piece].size;
}

bool TPieces::Have(int32_t piece) const {
    if (piece < 0 || piece >= m_pieceCount) return false;
    return (m_haveMap[piece >> 3] >> (7 - (piece & 7))) & 1;
}

int32_t TPieces::PartOf(int32_t piece) const {
    if (piece < 0 || piece >= m_pieceCount) return 0;
    return m_pieces[piece].part;
}

bool TPieces::HasBlock(int32_t piece, int32_t offset) const {
    if (piece < 0 || piece >= m_pieceCount || offset < 0) return false;
    const Piece& p = m_pieces[piece];
    if (offset >= p.size) return false;
    if (Have(piece) || p.complete || offset < p.part) return true;
    size_t b = static_cast<size_t>(offset / kBlockBytes);
    return b < p.got.size() && p.got[b];
}

bool TPieces::IsSkipped(int32_t piece) const {
    if (piece < 0 || piece >= m_pieceCount) return false;
    return m_pieces[piece].skipped;
}

bool TPieces::BuildPieceTable(const TContentLayout& layout, TPieces* previous) {
    m_ready = false;
    int64_t total = layout.TotalLength();
    int64_t count = layout.pieceCount;
    int64_t plen = layout.pieceLength;
    if (total <= 0 || count <= 0 || plen <= 0 || layout.files.empty()) return false;
    if (count > INT32_MAX || count * plen < total || count * plen >= total + plen) return false;
    if (!layout.pieceHashes.empty() &&
        layout.pieceHashes.size() != static_cast<size_t>(count) * kSha1DigestBytes)
        return false;
    if (!m_files.Setup(m_folder, layout)) return false;
    m_files.SetEventFn([this](int type, const std::string& text) {
        Send(type, 0, 0, 0, text.empty() ? nullptr : text.c_str(),
             static_cast<int64_t>(text.size()));
    });

    m_name = layout.name;
    m_infoHash = layout.infoHash;
    m_hashes = layout.pieceHashes;
    m_pieceCount = count;
    m_pieceLength = static_cast<int32_t>(plen);
    m_totalLength = total;
    m_pieces.clear();
    m_pieces.resize(static_cast<size_t>(count));
    int64_t sum = 0;
    for (int64_t i = 0; i < count; ++i) {
        Piece& p = m_pieces[i];
        p.index = static_cast<int32_t>(i);
        p.size = static_cast<int32_t>(std::min<int64_t>(plen, total - i * plen));
        if (p.size <= 0) return false;
        p.chunkSize = std::min(p.size, kMaxChunkBytes);
        p.hash = m_hashes.empty() ? nullptr : m_hashes.data() + i * kSha1DigestBytes;
        sum += p.size;
    }
    m_haveMap.assign(static_cast<size_t>((count + 7) / 8), 0);
    m_haveCount = 0;
    m_verifiedBytes = 0;
    m_examinedBytes = 0;
    m_lastCompleted = -1;
    m_partialList.clear();
    m_cachedBytes = 0;
    m_pendingBytes = 0;
    m_infoLoaded = true;
    Send(kPieceEventTableBuilt, 0, 4, count);
    if (sum != total) return false;

    LoadSelectionData();
    if (!Recover(previous)) return false;
    m_ready = true;
    m_lastActivity = Now();
    return true;
}

// ---------------------------------------------------------------- recovery

bool TPieces::Recover(TPieces* previous) {
    Send(kPieceEventStartCheck, 1);
    if (previous != nullptr && previous->m_ready &&
        previous->m_files.Files().size() == m_files.Files().size() &&
        previous->m_totalLength == m_totalLength && m_pieceLength % kBlockBytes == 0 &&
        previous->m_pieceLength == m_pieceLength && previous->m_hashes == m_hashes) {
        // Same geometry: the previous map's verified pieces carry over.
        for (int32_t i = 0; i < m_pieceCount; ++i)
            if (previous->Have(i)) SetHave(i, true);
        m_examinedBytes = m_totalLength;
        return true;
    }
    if (m_trustExisting) return QuickCheck();
    if (LoadResumeData()) return !StopRequested();
    if (!m_hashes.empty()) return FullCheck();
    m_examinedBytes = m_totalLength;
    return true;
}

bool TPieces::VerifyOnDisk(int32_t piece, std::string& scratch) {
    const Piece& p = m_pieces[piece];
    scratch.resize(static_cast<size_t>(p.size));
    int64_t got;
    {
        QGuard g(StoreDiskLock());
        got = m_files.Read(ContentOffset(p), scratch.data(), p.size);
    }
    if (got != p.size) return false;
    if (p.hash == nullptr) return true;
    return TSha1Context::Of(scratch.data(), scratch.size()) ==
           std::string_view(p.hash, kSha1DigestBytes);
}

bool TPieces::QuickCheck() {
    int n = 0;
    for (const auto& f : m_files.Files()) {
        if (++n % 100 == 0 && StopRequested()) return false;
        if (f.folder) continue;
        struct stat st;
        if (::stat(f.path.c_str(), &st) != 0 || st.st_size != f.length) return false;
    }
    std::string scratch;
    int32_t probes[3] = {0, static_cast<int32_t>(m_pieceCount - 1),
                         static_cast<int32_t>(m_pieceCount / 2)};
    for (int32_t i : probes)
        if (!VerifyOnDisk(i, scratch)) return false;
    for (int32_t i = 0; i < m_pieceCount; ++i) m_haveMap[i >> 3] |= 0x80 >> (i & 7);
    m_haveCount = static_cast<int32_t>(m_pieceCount);
    m_verifiedBytes = m_totalLength;
    m_examinedBytes = m_totalLength;
    m_lastCompleted = static_cast<int32_t>(m_pieceCount - 1);
    Send(kPieceEventAllPresent, 1);
    return true;
}

bool TPieces::FullCheck() {
    m_files.SetSequentialHint(true);
    std::string scratch;
    for (int32_t i = 0; i < m_pieceCount; ++i) {
        if (i % 10 == 0 && StopRequested()) {
            m_files.SetSequentialHint(false);
            m_files.CloseAll();
            return false;
        }
        if (!Have(i) && VerifyOnDisk(i, scratch)) SetHave(i, true);
        m_examinedBytes += m_pieces[i].size;
    }
    m_files.SetSequentialHint(false);
    // Read-only handles of the check are not reused for writing.
    m_files.CloseAll();
    return !StopRequested();
}

// ---------------------------------------------------------------- buffers

bool TPieces::PrepareBuffer(Piece& p) {
    if (!p.got.empty()) return true;
    int32_t nchunks = (p.size + p.chunkSize - 1) / p.chunkSize;
    int32_t nblocks = (p.size + kBlockBytes - 1) / kBlockBytes;
    p.chunks.assign(static_cast<size_t>(nchunks), nullptr);
    p.got.assign(static_cast<size_t>(nblocks), 0);
    for (int32_t b = 0; b < nblocks && b * kBlockBytes < p.part; ++b) p.got[b] = 1;
    p.buffered = 0;
    return true;
}

void TPieces::ReleaseBuffer(Piece& p) {
    m_cachedBytes -= p.buffered;
    p.buffered = 0;
    for (char* c : p.chunks) ReleaseChunk(c);
    p.chunks.clear();
    p.got.clear();
}

void TPieces::ResetPiece(Piece& p) {
    if (p.complete) m_pendingBytes -= p.size - p.part;
    ReleaseBuffer(p);
    p.complete = false;
    p.verified = false;
    p.part = 0;
    ReleaseSha1(std::move(p.ctx));
    p.lastSource = nullptr;
    p.sourceBytes = 0;
    auto it = std::find(m_partialList.begin(), m_partialList.end(), p.index);
    if (it != m_partialList.end()) m_partialList.erase(it);
}

void TPieces::DropBuffer(int32_t piece) {
    if (piece < 0 || piece >= m_pieceCount) return;
    Piece& p = m_pieces[piece];
    if (p.complete) return;
    ReleaseBuffer(p);
}

int32_t TPieces::ContiguousBytes(const Piece& p) const {
    if (p.got.empty()) return 0;
    int32_t bytes = 0;
    for (size_t b = static_cast<size_t>(p.part / kBlockBytes); b < p.got.size() && p.got[b]; ++b) {
        int32_t start = static_cast<int32_t>(b) * kBlockBytes;
        if (start < p.part) continue;
        bytes += std::min(kBlockBytes, p.size - start);
    }
    return bytes;
}

bool TPieces::VerifyBuffered(Piece& p) {
    if (p.hash == nullptr) return true;
    TSha1Context ctx;
    if (p.ctx) ctx = *p.ctx;
    for (int32_t o = p.part; o < p.size;) {
        int32_t c = o / p.chunkSize;
        int32_t within = o % p.chunkSize;
        int32_t n = std::min(p.chunkSize - within, p.size - o);
        if (p.chunks[c] == nullptr) return false;
        ctx.Update(p.chunks[c] + within, static_cast<size_t>(n));
        o += n;
    }
    return ctx.Digest() == std::string_view(p.hash, kSha1DigestBytes);
}

void TPieces::OnPieceFilled(Piece& p) {
    bool wholeFromSource = p.lastSource != nullptr && p.sourceBytes >= p.size - p.part;
    IPieceSource* source = p.lastSource;
    if (VerifyBuffered(p)) {
        p.complete = true;
        p.verified = true;
        p.lastFlush = Now() - std::min(Now(), kCacheAge / 2 + 5);
        m_pendingBytes += p.size - p.part;
        if (wholeFromSource) source->ChargePiece(false);
        return;
    }
    EngineLog::Printf(kLogChannel, "piece %d failed its hash check", p.index);
    if (source != nullptr && source->SourceKind() == 1 && m_report) {
        uint32_t ip = 0;
        uint16_t port = 0;
        if (source->PeerAddress(&ip, &port)) {
            char text[64];
            std::snprintf(text, sizeof text, "%d.%d.%d.%d : %d", (ip >> 24) & 0xff,
                          (ip >> 16) & 0xff, (ip >> 8) & 0xff, ip & 0xff, port);
            m_report("11500102", text);
        }
    }
    if (wholeFromSource) source->ChargePiece(true);
    ResetPiece(p);
}

int32_t TPieces::StoreBlock(int32_t piece, int32_t offset, const char* data, int32_t length,
                            IPieceSource* source, bool* completed) {
    if (completed != nullptr) *completed = false;
    if (piece < 0 || piece >= m_pieceCount || offset < 0 || length < 0 || data == nullptr)
        return -1;
    Piece& p = m_pieces[piece];
    if (offset >= p.size || offset % kBlockBytes != 0) return -1;
    if (p.complete || Have(piece)) {
        if (completed != nullptr) *completed = p.complete || Have(piece);
        return 0;
    }
    if (offset < p.part) {
        int32_t skip = p.part - offset;
        if (length <= skip) return 0;
        data += skip;
        length -= skip;
        offset = p.part;
    }
    length = std::min(length, p.size - offset);
    PrepareBuffer(p);
    p.lastFlush = Now();
    m_lastActivity = p.lastFlush;
    if (source != p.lastSource) {
        p.lastSource = source;
        p.sourceBytes = 0;
    }
    int32_t taken = 0;
    while (taken < length) {
        int32_t o = offset + taken;
        int32_t b = o / kBlockBytes;
        int32_t blen = std::min(kBlockBytes, p.size - o);
        int32_t avail = std::min(blen, length - taken);
        if (avail < blen) break;  // a partial block is not kept
        if (p.got[b]) {           // a second copy (end game): the first one stays
            taken += blen;
            continue;
        }
        int32_t c = o / p.chunkSize;
        if (p.chunks[c] == nullptr) {
            p.chunks[c] = AcquireChunk();
            if (p.chunks[c] == nullptr) break;
        }
        char* destination = p.chunks[c] + (o % p.chunkSize);
        // Received in place (ReceiveSpan): nothing to copy.
        if (destination != data + taken)
            std::memcpy(destination, data + taken, static_cast<size_t>(blen));
        p.got[b] = 1;
        p.buffered += blen;
        m_cachedBytes += blen;
        p.sourceBytes += blen;
        taken += blen;
    }
    // Received bytes go to disk while they are still in the processor's
    // cache, and memory holds at most the chunk still filling: a verified
    // piece is written at once, and each whole chunk that continues the bytes
    // on disk is hashed and written as it fills. What cannot be written now
    // stays in memory for a later pass.
    if (p.part + p.buffered >= p.size) {
        OnPieceFilled(p);
        if (p.complete) WritePiece(piece);
        if (completed != nullptr) *completed = p.complete || Have(piece);
    } else if (taken > 0) {
        FlushPiece(piece, p.chunkSize);
    }
    KeepWithinLimit();
    return taken;
}

int32_t TPieces::ReceiveSpan(int32_t piece, int32_t offset, int32_t most, char** destination) {
    if (piece < 0 || piece >= m_pieceCount || destination == nullptr || most <= 0) return 0;
    Piece& p = m_pieces[piece];
    if (offset < p.part || offset >= p.size || offset % kBlockBytes != 0) return 0;
    if (p.complete || Have(piece)) return 0;
    PrepareBuffer(p);
    const int32_t c = offset / p.chunkSize;
    if (p.chunks[c] == nullptr) {
        p.chunks[c] = AcquireChunk();
        if (p.chunks[c] == nullptr) return 0;
    }
    const int32_t end = std::min({p.size, (c + 1) * p.chunkSize, offset + most});
    int32_t o = offset;
    while (o < end && !p.got[static_cast<size_t>(o / kBlockBytes)])
        o = std::min(o + kBlockBytes, p.size);
    o = std::min(o, end);
    *destination = p.chunks[c] + (offset % p.chunkSize);
    return o - offset;
}

// ---------------------------------------------------------------- writing

// The chunks holding [from, to) of a piece, appended to parts; false when a
// chunk is missing.
bool TPieces::AppendParts(Piece& p, int32_t from, int32_t to, std::vector<iovec>* parts) {
    for (int32_t o = from; o < to;) {
        int32_t c = o / p.chunkSize;
        int32_t within = o % p.chunkSize;
        int32_t n = std::min(p.chunkSize - within, to - o);
        if (p.chunks[c] == nullptr) return false;
        parts->push_back({p.chunks[c] + within, static_cast<size_t>(n)});
        o += n;
    }
    return true;
}

int64_t TPieces::WriteBytes(Piece& p, int32_t from, int32_t to) {
    std::vector<iovec> parts;
    if (!AppendParts(p, from, to, &parts)) return 0;
    int64_t w =
        m_files.WriteParts(ContentOffset(p) + from, parts.data(), static_cast<int>(parts.size()));
    if (w > 0) ++m_diskVersion;
    return w;
}

bool TPieces::WritePiece(int32_t piece) {
    if (piece < 0 || piece >= m_pieceCount) return false;
    Piece& p = m_pieces[piece];
    if (!p.complete) return false;
    int64_t want = p.size - p.part;
    if (WriteBytes(p, p.part, p.size) != want) {
        // The verified data stays in memory and is written again later.
        EngineLog::Printf(kLogChannel, "piece %d could not be written", p.index);
        return false;
    }
    PieceWritten(p);
    return true;
}

void TPieces::PieceWritten(Piece& p) {
    m_pendingBytes -= p.size - p.part;
    p.complete = false;
    p.verified = false;
    ReleaseBuffer(p);
    p.part = 0;
    ReleaseSha1(std::move(p.ctx));
    p.lastSource = nullptr;
    p.sourceBytes = 0;
    auto it = std::find(m_partialList.begin(), m_partialList.end(), p.index);
    if (it != m_partialList.end()) m_partialList.erase(it);
    SetHave(p.index, true);
}

bool TPieces::FlushPiece(int32_t piece, int32_t threshold) {
    if (piece < 0 || piece >= m_pieceCount) return false;
    Piece& p = m_pieces[piece];
    if (p.complete || Have(piece) || p.got.empty()) return false;
    int32_t bytes = ContiguousBytes(p);
    if (p.part + bytes >= p.size) return false;  // completion is verified when stored
    bytes -= bytes % p.chunkSize;
    if (bytes <= 0 || bytes < threshold) return false;
    int32_t from = p.part;
    int32_t to = from + bytes;
    if (WriteBytes(p, from, to) != bytes) return false;  // nothing is forgotten
    if (!p.ctx) p.ctx = AcquireSha1();
    for (int32_t o = from; o < to; o += p.chunkSize) {
        int32_t c = o / p.chunkSize;
        p.ctx->Update(p.chunks[c], static_cast<size_t>(p.chunkSize));
        ReleaseChunk(p.chunks[c]);
        p.chunks[c] = nullptr;
    }
    p.buffered -= bytes;
    m_cachedBytes -= bytes;
    p.part = to;
    if (std::find(m_partialList.begin(), m_partialList.end(), p.index) == m_partialList.end())
        m_partialList.push_back(p.index);
    if (p.buffered == 0) {
        // Keep only the Part state; the buffer is rebuilt on the next block.
        for (char* c : p.chunks) ReleaseChunk(c);
        p.chunks.clear();
        p.got.clear();
    }
    return true;
}

bool TPieces::SetHave(int32_t piece, bool present) {
    if (piece < 0 || piece >= m_pieceCount) return false;
    uint8_t mask = static_cast<uint8_t>(0x80 >> (piece & 7));
    bool had = (m_haveMap[piece >> 3] & mask) != 0;
    if (had == present) return true;
    if (present) {
        m_haveMap[piece >> 3] |= mask;
        ++m_haveCount;
        m_verifiedBytes += m_pieces[piece].size;
        m_lastCompleted = piece;
    } else {
        m_haveMap[piece >> 3] &= static_cast<uint8_t>(~mask);
        --m_haveCount;
        m_verifiedBytes = std::max<int64_t>(0, m_verifiedBytes - m_pieces[piece].size);
    }
    Send(kPieceEventHaveChanged, present ? 1 : 0, 4, piece);
    return true;
}

void TPieces::WritePending(bool all) {
    (void)all;
    // Verified pieces that follow each other on disk go out together: one
    // vectored write (and one hold of the disk lock) per run.
    std::vector<iovec> parts;
    for (int32_t i = 0; i < m_pieceCount;) {
        Piece& first = m_pieces[i];
        if (!first.complete) {
            ++i;
            continue;
        }
        parts.clear();
        int32_t end = i;
        int64_t bytes = 0;
        while (end < m_pieceCount && m_pieces[end].complete && bytes < kWriteRunBytes &&
               (end == i || m_pieces[end].part == 0) &&
               AppendParts(m_pieces[end], m_pieces[end].part, m_pieces[end].size, &parts)) {
            bytes += m_pieces[end].size - m_pieces[end].part;
            ++end;
        }
        if (end == i) {  // a chunk is missing: the single write reports it
            WritePiece(i);
            ++i;
            continue;
        }
        int64_t w = m_files.WriteParts(ContentOffset(first) + first.part, parts.data(),
                                       static_cast<int>(parts.size()));
        if (w > 0) ++m_diskVersion;
        if (w == bytes) {
            for (int32_t k = i; k < end; ++k) PieceWritten(m_pieces[k]);
        } else {
            // Short: piece by piece, so each one's failure is its own.
            for (int32_t k = i; k < end; ++k) WritePiece(k);
        }
        i = end;
    }
}

void TPieces::Evict(bool force) {
    int64_t limit = CacheLimitBytes();
    if (!force && m_cachedBytes <= kEvictFloor) return;
    m_lastEviction = Now();
    WritePending(true);
    int64_t goal = limit - std::max(limit / 10, kEvictFloor);
    if (goal < 0) goal = 0;
    // Oldest buffers first: their whole chunks go to disk, and only what
    // cannot be written (holes before it) is dropped.
    while (m_cachedBytes > goal) {
        Piece* oldest = nullptr;
        for (auto& p : m_pieces)
            if (p.buffered > 0 && !p.complete &&
                (oldest == nullptr || p.lastFlush < oldest->lastFlush))
                oldest = &p;
        if (oldest == nullptr) break;
        if (FlushPiece(oldest->index, 1) && oldest->buffered == 0) continue;
        if (oldest->buffered > 0) ReleaseBuffer(*oldest);
    }
}

void TPieces::KeepWithinLimit() {
    int64_t limit = CacheLimitBytes();
    int64_t threshold = m_cachedBytes < limit / 2 ? limit / 2 : limit / 5;
    // Verified data does not wait for more than a write's worth: memory
    // stays with the data still arriving.
    threshold = std::min(threshold, std::max<int64_t>(kWriteBatchBytes, m_pieceLength));
    if (m_pendingBytes >= threshold) WritePending(true);
    if (m_cachedBytes >= limit) Evict(true);
}

int32_t TPieces::ForgetChangedFiles() {
    int32_t lost = 0;
    for (auto& f : m_files.Files()) {
        if (!m_files.ChangedUnderneath(f)) continue;
        for (int32_t i = f.firstPiece; i < f.firstPiece + f.pieceSpan && i < m_pieceCount; ++i) {
            Piece& p = m_pieces[i];
            if (Have(i)) {
                SetHave(i, false);
                ++lost;
            }
            if (p.part > 0 && !p.complete) ResetPiece(p);
        }
    }
    if (lost > 0) {
        EngineLog::Printf(kLogChannel, "%d pieces are no longer on disk and are fetched again",
                          lost);
    }
    return lost;
}

void TPieces::Maintain() {
    if (!m_infoLoaded) return;
    uint32_t now = Now();
    if (now - m_lastIdentityCheck >= 5) {
        m_lastIdentityCheck = now;
        ForgetChangedFiles();
    }
    for (auto& p : m_pieces) {
        if (p.got.empty() || p.complete) continue;
        if (p.skipped || Have(p.index)) {
            ReleaseBuffer(p);
        } else if (p.buffered >= kMaxChunkBytes && now - p.lastFlush > kFlushAge) {
            FlushPiece(p.index, kMaxChunkBytes);
        }
    }
    // A verified piece is written at the next pass at the latest.
    WritePending(true);
    if (m_cachedBytes >= CacheLimitBytes() || now - m_lastEviction >= kCacheAge * 6) {
        if (m_cachedBytes > kEvictFloor) Evict(false);
    }
    int32_t units = (m_pieceLength + kCacheUnitBytes - 1) / kCacheUnitBytes;
    if (units < 1) units = 1;
    if (m_files.OpenCount() >= 128 / units + 1) m_files.CloseAll();
}

bool TPieces::CloseFiles(bool saveResume, bool finishing) {
    if (!m_infoLoaded) return false;
    m_files.SetShutdownFlush(true);
    WritePending(true);
    for (auto& p : m_pieces)
        if (!p.got.empty() && !p.complete) FlushPiece(p.index, 1);
    m_files.SetShutdownFlush(false);
    bool ok = true;
    // Only data that is still where this map verified it counts.
    if (finishing) ForgetChangedFiles();
    if (saveResume && m_ready && !IsComplete()) SaveCacheFile();
    if (finishing) {
        for (auto& f : m_files.Files()) {
            if (!f.temporary || f.Skipped()) continue;
            bool own = IsComplete();
            if (!own) {
                own = f.pieceSpan > 0;
                for (int32_t i = 0; own && i < f.pieceSpan; ++i) own = Have(f.firstPiece + i);
            }
            if (own && !m_files.RenameCompleted(f)) ok = false;
        }
        if (IsComplete() && !m_cachePath.empty()) ::unlink(m_cachePath.c_str());
    }
    if (saveResume && m_ready) MakeResumeData();
    m_files.CloseAll();
    return ok;
}

int64_t TPieces::ReadRange(int32_t piece, char* buffer, int32_t length, int32_t offset) {
    if (piece < 0 || piece >= m_pieceCount || buffer == nullptr || offset < 0 || length < 0)
        return -1;
    Piece& p = m_pieces[piece];
    if (static_cast<int64_t>(offset) + length > p.size) return -1;
    if (length == 0) return 0;
    // From memory when every block of the range is buffered.
    if (!p.got.empty() && offset >= p.part) {
        bool all = true;
        for (int32_t b = offset / kBlockBytes; all && b * kBlockBytes < offset + length; ++b)
            all = p.got[b] && p.chunks[(b * kBlockBytes) / p.chunkSize] != nullptr;
        if (all) {
            for (int32_t o = offset; o < offset + length;) {
                int32_t c = o / p.chunkSize;
                int32_t within = o % p.chunkSize;
                int32_t n = std::min(p.chunkSize - within, offset + length - o);
                std::memcpy(buffer + (o - offset), p.chunks[c] + within, static_cast<size_t>(n));
                o += n;
            }
            p.lastFlush = Now();
            return length;
        }
    }
    if (!Have(piece) && offset + length > p.part) return -1;
    return m_files.Read(ContentOffset(p) + offset, buffer, length);
}

}  // namespace lf
