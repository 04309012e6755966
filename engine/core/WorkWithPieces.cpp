#include "engine/core/WorkWithPieces.h"

#include <strings.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "engine/base/SafeText.h"
#include "engine/base/TimeThread.h"
#include "engine/core/EngineSettings.h"
#include "engine/core/LanternfishCore.h"
#include "engine/core/PieceChoice.h"
#include "engine/log/LogApi.h"
#include "engine/metainfo/Torrent.h"
#include "engine/sources/PeerObject.h"
#include "engine/store/TPieces.h"

namespace lf {

namespace {
bool IsServer(int kind) {
    return (kind & (kSourceHttp | kSourceFtp)) != 0;
}

std::string BaseName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}
}  // namespace

TWorkWithPieces::~TWorkWithPieces() {
    for (PieceRange* r : m_ranges) delete r;
    m_ranges.clear();
    if (m_pieces != nullptr) m_pieces->Release();
    if (m_torrent != nullptr) m_torrent->Release();
}

bool TWorkWithPieces::HasMetainfo() {
    return m_metainfoLoaded;
}

bool TWorkWithPieces::ReadMetainfoFromLocator() {
    if (strncasecmp(m_locator.c_str(), "file://", 7) != 0) return true;
    TTorrent* t = new TTorrent();
    t->SetTorrentAddress(m_locator);
    bool ok = t->Load();
    if (ok) {
        m_infoValues[kTorrent] = t->TorrentBytes();
        m_infoDirty[kTorrent] = 1;
    }
    const bool notMetainfo = !ok;
    if (notMetainfo) {
        // Why, on the error channel: the number alone does not say.
        EngineLog::Printf(38, "Metainfo refused (20211): %s: %s", SafeText(m_locator).c_str(),
                          SafeText(t->FailureText()).c_str());
    }
    t->Release();
    if (notMetainfo) {
        {
            QGuard guard(m_lock);
            m_working.statusCode = kTaskStatusMetainfoUnreadable;
        }
        RequestStop(nullptr);
        return false;
    }
    return true;
}

bool TWorkWithPieces::SetUpPieceMap(TPieces* pieces) {
    pieces->SetEventSink([this](const TPieceEvent& e) { HandlePieceEvent(e); });
    std::string folder = m_targetFolder;
    if (!folder.empty() && folder.back() != '/') folder += '/';
    pieces->SetDownloadFolder(folder);
    pieces->SetTrustExistingFiles(m_settings.pieceStoreOption != 0);
    pieces->SetCacheFilePath(m_settings.metainfoOnly ? std::string() : m_pieceStatePath);
    pieces->SetSelectionData(m_infoValues[kPart]);
    pieces->SetResumeData(m_infoValues[kBits]);
    pieces->SetStopFlag(StopFlag());
    pieces->SetCacheLimitUnits(std::min(8000, std::max(m_settings.cacheUnits, 4)));
    return true;
}

bool TWorkWithPieces::LoadMetainfoIntoPieceStore() {
    if (m_pieces != nullptr && m_torrent != nullptr) return true;
    if (m_infoValues[kTorrent].empty()) return false;
    {
        QGuard guard(m_lock);  // the limits are written by the interface
        m_settings.Validate();
    }
    TTorrent* torrent = new TTorrent();
    if (!torrent->LoadBytes(m_infoValues[kTorrent])) {
        EngineLog::Printf(38, "Metainfo not loaded: %s", SafeText(torrent->FailureText()).c_str());
        torrent->Release();
        RequestStop(nullptr);
        return false;
    }
    const MetainfoContent& content = torrent->Content();
    TContentLayout layout;
    layout.name = content.name;
    layout.pieceLength = content.pieceLength;
    layout.pieceCount = content.pieceCount;
    layout.pieceHashes = content.pieceHashes;
    layout.infoHash.assign(reinterpret_cast<const char*>(torrent->InfoHash().data()), 20);
    for (const MetainfoFile& f : content.files) {
        TContentFile cf;
        cf.path = f.path;
        cf.length = f.length;
        layout.files.push_back(cf);
    }
    if (m_targetIsFile && !content.multiFile && layout.files.size() == 1) {
        layout.files[0].path = BaseName(m_targetFile);
    }
    TPieces* pieces = new TPieces();
    SetUpPieceMap(pieces);
    m_pieces = pieces;
    m_torrent = torrent;
    if (!pieces->BuildPieceTable(layout)) {
        EngineLog::Printf(38, "Piece table not built for %s", layout.name.c_str());
    }
    m_metainfoLoaded = true;
    {
        QGuard guard(m_lock);
        m_working.announce = torrent->Announce();
        m_working.infoHashText = torrent->InfoHashText();
        m_working.comment = torrent->Comment();
        m_working.name = content.name;
    }
    CopyPieceNumbers();
    // Trackers become sources of the task.
    QGuard guard(m_lock);
    for (const std::string& tracker : torrent->Trackers()) {
        std::string text = "tracker://" + tracker;
        bool present = false;
        for (const auto& e : m_sourceList) present = present || e.text == text;
        if (!present) m_sourceList.push_back(SourceEntry{text, 0});
    }
    return true;
}

