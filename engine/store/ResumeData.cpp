// Resume data ("bits") and selection data ("part") of the piece map.
//
// The resume dictionary, in this order (bencode element model, so a key
// whose value is an integer carries it, and a zero integer leaves the key
// bare):
//   infohash <20 bytes>
//   per file: <full path as on disk> Low High Size Priority
//             (Low/High: the 32-bit halves of the FILETIME of the last write;
//              Size -1 and time 0 when the file cannot be opened)
//   PieceStatus [ {Index, Part, Status <104-byte SHA-1 context>, CRC32} ... ]
//   BitField <have map bytes>
// CRC32 is Adler-32 over the 104 bytes, started at the piece index.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "engine/log/LogApi.h"
#include "engine/metainfo/Bencode.h"
#include "engine/store/BufferPool.h"
#include "engine/store/ResumeRecord.h"
#include "engine/store/StoreChecksum.h"
#include "engine/store/TPieces.h"

namespace lf {

namespace {

constexpr int kLogChannel = 4;

// The state of a file now: size and write time, or -1 and 0 when it cannot
// be opened.
bool FileNow(const std::string& path, int64_t* size, uint64_t* time) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *size = -1;
        *time = 0;
        return true;
    }
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0;
    ::close(fd);
    if (!ok) return false;
    *size = st.st_size;
    return FileWriteTime(path, time);
}

}  // namespace

std::string TPieces::MakeResumeData() {
    if (!m_ready) return {};
    if (m_syncBeforeResume) m_files.SyncAll();
    std::unique_ptr<QElement> d = NewDictionary();
    if (!d) return {};
    if (m_infoHash.size() == kSha1DigestBytes) {
        d->AppendString("infohash");
        d->AppendString(m_infoHash);
    }
    for (const auto& f : m_files.Files()) {
        if (f.path.empty()) return {};
        int64_t size;
        uint64_t time;
        if (!FileNow(f.path, &size, &time)) return {};
        if (f.folder && size > 0) size = 0;  // a folder's own size means nothing
        d->AppendString(f.path);
        d->AppendString("Low", static_cast<int64_t>(time & 0xffffffffu));
        d->AppendString("High", static_cast<int64_t>(time >> 32));
        d->AppendString("Size", size);
        d->AppendString("Priority", f.state);
    }
    std::unique_ptr<QElement> list = NewList();
    for (const auto& p : m_pieces) {
        if (p.part <= 0 || !p.ctx || Have(p.index)) continue;
        std::unique_ptr<QElement> e = NewDictionary();
        std::string ctx = p.ctx->Export();
        e->AppendString("Index", p.index);
        e->AppendString("Part", p.part);
        e->AppendString("Status");
        e->AppendString(ctx);
        e->AppendString("CRC32", AdlerFrom(static_cast<uint32_t>(p.index), ctx.data(), ctx.size()));
        list->Append(e.release());
    }
    d->AppendString("PieceStatus");
    d->Append(list.release());
    d->AppendString("BitField");
    d->AppendString(
        std::string_view(reinterpret_cast<const char*>(m_haveMap.data()), m_haveMap.size()));
    std::string out;
    if (!Serialize(d.get(), out)) return {};
    Send(kPieceEventResumeData, 0, 0, 0, out.data(), static_cast<int64_t>(out.size()));
    return out;
}

std::string TPieces::MakeSelectionData() {
    if (!m_ready) return {};
    std::unique_ptr<QElement> list = NewList();
    for (const auto& f : m_files.Files()) {
        list->AppendString(f.relativePath, f.Skipped() ? 1 : 0);
        list->Append(NewDictionary().release());
    }
    std::string out;
    if (!Serialize(list.get(), out)) return {};
    Send(kPieceEventSelectionData, 0, 0, 0, out.data(), static_cast<int64_t>(out.size()));
    return out;
}

void TPieces::LoadSelectionData() {
    auto& files = m_files.Files();
    if (m_selectionData.size() > 2) {
        std::unique_ptr<QElement> root = ParseElement(m_selectionData);
        if (root && root->IsList()) {
            for (const QElement* e : static_cast<const QMultiElement*>(root.get())->Children()) {
                if (e == nullptr || !e->IsString()) continue;
                for (auto& f : files)
                    if (f.relativePath == e->Bytes())
                        f.state = e->Integer() == 1 ? kFileSkipped : 0;
            }
        }
    }
    // A piece is skipped when every file it touches is skipped.
    for (auto& p : m_pieces) p.skipped = true;
    std::vector<bool> touched(m_pieces.size(), false);
    for (const auto& f : files) {
        for (int32_t i = 0; i < f.pieceSpan; ++i) {
            size_t k = static_cast<size_t>(f.firstPiece + i);
            if (k >= m_pieces.size()) break;
            touched[k] = true;
            if (!f.Skipped()) m_pieces[k].skipped = false;
        }
    }
    for (size_t k = 0; k < m_pieces.size(); ++k)
        if (!touched[k]) m_pieces[k].skipped = false;
}

