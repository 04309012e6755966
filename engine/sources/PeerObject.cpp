#include "engine/sources/PeerObject.h"

#include <algorithm>
#include <climits>

#include "engine/base/TimeThread.h"

namespace lf {

TPeerObject::TPeerObject(TPeerHost* task, int kind) : m_task(task), m_kind(kind) {}

TPeerObject::~TPeerObject() {
    // Derived destructors reset first; this only drops what is left.
    if (m_range != nullptr && m_range->owner == this) m_range->owner = nullptr;
    if (m_source != nullptr) {
        m_source->Release();
        m_source = nullptr;
    }
}

bool TPeerObject::IsConnected() const {
    return m_linkState != kLinkNone && m_connection != nullptr;
}

bool TPeerObject::Flush() {
    return true;
}

bool TPeerObject::Connect(TPeerId* source) {
    if (source == nullptr || source == m_source) return false;
    source->AddRef();
    if (m_source != nullptr) m_source->Release();
    m_source = source;
    if (source->details) source->details->done = false;
    ++source->useCount;
    if (!m_connection) m_connection = std::make_unique<QConnection>();
    m_connection->SetHalfOpenGate(m_task->HalfOpenGate());
    m_connection->SetNetServices(m_task->NetServices());
    m_startTime = CachedSeconds();
    m_lastReceive = m_startTime;
    m_lastBlockSeconds = m_startTime;
    m_phase = kPhaseWorking;
    StartRatePeriod(TickCountMs());
    return true;
}

bool TPeerObject::Attach(std::unique_ptr<QConnection> connection) {
    Reset();
    m_connection = std::move(connection);
    m_linkState = kLinkConnected;
    m_adoptedIncoming = true;
    m_startTime = CachedSeconds();
    m_lastReceive = m_startTime;
    m_lastBlockSeconds = m_startTime;
    StartRatePeriod(TickCountMs());
    return IsConnected();
}

void TPeerObject::ReturnQueue() {
    for (const BlockRequest& r : m_queue) m_task->NoteQueued(r.block, -1);
    if (m_kind == kSourceBitTorrent && !m_queue.empty()) {
        // Another peer may fetch these blocks (the returned-block list).
        std::vector<BlockRequest> back(m_queue.begin(), m_queue.end());
        m_task->ReturnBlocks(back);
    }
    m_queue.clear();
}

void TPeerObject::ReleasePrivateRange() {
    PieceRange* r = m_privateRange;
    m_privateRange = nullptr;
    if (r == nullptr) return;
    if (!r->finished) {
        for (int32_t p = r->first; p < r->cursor; ++p) m_task->MarkRequested(p, false, false);
    }
    delete r;
}

bool TPeerObject::StallCheck(int32_t* strikes, uint64_t* lastReceived, uint64_t* lastSent,
                             uint64_t received, uint64_t sent) {
    bool close = false;
    if (received == *lastReceived && sent == *lastSent) {
        if (*strikes >= 5) {
            close = true;
        } else {
            ++*strikes;
        }
    } else {
        *strikes = 0;
    }
    *lastReceived = received;
    *lastSent = sent;
    return close;
}

void TPeerObject::TrafficTotals(uint64_t* received, uint64_t* sent) const {
    *received = m_connection ? m_connection->BytesReceived() : 0;
    *sent = m_connection ? m_connection->BytesSent() : 0;
}

void TPeerObject::Enqueue(int64_t block, int32_t length) {
    m_queue.push_back({block, length});
    m_task->NoteQueued(block, +1);
}

void TPeerObject::NoteGranted(int32_t piece) {
    TPieces* pieces = m_task->Pieces();
    // Done pieces left the requested list already; forget them now and then.
    if (m_granted.size() >= 256 && pieces != nullptr) {
        m_granted.erase(std::remove_if(m_granted.begin(), m_granted.end(),
                                       [pieces](int32_t p) { return pieces->Have(p); }),
                        m_granted.end());
    }
    m_granted.push_back(piece);
}

void TPeerObject::ReleaseGranted(int32_t piece) {
    auto it = std::find(m_granted.begin(), m_granted.end(), piece);
    if (it != m_granted.end()) m_granted.erase(it);
    m_task->MarkRequested(piece, false, false);
}

void TPeerObject::ReleaseIdleGrants() {
    if (m_granted.empty()) return;
    TPieces* pieces = m_task->Pieces();
    const PieceRange* r = m_privateRange;
    for (size_t i = 0; i < m_granted.size();) {
        const int32_t p = m_granted[i];
        if (r != nullptr && !r->finished && p >= r->first && p < r->cursor) {
            ++i;  // goes back with the range
            continue;
        }
        bool missing = false;
        if (pieces != nullptr && !pieces->Have(p)) {
            const int32_t size = pieces->PieceSize(p);
            for (int32_t off = 0; off < size && !missing; off += kBlockSize)
                missing = !pieces->HasBlock(p, off);
        }
        if (missing && QueuedPiece(p)) {
            ++i;
            continue;
        }
        m_granted.erase(m_granted.begin() + static_cast<long>(i));
        // A piece that has every block left the list when it was verified.
        if (missing) m_task->MarkRequested(p, false, false);
    }
}

void TPeerObject::GiveBackRequests() {
    ReturnQueue();
    ReleaseIdleGrants();
}

void TPeerObject::Reset() {
    // Pieces this source was granted and did not finish are needed again;
    // those of the private range not handed out yet go back with the range
    // below.
    GiveBackRequests();
    m_granted.clear();
    if (m_connection) m_connection->Close();
    ReleaseRange();
    ReleasePrivateRange();
    m_lastHave = -1;
    m_stallStrikes = 0;
    m_stallReceived = m_stallSent = 0;
    m_linkState = kLinkNone;
    m_phase = kPhaseNone;
    m_busy = false;
    m_idle = false;
    m_rangesTaken = 0;
    m_lastPiece = -1;
    m_tickSent = m_tickReceived = 0;
    m_totalSent = 0;
    m_downloadRate = m_uploadRate = 0;
    m_periodReceived = m_periodSent = 0;
    m_rateReceived = m_rateSent = 0;
    m_ratePeriodValid = false;
    m_adoptedIncoming = false;
    if (m_source != nullptr) {
        if (m_source->useCount > 0) --m_source->useCount;
        m_source->Release();
        m_source = nullptr;
    }
}

bool TPeerObject::RunCycle() {
    if (!IsConnected()) return false;
    // Lifetime counters: a reconnect inside the cycle must not hide what the
    // old connection read (the speed limit is charged with these bytes).
    m_cycleReceivedBase = m_connection->LifetimeBytesReceived();
    m_cycleSentBase = m_connection->LifetimeBytesSent();
    m_tickSent = m_tickReceived = 0;
    bool ok = Receive() && Tick() && SendRequests() && Flush() && IsConnected();
    if (m_connection) {
        uint64_t r = m_connection->LifetimeBytesReceived();
        uint64_t s = m_connection->LifetimeBytesSent();
        m_tickReceived =
            r > m_cycleReceivedBase ? static_cast<int64_t>(r - m_cycleReceivedBase) : 0;
        m_tickSent = s > m_cycleSentBase ? static_cast<int64_t>(s - m_cycleSentBase) : 0;
    }
    m_totalSent += m_tickSent;
    if (m_tickSent > 0 || m_tickReceived > 0) m_idle = false;
    // Buffered data brings the task back at once, unless the download budget
    // of this second is spent: then nothing would be read before the next
    // second and coming back would only spin.
    if (ok && m_linkState == kLinkEstablished && m_connection && m_connection->ReceivedSize() > 0 &&
        m_task->DownloadBudgetLeft() > 0) {
        m_busy = true;
        m_task->ComeBackAtOnce();
    }
    return ok;
}

bool TPeerObject::ProcessUpload() {
    if (m_kind != kSourceBitTorrent) return true;
    return ServeUploads();
}

bool TPeerObject::ShouldDrop(bool keepIdle) {
    if (!IsConnected() || IsSlow()) return true;
    if (!keepIdle && IsStarved()) return true;
    return m_task->IsDownloadComplete() && IsSeed();
}

int32_t TPeerObject::CurrentRate(uint32_t nowMs) const {
    if (!m_ratePeriodValid) return m_downloadRate;
    const uint32_t elapsed = nowMs - m_ratePeriodStartMs;
    const int64_t rate = m_rateReceived * 1000 / std::max<uint32_t>(elapsed, 200);
    const int64_t clamped = std::min<int64_t>(rate, INT32_MAX);
    if (elapsed < 1000) return std::max(m_downloadRate, static_cast<int32_t>(clamped));
    return static_cast<int32_t>(clamped);
}

bool TPeerObject::IsQueued(int64_t block) const {
    for (const auto& r : m_queue) {
        if (r.block == block) return true;
    }
    return false;
}

bool TPeerObject::QueuedPiece(int32_t piece) const {
    TPieces* pieces = m_task->Pieces();
    if (pieces == nullptr) return false;
    const int64_t first = static_cast<int64_t>(piece) * pieces->PieceLength() / kBlockSize;
    const int64_t end = (static_cast<int64_t>(piece) * pieces->PieceLength() +
                         pieces->PieceSize(piece) + kBlockSize - 1) /
                        kBlockSize;
    for (const auto& r : m_queue) {
        if (r.block >= first && r.block < end) return true;
    }
    return false;
}

bool TPeerObject::Tick() {
    TPieces* pieces = m_task->Pieces();
    if (pieces == nullptr) return true;
    const int32_t depth = QueueDepth();
    if (static_cast<int32_t>(m_queue.size()) >= depth) return true;
    const bool server = (m_kind & (kSourceHttp | kSourceFtp)) != 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int32_t position = m_task->CurrentPosition();
        // Moving only pays when the position lies in a range nobody works
        // on: one already being fetched is left to its owner.
        if (server && position > 0 && m_range != nullptr &&
            std::abs(m_lastPosition - position) > 6 && m_task->FreeRangeAt(position)) {
            ReleaseRange();
            m_task->ClaimAtPosition(this, position);
        }
        m_lastPosition = position;
        const int32_t piece = PickPiece();
        if (piece < 0) break;
        const int64_t pieceStart = static_cast<int64_t>(piece) * pieces->PieceLength();
        const int32_t size = pieces->PieceSize(piece);
        int32_t from = pieces->PartOf(piece) / kBlockSize * kBlockSize;
        bool added = false;
        for (int32_t off = from; off < size; off += kBlockSize) {
            const int64_t block = (pieceStart + off) / kBlockSize;
            if (IsQueued(block) || pieces->HasBlock(piece, off)) continue;
            if (!server && static_cast<int32_t>(m_queue.size()) >= depth) break;
            Enqueue(block, std::min(kBlockSize, size - off));
            added = true;
        }
        m_lastPiece = piece;
        if (added && static_cast<int32_t>(m_queue.size()) >= depth) break;
    }
    return true;
}