std::string TWorkWithPieces::AnnounceAddress() {
    return m_torrent != nullptr ? m_torrent->Announce() : std::string();
}

bool TWorkWithPieces::MakeHashlessPieceMap(int64_t size, const std::string& fileName) {
    if (m_pieces != nullptr || size <= 0) return false;
    // Pieces of 256 KiB up to 4 MiB, about a thousand of them at most.
    int32_t pieceLength = 256 * 1024;
    while (pieceLength < 4 * 1024 * 1024 && size / pieceLength > 1024) pieceLength *= 2;
    TContentLayout layout;
    std::string name = m_targetIsFile ? BaseName(m_targetFile) : fileName;
    if (name.empty()) name = "index.htm";
    layout.name = name;
    layout.pieceLength = pieceLength;
    layout.pieceCount = (size + pieceLength - 1) / pieceLength;
    layout.files.push_back(TContentFile{name, size});
    TPieces* pieces = new TPieces();
    SetUpPieceMap(pieces);
    m_settings.cacheUnits = 128;  // no hashes: a larger write cache
    pieces->SetCacheLimitUnits(m_settings.cacheUnits);
    m_pieces = pieces;
    if (!pieces->BuildPieceTable(layout)) {
        EngineLog::Printf(38, "Piece table not built for %s", name.c_str());
    }
    {
        QGuard guard(m_lock);
        m_working.name = name;
    }
    CopyPieceNumbers();
    return true;
}

void TWorkWithPieces::OnServerSize(TPeerId* /*source*/, int64_t size) {
    if (m_pieces == nullptr && !m_metainfoLoaded && !m_isP2SP && !m_isBitTorrent) {
        std::string name;
        for (TPeerObject* s : m_active) {
            if (s->m_source != nullptr && s->m_source->details &&
                !s->m_source->details->fileName.empty()) {
                name = s->m_source->details->fileName;
                break;
            }
        }
        MakeHashlessPieceMap(size, name);
    }
}

bool TWorkWithPieces::SizeKnown() {
    return m_pieces != nullptr && m_pieces->TotalLength() > 0;
}

int64_t TWorkWithPieces::TotalBytes() {
    return m_pieces != nullptr ? m_pieces->TotalLength() : 0;
}

bool TWorkWithPieces::IsDownloadComplete() {
    return m_pieces != nullptr && m_pieces->IsComplete();
}

void TWorkWithPieces::FinishDownload() {
    if (m_pieces == nullptr) return;
    m_pieces->CloseFiles(true, true);
    CopyPieceNumbers();
}

void TWorkWithPieces::ServeDataReads() {}

void TWorkWithPieces::PieceMaintenance() {}

void TWorkWithPieces::ReloadMetainfoIfFlagged() {
    if (!m_metainfoReload) return;
    m_metainfoReload = false;
    LoadMetainfoIntoPieceStore();
}

void TWorkWithPieces::CopyPieceNumbers() {
    if (m_pieces == nullptr) return;
    QGuard guard(m_lock);
    m_working.totalBytes = m_pieces->TotalLength();
    m_working.downloadedBytes = m_pieces->VerifiedBytes();
    m_working.heldBytes = m_pieces->HeldBytes();
    m_working.pieceCount = static_cast<uint32_t>(m_pieces->PieceCount());
    m_working.piecesDone = static_cast<uint32_t>(m_pieces->HaveCount());
    m_working.pieceLength = static_cast<uint32_t>(m_pieces->PieceLength());
    m_working.examinedBytes = m_pieces->ExaminedBytes();
    m_have = m_pieces->HaveMap();
}

void TWorkWithPieces::RefreshFromPieces() {
    if (!SizeKnown()) return;
    CopyPieceNumbers();
    bool examining;
    {
        QGuard guard(m_lock);
        examining = m_working.examinedBytes != m_working.totalBytes;
    }
    if (examining) Publish(false, false);
}

void TWorkWithPieces::HandlePieceEvent(const TPieceEvent& e) {
    switch (e.type) {
        case kPieceEventHaveChanged:
            if (m_pieces != nullptr && e.value >= 0) {
                const size_t byte = static_cast<size_t>(e.value) / 8;
                if (byte < m_have.size()) {
                    const uint8_t bit = static_cast<uint8_t>(0x80 >> (e.value % 8));
                    m_have[byte] = e.flag ? (m_have[byte] | bit) : (m_have[byte] & ~bit);
                }
                // Written (the have bit took over) or lost again.
                if (static_cast<size_t>(e.value) < m_verified.size())
                    m_verified[static_cast<size_t>(e.value)] = 0;
                m_pieceMapChanged = true;
            }
            break;
        case kPieceEventAllPresent:
        case kPieceEventStartCheck:
            m_pieceMapChanged = true;
            break;
        case kPieceEventTableBuilt:
            m_have.assign(static_cast<size_t>((e.value + 7) / 8), 0);
            break;
        case kPieceEventSelectionData:
        case kPieceEventResumeData: {
            QGuard guard(m_lock);
            SetInfoValue(
                e.type == kPieceEventSelectionData ? kPart : kBits,
                std::string(e.data != nullptr ? e.data : "", static_cast<size_t>(e.length)));
            break;
        }
        case kPieceEventDiskFull:
        case kPieceEventWriteFailure: {
            {
                QGuard guard(m_lock);
                m_working.statusCode =
                    e.type == kPieceEventDiskFull ? kTaskStatusDiskFull : kTaskStatusWriteFailure;
                if (e.type == kPieceEventWriteFailure && e.data != nullptr) {
                    m_working.errorText.assign(e.data, static_cast<size_t>(e.length));
                }
            }
            m_errorFlag = true;
            RequestStop(nullptr);
            break;
        }
        case kPieceEventDiskCleared:
            m_errorFlag = false;
            break;
        default:
            break;
    }
}

