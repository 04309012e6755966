#include "engine/core/WorkWithPeers.h"

#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>

#include "engine/base/TimeThread.h"
#include "engine/core/EngineSettings.h"
#include "engine/core/LanternfishCore.h"
#include "engine/log/LogApi.h"
#include "engine/net/Connection.h"
#include "engine/net/LanDiscovery.h"
#include "engine/net/NameResolve.h"
#include "engine/net/PendingConnection.h"
#include "engine/sources/BtPeer.h"
#include "engine/sources/FtpPeer.h"
#include "engine/sources/HttpPeer.h"
#include "engine/sources/PeerId.h"
#include "engine/sources/PeerObject.h"
#include "engine/sources/TrackerPeer.h"
#include "engine/sources/TrackerProtocol.h"
#include "engine/store/TPieces.h"

namespace lf {

namespace {

bool IsServer(int kind) {
    return (kind & (kSourceHttp | kSourceFtp)) != 0;
}

// A copy of a source description (details included), count 1.
TPeerId* CloneSource(const TPeerId* r) {
    TPeerId* c = new TPeerId(r->address);
    c->kind = r->kind;
    c->ipv4 = r->ipv4;
    c->port = r->port;
    c->alternates = r->alternates;
    c->parsed = r->parsed;
    c->resolving = r->resolving;
    c->lookupFailed = r->lookupFailed;
    c->waitingSeconds = r->waitingSeconds;
    c->retryMark = r->retryMark;
    c->priorityMark = r->priorityMark;
    std::copy(std::begin(r->peerId), std::end(r->peerId), std::begin(c->peerId));
    c->trackerTransport = r->trackerTransport;
    if (r->details) c->details = std::make_unique<TPeerDetails>(*r->details);
    c->allowedConnections = r->allowedConnections;
    c->metadataSource = r->metadataSource;
    c->fromMirrorPool = r->fromMirrorPool;
    return c;
}

}  // namespace

TWorkWithPeers::~TWorkWithPeers() {
    for (TPeerObject* s : m_active) {
        s->Reset();
        s->Release();
    }
    for (TPeerObject* s : m_idle) s->Release();
    for (TPeerId* r : m_candidates) r->Release();
}

void TWorkWithPeers::SetConnectionLimits(int32_t servers, int32_t peers) {
    QGuard guard(m_lock);
    m_serverLimit = servers;
    m_peerLimit = peers;
    m_pendingListChanged = false;
}

int32_t TWorkWithPeers::ServerLimit() {
    QGuard guard(m_lock);
    return m_serverLimit;
}

int32_t TWorkWithPeers::PeerLimit() {
    QGuard guard(m_lock);
    return m_peerLimit;
}

void TWorkWithPeers::AddMirrors(const char* addresses, const char* companions) {
    QGuard guard(m_lock);
    for (auto& line : SplitTextLines(addresses)) m_mirrors.push_back(std::move(line));
    for (auto& line : SplitTextLines(companions)) m_mirrorCompanions.push_back(std::move(line));
    m_mirrorMode = true;
}

void TWorkWithPeers::ClearMirrors() {
    QGuard guard(m_lock);
    m_mirrors.clear();
    m_mirrorCompanions.clear();
    m_mirrorMode = false;
}

// ---- candidates ----

void TWorkWithPeers::SortCandidates() {
    std::stable_sort(m_candidates.begin(), m_candidates.end(),
                     [](const TPeerId* a, const TPeerId* b) {
                         if (a->retryMark != b->retryMark) return a->retryMark > b->retryMark;
                         if (a->piecesHashed != b->piecesHashed)
                             return a->piecesHashed > b->piecesHashed;
                         if (a->failures != b->failures) return a->failures < b->failures;
                         if (a->connectionsMade != b->connectionsMade)
                             return a->connectionsMade < b->connectionsMade;
                         return a->waitingSeconds < b->waitingSeconds;
                     });
}

const std::array<uint8_t, 20>& TWorkWithPeers::TaskPeerId() {
    if (!m_peerIdMade) {
        uint32_t local = CLanternfishCore::Instance().localAddress.load();
        if (local == 0) local = ChooseLocalAddress();
        if (local == 0) local = 0xffffffffu;  // no local address: -1
        const std::array<uint8_t, 16> process = ProcessId();
        m_peerId = tracker::MakePeerId(AnnounceAddress(),
                                       static_cast<int64_t>(reinterpret_cast<intptr_t>(this)),
                                       static_cast<int64_t>(TickCountMs()), local, process.data());
        m_peerIdMade = true;
    }
    return m_peerId;
}

TPeerId* TWorkWithPeers::AddPeerAddress(uint32_t ipv4, uint16_t port, int kind, bool toFront,
                                        int group, const uint8_t* peerId) {
    if (ipv4 == 0 || ipv4 == 0xffffffffu || port == 0) return nullptr;
    if (kind == kSourceBitTorrent) {
        if (ipv4 == 0x0100007fu) return nullptr;
        if (peerId != nullptr && std::equal(peerId, peerId + 20, TaskPeerId().begin()))
            return nullptr;
        // The engine's own listening address (trackers list the announcer).
        const int32_t listen = CLanternfishCore::Instance().listenPort.load();
        if (port == (listen > 0 && listen <= 65535 ? listen : 8080)) {
            const uint32_t local = CLanternfishCore::Instance().localAddress.load();
            if (ipv4 == local || (local == 0 && ipv4 == ChooseLocalAddress())) return nullptr;
        }
    }
    for (TPeerId* c : m_candidates) {
        if (c->ipv4 == ipv4 && c->port == port && c->kind == kind) {
            if (kind != kSourceBitTorrent) {
                std::fill(std::begin(c->peerId), std::end(c->peerId), 0);
                c->retryMark = group;
            }
            return c;
        }
    }
    TPeerId* r = new TPeerId();
    r->address = "btnode://" + DottedAddress(ipv4) + ":" + std::to_string(port);
    r->kind = kind;
    r->ipv4 = ipv4;
    r->port = port;
    r->parsed = true;
    r->retryMark = group;
    if (kind == kSourceBitTorrent) {
        r->allowedConnections = 1;
        r->retryMark = std::max(19, group);
        if (peerId != nullptr) {
            std::copy(peerId, peerId + 20, std::begin(r->peerId));
        } else {
            std::memcpy(r->peerId + 14, &ipv4, 4);
            r->peerId[18] = static_cast<uint8_t>(port >> 8);
            r->peerId[19] = static_cast<uint8_t>(port & 0xff);
        }
    }
    if (kind == kSourceBitTorrent) m_freshPeers = true;
    if (toFront || IsServer(kind)) {
        m_candidates.insert(m_candidates.begin(), r);
    } else {
        m_candidates.push_back(r);
    }
    m_candidatesAdded = true;
    return r;
}

bool TWorkWithPeers::AddCandidate(TPeerId* r, bool fromPeer, bool takePeerId) {
    if (r == nullptr) return false;
    if (r->kind == kSourceBitTorrent && r->ipv4 == 0x0100007fu) return false;
    for (TPeerId* c : m_candidates) {
        const bool sameText = strcasecmp(c->address.c_str(), r->address.c_str()) == 0;
        const bool bothResolved = c->parsed && r->parsed;
        if (sameText && (!bothResolved || c->ipv4 == r->ipv4)) return true;
        if (c->ipv4 == r->ipv4 && c->port == r->port && c->kind == r->kind &&
            r->ipv4 != 0xffffffffu) {
            if (IsServer(r->kind) && !sameText) continue;  // two servers: only with equal texts
            if (r->kind == kSourceBitTorrent && takePeerId) {
                std::copy(std::begin(r->peerId), std::end(r->peerId), std::begin(c->peerId));
            }
            return true;
        }
    }
    TPeerId* copy = CloneSource(r);
    if (copy->kind == kSourceBitTorrent)
        copy->retryMark = std::max(copy->retryMark, TPeerId::kRetryPeer);
    if (IsServer(copy->kind) || fromPeer) {
        // A random place among the candidates of its group.
        size_t first = m_candidates.size(), last = 0;
        for (size_t i = 0; i < m_candidates.size(); ++i) {
            if (m_candidates[i]->retryMark == copy->retryMark) {
                first = std::min(first, i);
                last = i;
            }
        }
        size_t at = m_candidates.size();
        if (first < m_candidates.size()) {
            at = last > first ? first + TickCountMs() % (last - first) : first;
        }
        m_candidates.insert(m_candidates.begin() + static_cast<long>(at), copy);
    } else {
        m_candidates.insert(m_candidates.begin(), copy);
    }
    m_candidatesAdded = true;
    if (copy->resolving) m_namesPending = true;
    SortCandidates();
    return true;
}

void TWorkWithPeers::PenalizeCandidate(TPeerId* r, bool keep, int amount) {
    if (r == nullptr) return;
    r->AddRef();  // r may be one of the candidates
    for (size_t i = 0; i < m_candidates.size();) {
        TPeerId* c = m_candidates[i];
        if (c->SameAddress(*r)) {
            if (keep) {
                c->waitingSeconds += std::max(1, amount);
            } else {
                c->givenUp = true;
                m_candidates.erase(m_candidates.begin() + static_cast<long>(i));
                c->Release();
                continue;
            }
        }
        ++i;
    }
    r->Release();
}

TPeerId* TWorkWithPeers::ParseSource(const std::string& text, int group) {
    if (text.empty()) return nullptr;
    TPeerId* r = new TPeerId(text);
    if (!r->Parse()) {
        NoteParseError();
        r->Release();
        return nullptr;
    }
    r->retryMark = group;
    return r;
}

void TWorkWithPeers::NoteParseError() {
    QGuard guard(m_lock);
    m_working.statusCode = kTaskStatusBadSourceAddress;
    Publish(false, true);
}

void TWorkWithPeers::SourceRefresh() {
    std::vector<SourceEntry> entries;
    {
        QGuard guard(m_lock);
        if (!m_savedListMade) {
            m_savedSourceList = m_sourceList;
            m_savedListMade = true;
        }
        entries = m_sourceList;
    }
    for (size_t i = entries.size(); i-- > 0;) {
        SourceEntry& e = entries[i];
        if (e.state == 16 || e.state == 17 || e.text.empty()) continue;
        TPeerId* r = ParseSource(e.text, TPeerId::kRetryListed);
        if (r == nullptr) continue;
        if (e.state == 1) {
            r->metadataSource = true;
            r->allowedConnections = 1;
            if (r->details) r->details->wholeDocument = true;
            r->priorityMark = 1;
            e.state = 17;
        } else {
            e.state = 16;
        }
        AddCandidate(r, false, false);
        r->Release();
    }
    {
        QGuard guard(m_lock);
        for (size_t i = 0; i < entries.size() && i < m_sourceList.size(); ++i)
            m_sourceList[i].state = entries[i].state;
    }
    RefreshCandidates();
}

void TWorkWithPeers::RefreshCandidates() {
    for (size_t i = 0; i < m_candidates.size();) {
        TPeerId* c = m_candidates[i];
        if (c->ipv4 == 0xffffffffu && !c->resolving && !c->Parse()) {
            NoteParseError();
            m_candidates.erase(m_candidates.begin() + static_cast<long>(i));
            c->Release();
            continue;
        }
        ++i;
    }
    ResolveNames();
}

void TWorkWithPeers::ResolveNames() {
    bool resolved = false;
    m_namesPending = false;
    for (size_t i = 0; i < m_candidates.size();) {
        TPeerId* c = m_candidates[i];
        if (!c->resolving) {
            ++i;
            continue;
        }
        switch (c->Resolution(Host()->NetServices())) {
            case TPeerId::kResolving:
                m_namesPending = true;
                ++i;
                break;
            case TPeerId::kResolved:
                resolved = true;
                ++i;
                break;
            case TPeerId::kResolveFailed:
                NoteParseError();
                m_candidates.erase(m_candidates.begin() + static_cast<long>(i));
                c->Release();
                break;
        }
    }
    if (resolved) ExpandHostNames();
}

void TWorkWithPeers::ExpandHostNames() {
    std::vector<TPeerId*> copies;
    for (TPeerId* c : m_candidates) {
        if (!IsServer(c->kind) || c->ipv4 == 0xffffffffu) continue;
        for (uint32_t a : c->alternates) {
            if (a == c->ipv4) continue;
            TPeerId* copy = CloneSource(c);
            copy->ipv4 = a;
            copy->alternates.clear();
            copy->retryMark =
                c->kind == kSourceHttp ? TPeerId::kRetryListed : TPeerId::kRetryRedirect;
            copies.push_back(copy);
        }
        c->alternates.clear();
    }
    for (TPeerId* copy : copies) {
        AddCandidate(copy, false, false);
        copy->Release();
    }
}

void TWorkWithPeers::LoadSavedList(bool immediate) {
    std::vector<SourceEntry> saved;
    {
        QGuard guard(m_lock);
        saved = m_savedSourceList;
    }
    for (const SourceEntry& e : saved) {
        TPeerId* r = ParseSource(e.text, TPeerId::kRetryListed);
        if (r == nullptr) continue;
        if (immediate && IsServer(r->kind)) {
            TPeerId* added = nullptr;
            AddCandidate(r, false, false);
            for (TPeerId* c : m_candidates) {
                if (c->SameSource(*r)) added = c;
            }
            if (added != nullptr && added->useCount == 0) OpenConnections(added, 1, 0, true);
        } else {
            AddCandidate(r, false, false);
        }
        r->Release();
    }
}

void TWorkWithPeers::RandomMirrors(int n, bool immediate) {
    std::vector<std::string> mirrors, companions;
    {
        QGuard guard(m_lock);
        mirrors = m_mirrors;
        companions = m_mirrorCompanions;
    }
    if (mirrors.empty()) return;
    std::uniform_int_distribution<size_t> draw(0, mirrors.size() - 1);
    int taken = 0;
    std::vector<bool> picked(mirrors.size(), false);
    for (int tries = 0; tries < 2 * n && taken < n; ++tries) {
        size_t i = draw(m_random);
        // An entry picked twice counts once: a small pool is used whole
        // instead of one entry again and again.
        if (picked[i]) {
            auto free = std::find(picked.begin(), picked.end(), false);
            if (free == picked.end()) break;
            i = static_cast<size_t>(free - picked.begin());
        }
        picked[i] = true;
        TPeerId* r = new TPeerId(mirrors[i]);
        if (!r->Parse()) {
            NoteParseError();
            r->Release();
            continue;
        }
        if (i < companions.size() && companions[i] != "null" && !companions[i].empty() &&
            r->details) {
            r->details->hostName = companions[i];
        }
        r->retryMark = TPeerId::kRetryListed;
        r->fromMirrorPool = true;
        AddCandidate(r, false, false);
        if (immediate) {
            for (TPeerId* c : m_candidates) {
                if (c->SameSource(*r) && c->useCount == 0) {
                    OpenConnections(c, 1, 0, true);
                    break;
                }
            }
        }
        r->Release();
        ++taken;
    }
    ExpandHostNames();
}

bool TWorkWithPeers::Eligible(TPeerId* r) {
    if (r->ipv4 == 0 || r->ipv4 == 0xffffffffu || r->port == 0) return false;
    if (r->givenUp) return false;
    if ((r->kind == kSourceBitTorrent || r->kind == kSourceTracker) && r->useCount > 0)
        return false;
    if (IsServer(r->kind)) {
        const int end = r->metadataSource
                            ? r->allowedConnections
                            : std::max(r->allowedConnections, m_settings.connectionsPerServer);
        if (r->useCount >= std::max(end, 1)) return false;
        const bool sizeKnown = r->details && r->details->reportedSize > 0;
        if (r->useCount == 1 && !sizeKnown) return false;
        if (r->useCount == 0) {
            if (r->piecesHashed > 15) {
                r->waitingSeconds = 0;
                return !IsDownloadComplete();
            } else if (r->piecesHashed > 5) {
                r->waitingSeconds = r->waitingSeconds < 10 ? 0 : r->waitingSeconds / 10;
            } else if (r->piecesHashed > 0) {
                r->waitingSeconds = r->waitingSeconds < 5 ? 0 : r->waitingSeconds / 5;
            }
        }
        if (m_working.smoothedSpeed == 0) {
            if (r->waitingSeconds > 10) {
                r->waitingSeconds /= 10;
            } else if (r->waitingSeconds > 0) {
                r->waitingSeconds = 0;
            }
        }
    }
    if (r->kind == kSourceTracker && r->lastConnectTime != 0 &&
        static_cast<int64_t>(WallSeconds()) - r->lastConnectTime <
            GetEngineTimings().trackerAgainSeconds) {
        return false;
    }
    if (r->waitingSeconds > 0) --r->waitingSeconds;
    if (r->waitingSeconds > 0) return false;
    if (m_ipFilter.IsFiltered(r->ipv4)) return false;
    if (IsServer(r->kind) && IsDownloadComplete()) return false;
    if (r->kind == kSourceBitTorrent && PeerAlreadyConnected(r)) return false;
    return true;
}

bool TWorkWithPeers::PeerAlreadyConnected(const TPeerId* r) const {
    bool knownId = false;
    for (int i = 0; i < 14; ++i) knownId = knownId || r->peerId[i] != 0;
    for (const TPeerObject* s : m_active) {
        if (s->m_kind != kSourceBitTorrent || !s->IsConnected()) continue;
        const auto* p = static_cast<const TBTPeer*>(s);
        const uint32_t ip = p->RemoteAddress();
        if (ip != r->ipv4) continue;
        if (s->m_source != nullptr && s->m_source->port == r->port && !p->Incoming()) return true;
        if (knownId && std::equal(p->RemotePeerId().begin(), p->RemotePeerId().end(), r->peerId))
            return true;
    }
    return false;
}

int32_t TWorkWithPeers::HalfOpenLimit() {
    QHalfOpenGate* gate = Host()->HalfOpenGate();
    return gate != nullptr ? gate->Limit() : 64;
}

int TWorkWithPeers::ConnectionAttemptBudget() {
    int attempts = 0;
    for (const TPeerObject* s : m_active) {
        if (s->m_linkState != TPeerObject::kLinkEstablished && s->m_kind == kSourceBitTorrent)
            ++attempts;
    }
    const int m = std::max(PeerLimit(), 0);
    const int a = static_cast<int>(m_active.size());
    const int limit = std::min(2 * std::min(HalfOpenLimit(), m), m);
    // Twice the room for a large peer limit while nobody reached the engine
    // from outside (its peers must be found by connecting out).
    const bool reachable = CLanternfishCore::Instance().Listener().Reachable();
    int room = m >= 100 && !reachable ? 32 : 16;
    if (a + room > m) room = m - a;
    if (attempts + room >= limit) room = limit - attempts - 1;
    return std::max(room, 0);
}

bool TWorkWithPeers::AcceptIncoming(std::unique_ptr<QConnection>& connection, bool disguised) {
    if (!connection || CLanternfishCore::Instance().p2pEnabled.load() == 0) return false;
    if (Host()->BtHandshakeBlock() == nullptr) return false;
    const int m = m_settings.maxPeerConnections;
    int connected = 0;
    for (const TPeerObject* s : m_active) connected += s->IsConnected() ? 1 : 0;
    if (!(static_cast<int>(m_active.size()) < m + 4 || connected < m)) return false;
    if (connection->ReceivedSize() >= 68) {
        if (connection->IsTransport() && !AllowUdpConnections()) return false;
        const uint8_t* id = connection->ReceivedData() + 48;
        if (std::equal(id, id + 20, TaskPeerId().begin())) return false;
        for (const TPeerObject* s : m_active) {
            if (s->m_kind != kSourceBitTorrent || !s->IsConnected()) continue;
            const auto* p = static_cast<const TBTPeer*>(s);
            if (p->RemoteAddress() == connection->TargetAddress() &&
                std::equal(id, id + 20, p->RemotePeerId().begin()))
                return false;
        }
    }
    auto* s = static_cast<TBTPeer*>(CreateSource(kSourceBitTorrent));
    s->SetDisguisedIncoming(disguised);
    if (!s->Attach(std::move(connection)) || !s->SendHandshake()) {
        Recycle(s);
        return true;  // taken (and closed)
    }
    s->m_connectionNumber = ++m_connectionCounter;
    m_active.push_back(s);
    return true;
}

TPeerObject* TWorkWithPeers::CreateSource(int kind) {
    for (size_t i = 0; i < m_idle.size(); ++i) {
        if (m_idle[i]->m_kind == kind) {
            TPeerObject* s = m_idle[i];
            m_idle.erase(m_idle.begin() + static_cast<long>(i));
            s->Reset();
            return s;
        }
    }
    if (kind == kSourceHttp) return new THttpPeer(Host());
    if (kind == kSourceFtp) return new TFtpPeer(Host());
    if (kind == kSourceTracker)
        return new TTrackerPeer(Host(), TrackerHost(), TTrackerPeer::kEventStarted);
    if (kind == kSourceBitTorrent) return new TBTPeer(Host());
    return nullptr;
}

void TWorkWithPeers::Recycle(TPeerObject* s) {
    s->Reset();
    m_idle.push_back(s);
    if (m_idle.size() > static_cast<size_t>(m_settings.maxPeerConnections + 12)) {
        for (TPeerObject* o : m_idle) o->Release();
        m_idle.clear();
    }
}

int TWorkWithPeers::OpenConnections(TPeerId* r, int need, int already, bool immediate) {
    const bool server = IsServer(r->kind);
    const int end = server && !r->metadataSource
                        ? std::max(r->allowedConnections, m_settings.connectionsPerServer)
                        : r->allowedConnections;
    int opened = 0;
    QHalfOpenGate* gate = Host()->HalfOpenGate();
    while (r->useCount < std::max(end, 1)) {
        // Attempts in flight across all tasks are capped: the rest waits.
        if (gate != nullptr && !gate->HasRoom()) break;
        TPeerObject* s = CreateSource(r->kind);
        if (s == nullptr) break;
        s->m_connectionNumber = ++m_connectionCounter;
        if (!s->Connect(r)) {
            const bool gateFull = s->m_connection && s->m_connection->LastFailure() ==
                                                         QConnection::Failure::kHalfOpenFull;
            if (!gateFull) {
                ++r->connectionsMade;
                ++r->failures;
            }
            Recycle(s);
            break;
        }
        ++r->connectionsMade;
        m_active.push_back(s);
        r->lastConnectTime = static_cast<int64_t>(WallSeconds());
        ++opened;
        if (immediate) break;
        const bool sizeKnown = r->details && r->details->reportedSize > 0;
        if (!(server && sizeKnown)) break;
        if (already + opened >= need) break;
    }
    return opened;
}

void TWorkWithPeers::ConnectionWork() {
    // At most once per clock second.
    const uint32_t second = CachedSeconds();
    if (second == m_lastConnectionSecond) return;
    m_lastConnectionSecond = second;
    // Servers.
    int count = 0;
    for (TPeerObject* s : m_active) {
        if (IsServer(s->m_kind) && (s->m_source == nullptr || !s->m_source->givenUp)) ++count;
    }
    const int limit = ServerLimit();
    int opened = 0;
    if (count < limit) {
        const int need = limit - count;
        for (size_t i = 0; i < m_candidates.size() && opened < need; ++i) {
            TPeerId* r = m_candidates[i];
            if (!IsServer(r->kind) || !Eligible(r)) continue;
            int n = OpenConnections(r, need, opened, false);
            if (n == 0) ++r->failures;
            opened += n;
        }
        if (opened == 0) {
            if (++m_idleSeconds >= 10) {
                LoadSavedList(false);
                RefreshCandidates();
                RandomMirrors(need, true);
                m_idleSeconds = 0;
            }
        } else {
            m_idleSeconds = 0;
        }
    }
    SortCandidates();

    PeerConnectionWork();

    // Low throughput of the servers: refill from the saved list.
    int32_t serverRate = 0;
    for (TPeerObject* s : m_active) {
        if (IsServer(s->m_kind)) serverRate += s->m_downloadRate;
    }
    if (serverRate < 1024) {
        if (++m_lowThroughput >= 16) {
            if (count < limit) {
                LoadSavedList(true);
                RefreshCandidates();
            }
            m_lowThroughput = 0;
        }
    } else {
        m_lowThroughput = 0;
    }

    // Mirror mode every 31 s, trimming every 46 s.
    const uint32_t now = CachedSeconds();
    if (m_mirrorMode) {
        // The first mirror step runs at once: mirrors handed to a task
        // are meant to be used from its start.
        if (m_lastMirrorSecond == 0 || now - m_lastMirrorSecond >= 31) {
            m_lastMirrorSecond = now;
            int servers = 0;
            for (TPeerObject* s : m_active) servers += IsServer(s->m_kind) ? 1 : 0;
            if (servers > limit - 1)
                DropSources(kSourceHttp | kSourceFtp, servers - (limit - 1), true, 0);
            RandomMirrors(std::max(limit - servers, 1), false);
            RefreshCandidates();
        }
    } else if (now - m_lastTrimSecond >= 46) {
        m_lastTrimSecond = now;
        int servers = 0, eligible = 0;
        for (TPeerObject* s : m_active) servers += IsServer(s->m_kind) ? 1 : 0;
        for (TPeerId* r : m_candidates)
            eligible += IsServer(r->kind) && r->waitingSeconds <= 0 ? 1 : 0;
        if (m_candidatesAdded && now - StartTime() > 45 && servers >= limit && eligible >= limit) {
            DropSources(kSourceHttp | kSourceFtp, servers - limit + 1, true, 0);
        }
    }
}

size_t TWorkWithPeers::ConnectedBitTorrentPeers() const {
    size_t n = 0;
    for (const TPeerObject* s : m_active) {
        if (s->m_kind == kSourceBitTorrent && s->m_linkState == TPeerObject::kLinkEstablished) ++n;
    }
    return n;
}

void TWorkWithPeers::PeerConnectionWork() {
    if (CLanternfishCore::Instance().p2pEnabled.load() == 0) {
        // P2P off: the BitTorrent sources go, two per second.
        DropSources(kSourceBitTorrent, 2, false, 0);
        return;
    }
    int peers = 0;
    for (TPeerObject* s : m_active) {
        if (s->m_kind == kSourceBitTorrent && (s->m_source == nullptr || !s->m_source->givenUp))
            ++peers;
    }
    const int peerLimit = PeerLimit();
    int budget = ConnectionAttemptBudget();
    for (size_t i = 0; i < m_candidates.size(); ++i) {
        if (CLanternfishCore::Instance().p2pEnabled.load() == 0) break;
        TPeerId* r = m_candidates[i];
        if (IsServer(r->kind) || r->metadataSource || r->givenUp) continue;
        if (r->kind == kSourceBitTorrent && (peers >= peerLimit || budget <= 0)) continue;
        if (!Eligible(r)) continue;
        const int n = OpenConnections(r, 1, 0, false);
        if (r->kind == kSourceBitTorrent) {
            peers += n;
            budget -= n;
        }
    }
}

void TWorkWithPeers::ConnectFreshPeers() {
    m_freshPeers = false;
    if (CLanternfishCore::Instance().p2pEnabled.load() == 0) return;
    int peers = 0;
    for (TPeerObject* s : m_active) {
        if (s->m_kind == kSourceBitTorrent && (s->m_source == nullptr || !s->m_source->givenUp))
            ++peers;
    }
    const int peerLimit = PeerLimit();
    int budget = ConnectionAttemptBudget();
    for (TPeerId* r : m_candidates) {
        if (peers >= peerLimit || budget <= 0) break;
        // Only candidates never tried and without a penalty: the others keep
        // the per-second rhythm their waiting counts are made for.
        if (r->kind != kSourceBitTorrent || r->metadataSource || r->givenUp || r->useCount > 0 ||
            r->failures > 0 || r->waitingSeconds > 0 || r->lastConnectTime != 0 || !Eligible(r))
            continue;
        const int n = OpenConnections(r, 1, 0, false);
        peers += n;
        budget -= n;
    }
}

void TWorkWithPeers::TopUpServerConnections() {
    const uint32_t second = CachedSeconds();
    if (second == m_topUpPausedSecond) return;
    int count = 0;
    for (TPeerObject* s : m_active) {
        if (IsServer(s->m_kind) && (s->m_source == nullptr || !s->m_source->givenUp)) ++count;
    }
    const int limit = ServerLimit();
    for (size_t i = 0; i < m_candidates.size() && count < limit; ++i) {
        TPeerId* r = m_candidates[i];
        // Servers that answered before (they told their size) and carry no
        // penalty; the others wait for the per-second step.
        if (!IsServer(r->kind) || r->givenUp || r->metadataSource) continue;
        if (!(r->details && r->details->reportedSize > 0) || r->waitingSeconds > 0) continue;
        if (m_ipFilter.IsFiltered(r->ipv4)) continue;
        const int end = std::max(r->allowedConnections, m_settings.connectionsPerServer);
        while (r->useCount < end && count < limit) {
            // A connection that finds no work is no failure of the server;
            // the per-second step tries again.
            const int32_t failures = r->failures;
            if (OpenConnections(r, 1, 0, true) == 0) {
                r->failures = failures;
                m_topUpPausedSecond = second;
                return;
            }
            ++count;
        }
    }
}

void TWorkWithPeers::TrimServerConnections() {
    // A lowered limit holds at once: the slowest server connections beyond
    // it are closed.
    int count = 0;
    for (TPeerObject* s : m_active) count += IsServer(s->m_kind) ? 1 : 0;
    const int limit = ServerLimit();
    if (count > limit) DropSources(kSourceHttp | kSourceFtp, count - limit, false, 0);
}

void TWorkWithPeers::PenalizeEnded(TPeerObject* s, int amount) {
    if (s->m_adoptedIncoming || s->m_source == nullptr) return;
    TPeerId* r = nullptr;
    for (TPeerId* c : m_candidates) {
        if (c->SameAddress(*s->m_source)) {
            r = c;
            break;
        }
    }
    if (r == nullptr) return;
    if (IsServer(r->kind) && r->useCount > 1) {
        if (r->waitingSeconds <= 0) r->waitingSeconds += 2;
        return;
    }
    auto forgiven = std::find(m_forgiven.begin(), m_forgiven.end(), r->ipv4);
    if (forgiven != m_forgiven.end()) {
        m_forgiven.erase(forgiven);
    } else {
        r->waitingSeconds += std::max(r->failures - 1, 0) * 3;
    }
    r->waitingSeconds += amount;
    ++r->failures;
    if (r->kind == kSourceBitTorrent &&
        (!s->IsConnected() || s->m_linkState != TPeerObject::kLinkEstablished || s->IsStarved())) {
        int a = amount < 0 || amount > 4095 ? 1 : amount;
        const int b = std::max(r->failures - 1, a);
        const bool many = static_cast<int64_t>(b) * static_cast<int64_t>(m_candidates.size()) > 400;
        r->waitingSeconds += (many ? 2 * a : a) + 5;
        if (IsDownloadComplete()) r->waitingSeconds += 20;
        if (r->waitingSeconds <= 0) r->waitingSeconds = 10;
        EngineLog::Printf(13, "Peer %s ended unconnected or starved: %d failures, waits %d",
                          r->address.c_str(), r->failures, r->waitingSeconds);
        auto at = std::find(m_candidates.begin(), m_candidates.end(), r);
        if (at != m_candidates.end() && at + 1 != m_candidates.end()) {
            m_candidates.erase(at);
            m_candidates.push_back(r);
        }
    }
}

void TWorkWithPeers::RemoveActive(size_t index, int penalty) {
    TPeerObject* s = m_active[index];
    m_active.erase(m_active.begin() + static_cast<long>(index));
    if (penalty > 0) PenalizeEnded(s, penalty);
    OnSourceRemoved(s);
    Recycle(s);
}

void TWorkWithPeers::SortActive() {
    const bool complete = IsDownloadComplete();
    std::stable_sort(m_active.begin(), m_active.end(),
                     [complete](const TPeerObject* a, const TPeerObject* b) {
                         return TPeerObject::RanksBefore(a, b, complete);
                     });
}

void TWorkWithPeers::DropSources(int mask, int n, bool gentle, int penalty) {
    if (n <= 0) return;
    SortActive();
    const int32_t speed = m_working.smoothedSpeed;
    const int32_t threshold =
        m_active.empty() ? 0 : speed / static_cast<int32_t>(m_active.size()) / 5;
    int dropped = 0;
    for (size_t i = m_active.size(); i-- > 0 && dropped < n;) {
        TPeerObject* s = m_active[i];
        if ((s->m_kind & mask) == 0) continue;
        if (gentle) {
            if (m_active.size() - i > static_cast<size_t>(n)) break;
            if (IsServer(s->m_kind) && s->m_source != nullptr && s->m_source->givenUp) continue;
            if (!(s->m_downloadRate <= threshold || s->m_downloadRate < 1)) continue;
            if (s->m_source != nullptr)
                s->m_source->retryMark = std::max(s->m_source->retryMark - 1, 20);
        }
        RemoveActive(i, penalty);
        ++dropped;
    }
    SortCandidates();
}

void TWorkWithPeers::BanServers() {
    for (size_t i = 0; i < m_candidates.size();) {
        TPeerId* r = m_candidates[i];
        if (IsServer(r->kind) && r->failedPieces >= 32 && r->piecesHashed > 0 &&
            r->failedPieces * 100 / r->piecesHashed >= 50) {
            for (size_t k = m_active.size(); k-- > 0;) {
                if (m_active[k]->m_source != nullptr && m_active[k]->m_source->SameAddress(*r))
                    RemoveActive(k, 0);
            }
            m_candidates.erase(m_candidates.begin() + static_cast<long>(i));
            r->Release();
            continue;
        }
        ++i;
    }
}

void TWorkWithPeers::SourcePass() {
    // Names being looked up are looked at on every pass (never waited for).
    if (m_namesPending) ResolveNames();
    const uint32_t now = TickCountMs();
    if (!m_dispatchStarted || now - m_lastDispatchMs >= 400) {
        m_dispatchStarted = true;
        m_lastDispatchMs = now;
        IncomingDispatch();
    }
    bool full = false;
    if (!m_secondStarted || now - m_lastSecondMs >= 1000) {
        m_secondStarted = true;
        m_lastSecondMs = now;
        PerSecondBookkeeping();
        m_passCounter = 0;
        full = true;
    }
    const int d1 = std::max(1, m_divisorForPass);
    if (!full && m_passCounter % static_cast<uint32_t>(d1) == 0) full = true;
    m_comeBack = false;
    const bool complete = IsDownloadComplete();
    for (size_t i = 0; i < m_active.size();) {
        TPeerObject* s = m_active[i];
        // A source that is fast now is stepped on every pass, also before
        // its first rate period ended.
        // A BitTorrent source that serves fast counts as fast too: its
        // remote's requests are read on every pass.
        int32_t rate = complete ? s->m_uploadRate : s->CurrentRate(now);
        if (s->m_kind == kSourceBitTorrent) rate = std::max(rate, s->UploadRateNow(now));
        bool stepped = false;
        bool ok = true;
        if (full || rate > 28671) {
            ok = s->RunCycle();
            stepped = true;
        }
        if (stepped) OnSourceStepped(s);
        if (!ok) {
            const int phase = s->m_phase;
            RemoveActive(
                i, phase == TPeerObject::kPhaseTimedOut || phase == TPeerObject::kPhaseFinished
                       ? 0
                       : 1);
            continue;
        }
        ++i;
    }
    // Uploads of the BitTorrent sources: fast ones (by the last rate
    // period or the running one) on every pass, the others on every d2-th
    // pass.
    const int d2 = std::max(1, m_uploadDivisor);
    const bool slowTurn = m_passCounter % static_cast<uint32_t>(d2) == 0;
    m_uploadQueued = false;
    for (size_t i = 0; i < m_active.size();) {
        TPeerObject* s = m_active[i];
        if (s->m_kind != kSourceBitTorrent || !(slowTurn || s->UploadRateNow(now) >= 28672)) {
            ++i;
            continue;
        }
        if (!s->ProcessUpload()) {
            RemoveActive(i, 1);
            continue;
        }
        ++i;
    }
    if (!HasMetainfo()) ConnectionWork();
    if (m_freshPeers && HasMetainfo()) ConnectFreshPeers();
    TrimServerConnections();
    if (!complete) TopUpServerConnections();
    ++m_passCounter;
}

bool TWorkWithPeers::TaskInfoHash(std::array<uint8_t, 20>* out) {
    TPeerHost* host = Host();
    TPieces* pieces = host != nullptr ? host->Pieces() : nullptr;
    if (pieces == nullptr || pieces->InfoHash().size() != out->size()) return false;
    std::memcpy(out->data(), pieces->InfoHash().data(), out->size());
    return std::any_of(out->begin(), out->end(), [](uint8_t b) { return b != 0; });
}

bool TWorkWithPeers::IsHandshakeForTask(const QConnection& connection) {
    std::array<uint8_t, 20> hash{};
    if (!TaskInfoHash(&hash)) return false;
    return incoming::IsHandshakeFor(connection.ReceivedData(), connection.ReceivedSize(),
                                    hash.data());
}

std::string TWorkWithPeers::ListenerText() {
    QGuard guard(m_lock);
    return m_listenerText;
}

void TWorkWithPeers::IncomingDispatch() {
    std::array<uint8_t, 20> hash{};
    const bool hasHash = TaskInfoHash(&hash);
    std::string text;
    {
        QGuard guard(TaskListLock());
        CLanternfishCore::Instance().Listener().Dispatch(*this, hasHash ? &hash : nullptr, &text);
    }
    if (!text.empty()) {
        QGuard guard(m_lock);
        if (text != m_listenerText) m_listenerText = text;
    }
}

void TWorkWithPeers::LanDiscoveryPass() {
    std::array<uint8_t, 20> hash{};
    if (!HasMetainfo() || !TaskInfoHash(&hash)) return;
    CLanternfishCore& core = CLanternfishCore::Instance();
    QGuard guard(TaskListLock());
    QSharedListener& listener = core.Listener();
    QLanSocket& lan = listener.Lan();
    if (!lan.IsOpen() || !listener.Listening()) return;
    lan::Announcement own;
    own.listenerAddress = listener.Address();
    own.port = listener.Port();
    own.infoHash = hash;
    own.peerId = TaskPeerId();
    // A task announces itself twice on every socket it sees opened.
    if (m_lanGeneration != lan.Generation()) {
        const auto query = lan::BuildDatagram(own);
        for (int i = 0; i < 2; ++i)
            if (!lan.SendToGroup(query.data(), query.size())) return;
        m_lanGeneration = lan.Generation();
        return;
    }
    own.answer = true;
    const auto answer = lan::BuildDatagram(own);
    auto found = [&](uint32_t address, uint16_t port, const lan::Hash20& peerId, bool query) {
        EngineLog::Printf(22, "LAN peer %s:%u found (%s)", DottedAddress(address).c_str(),
                          static_cast<unsigned>(port), query ? "query" : "answer");
        AddPeerAddress(address, port, kSourceBitTorrent, true, 35, peerId.data());
        if (query) lan.SendToGroup(answer.data(), answer.size());
    };
    lan::Receiver self;
    self.listenerAddress = listener.Address();
    self.listenerPort = listener.Port();
    self.infoHash = hash;
    const std::array<uint8_t, 16> process = ProcessId();
    std::copy(process.begin(), process.begin() + 12, self.processId.begin());
    const uint32_t now = TickCountMs();
    uint8_t buffer[QDatagramSocket::kMaxDatagram];
    for (;;) {
        uint32_t sender = 0;
        const long n = lan.Receive(buffer, sizeof(buffer), &sender);
        if (n < 0) {
            m_lanGeneration = 0;
            return;
        }
        if (n == 0) break;
        lan::Announcement a;
        switch (lan::Decide(buffer, static_cast<size_t>(n), sender, self, &a)) {
            case lan::Action::kIgnore:
                break;
            case lan::Action::kAdd:
                found(sender, a.port, a.peerId, false);
                break;
            case lan::Action::kAddAndAnswer:
                found(sender, a.port, a.peerId, true);
                break;
            case lan::Action::kForOtherTasks:
                lan.Pending().Store(a, sender, now);
                break;
        }
        if (!lan.IsOpen()) return;
    }
    const std::vector<const void*> live(core.tasks.begin(), core.tasks.end());
    for (const lan::FoundPeer& f : lan.Pending().PassOf(this, hash, live, now))
        found(f.address, f.port, f.peerId, f.query);
}

bool TWorkWithPeers::OnlyTrackersFor(uint32_t tickNowMs, uint32_t ms) {
    bool other = false;
    for (TPeerObject* s : m_active) other = other || s->m_kind != kSourceTracker;
    if (other) {
        m_onlyTrackersValid = false;
        return false;
    }
    if (!m_onlyTrackersValid) {
        m_onlyTrackersValid = true;
        m_onlyTrackersSinceMs = tickNowMs;
        return false;
    }
    return tickNowMs - m_onlyTrackersSinceMs > ms;
}

void TWorkWithPeers::Reset(bool clearFileList, bool clearAll) {
    TBaseWork::Reset(clearFileList, clearAll);
    {
        // The task no longer takes incoming connections for its info hash.
        QGuard guard(TaskListLock());
        CLanternfishCore::Instance().Listener().Forget(this);
    }
    m_lanGeneration = 0;
    for (TPeerObject* s : m_active) {
        s->Reset();
        s->Release();
    }
    m_active.clear();
    for (TPeerObject* s : m_idle) s->Release();
    m_idle.clear();
    for (TPeerId* r : m_candidates) r->Release();
    m_candidates.clear();
    m_peerIdMade = false;
    m_freshPeers = false;
    m_forgiven.clear();
    m_onlyTrackersValid = false;
    m_idleSeconds = 0;
    m_lowThroughput = 0;
    QGuard guard(m_lock);
    m_serverLimit = kDefaultServerLimit;
}

}  // namespace lf
