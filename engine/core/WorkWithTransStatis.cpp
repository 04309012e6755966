#include "engine/core/WorkWithTransStatis.h"

#include <algorithm>
#include <ctime>

#include "engine/base/TimeThread.h"
#include "engine/core/EngineSettings.h"
#include "engine/core/LanternfishCore.h"
#include "engine/log/LogApi.h"
#include "engine/metainfo/Torrent.h"
#include "engine/net/NameResolve.h"
#include "engine/sources/BtPeer.h"
#include "engine/sources/BtProtocol.h"
#include "engine/sources/PeerObject.h"
#include "engine/store/TPieces.h"

namespace lf {

int32_t TWorkWithTransStatis::Allowance(int32_t limitKiB, int32_t share) {
    int64_t limit = limitKiB > 0 ? static_cast<int64_t>(limitKiB) * 1024 : kNoLimitBytes;
    int64_t s = share > 0 ? share : kNoLimitBytes;
    return static_cast<int32_t>(std::max<int64_t>(std::min(limit, s), kMinAllowance));
}

TWorkWithTransStatis::ThroughputClass TWorkWithTransStatis::ClassFor(int64_t t) {
    if (t >= 3145729) return {1, 2, 14, 42};
    if (t >= 1536001) return {2, 3, 9, 27};
    if (t >= 819201) return {3, 4, 7, 21};
    if (t >= 307201) return {4, 5, 6, 18};
    return {5, 6, 5, 15};
}

void TWorkWithTransStatis::PeerNumbers(int32_t downRate, int32_t upRate, int32_t* slots,
                                       int32_t* maxConnections) {
    *maxConnections = std::max((downRate + upRate) / 4096 + 8, 52);
    const int32_t a = std::max(upRate / 8192 - 8, 8);
    const int32_t b = upRate / 16384 - 8;
    *slots = b < a ? std::min(a, 20) : std::min(b, 48);
}

int TWorkWithTransStatis::SetSpeedLimit(int32_t direction, int32_t kib) {
    if (direction != 0 && direction != 1) return kEngineInvalidArgument;
    QGuard guard(m_lock);
    if (direction == 1) {
        m_settings.downloadLimitKiB = kib;
    } else {
        m_settings.uploadLimitKiB = kib;
    }
    m_settings.Validate();
    // A lower limit holds from now on, not from the next second: a task
    // started a moment before its limit was set would otherwise take a
    // whole unlimited second.
    std::atomic<int32_t>& allowance = direction == 1 ? m_downloadAllowance : m_uploadAllowance;
    const int32_t now =
        Allowance(direction == 1 ? m_settings.downloadLimitKiB : m_settings.uploadLimitKiB, 0);
    if (now < allowance.load()) allowance.store(now);
    return 0;
}

void TWorkWithTransStatis::CountPayload(int kind, int64_t bytes) {
    if (bytes <= 0) return;
    m_secondPayload += bytes;
    m_payloadBytes += static_cast<uint64_t>(bytes);
    if (kind == kSourceBitTorrent) m_btBytes += static_cast<uint64_t>(bytes);
    if (kind == kSourceHttp) m_httpBytes += static_cast<uint64_t>(bytes);
}

int64_t TWorkWithTransStatis::DownloadBudgetLeft() const {
    return std::max<int64_t>(m_downloadAllowance - m_secondReceived, 0);
}

void TWorkWithTransStatis::OnSourceStepped(TPeerObject* s) {
    m_secondReceived += s->m_tickReceived;
    m_secondSent += s->m_tickSent;
}

void TWorkWithTransStatis::OnSourceRemoved(TPeerObject* /*s*/) {}

void TWorkWithTransStatis::PerSecondBookkeeping() {
    const bool complete = IsDownloadComplete();
    const int64_t amount = complete ? m_secondPayload : m_secondReceived;
    {
        QGuard guard(m_lock);
        m_working.smoothedSpeed =
            complete ? 0
                     : static_cast<int32_t>((3 * m_secondPayload + m_working.smoothedSpeed) / 4);
        m_working.receivedTotal += amount;
        m_working.sentTotal += m_secondSent;
    }
    // Payload served to peers is sent in the upload step, outside the
    // sources' cycles: it counts toward a complete task's class too.
    const ThroughputClass c =
        ClassFor(complete ? std::max(m_secondSent, m_secondUploaded) : m_secondReceived);
    m_tickSleepMs = c.tickSleepMs;
    m_divisorForPass = c.d1;
    m_divisor2 = c.d2;
    m_uploadDivisor = c.d2;
    m_cachedClock = static_cast<int64_t>(WallSeconds());
    {
        QGuard guard(m_lock);
        const int64_t run =
            std::max<int64_t>(static_cast<int64_t>(CachedSeconds()) - StartTime(), 1);
        if (!complete)
            m_working.averageDownSpeed = static_cast<int32_t>(m_working.receivedTotal / run);
        m_working.averageUpSpeed = static_cast<int32_t>(m_working.sentTotal / run);
        const int64_t left = static_cast<int64_t>(m_working.pieceCount) - m_working.piecesDone;
        m_working.remainingSeconds =
            (m_working.completionTime == 0 || !complete) && m_downloadRate >= 1024
                ? static_cast<int32_t>(static_cast<int64_t>(m_working.pieceLength) * left /
                                       m_downloadRate)
                : 0;
    }
    int32_t maxConnections = 0;
    PeerNumbers(m_downloadRate, m_uploadRate, &m_peerSlots, &maxConnections);
    {
        QGuard guard(m_lock);
        m_settings.maxPeerConnections = maxConnections;
    }
    PruneReturnedBlocks();
    // Every connected BitTorrent source checks its requests.
    for (TPeerObject* s : m_active) {
        if (s->m_kind == kSourceBitTorrent && s->IsConnected()) s->CheckRequests();
    }
    m_secondReceived = 0;
    m_secondSent = 0;
    m_secondPayload = 0;
    m_secondUploaded = 0;
    {
        QGuard guard(m_lock);  // the limits are written by the interface
        m_downloadAllowance = Allowance(m_settings.downloadLimitKiB, m_downloadShare);
        m_uploadAllowance = Allowance(m_settings.uploadLimitKiB, m_uploadShare);
    }
    m_publishRequest = true;
    if (m_pieces != nullptr) m_pieces->Maintain();
    if (SizeKnown()) {
        PeriodicSave();
        PeriodicPublish();
    }
    AnnouncePieces();
    if (complete) {
        // A complete task still reaches out to its leechers.
        PeerConnectionWork();
        return;
    }
    ConnectionWork();
}

const uint8_t* TWorkWithTransStatis::BtHandshakeBlock() {
    if (m_handshakeMade) return m_handshakeBlock.data();
    if (!(m_isP2SP || m_isBitTorrent) || m_pieces == nullptr || m_pieces->PieceCount() <= 0)
        return nullptr;
    const std::string& hash = m_pieces->InfoHash();
    if (hash.size() != 20) return nullptr;
    bt::Hash20 infoHash{};
    std::copy(hash.begin(), hash.end(), infoHash.begin());
    bool zero = true;
    for (uint8_t b : infoHash) zero = zero && b == 0;
    if (zero) return nullptr;
    const bt::Handshake h = bt::BuildHandshake(infoHash, TaskPeerId());
    std::copy(h.begin(), h.end(), m_handshakeBlock.begin());
    m_handshakeMade = true;
    return m_handshakeBlock.data();
}

bool TWorkWithTransStatis::HttpDisguise() const {
    return CLanternfishCore::Instance().httpDisguise.load() != 0;
}

bool TWorkWithTransStatis::NatTraversalPermitted() {
    return CLanternfishCore::Instance().UdpNatTraversalPermitted();
}

int TWorkWithTransStatis::UdpConnectSeconds() const {
    return CLanternfishCore::Instance().udpConnectSeconds.load();
}

bool TWorkWithTransStatis::AllowUdpConnections() {
    // The transport runs and is not suspended (reachability suspends it),
    // the local address is known, and the task is not fast already: below
    // 368640 bytes/s downloading, or uploading once complete.
    CLanternfishCore& core = CLanternfishCore::Instance();
    if (!core.UdpTransportOn()) return false;
    if (LocalBindAddress() == 0 && ChooseLocalAddress() == 0) return false;
    const int32_t rate = IsDownloadComplete() ? m_uploadRate : m_downloadRate;
    return rate < 368640;
}

bool TWorkWithTransStatis::PeerWireEnabled() const {
    return CLanternfishCore::Instance().p2pEnabled.load() != 0;
}

bool TWorkWithTransStatis::PeerConnected(const TPeerObject* s, uint32_t ipv4,
                                         const uint8_t* peerId) {
    for (const TPeerObject* o : m_active) {
        if (o == s || o->m_kind != kSourceBitTorrent ||
            o->m_linkState != TPeerObject::kLinkEstablished)
            continue;
        const auto* p = static_cast<const TBTPeer*>(o);
        if (p->RemoteAddress() == ipv4 &&
            std::equal(p->RemotePeerId().begin(), p->RemotePeerId().end(), peerId))
            return true;
    }
    return false;
}

int64_t TWorkWithTransStatis::UploadBudgetLeft() const {
    return std::max<int64_t>(m_uploadAllowance - m_secondUploaded, 0);
}

void TWorkWithTransStatis::CountUpload(int64_t bytes) {
    if (bytes <= 0) return;
    m_secondUploaded += bytes;
    m_uploadedBytes += static_cast<uint64_t>(bytes);
}

int32_t TWorkWithTransStatis::MissingPieces() {
    if (m_pieces == nullptr) return 0;
    return static_cast<int32_t>(m_pieces->PieceCount() - m_pieces->HaveCount());
}

void TWorkWithTransStatis::AnnouncePieces() {
    if (m_pieces == nullptr || !m_pieces->IsReady() || m_pieces->PieceCount() <= 0) return;
    const std::vector<uint8_t>& have = m_pieces->HaveMap();
    // Pieces present at the start (the bitfield told them) are not announced.
    if (!m_announcedValid || m_announcedHave.size() != have.size()) {
        m_announcedHave = have;
        m_announcedValid = true;
        m_lastAnnounce = TaskClock();
        return;
    }
    const int64_t now = TaskClock();
    if (now - m_lastAnnounce < 7 && now >= m_lastAnnounce) return;
    std::vector<uint32_t> fresh;
    for (size_t i = 0; i < have.size(); ++i) {
        const uint8_t added = static_cast<uint8_t>(have[i] & ~m_announcedHave[i]);
        if (added == 0) continue;
        for (int b = 0; b < 8; ++b) {
            if ((added & (0x80 >> b)) != 0) fresh.push_back(static_cast<uint32_t>(i * 8 + b));
        }
    }
    if (fresh.empty()) return;
    m_lastAnnounce = now;
    m_announcedHave = have;
    for (TPeerObject* s : m_active) {
        if (s->m_kind != kSourceBitTorrent || s->m_linkState != TPeerObject::kLinkEstablished)
            continue;
        auto* p = static_cast<TBTPeer*>(s);
        for (uint32_t piece : fresh) {
            // A remote that has the piece learns nothing from it.
            if (!p->RemoteHasPiece(static_cast<int32_t>(piece))) p->QueueHave(piece);
        }
        if (s->m_connection) s->m_connection->Flush();
    }
}

void TWorkWithTransStatis::PeerStatisticsStep() {
    const bool complete = IsDownloadComplete();
    int32_t average = 0;
    {
        QGuard guard(m_lock);
        average = m_working.averageDownSpeed;
    }
    const int64_t unchokeLimit = average / 8192 + 8LL * m_peerSlots + 32;
    for (size_t i = 0; i < m_active.size();) {
        TPeerObject* s = m_active[i];
        if (s->m_kind != kSourceBitTorrent || !s->IsConnected()) {
            ++i;
            continue;
        }
        auto* p = static_cast<TBTPeer*>(s);
        if (p->WireStateValue() != TBTPeer::kWireActive) {
            ++i;
            continue;
        }
        // Two seeds have nothing to exchange.
        if (complete && p->IsLongSeed()) {
            RemoveActive(i, 0);
            continue;
        }
        bool ok = true;
        if (static_cast<int64_t>(i) > unchokeLimit || s->m_stallStrikes > 3) {
            if (!p->ChokingRemote()) ok = p->ChokeRemote();
        } else if (p->ChokingRemote()) {
            ok = p->UnchokeRemote();
        }
        if (ok && !p->ChokedByRemote() && s->m_queue.size() > 0) ok = p->PumpRequests(false);
        if (!ok) {
            RemoveActive(i, 1);
            continue;
        }
        ++i;
    }
}

void TWorkWithTransStatis::PeriodicPublish() {
    const int64_t now = TaskClock();
    if (now - m_lastPublish <= 5) return;
    m_lastPublish = now;
    m_tickSleepMs = m_tickSleepMs / 2 + 1;
    bool stall = false;
    {
        QGuard guard(m_lock);
        if (m_pieces != nullptr) {
            m_pieces->SetCacheLimitUnits(std::min(8000, std::max(m_settings.cacheUnits, 4)));
        }
        Publish(true, false);
        stall = StallStopDue();
    }
    if (stall) RequestStop(nullptr);
}

bool TWorkWithTransStatis::StallStopDue() {
    return m_pieces != nullptr && !IsDownloadComplete() && m_pieces->LastActivity() != 0 &&
           CachedSeconds() - m_pieces->LastActivity() >=
               static_cast<uint32_t>(GetEngineTimings().stallStopSeconds);
}

bool TWorkWithTransStatis::StatisticsDue() {
    const int64_t now = TaskClock();
    return now - m_lastStatistics > 3 || now < m_lastStatistics;
}

void TWorkWithTransStatis::StatisticsStep() {
    m_lastStatistics = TaskClock();
    ++m_statisticsRuns;
    SortActive();
    int32_t down = 0, up = 0;
    const uint32_t nowMs = TickCountMs();
    for (TPeerObject* s : m_active) {
        s->m_downloadRate = static_cast<int32_t>(s->m_rateReceived / 3);
        s->m_uploadRate = static_cast<int32_t>(s->m_rateSent / 3);
        s->m_rateReceived = 0;
        s->m_rateSent = 0;
        if (s->m_ratePeriodValid) s->StartRatePeriod(nowMs);
        down += s->m_downloadRate;
        up += s->m_uploadRate;
    }
    m_downloadRate = down;
    m_uploadRate = up;
    DropSurplusSources();
    PeerStatisticsStep();
    // Stalled connections: every fourth run (16 s); closed at the sixth
    // check in a row without traffic.
    if (m_statisticsRuns % 4 == 0) CheckStalledConnections();
    BanServers();
    EngineLog::Printf(37, "Task %p: %zu sources, %zu candidates, %zu ranges, %u/%u pieces, %d B/s",
                      static_cast<void*>(this), m_active.size(), m_candidates.size(),
                      m_ranges.size(), m_working.piecesDone, m_working.pieceCount, m_downloadRate);
}

int32_t TWorkWithTransStatis::SurplusLimit(int32_t maxConnections) {
    int32_t m = maxConnections - 6;
    return m - std::max(m / 12 - 6, 0);
}

void TWorkWithTransStatis::DropSurplusSources() {
    int32_t n = 0;
    for (TPeerObject* s : m_active) n += s->IsConnected() ? 1 : 0;
    const int32_t m = SurplusLimit(m_settings.maxPeerConnections);
    if (n <= m) return;
    const bool fewLeft =
        SizeKnown() && m_pieces != nullptr && m_pieces->PieceCount() - m_pieces->HaveCount() <= 6;
    bool dropped = false;
    // Worst first (the list was just sorted).
    for (size_t i = m_active.size(); i-- > 0;) {
        TPeerObject* s = m_active[i];
        if (s->m_source == nullptr || (s->m_source->kind & (kSourceHttp | kSourceFtp)) != 0)
            continue;
        bool drop = false;
        if (s->IsConnected() && !s->m_idle) {
            drop = n > m && s->ShouldDrop(fewLeft);
        } else {
            drop = static_cast<int64_t>(i) > m + 12 && s->m_downloadRate == 0;
        }
        if (!drop) continue;
        if (s->IsConnected()) --n;
        RemoveActive(i, 6);
        dropped = true;
    }
    if (dropped) SortCandidates();
}

void TWorkWithTransStatis::CheckStalledConnections() {
    for (TPeerObject* s : m_active) {
        if (!s->IsConnected()) continue;
        uint64_t received = 0, sent = 0;
        s->TrafficTotals(&received, &sent);
        if (TPeerObject::StallCheck(&s->m_stallStrikes, &s->m_stallReceived, &s->m_stallSent,
                                    received, sent)) {
            EngineLog::Printf(37, "Connection %d stalled: closed", s->m_connectionNumber);
            // The next pass finds it disconnected and removes it.
            if (s->m_connection) s->m_connection->Close();
            s->m_linkState = TPeerObject::kLinkNone;
        }
    }
}

TWorkWithTransStatis::~TWorkWithTransStatis() = default;

int64_t TWorkWithTransStatis::TaskClock() {
    return m_cachedClock != 0 ? m_cachedClock : static_cast<int64_t>(std::time(nullptr));
}

bool TWorkWithTransStatis::TakePublishRequest() {
    bool r = m_publishRequest;
    m_publishRequest = false;
    return r;
}

void TWorkWithTransStatis::Reset(bool clearFileList, bool clearAll) {
    if (m_uploadedBytes != m_uploadedLogged) {
        EngineLog::Printf(23, "%s: %llu bytes uploaded to BitTorrent peers", m_targetFile.c_str(),
                          static_cast<unsigned long long>(m_uploadedBytes));
        m_uploadedLogged = m_uploadedBytes;
    }
    TWorkWithPieces::Reset(clearFileList, clearAll);
    m_secondReceived = m_secondSent = m_secondPayload = 0;
    m_downloadRate = m_uploadRate = 0;
    m_tickSleepMs = 6;
    m_divisorForPass = 6;
    m_divisor2 = 18;
    m_uploadDivisor = 18;
    m_handshakeMade = false;
    m_announcedValid = false;
    m_announcedHave.clear();
    m_secondUploaded = 0;
    m_publishRequest = false;
    m_lastStatistics = 0;
    m_lastSave = 0;
    m_lastPublish = 0;
}

bool TWorkWithTransStatis::FillAnnounce(tracker::AnnounceValues* values) {
    if (m_torrent == nullptr) return false;
    values->infoHash = m_torrent->InfoHash();
    const std::array<uint8_t, 20>& id = TaskPeerId();
    std::copy(id.begin(), id.end(), values->peerId.begin());
    const int32_t port = CLanternfishCore::Instance().listenPort.load();
    values->listenPort = static_cast<uint16_t>(port > 0 && port <= 65535 ? port : 8080);
    values->listenAddress = 0;  // the listener takes every interface
    values->uploaded = m_secondSent;
    values->downloaded = m_secondReceived;
    QGuard guard(m_lock);
    values->left = std::max<int64_t>(m_working.totalBytes - m_working.downloadedBytes, 0);
    return true;
}

tracker::PeerIdField TWorkWithTransStatis::HttpAnnouncePeerId() {
    uint32_t local = CLanternfishCore::Instance().localAddress.load();
    if (local == 0) local = ChooseLocalAddress();
    if (local == 0) local = 0xffffffffu;
    return tracker::MakePeerId(AnnounceAddress(),
                               static_cast<int64_t>(reinterpret_cast<intptr_t>(this)),
                               static_cast<int64_t>(CachedSeconds()), local, nullptr);
}

void TWorkWithTransStatis::OfferTrackerPeer(const tracker::PeerEntry& peer) {
    const size_t before = CandidateCount();
    TPeerId* r =
        AddPeerAddress(peer.ipv4, peer.port, kSourceBitTorrent, false, 19, peer.peerId.data());
    if (r == nullptr) {
        EngineLog::Printf(13, "Candidate %s:%u refused", DottedAddress(peer.ipv4).c_str(),
                          static_cast<unsigned>(peer.port));
    } else if (CandidateCount() > before) {
        EngineLog::Printf(13, "Candidate %s added, peer id %s", r->address.c_str(),
                          tracker::HexText(r->peerId, 20).c_str());
    }
}

void TWorkWithTransStatis::StoreTrackerCounts(int32_t interval, int32_t donePeers,
                                              int32_t completed) {
    QGuard guard(m_lock);
    m_working.trackerInterval = interval;
    m_working.trackerDonePeers = donePeers;
    m_working.trackerCompleted = completed;
}

}  // namespace lf