void TWorkWithPieces::SetTaskError(int32_t code) {
    QGuard guard(m_lock);
    m_working.statusCode = code;
}

QHalfOpenGate* TWorkWithPieces::HalfOpenGate() {
    return &CLanternfishCore::Instance().HalfOpen();
}

QNetServices* TWorkWithPieces::NetServices() {
    return &CLanternfishCore::Instance().Net();
}

SourceTimings TWorkWithPieces::Timings() const {
    const EngineTimings& timings = GetEngineTimings();
    SourceTimings t;
    t.httpHeadSeconds = timings.httpHeadSeconds;
    t.httpBodySeconds = timings.httpBodySeconds;
    t.rangeStarveSeconds = timings.rangeStarveSeconds;
    t.trackerRepeatSeconds = timings.trackerRepeatSeconds;
    return t;
}

uint32_t TWorkWithPieces::LocalBindAddress() const {
    return CLanternfishCore::Instance().localAddress.load();
}

void TWorkWithPieces::SetFetchingMetainfo() {
    QGuard guard(m_lock);
    m_working.state = TaskStatus::kFetchingMetainfo;
}

void TWorkWithPieces::PublishPieceData(bool force) {
    if (force || m_pieceMapChanged) {
        m_publishedHave = m_have;
        m_publishedRequested = m_requested;
        m_publishedPieceCount = m_working.pieceCount;
    }
    if (force && m_torrent != nullptr) {
        m_publishedFiles.clear();
        for (const MetainfoFile& f : m_torrent->Content().files) {
            m_publishedFiles.push_back(PublishedFile{BaseName(f.path), f.path, f.length});
        }
    }
    m_pieceMapChanged = false;
}

int32_t TWorkWithPieces::CopyPieceMap(uint8_t* buffer, int32_t length) {
    QGuard guard(m_lock);
    if (buffer == nullptr || length <= 0) return 0;
    size_t n = std::min(static_cast<size_t>(length), m_publishedHave.size());
    if (n > 0) std::memcpy(buffer, m_publishedHave.data(), n);
    uint64_t bits = static_cast<uint64_t>(m_publishedHave.size()) * 8;
    return static_cast<int32_t>(std::min<uint64_t>(bits, m_publishedPieceCount));
}

int32_t TWorkWithPieces::PieceMapSize() {
    QGuard guard(m_lock);
    return static_cast<int32_t>(m_publishedHave.size());
}

std::string TWorkWithPieces::FileText(int index, int kind) {
    if (m_torrent == nullptr) return std::string();
    const auto& files = m_torrent->Content().files;
    if (index < 0 || static_cast<size_t>(index) >= files.size()) return std::string();
    std::string path = files[static_cast<size_t>(index)].path;
    if (m_targetIsFile && !m_torrent->Content().multiFile) path = BaseName(m_targetFile);
    std::string text;
    if (kind == 1) text = path;
    if (kind == 2) text = BaseName(path);
    if (kind == 3) {
        std::string folder = m_targetFolder;
        if (!folder.empty() && folder.back() != '/') folder += '/';
        text = folder + path;
    }
    if (text.size() > 4095) text.resize(4095);
    return text;
}

// ---- piece choice ----

bool TWorkWithPieces::IsPieceNeeded(int32_t piece) {
    if (m_pieces == nullptr || piece < 0 || piece >= m_pieces->PieceCount()) return false;
    if (m_pieces->Have(piece) || m_pieces->IsSkipped(piece)) return false;
    // Verified and waiting in the write cache: not needed either.
    if (static_cast<size_t>(piece) < m_verified.size() && m_verified[static_cast<size_t>(piece)])
        return false;
    // The end game holds as soon as the requested list covers what is
    // left, however the list or the count of pieces done got there: an
    // entry whose source no longer fetches the piece must not keep the
    // last pieces from every other source.
    if (!m_endGame) CheckEndGame();
    if (m_endGame) return true;
    return std::find(m_requested.begin(), m_requested.end(), piece) == m_requested.end();
}