int32_t TPeerObject::PickPiece() {
    if (m_task->Pieces() == nullptr) return -1;
    if (m_task->Ranges().empty()) m_task->DivideRanges();
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (m_range != nullptr) {
            PieceRange* r = m_range;
            int32_t start = std::max(r->cursor, r->first);
            for (int32_t p = start; p <= r->last; ++p) {
                if (m_task->IsPieceNeeded(p) && !m_task->QueuedByServer(p)) {
                    r->cursor = p + 1;
                    r->time = m_task->TaskClock();
                    return p;
                }
            }
            // End of the range: finished. A range with wanted pieces left
            // that this source is not fetching stays in the list without a
            // worker; pieces still in this source's queue are not handed to
            // another server.
            r->finished = 1;
            bool left = false;
            for (int32_t p = r->first; p <= r->last && !left; ++p) {
                left = m_task->IsPieceNeeded(p) && !m_task->QueuedByServer(p);
            }
            r->owner = nullptr;
            m_range = nullptr;
            if (left) {
                r->finished = 0;
                r->reopen = 1;
                r->cursor = r->first;
            } else {
                m_task->RemoveRange(r);
            }
        }
        if (!m_task->EngageRange(this)) {
            if (m_task->IsDownloadComplete()) return -1;
            // Every needed piece is in some server's queue: a second copy.
            if (m_task->HasUnfinishedRange() || !m_task->AddFreshRange(this))
                return m_task->EndGamePiece(this);
        }
        if (m_range != nullptr && m_range->cursor > m_range->first) {
            const int32_t before = m_range->cursor - 1;
            if (m_task->IsPieceNeeded(before) && !m_task->QueuedByServer(before))
                m_range->cursor = before;
        }
    }
    return -1;
}