bool TPieces::RestoredContextMatchesDisk(Piece& p) {
    TSha1Context fresh;
    std::string buf(static_cast<size_t>(std::min(p.part, kMaxChunkBytes)), '\0');
    for (int32_t o = 0; o < p.part;) {
        int32_t n = std::min<int32_t>(static_cast<int32_t>(buf.size()), p.part - o);
        int64_t got;
        {
            QGuard g(StoreDiskLock());
            got = m_files.Read(ContentOffset(p) + o, buf.data(), n);
        }
        if (got != n) return false;
        fresh.Update(buf.data(), static_cast<size_t>(n));
        o += n;
    }
    return fresh.SameState(*p.ctx);
}

bool TPieces::LoadResumeData() {
    if (!m_resumeEnabled || !m_savedStateAllowed || m_files.Files().empty() ||
        m_resumeData.size() <= 2)
        return false;
    const std::optional<ResumeRecord> record = ParseResumeRecord(m_resumeData);
    if (!record) return false;

    if (record->infoHash && record->infoHash->size() == kSha1DigestBytes &&
        m_infoHash.size() == kSha1DigestBytes && *record->infoHash != m_infoHash) {
        EngineLog::Write(kLogChannel, "resume data belongs to another torrent");
        return false;
    }

    // Every file must be described and must look as it did when saved.
    auto& files = m_files.Files();
    std::vector<int32_t> priorities(files.size(), INT32_MIN);
    for (size_t fi = 0; fi < files.size(); ++fi) {
        const TFileEntry& f = files[fi];
        const ResumeRecord::FileState* saved = record->Find(f.path);
        if (saved == nullptr && f.temporary) saved = record->Find(f.finalPath);
        if (saved == nullptr && !f.temporary) saved = record->Find(f.path + kTempSuffix);
        if (saved == nullptr || !saved->described) return false;
        if (!m_hashes.empty() && saved->priority && !f.Skipped()) {
            const int64_t pr = *saved->priority;
            if (pr >= -2 && pr <= 2) priorities[fi] = static_cast<int32_t>(pr);
        }
        int64_t sizeNow;
        uint64_t timeNow;
        if (!FileNow(f.path, &sizeNow, &timeNow)) return false;
        if (f.folder && sizeNow > 0) sizeNow = 0;
        if (sizeNow >= 0) {
            if (saved->writeTime == 0 || saved->size != sizeNow) return false;
        } else {
            if (saved->writeTime != 0 || saved->size != -1) return false;
        }
    }

    if (!record->bitField || record->bitField->size() != m_haveMap.size()) return false;

    struct Partial {
        int32_t index;
        int32_t part;
        std::string ctx;
    };
    std::vector<Partial> partials;
    const std::string& bitBytes = *record->bitField;
    auto bitSet = [&](int64_t i) {
        return (static_cast<uint8_t>(bitBytes[static_cast<size_t>(i >> 3)]) >> (7 - (i & 7))) & 1;
    };
    for (const ResumeRecord::Partial& e : record->partials) {
        if (e.index < 0 || e.index >= m_pieceCount || bitSet(e.index) || e.part <= 0 ||
            e.part >= m_pieces[e.index].size)
            continue;
        if (!e.checksumOk) {
            EngineLog::Printf(kLogChannel, "resume entry of piece %lld has a bad checksum",
                              static_cast<long long>(e.index));
            continue;
        }
        partials.push_back(
            {static_cast<int32_t>(e.index), static_cast<int32_t>(e.part), e.context});
    }

    // Everything checked: apply.
    for (size_t fi = 0; fi < files.size(); ++fi)
        if (priorities[fi] != INT32_MIN) files[fi].state = priorities[fi];
    for (int64_t i = 0; i < m_pieceCount; ++i)
        if (bitSet(i)) SetHave(static_cast<int32_t>(i), true);
    for (const Partial& r : partials) {
        Piece& p = m_pieces[r.index];
        if (Have(r.index) || p.part > 0) continue;
        if (r.part % p.chunkSize != 0) {
            ResetPiece(p);
            continue;
        }
        auto ctx = AcquireSha1();
        if (!ctx->Import(r.ctx.data(), r.ctx.size()) ||
            ctx->BytesHashed() != static_cast<uint64_t>(r.part)) {
            ReleaseSha1(std::move(ctx));
            continue;
        }
        p.ctx = std::move(ctx);
        p.part = r.part;
        if (!RestoredContextMatchesDisk(p)) {
            // The bytes on disk are not the ones that were hashed.
            EngineLog::Printf(kLogChannel, "piece %d: saved state does not match the disk",
                              r.index);
            ResetPiece(p);
            continue;
        }
        m_partialList.push_back(r.index);
    }
    m_examinedBytes = m_totalLength;
    if (m_verifiedBytes <= m_totalLength) {
        LoadCacheFile();
        Send(kPieceEventStartCheck, 0);
    }
    return true;
}

}  // namespace lf