int32_t TWorkWithPieces::CurrentPosition() {
    if (m_pieces == nullptr) return 0;
    const int32_t count = static_cast<int32_t>(m_pieces->PieceCount());
    if (m_firstWanted >= count) m_firstWanted = 0;
    int32_t start = m_firstWanted;
    while (m_firstWanted < count && m_pieces->Have(m_firstWanted)) ++m_firstWanted;
    if (m_firstWanted >= count) {
        // Wrap once: a piece before the old position may be wanted again.
        m_firstWanted = 0;
        while (m_firstWanted < start && m_pieces->Have(m_firstWanted)) ++m_firstWanted;
        if (m_firstWanted >= start) m_firstWanted = count;
    }
    return m_firstWanted < count ? m_firstWanted : 0;
}

void TWorkWithPieces::CheckEndGame() {
    if (m_pieces == nullptr) return;
    const int64_t left = m_pieces->PieceCount() - m_pieces->HaveCount();
    if (static_cast<int64_t>(m_requested.size()) >= left && left > 0) {
        m_endGame = true;
        m_stickyEndGame = true;
    }
}

bool TWorkWithPieces::MarkRequested(int32_t piece, bool add, bool completed) {
    if (add) {
        const int32_t connections = static_cast<int32_t>(m_active.size());
        const int64_t count = m_pieces != nullptr ? m_pieces->PieceCount() : 0;
        const int64_t done = m_pieces != nullptr ? m_pieces->HaveCount() : 0;
        const int64_t allowance =
            std::max<int64_t>(std::max(connections / 3, 64) + done - count, 1);
        const int64_t present = std::count(m_requested.begin(), m_requested.end(), piece);
        if (present > allowance) return false;
        m_requested.push_back(piece);
        CheckEndGame();
        return true;
    }
    if (completed) {
        const int64_t left =
            m_pieces != nullptr ? m_pieces->PieceCount() - m_pieces->HaveCount() : 0;
        if (!(m_endGame && left > 3) && !StopFlag()->load() && m_pieces != nullptr)
            m_pieces->DropBuffer(piece);
        auto end = std::remove(m_requested.begin(), m_requested.end(), piece);
        bool any = end != m_requested.end();
        m_requested.erase(end, m_requested.end());
        ++m_wantedGeneration;  // the piece failed: every source may fetch it
        return any;
    }
    auto it = std::find(m_requested.begin(), m_requested.end(), piece);
    if (it == m_requested.end()) return false;
    m_requested.erase(it);
    ++m_wantedGeneration;
    return true;
}

void TWorkWithPieces::OnPieceCompleted(int32_t piece) {
    auto end = std::remove(m_requested.begin(), m_requested.end(), piece);
    m_requested.erase(end, m_requested.end());
    if (m_pieces != nullptr && !m_pieces->Have(piece)) {
        if (m_verified.size() != static_cast<size_t>(m_pieces->PieceCount()))
            m_verified.assign(static_cast<size_t>(m_pieces->PieceCount()), 0);
        m_verified[static_cast<size_t>(piece)] = 1;
        // Verified but still cached: once every piece is verified, the cache
        // is written now rather than at the next periodic pass, so that the
        // task completes without waiting.
        m_unwritten.erase(std::remove_if(m_unwritten.begin(), m_unwritten.end(),
                                         [this](int32_t p) { return m_pieces->Have(p); }),
                          m_unwritten.end());
        if (std::find(m_unwritten.begin(), m_unwritten.end(), piece) == m_unwritten.end())
            m_unwritten.push_back(piece);
        if (m_pieces->HaveCount() + static_cast<int64_t>(m_unwritten.size()) >=
            m_pieces->PieceCount()) {
            m_pieces->Maintain();
            m_unwritten.clear();
        }
    }
    CopyPieceNumbers();
}

void TWorkWithPieces::OnPieceFailed() {
    CopyPieceNumbers();
}

void TWorkWithPieces::NoteQueued(int64_t block, int delta) {
    if (m_pieces == nullptr || m_pieces->PieceLength() <= 0) return;
    const int64_t piece = block * kBlockSize / m_pieces->PieceLength();
    if (piece < 0 || piece >= m_pieces->PieceCount()) return;
    if (m_serverQueued.size() != static_cast<size_t>(m_pieces->PieceCount())) {
        m_serverQueued.assign(static_cast<size_t>(m_pieces->PieceCount()), 0);
    }
    m_serverQueued[static_cast<size_t>(piece)] += delta;
    if (m_serverQueued[static_cast<size_t>(piece)] < 0)
        m_serverQueued[static_cast<size_t>(piece)] = 0;
}

int32_t TWorkWithPieces::RandomStartPieceFor(bool option, bool storeMode, int32_t pieces,
                                             int32_t done, uint32_t tick) {
    if (!option || pieces <= 0) return 0;
    const int64_t a = static_cast<int64_t>(storeMode ? 20 : 10) * done + 6;
    int64_t b = static_cast<int64_t>(tick) % a;
    while (b >= pieces) b -= pieces;
    return static_cast<int32_t>(done > 1 ? b + done : b);
}