void TPeerObject::ReleaseRange() {
    PieceRange* r = m_range;
    m_range = nullptr;
    if (r == nullptr) return;
    // The queued requests go back with the range: its cursor returns to
    // the first piece still needed.
    ReturnQueue();
    if (r->owner == this) r->owner = nullptr;
    m_task->ReturnRange(r, this);
}

bool TPeerObject::DeliverBlock(int64_t block, int32_t length, const char* data) {
    if (block < 0 || length < 0 || data == nullptr || !IsConnected()) return false;
    TPieces* pieces = m_task->Pieces();
    if (pieces == nullptr) return true;
    m_lastReceive = CachedSeconds();
    m_lastBlockSeconds = m_lastReceive;
    for (auto it = m_queue.begin(); it != m_queue.end(); ++it) {
        if (it->block == block) {
            m_queue.erase(it);
            m_task->NoteQueued(block, -1);
            break;
        }
    }
    if (m_phase == kPhaseWaiting) m_phase = kPhaseWorking;
    const int64_t offset = block * kBlockSize;
    const int32_t piece = static_cast<int32_t>(offset / pieces->PieceLength());
    const int32_t inPiece =
        static_cast<int32_t>(offset - static_cast<int64_t>(piece) * pieces->PieceLength());
    // Blocks the piece map holds already (a second copy in the end game)
    // are taken and dropped: they count toward the source's rate, not
    // toward the payload.
    int64_t fresh = 0;
    const int32_t size = pieces->PieceSize(piece);
    for (int32_t o = inPiece; o < size && o < inPiece + length; o += kBlockSize) {
        if (!pieces->HasBlock(piece, o)) fresh += std::min(kBlockSize, size - o);
    }
    bool completed = false;
    int32_t taken = pieces->StoreBlock(piece, inPiece, data, length, this, &completed);
    if (taken < 0) return true;  // outside the content: dropped
    const int64_t stored = std::min<int64_t>(fresh, taken);
    m_task->CountPayload(m_kind, stored);
    m_periodReceived += taken;
    m_rateReceived += taken;
    m_totalReceivedKiB += taken / 1024;
    if (m_source != nullptr) m_source->deliveredBytes += stored;
    if (completed) {
        m_task->OnPieceCompleted(piece);
    } else if (taken > 0 && !pieces->HasBlock(piece, inPiece)) {
        // The block filled the piece and the piece failed its hash check (its
        // data is gone): every source may fetch it again, so it leaves the
        // requested list.
        m_task->MarkRequested(piece, false, true);
    }
    return true;
}