int32_t TWorkWithPieces::RandomStartPiece() {
    if (m_pieces == nullptr) return 0;
    return RandomStartPieceFor(m_settings.randomStartPiece != 0, m_settings.pieceStoreOption != 0,
                               static_cast<int32_t>(m_pieces->PieceCount()), m_pieces->HaveCount(),
                               TickCountMs());
}

bool TWorkWithPieces::DivideRanges() {
    if (m_pieces == nullptr) return false;
    const int32_t pieces = static_cast<int32_t>(m_pieces->PieceCount());
    std::vector<TPeerId*> servers;
    for (TPeerId* c : m_candidates) {
        if (IsServer(c->kind) && !c->givenUp && !c->fromMirrorPool) servers.push_back(c);
    }
    const int32_t s = static_cast<int32_t>(servers.size());
    if (pieces <= 0 || s <= 0) return false;
    const int32_t share = std::max(1, ServerLimit() / s);
    for (int32_t k = 0; k < s; ++k) {
        TPeerId* a = servers[static_cast<size_t>(k)];
        int32_t first, last;
        if (pieces <= s) {
            first = last = k;
        } else {
            first = (pieces / s) * k;
            last = k == s - 1 ? pieces - 1 : first + pieces / s - 1;
        }
        const int32_t len = last - first + 1;
        int32_t n = std::min((len + 4) / 5, share);
        n = std::max(1, std::min(len, n));
        a->allowedConnections = n;
        const int32_t size = len / n;
        for (int32_t i = 0; i < n; ++i) {
            auto* r = new PieceRange();
            r->first = first + i * size;
            r->last = i == n - 1 ? last : r->first + size - 1;
            r->cursor = r->first;
            r->SetSource(a);
            r->time = TaskClock();
            m_ranges.push_back(r);
        }
        if (s >= pieces && k + 1 >= pieces) break;
    }
    return true;
}

namespace {
void HandOut(PieceRange* r, TPeerObject* s, int64_t now) {
    r->owner = s;
    r->time = now;
    s->m_range = r;
    ++s->m_rangesTaken;
}
}  // namespace

PieceRange* TWorkWithPieces::ChooseVictim(TPeerObject* s) {
    const int64_t now = TaskClock();
    const uint32_t nowMs = TickCountMs();
    const int64_t rs = s->CurrentRate(nowMs);
    const int64_t pieceLength = m_pieces->PieceLength();
    const int64_t left = m_pieces->PieceCount() - m_pieces->HaveCount();
    PieceRange* best = nullptr;
    int64_t bestTime = -1;
    for (int pass = 1; pass <= 2 && best == nullptr; ++pass) {
        if (pass == 2 && s->m_rangesTaken != 0) break;
        for (PieceRange* r : m_ranges) {
            if (r->owner == nullptr || r->owner == s || r->finished || r->marked) continue;
            const int64_t ro = r->owner->CurrentRate(nowMs);
            if (pass == 1) {
                if (!(now - r->time > 10 || ro > 0)) continue;
                if (!(r->last != r->cursor || ro == 0 || (ro > 0 && rs / ro >= 2))) continue;
            } else if (now - r->time <= 3 && r->last + 1 - r->cursor <= 1) {
                continue;
            }
            if (r->last < r->cursor) continue;
            const int64_t t = ro > 0 ? (r->last - r->cursor + 1) * pieceLength / ro : INT32_MAX;
            if (t <= 10 && left >= 4) continue;
            if (t <= bestTime) continue;
            bestTime = t;
            best = r;
            if (t >= INT32_MAX) break;
        }
    }
    return best;
}

bool TWorkWithPieces::Starved(const TPeerObject* s) const {
    return s->Starved(CachedSeconds(), std::max(1, Timings().rangeStarveSeconds));
}

bool TWorkWithPieces::Unproven(const TPeerObject* s) const {
    return s->m_source != nullptr && s->m_source->deliveredBytes == 0 && s->IsConnected();
}

bool TWorkWithPieces::Delivers(const TPeerObject* s) const {
    return !Starved(s) && s->m_source != nullptr && s->m_source->deliveredBytes > 0;
}

bool TWorkWithPieces::EngageRange(TPeerObject* s) {
    if (m_ranges.empty()) return false;
    // A connection that delivers nothing gets no new work.
    if (Starved(s)) return false;
    const int64_t now = TaskClock();
    // 1./2. A free range: the one that continues the source's stream, else
    // the one with the first piece still open, in parts of a few pieces so
    // that the connections stay together near the front of the content.
    const piece_choice::ServerHandOut pick = piece_choice::PickServerRange(
        m_ranges, s->m_lastPiece, ServerChunk(),
        [this](int32_t p) { return IsPieceNeeded(p) && !QueuedByServer(p); });
    if (pick.index >= 0) {
        PieceRange* r = m_ranges[static_cast<size_t>(pick.index)];
        if (pick.last >= r->last) {
            HandOut(r, s, now);
            return true;
        }
        // The front part goes to s; the rest stays free.
        auto* part = new PieceRange();
        part->first = pick.first;
        part->last = pick.last;
        part->cursor = pick.first;
        part->SetSource(r->source);
        r->first = pick.last + 1;
        r->cursor = r->first;
        r->time = now;
        m_ranges.push_back(part);
        HandOut(part, s, now);
        return true;
    }
    // 3. A range to take over: one whose owner has not started it for long,
    // or whose owner delivers nothing (for the starve wait, or at all from a
    // server that never delivered) while s comes from a server that does
    // (its queued pieces go back to the range, which s then fetches).
    const bool delivers = Delivers(s);
    for (PieceRange* r : m_ranges) {
        if (r->finished && !r->reopen) continue;
        if (r->marked) continue;
        if (delivers && r->owner != nullptr && r->owner != s && r->error == 0 &&
            (Starved(r->owner) || Unproven(r->owner))) {
            TPeerObject* old = r->owner;
            old->ReleaseRange();
            if (std::find(m_ranges.begin(), m_ranges.end(), r) == m_ranges.end()) return false;
            if (old->m_source != nullptr && old->m_source != s->m_source)
                old->m_source->Penalise(Timings().rangeStarveSeconds);
            HandOut(r, s, now);
            return true;
        }
        if (r->owner != nullptr && r->owner != s && r->cursor == r->first && !r->reopen &&
            r->error == 0 && now - r->time > 10) {
            TPeerObject* old = r->owner;
            old->ReleaseRange();
            // Given back without holes, the range is gone.
            if (std::find(m_ranges.begin(), m_ranges.end(), r) == m_ranges.end()) return false;
            HandOut(r, s, now);
            return true;
        }
        if (r->reopen && r->owner == nullptr) {
            r->reopen = 0;
            r->finished = 0;
            HandOut(r, s, now);
            return true;
        }
    }
    // 4. Split the range of a slower source.
    // Current rates: a connection whose range ends splits at once instead
    // of waiting for the next rate period.
    const uint32_t nowMs = TickCountMs();
    const int64_t rs = s->CurrentRate(nowMs);
    if (rs <= 0 && s->m_rangesTaken >= 1) return false;
    PieceRange* victim = ChooseVictim(s);
    if (victim == nullptr) return false;
    while (victim->last > victim->cursor && !IsPieceNeeded(victim->last)) --victim->last;
    const int64_t remaining = victim->last - victim->cursor + 1;
    if (remaining <= 0) return false;
    const int64_t ro = victim->owner != nullptr ? victim->owner->CurrentRate(nowMs) : 0;
    int64_t m = s->m_rangesTaken > 0 && ro + rs > 0 ? 100 * rs / (ro + rs) : 50;
    if (m < 100 && 2 * ro < rs) ++m;
    int64_t e = remaining > 1 ? remaining * m / 100 : 1;
    if (e < remaining && 2 * ro < rs) ++e;
    if (e <= 0) return false;
    auto* r = new PieceRange();
    r->last = victim->last;
    r->first = static_cast<int32_t>(victim->last - e + 1);
    r->cursor = r->first;
    r->SetSource(victim->source);
    // The victim keeps what is before the new range; nothing is fetched twice.
    victim->last = r->first - 1;
    victim->time = now;
    if (victim->last < victim->cursor) {
        victim->finished = 1;
        if (victim->owner != nullptr && ro * 3 <= rs) {
            // Its owner has nothing left to start: it lets the range go.
            victim->owner->ReleaseRange();
        }
    }
    m_ranges.push_back(r);
    HandOut(r, s, now);
    return true;
}

int32_t TWorkWithPieces::ServerChunk() {
    if (m_pieces == nullptr) return 1;
    return piece_choice::ServerChunkPieces(m_pieces->PieceCount(), m_pieces->PieceLength(),
                                           ServerLimit());
}

bool TWorkWithPieces::FreeRangeAt(int32_t position) {
    for (const PieceRange* r : m_ranges) {
        if (!r->finished && !r->marked && r->owner == nullptr && position >= r->first &&
            position <= r->last)
            return true;
    }
    return false;
}

bool TWorkWithPieces::ClaimAtPosition(TPeerObject* s, int32_t position) {
    for (PieceRange* r : m_ranges) {
        if (r->finished || r->marked || r->owner != nullptr) continue;
        if (position < r->first || position > r->last) continue;
        const int64_t now = TaskClock();
        const int32_t end =
            static_cast<int32_t>(std::min<int64_t>(r->last, int64_t{position} + ServerChunk() - 1));
        if (position == r->first && end == r->last) {
            r->cursor = std::max(r->cursor, r->first);
            HandOut(r, s, now);
            return true;
        }
        // s takes a part from the position on; what is before the position
        // and what follows the part stay free.
        const int32_t last = r->last;
        PieceRange* after = nullptr;
        if (position == r->first) {
            after = r;  // nothing before the position
        } else {
            r->last = position - 1;
            if (r->cursor > r->last + 1) r->cursor = r->last + 1;
            if (end < last) {
                after = new PieceRange();
                after->SetSource(r->source);
                m_ranges.push_back(after);
            }
        }
        if (after != nullptr) {
            after->first = end + 1;
            after->last = last;
            after->cursor = std::max(after->first, r == after ? r->cursor : after->first);
            after->time = now;
        }
        auto* n = new PieceRange();
        n->first = position;
        n->last = end;
        n->cursor = position;
        n->SetSource(r->source);
        m_ranges.push_back(n);
        HandOut(n, s, now);
        return true;
    }
    return false;
}