void TPeerObject::ChargePiece(bool hashFailed) {
    if (m_source == nullptr) return;
    ++m_source->piecesHashed;
    if (hashFailed) {
        ++m_source->failedPieces;
        m_task->OnPieceFailed();
    }
}

bool TPeerObject::RanksBefore(const TPeerObject* a, const TPeerObject* b, bool complete) {
    if (a == nullptr) return false;
    if (b == nullptr) return true;
    const bool ea = a->m_linkState == kLinkEstablished;
    const bool eb = b->m_linkState == kLinkEstablished;
    if (ea != eb) return ea;
    if (!ea) return false;
    auto units = [](int64_t v) { return v / 2048; };
    if (complete) {
        if (a->ChokesRemote() != b->ChokesRemote()) return !a->ChokesRemote();
        if (a->m_busy != b->m_busy) return !a->m_busy;
        if (a->m_kind == kSourceBitTorrent && b->m_kind == kSourceBitTorrent &&
            a->HaveMessageCount() != b->HaveMessageCount())
            return a->HaveMessageCount() > b->HaveMessageCount();
        if (units(a->m_periodSent) != units(b->m_periodSent))
            return a->m_periodSent > b->m_periodSent;
        return units(a->m_uploadRate) > units(b->m_uploadRate);
    }
    if (units(a->m_periodReceived) != units(b->m_periodReceived))
        return a->m_periodReceived > b->m_periodReceived;
    if (units(a->m_downloadRate) != units(b->m_downloadRate))
        return a->m_downloadRate > b->m_downloadRate;
    if (a->ChokesRemote() != b->ChokesRemote()) return !a->ChokesRemote();
    if (units(a->m_periodSent) != units(b->m_periodSent)) return a->m_periodSent < b->m_periodSent;
    if (units(a->m_totalSent) != units(b->m_totalSent)) return a->m_totalSent < b->m_totalSent;
    return a->m_startTime > b->m_startTime;
}

}  // namespace lf