void TWorkWithPieces::ReturnRange(PieceRange* r, TPeerObject* owner) {
    if (r->marked) {
        RemoveRange(r);
        return;
    }
    if (r->owner == owner) r->owner = nullptr;
    // Pieces the owner had queued but not finished are fetched again by the
    // next owner: the cursor goes back to the first needed piece.
    int32_t p = r->first;
    while (p <= r->last && !IsPieceNeeded(p)) ++p;
    if (p > r->last) {
        RemoveRange(r);
        return;
    }
    r->cursor = p;
    r->finished = 0;
}

void TWorkWithPieces::RemoveRange(PieceRange* r) {
    auto it = std::find(m_ranges.begin(), m_ranges.end(), r);
    if (it != m_ranges.end()) m_ranges.erase(it);
    if (r->owner != nullptr && r->owner->m_range == r) r->owner->m_range = nullptr;
    delete r;
}

bool TWorkWithPieces::HasUnfinishedRange() const {
    for (const PieceRange* r : m_ranges) {
        if (!r->finished) return true;
    }
    return false;
}

bool TWorkWithPieces::AddFreshRange(TPeerObject* s) {
    if (m_pieces == nullptr || Starved(s)) return false;
    const int32_t count = static_cast<int32_t>(m_pieces->PieceCount());
    int32_t a = -1, b = -1;
    for (int32_t p = 0; p < count; ++p) {
        // Pieces another server still has in flight are not handed out again.
        const bool wanted = IsPieceNeeded(p) && !s->QueuedPiece(p) && !QueuedByServer(p);
        if (wanted) {
            if (a < 0) a = p;
            b = p;
        } else if (a >= 0) {
            break;
        }
    }
    if (a < 0) return false;
    auto* r = new PieceRange();
    r->first = a;
    r->last = b;
    r->cursor = a;
    r->SetSource(s->m_source);
    m_ranges.push_back(r);
    HandOut(r, s, TaskClock());
    return true;
}

int32_t TWorkWithPieces::EndGamePiece(TPeerObject* s) {
    if (m_pieces == nullptr || !Delivers(s)) return -1;
    const int32_t count = static_cast<int32_t>(m_pieces->PieceCount());
    if (m_serverQueued.size() != static_cast<size_t>(count)) return -1;
    const int64_t pieceBlocks = (m_pieces->PieceLength() + kBlockSize - 1) / kBlockSize;
    int32_t best = -1;
    int32_t bestQueued = 0;
    for (int32_t p = 0; p < count; ++p) {
        if (m_pieces->Have(p) || m_pieces->IsSkipped(p)) continue;
        if (static_cast<size_t>(p) < m_verified.size() && m_verified[static_cast<size_t>(p)])
            continue;
        const int32_t queued = m_serverQueued[static_cast<size_t>(p)];
        // Not the end game while a needed piece is in nobody's queue.
        if (queued == 0) {
            if (IsPieceNeeded(p)) return -1;
            continue;
        }
        if (s->QueuedPiece(p)) continue;
        // At most three copies in flight; the piece with the fewest first.
        if (queued > 2 * pieceBlocks) continue;
        if (best < 0 || queued < bestQueued) {
            best = p;
            bestQueued = queued;
        }
    }
    return best;
}

// ---- BitTorrent sources ----

namespace {

// The piece choice's view of a task and one of its sources.
class TaskChoiceView : public PieceChoiceView {
public:
    TaskChoiceView(TWorkWithPieces* task, TPeerObject* s) : m_task(task), m_s(s) {}
    bool RemoteHas(int32_t p) override { return m_s->RemoteHasPiece(p); }
    bool Excluded(int32_t p) override { return m_s->ExcludedPiece(p); }
    bool Needed(int32_t p) override { return m_task->IsPieceNeeded(p); }
    bool Queued(int32_t p) override { return m_s->QueuedPiece(p); }
    bool Grant(int32_t p) override {
        if (!m_task->MarkRequested(p, true, false)) return false;
        m_s->NoteGranted(p);
        return true;
    }
    bool Wanted(int32_t p) override {
        TPieces* pieces = m_task->Pieces();
        return pieces != nullptr && p >= 0 && p < pieces->PieceCount() && !pieces->Have(p) &&
               !pieces->IsSkipped(p);
    }
    int32_t PieceLength() override {
        return m_task->Pieces() != nullptr ? m_task->Pieces()->PieceLength() : 0;
    }
    int64_t SourceRate() override { return m_s->CurrentRate(TickCountMs()); }
    int64_t OwnerRate(const PieceRange& r) override {
        return r.owner != nullptr ? r.owner->CurrentRate(TickCountMs()) : 0;
    }
    int64_t Now() override { return m_task->TaskClock(); }
    uint32_t TickMs() override { return TickCountMs(); }

private:
    TWorkWithPieces* m_task;
    TPeerObject* m_s;
};

bool BitSet(const std::vector<uint8_t>& bits, int64_t i) {
    if (i < 0 || static_cast<size_t>(i / 8) >= bits.size()) return false;
    return (bits[static_cast<size_t>(i / 8)] & (0x80 >> (i % 8))) != 0;
}

}  // namespace

int32_t TWorkWithPieces::PickFromRanges(TPeerObject* s) {
    if (m_pieces == nullptr || s == nullptr || (m_ranges.empty() && s->m_privateRange == nullptr))
        return -1;
    TaskChoiceView view(this, s);
    return piece_choice::PickFromRanges(view, m_ranges, s->m_privateRange, &s->m_rangesTaken, s);
}

int32_t TWorkWithPieces::PickInFile(TPeerObject* s, int32_t file) {
    if (m_pieces == nullptr || s == nullptr) return -1;
    const auto& files = m_pieces->Files().Files();
    if (file < 0 || static_cast<size_t>(file) >= files.size()) return -1;
    const int32_t first = files[static_cast<size_t>(file)].firstPiece;
    const int32_t count = files[static_cast<size_t>(file)].pieceSpan;
    TaskChoiceView view(this, s);
    const bool randomStart = m_settings.randomStartPiece != 0;
    return piece_choice::PickInFile(view, first, count, randomStart,
                                    randomStart ? RandomStartPiece() : 0, &s->m_lastHave);
}

bool TWorkWithPieces::ReturnBlocks(std::vector<BlockRequest>& blocks) {
    if (blocks.empty()) return true;
    if (!StopFlag()->load()) {
        m_returned.insert(m_returned.begin(), blocks.begin(), blocks.end());
        ++m_wantedGeneration;
    }
    blocks.clear();
    return true;
}

bool TWorkWithPieces::PickReturnedBlocks(std::vector<BlockRequest>* out,
                                         const std::vector<uint8_t>& peerHave,
                                         const std::vector<uint8_t>& excluded, int32_t maximum) {
    if (out == nullptr || m_pieces == nullptr || m_pieces->PieceLength() <= 0) return false;
    const size_t limit = static_cast<size_t>(maximum > 0 ? maximum : 16);
    const int64_t pieceLength = m_pieces->PieceLength();
    int64_t tried = -1;
    int64_t chosen = -1;
    for (const BlockRequest& b : m_returned) {
        const int64_t piece = b.block * kBlockSize / pieceLength;
        if (piece == tried) continue;
        tried = piece;
        if (!BitSet(peerHave, piece) || BitSet(excluded, piece)) continue;
        if (piece >= m_pieces->PieceCount() || m_pieces->Have(static_cast<int32_t>(piece)) ||
            m_pieces->IsSkipped(static_cast<int32_t>(piece)))
            continue;
        chosen = piece;
        break;
    }
    if (chosen < 0) return false;
    for (size_t i = 0; i < m_returned.size() && out->size() < limit;) {
        const BlockRequest b = m_returned[i];
        if (b.block * kBlockSize / pieceLength != chosen) {
            ++i;
            continue;
        }
        bool present = false;
        for (const BlockRequest& o : *out) present = present || o.block == b.block;
        m_returned.erase(m_returned.begin() + static_cast<long>(i));
        if (!present) out->push_back(b);
    }
    return !out->empty();
}

void TWorkWithPieces::PruneReturnedBlocks() {
    if (m_pieces == nullptr || IsDownloadComplete()) {
        m_returned.clear();
        return;
    }
    const int64_t pieceLength = m_pieces->PieceLength();
    if (pieceLength <= 0) return;
    m_returned.erase(
        std::remove_if(m_returned.begin(), m_returned.end(),
                       [&](const BlockRequest& b) {
                           const int64_t offset = b.block * kBlockSize;
                           const auto piece = static_cast<int32_t>(offset / pieceLength);
                           return m_pieces->HasBlock(
                               piece, static_cast<int32_t>(offset - piece * pieceLength));
                       }),
        m_returned.end());
}

void TWorkWithPieces::Reset(bool clearFileList, bool clearAll) {
    TWorkWithPeers::Reset(clearFileList, clearAll);
    for (PieceRange* r : m_ranges) delete r;
    m_ranges.clear();
    m_requested.clear();
    m_metainfoReload = false;
    m_endGame = false;
    if (m_pieces != nullptr) {
        m_pieces->CloseFiles(true, m_pieces->IsComplete());
        m_pieces->Release();
        m_pieces = nullptr;
    }
    if (m_torrent != nullptr) {
        m_torrent->Release();
        m_torrent = nullptr;
    }
    m_metainfoLoaded = false;
    m_firstWanted = 0;
    m_serverQueued.clear();
    m_unwritten.clear();
    m_verified.clear();
    m_returned.clear();
    if (clearAll) {
        QGuard guard(m_lock);
        m_publishedFiles.clear();
    }
}

}  // namespace lf
