#include "engine/sources/BtPeer.h"

#include <algorithm>
#include <cstring>

#include "engine/base/TimeThread.h"
#include "engine/log/LogApi.h"
#include "engine/net/NameResolve.h"
#include "engine/store/TPieces.h"

namespace lf {

namespace {

// Reads of at most this many bytes are buffered in one call: passes are
// milliseconds apart, and four fast peers with larger reads would hold tens
// of MiB in their buffers.
constexpr size_t kMaxBuffered = 2097152;
// Blocks cancelled on the wire that may still arrive (kept to tell them
// from blocks nobody asked for).
constexpr size_t kCancelledKept = 1024;

bool BitOf(const std::vector<uint8_t>& bits, int64_t i) {
    if (i < 0 || static_cast<size_t>(i / 8) >= bits.size()) return false;
    return (bits[static_cast<size_t>(i / 8)] & (0x80 >> (i % 8))) != 0;
}

void SetBit(std::vector<uint8_t>& bits, int64_t i, bool on) {
    if (i < 0 || static_cast<size_t>(i / 8) >= bits.size()) return;
    const auto mask = static_cast<uint8_t>(0x80 >> (i % 8));
    if (on) {
        bits[static_cast<size_t>(i / 8)] |= mask;
    } else {
        bits[static_cast<size_t>(i / 8)] &= static_cast<uint8_t>(~mask);
    }
}

}  // namespace

TBTPeer::TBTPeer(TPeerHost* task) : TPeerObject(task, kSourceBitTorrent) {}

TBTPeer::~TBTPeer() {
    Reset();
}

bt::TorrentView TBTPeer::View() const {
    bt::TorrentView v;
    TPieces* pieces = m_task->Pieces();
    if (pieces != nullptr && pieces->PieceCount() > 0) {
        v.pieceCount = static_cast<uint32_t>(pieces->PieceCount());
        v.pieceLength = static_cast<uint32_t>(pieces->PieceLength());
        v.totalLength = static_cast<uint64_t>(pieces->TotalLength());
    }
    return v;
}

uint32_t TBTPeer::RemoteAddress() const {
    if (m_connection && m_connection->TargetAddress() != 0) return m_connection->TargetAddress();
    return m_source != nullptr ? m_source->ipv4 : 0;
}

int32_t TBTPeer::Rate() const {
    return std::max(CurrentRate(TickCountMs()), m_downloadRate);
}

int32_t TBTPeer::InFlightFor(int64_t rate) {
    // One second's worth of blocks at the rate, plus two.
    const int64_t n = std::max<int64_t>(rate, 0) / kBlockSize + 2;
    return static_cast<int32_t>(std::clamp<int64_t>(n, kMinInFlight, kMaxInFlight));
}

int32_t TBTPeer::PendingFor(int64_t rate) {
    // q + 2 records, q = 2r / 16384; bounded like the requests in flight.
    const int64_t q =
        std::min<int64_t>(2 * std::max<int64_t>(rate, 0) / kBlockSize, 2LL * kMaxInFlight);
    return static_cast<int32_t>(q) + 2;
}

int64_t TBTPeer::UploadStepFor(int64_t rate, bool complete) {
    // An eighth of a second's worth at the rate, at least 256 KiB: passes
    // are a few milliseconds apart, so a remote that keeps only a piece's
    // requests in flight gets them in one step, and the rate can grow many
    // times over within one rate period. The socket paces the rest: no
    // step runs while bytes of the last one wait to be sent.
    const int64_t step = std::max<int64_t>(std::max<int64_t>(rate, 0) / 8, kMinUploadStep);
    return std::min<int64_t>(step, kMaxUploadStep) + (complete ? kBlockSize : 0);
}

int32_t TBTPeer::InFlightGoal() const {
    return InFlightFor(Rate());
}

int32_t TBTPeer::PendingGoal() const {
    return PendingFor(Rate());
}

int32_t TBTPeer::UploadRateNow(uint32_t nowMs) const {
    if (!m_ratePeriodValid) return m_uploadRate;
    const uint32_t elapsed = nowMs - m_ratePeriodStartMs;
    const int64_t rate = m_rateSent * 1000 / std::max<uint32_t>(elapsed, 200);
    return static_cast<int32_t>(
        std::max<int64_t>(m_uploadRate, std::min<int64_t>(rate, INT32_MAX)));
}

bool TBTPeer::TaskComplete() {
    return m_task->IsDownloadComplete();
}

bool TBTPeer::QueueBytes(const void* bytes, size_t size) {
    if (size == 0) return true;
    return m_connection && m_connection->Queue(bytes, size);
}

bool TBTPeer::WriteGathered(std::string* out, bool force) {
    if (out->empty() || (!force && out->size() < kRequestBatchBytes)) return true;
    const bool ok = QueueBytes(out->data(), out->size()) && m_connection->Flush() >= 0;
    out->clear();
    return ok;
}

// ---- connection ----

bool TBTPeer::Connect(TPeerId* source) {
    if (source == nullptr) return false;
    const uint8_t* block = m_task->BtHandshakeBlock();
    if (block == nullptr) return false;
    if (!TPeerObject::Connect(source)) return false;
    m_connectStartMs = TickCountMs();
    m_incoming = false;
    m_disguisedIncoming = false;
    // Every third attempt (0, 3, 6 ...) to a peer of group 34 or less goes
    // over the UDP transport while the engine needs NAT traversal.
    const bt::TransportChoice choice =
        bt::ChooseTransport(source->retryMark, m_task->NatTraversalPermitted(), source->failures,
                            source->peerId, source->ipv4);
    m_overUdp = choice.overUdp;
    QTransportId transport;
    if (m_overUdp) {
        std::memcpy(transport.bytes, choice.identity.data(), 8);
        std::memcpy(transport.bytes + 8, "UDP", 3);
        EngineLog::Printf(13, "peer %s : %u connecting over a UDP stream",
                          DottedAddress(source->ipv4).c_str(), static_cast<unsigned>(source->port));
    }
    m_reader = std::make_unique<bt::WireReader>(View());
    const uint32_t local = m_task->LocalBindAddress();
    if (!m_connection->Connect(source->ipv4, source->port, false, nullptr,
                               local != 0 && !m_overUdp ? &local : nullptr,
                               m_overUdp ? &transport : nullptr)) {
        m_wire = kWireIdle;
        return false;
    }
    m_wire = kWireHandshaking;
    m_linkState = kLinkConnected;
    if (!IsConnected()) return false;
    return SendHandshake();
}

bool TBTPeer::Attach(std::unique_ptr<QConnection> connection) {
    const bool disguised = m_disguisedIncoming;
    if (!TPeerObject::Attach(std::move(connection))) return false;
    m_connection->SetHalfOpenGate(m_task->HalfOpenGate());
    m_connection->SetNetServices(m_task->NetServices());
    m_incoming = true;
    m_disguisedIncoming = disguised;
    m_wire = kWireHandshaking;
    m_establishedSeconds = CachedSeconds();
    m_reader = std::make_unique<bt::WireReader>(View());
    m_phase = kPhaseWorking;
    return true;
}

bool TBTPeer::SendHandshake() {
    if (!IsConnected()) return false;
    const uint8_t* block = m_task->BtHandshakeBlock();
    if (block == nullptr) return false;
    std::memcpy(m_handshake.data(), block, bt::kHandshakeBytes);
    std::string head;
    if (m_incoming) {
        if (m_disguisedIncoming) {
            head = bt::BuildDisguiseAnswer(static_cast<int64_t>(WallSeconds()),
                                           static_cast<int64_t>(CachedSeconds()));
        }
    } else if (m_source != nullptr &&
               bt::UseDisguise(m_task->HttpDisguise(), m_source->failures, m_overUdp)) {
        head = bt::BuildDisguiseRequest(m_source->ipv4, m_source->port, m_source->failures);
    }
    if (!QueueBytes(head.data(), head.size())) return false;
    if (!QueueBytes(m_handshake.data(), m_handshake.size())) return false;
    return m_connection->Flush() >= 0;
}

bool TBTPeer::ReadAvailable(int64_t* readThisCall) {
    *readThisCall = 0;
    const int64_t budget = m_task->DownloadBudgetLeft();
    const bool handshaking = m_wire == kWireHandshaking;
    if (budget <= 0 && !handshaking) return true;
    size_t size = 2048;
    if (!handshaking && !m_chokedByRemote && !m_queue.empty()) {
        const int32_t r = Rate();
        size = r < 65536 ? 16384 + 1024 : r < 262144 ? 32768 + 1024 : 65536 + 1024;
    }
    if (!handshaking && budget < static_cast<int64_t>(size))
        size = static_cast<size_t>(std::max<int64_t>(budget, 192));
    bool closed = false;
    for (;;) {
        const size_t before = m_connection->ReceivedSize();
        const long n = m_connection->ReceiveData(size);
        if (n < 0) {
            closed = true;
            break;
        }
        const size_t got = static_cast<size_t>(n) > before ? static_cast<size_t>(n) - before : 0;
        *readThisCall += static_cast<int64_t>(got);
        if (got < size) break;
        if (!handshaking && *readThisCall >= budget) break;
        if (m_connection->ReceivedSize() + m_reader->Buffered() >= kMaxBuffered) break;
        size *= 2;
        if (!handshaking)
            size = static_cast<size_t>(std::min<int64_t>(
                static_cast<int64_t>(size), std::max<int64_t>(budget - *readThisCall, 192)));
    }
    const size_t buffered = m_connection->ReceivedSize();
    if (buffered > 0) {
        m_reader->Feed(m_connection->ReceivedData(), buffered);
        m_connection->ConsumeReceived(buffered);
    }
    // Bytes that arrived before a close are still parsed; the caller ends
    // the source afterwards.
    return !closed;
}

bool TBTPeer::Receive() {
    if (!IsConnected() || m_reader == nullptr) return false;
    const uint32_t now = CachedSeconds();
    if (m_wire == kWireHandshaking && !m_connection->IsThrough()) {
        if (m_connection->Flush() < 0) return false;
        if (!m_connection->IsThrough()) {
            const int limit = m_overUdp ? m_task->UdpConnectSeconds() : kConnectSeconds;
            // Measured in milliseconds: the cached seconds move once a
            // second, and whole seconds let the attempt run up to two
            // seconds past its limit.
            if (TickCountMs() - m_connectStartMs < static_cast<uint32_t>(limit) * 1000u)
                return true;
            if (m_overUdp)
                EngineLog::Printf(13, "peer %s : %u no UDP stream within %d s",
                                  DottedAddress(RemoteAddress()).c_str(),
                                  static_cast<unsigned>(m_source != nullptr ? m_source->port : 0),
                                  limit);
            return false;
        }
        if (m_overUdp)
            EngineLog::Printf(13, "peer %s : %u connected over a UDP stream",
                              DottedAddress(RemoteAddress()).c_str(),
                              static_cast<unsigned>(m_source != nullptr ? m_source->port : 0));
        m_establishedSeconds = now;
    }
    if (m_establishedSeconds == 0) m_establishedSeconds = now;
    int64_t read = 0;
    const bool open = ReadAvailable(&read);
    if (m_wire == kWireHandshaking) {
        if (!OnHandshake()) return false;
        if (m_wire == kWireHandshaking) return open;
    }
    if (!ParseMessages()) {
        // A remote that broke the wire rules ends unconnected, so that its
        // candidate carries the full BitTorrent penalty before it is tried
        // again.
        if (m_fault != bt::WireFault::kNone && m_connection) {
            m_connection->Close();
            m_linkState = kLinkNone;
        }
        return false;
    }
    return open && IsConnected();
}

bool TBTPeer::OnHandshake() {
    bt::Hash20 infoHash{}, own{};
    std::memcpy(infoHash.data(), m_handshake.data() + 28, 20);
    std::memcpy(own.data(), m_handshake.data() + 48, 20);
    bt::HandshakeInfo info;
    const bt::HandshakeState st = m_reader->ReadHandshake(infoHash, own, &info);
    if (st == bt::HandshakeState::kNeedMore) {
        return CachedSeconds() - m_establishedSeconds <= static_cast<uint32_t>(kHandshakeSeconds);
    }
    if (st != bt::HandshakeState::kOk ||
        m_task->PeerConnected(this, RemoteAddress(), info.peerId.data())) {
        if (st == bt::HandshakeState::kHeaderTooLong) m_fault = bt::WireFault::kHeaderTooLong;
        m_wire = kWireIdle;
        m_connection->Close();
        return false;
    }
    m_remotePeerId = info.peerId;
    if (m_source != nullptr)
        std::copy(info.peerId.begin(), info.peerId.end(), std::begin(m_source->peerId));
    m_wire = kWireActive;
    m_linkState = kLinkEstablished;
    m_lastBlockSeconds = CachedSeconds();
    const bt::TorrentView view = m_reader->View();
    m_peerPieces.assign(view.BitfieldBytes(), 0);
    m_excluded.assign(view.BitfieldBytes(), 0);
    TPieces* pieces = m_task->Pieces();
    if (pieces != nullptr && pieces->HaveCount() > 0) {
        const std::vector<uint8_t>& have = pieces->HaveMap();
        const std::string bits =
            bt::BuildBitfield(have.data(), std::min(have.size(), view.BitfieldBytes()));
        if (!QueueBytes(bits.data(), bits.size())) return false;
    }
    m_haveCount = m_bitfieldCount = m_haveMessages = 0;
    m_chokedSince = m_task->TaskClock();
    m_chokedByRemote = true;
    if (!QueueBytes(bt::kOpeningMessages.data(), bt::kOpeningMessages.size())) return false;
    if (m_connection->Flush() < 0) return false;
    m_chokingRemote = false;
    m_hasPieces = false;
    m_ready = true;
    return true;
}

// ---- messages ----

bool TBTPeer::ParseMessages() {
    const bool wasChoked = m_chokedByRemote;
    bt::Message m;
    for (;;) {
        const bt::ReadState st = m_reader->Next(&m);
        if (st == bt::ReadState::kNeedMore) break;
        if (st == bt::ReadState::kFatal) {
            m_fault = m.fault;
            return false;
        }
        if (st == bt::ReadState::kSkipped) {
            if (bt::CountsAgainstRemote(m.fault) && ++m_protocolErrors > kMaxProtocolErrors) {
                m_fault = m.fault;
                return false;
            }
            continue;
        }
        if (!HandleMessage(m)) return false;
        if (!IsConnected()) return false;
    }
    const bt::ArrivingBlock a = m_reader->Arriving();
    m_blockArriving = a.arriving;
    if (a.arriving) {
        const int64_t block = m_reader->View().BlockNumber(a.index, a.begin);
        const uint64_t total = m_connection->BytesReceived();
        for (int32_t i = 0; i < m_requestsSent && static_cast<size_t>(i) < m_queue.size(); ++i) {
            if (m_queue[static_cast<size_t>(i)].block != block) continue;
            if (total > m_progressMark + 1024) {
                m_progressMark = total;
                m_requestTimes[static_cast<size_t>(i)] = CachedSeconds();
            }
            break;
        }
    }
    if (wasChoked != m_chokedByRemote) OnChokeChange(wasChoked);
    return true;
}

bool TBTPeer::HandleMessage(const bt::Message& m) {
    TPieces* pieces = m_task->Pieces();
    switch (m.type) {
        case bt::MessageType::kKeepAlive:
        case bt::MessageType::kInterested:
        case bt::MessageType::kNotInterested:
            return true;
        case bt::MessageType::kChoke:
            m_chokedByRemote = true;
            if (m_chokedSince == 0) m_chokedSince = m_task->TaskClock();
            return true;
        case bt::MessageType::kUnchoke:
            m_chokedByRemote = false;
            m_chokedSince = 0;
            return true;
        case bt::MessageType::kHave: {
            SetBit(m_excluded, m.index, false);
            if (!BitOf(m_peerPieces, m.index)) {
                SetBit(m_peerPieces, m.index, true);
                ++m_haveMessages;
                ++m_haveCount;
                m_hasPieces = true;
                if (m_haveCount >= static_cast<int32_t>(m_reader->View().pieceCount)) IsSeed();
            }
            if (m_nothingWanted && pieces != nullptr &&
                !pieces->Have(static_cast<int32_t>(m.index)) &&
                !pieces->IsSkipped(static_cast<int32_t>(m.index)))
                m_nothingWanted = false;
            m_lastHave = static_cast<int32_t>(m.index);
            return true;
        }
        case bt::MessageType::kBitfield: {
            const size_t n = std::min(m.dataSize, m_peerPieces.size());
            std::copy(m.data, m.data + n, m_peerPieces.begin());
            const uint32_t count = bt::CountPieces(m_peerPieces.data(), m_peerPieces.size(),
                                                   m_reader->View().pieceCount);
            m_haveCount = m_bitfieldCount = static_cast<int32_t>(count);
            m_nothingWanted = count == 0;
            m_hasPieces = count > 0;
            if (count > 0 && count >= m_reader->View().pieceCount) IsSeed();
            return true;
        }
        case bt::MessageType::kRequest: {
            // Ignored while the engine chokes the remote, for a piece the
            // task does not have, twice, or beyond the queue's bound.
            if (m_chokingRemote || pieces == nullptr ||
                !pieces->Have(static_cast<int32_t>(m.index)))
                return true;
            for (const UploadRequest& u : m_uploads) {
                if (u.index == m.index && u.begin == m.begin && u.length == m.length) return true;
            }
            if (m_uploads.size() >= kMaxQueuedUploads) return true;
            m_uploads.push_back({m.index, m.begin, m.length});
            return true;
        }
        case bt::MessageType::kCancel: {
            for (auto it = m_uploads.begin(); it != m_uploads.end(); ++it) {
                if (it->index == m.index && it->begin == m.begin && it->length == m.length) {
                    m_uploads.erase(it);
                    break;
                }
            }
            return true;
        }
        case bt::MessageType::kPiece:
            return HandlePiece(m);
    }
    return true;
}

bool TBTPeer::HandlePiece(const bt::Message& m) {
    uint32_t refused = 0;
    if (bt::IsRejectNotice(m, &refused) && bt::IsEnginePeerId(m_remotePeerId.data())) {
        // The remote will not serve that piece: not asked again until it
        // announces it, and its requests go back to the task.
        if (refused < m_reader->View().pieceCount) {
            SetBit(m_excluded, refused, true);
            std::vector<BlockRequest> back;
            for (size_t i = 0; i < m_queue.size();) {
                const int64_t piece = m_queue[i].block * kBlockSize / m_reader->View().pieceLength;
                if (piece == refused) {
                    back.push_back(m_queue[i]);
                    RemovePending(i);
                    continue;
                }
                ++i;
            }
            m_task->ReturnBlocks(back);
            ReleaseIdleGrants();
        }
        return true;
    }
    if (m.begin % kBlockSize != 0) {
        m_fault = bt::WireFault::kBeginRange;
        return false;
    }
    const int64_t block = m_reader->View().BlockNumber(m.index, m.begin);
    size_t i = 0;
    for (; i < m_queue.size(); ++i) {
        if (m_queue[i].block == block && m_queue[i].length == static_cast<int32_t>(m.length)) break;
    }
    if (i == m_queue.size()) {
        // A block cancelled on the wire may cross the cancel; any other
        // block nobody asked for ends the connection.
        auto c = std::find(m_cancelled.begin(), m_cancelled.end(), block);
        if (c != m_cancelled.end()) {
            m_cancelled.erase(c);
            return true;
        }
        m_fault = bt::WireFault::kIndexRange;
        return false;
    }
    if (static_cast<int32_t>(i) < m_requestsSent) --m_requestsSent;
    m_requestTimes.erase(m_requestTimes.begin() + static_cast<long>(i));
    m_stallCount = -2;
    m_blockArriving = false;
    return DeliverBlock(block, static_cast<int32_t>(m.length),
                        reinterpret_cast<const char*>(m.data));
}

void TBTPeer::RemovePending(size_t i) {
    if (i >= m_queue.size()) return;
    m_task->NoteQueued(m_queue[i].block, -1);
    m_queue.erase(m_queue.begin() + static_cast<long>(i));
    if (i < m_requestTimes.size())
        m_requestTimes.erase(m_requestTimes.begin() + static_cast<long>(i));
    if (static_cast<int32_t>(i) < m_requestsSent) --m_requestsSent;
}

void TBTPeer::OnChokeChange(bool wasChoked) {
    if (!wasChoked && m_chokedByRemote) {
        if (!m_queue.empty()) CancelAndReturnAll();
        m_stallCount = 0;
    } else if (wasChoked && !m_chokedByRemote) {
        m_stallCount = 0;
        m_blockArriving = false;
        SendPending(InFlightGoal());
    }
}

void TBTPeer::CancelAndReturnAll() {
    std::string out;
    const uint32_t pieceLength = m_reader != nullptr ? m_reader->View().pieceLength : 0;
    if (pieceLength > 0 && IsConnected()) {
        for (int32_t i = 0; i < m_requestsSent && static_cast<size_t>(i) < m_queue.size(); ++i) {
            const BlockRequest& r = m_queue[static_cast<size_t>(i)];
            const auto offset = static_cast<uint64_t>(r.block) * kBlockSize;
            const auto c = bt::BuildCancel(static_cast<uint32_t>(offset / pieceLength),
                                           static_cast<uint32_t>(offset % pieceLength),
                                           static_cast<uint32_t>(r.length));
            out.append(reinterpret_cast<const char*>(c.data()), c.size());
            m_cancelled.push_back(r.block);
            WriteGathered(&out, false);
        }
        WriteGathered(&out, true);
    }
    if (m_cancelled.size() > kCancelledKept)
        m_cancelled.erase(
            m_cancelled.begin(),
            m_cancelled.begin() + static_cast<long>(m_cancelled.size() - kCancelledKept));
    // The pieces go back with their blocks: another source may take them
    // at once, also outside the end game.
    GiveBackRequests();
    m_requestTimes.clear();
    m_requestsSent = 0;
    m_stallCount = 0;
}

// ---- requesting ----

bool TBTPeer::SendPending(int32_t goal) {
    TPieces* pieces = m_task->Pieces();
    if (pieces == nullptr || m_reader == nullptr || !m_ready) return true;
    const uint32_t pieceLength = m_reader->View().pieceLength;
    if (pieceLength == 0) return true;
    const uint32_t now = CachedSeconds();
    std::string out;
    goal = std::min(goal, kMaxInFlight);
    while (m_requestsSent < goal && static_cast<size_t>(m_requestsSent) < m_queue.size()) {
        const size_t i = static_cast<size_t>(m_requestsSent);
        const BlockRequest r = m_queue[i];
        const auto offset = static_cast<uint64_t>(r.block) * kBlockSize;
        const auto piece = static_cast<int32_t>(offset / pieceLength);
        const auto begin = static_cast<int32_t>(offset % pieceLength);
        if (piece >= pieces->PieceCount() || pieces->HasBlock(piece, begin)) {
            RemovePending(i);
            continue;
        }
        const auto req =
            bt::BuildRequest(static_cast<uint32_t>(piece), static_cast<uint32_t>(begin),
                             static_cast<uint32_t>(r.length));
        out.append(reinterpret_cast<const char*>(req.data()), req.size());
        m_requestTimes[i] = now;
        ++m_requestsSent;
        if (!WriteGathered(&out, false)) return false;
    }
    return WriteGathered(&out, true);
}

bool TBTPeer::SendRequests() {
    if (!IsConnected()) return false;
    if (m_chokedByRemote || !m_ready) return true;
    const int32_t r = Rate();
    if (m_requestsSent < std::min(std::max(r / kBlockSize - 1, 5), kMaxInFlight))
        return SendPending(InFlightGoal());
    return true;
}

void TBTPeer::FillFromPiece(int32_t piece) {
    TPieces* pieces = m_task->Pieces();
    const int64_t pieceStart = static_cast<int64_t>(piece) * pieces->PieceLength();
    const int32_t size = pieces->PieceSize(piece);
    const int32_t from = pieces->PartOf(piece) / kBlockSize * kBlockSize;
    const int32_t goal = PendingGoal();
    std::vector<BlockRequest> shared;
    bool made = false;
    for (int32_t off = from; off < size; off += kBlockSize) {
        const int64_t block = (pieceStart + off) / kBlockSize;
        if (IsQueued(block) || pieces->HasBlock(piece, off)) continue;
        const int32_t length = std::min(kBlockSize, size - off);
        if (static_cast<int32_t>(m_queue.size()) < goal) {
            Enqueue(block, length);
            m_requestTimes.push_back(CachedSeconds());
        } else {
            shared.push_back({block, length});
        }
        made = true;
    }
    if (!shared.empty()) m_task->ReturnBlocks(shared);
    if (!made) ReleaseGranted(piece);
}

bool TBTPeer::Tick() {
    if (!IsConnected()) return false;
    TPieces* pieces = m_task->Pieces();
    if (m_wire != kWireActive || m_chokedByRemote || pieces == nullptr) return true;
    if (TaskComplete()) {
        if (!m_queue.empty()) CancelAndReturnAll();
        return true;
    }
    const int64_t now = m_task->TaskClock();
    const int32_t goal = PendingGoal();
    const int32_t q = goal - 2;
    // A source that found nothing looks again once something may have
    // become wanted (a piece or blocks given back by another source).
    const bool choose = !m_nothingWanted || now - m_lastPick > 59 || now < m_lastPick ||
                        m_task->WantedGeneration() != m_wantedSeen;
    if (!choose || static_cast<int32_t>(m_queue.size()) >= std::max(q, 2) || m_peerPieces.empty())
        return true;
    m_lastPick = now;
    const bool noneInFlight = m_requestsSent == 0;
    std::vector<BlockRequest> shared;
    const int32_t room = goal - static_cast<int32_t>(m_queue.size());
    if (room > 0 && m_task->PickReturnedBlocks(&shared, m_peerPieces, m_excluded, room)) {
        const int64_t pieceLength = pieces->PieceLength();
        for (const BlockRequest& b : shared) {
            const int64_t offset = b.block * kBlockSize;
            const auto piece = static_cast<int32_t>(offset / pieceLength);
            if (IsQueued(b.block) ||
                pieces->HasBlock(piece, static_cast<int32_t>(offset - piece * pieceLength)))
                continue;
            Enqueue(b.block, b.length);
            m_requestTimes.push_back(CachedSeconds());
            m_nothingWanted = false;
        }
    }
    // New pieces until the pending list reaches its goal: at a high rate
    // one piece per step would bound the download to a piece per pass.
    int failed = 0;
    for (int started = 0; static_cast<int32_t>(m_queue.size()) < std::max(q, 2) &&
                          started < kMaxPiecesPerTick && failed < 3;) {
        const int32_t piece = PickPiece();
        if (piece < 0) {
            std::fill(m_excluded.begin(), m_excluded.end(), 0);
            break;
        }
        const size_t before = m_queue.size();
        FillFromPiece(piece);
        m_lastPiece = piece;
        if (m_queue.size() > before) {
            ++started;
        } else {
            ++failed;
        }
    }
    m_wantedSeen = m_task->WantedGeneration();
    if (noneInFlight && !m_queue.empty()) {
        m_stallCount = 0;
        m_blockArriving = false;
        return SendPending(InFlightGoal());
    }
    return true;
}

int32_t TBTPeer::PickPiece() {
    TPieces* pieces = m_task->Pieces();
    if (!IsConnected() || pieces == nullptr || !m_task->PeerWireEnabled()) return -1;
    const bool wasWanted = !m_nothingWanted;
    m_nothingWanted = false;
    int32_t piece = -1;
    // The private range's pieces are granted to this source alone: it goes
    // on with them also once the servers' ranges are gone.
    if (!m_task->Ranges().empty() || m_privateRange != nullptr)
        piece = m_task->PickFromRanges(this);
    if (piece < 0) {
        const size_t files = pieces->Files().Files().size();
        const size_t start = files > 0 ? TickCountMs() % files : 0;
        for (size_t k = 0; k < files && piece < 0; ++k) {
            piece = m_task->PickInFile(this, static_cast<int32_t>((start + k) % files));
        }
    }
    if (piece < 0) {
        if (wasWanted) m_starvedSince = m_task->TaskClock();
        m_nothingWanted = true;
    }
    return piece;
}

bool TBTPeer::PumpRequests(bool send) {
    if (!IsConnected()) return false;
    if (send) return SendPending(InFlightGoal());
    if (m_chokedByRemote || m_queue.empty()) return true;
    if (!m_blockArriving) ++m_stallCount;
    if (m_stallCount > 7) {
        if (m_task->MissingPieces() <= 2) return false;
        CancelAndReturnAll();
    }
    return true;
}

void TBTPeer::CheckRequests() {
    TPieces* pieces = m_task->Pieces();
    if (!IsConnected() || pieces == nullptr || m_reader == nullptr) return;
    const uint32_t pieceLength = m_reader->View().pieceLength;
    if (pieceLength == 0) return;
    const int32_t window = m_task->PriorityWindowStart();
    const int32_t span = static_cast<int32_t>(8388608 / pieceLength);
    const uint32_t now = CachedSeconds();
    std::string out;
    std::vector<BlockRequest> shared;
    for (size_t i = 0; i < m_queue.size();) {
        const BlockRequest r = m_queue[i];
        const auto offset = static_cast<uint64_t>(r.block) * kBlockSize;
        const auto piece = static_cast<int32_t>(offset / pieceLength);
        const auto begin = static_cast<int32_t>(offset % pieceLength);
        if (pieces->HasBlock(piece, begin)) {
            if (static_cast<int32_t>(i) < m_requestsSent) {
                const auto c =
                    bt::BuildCancel(static_cast<uint32_t>(piece), static_cast<uint32_t>(begin),
                                    static_cast<uint32_t>(r.length));
                out.append(reinterpret_cast<const char*>(c.data()), c.size());
                m_cancelled.push_back(r.block);
                WriteGathered(&out, false);
            }
            RemovePending(i);
            continue;
        }
        if (piece >= window && piece < window + span && now - m_requestTimes[i] > 8) {
            shared.push_back(r);
            m_requestTimes[i] = now;
        }
        ++i;
    }
    WriteGathered(&out, true);
    if (m_cancelled.size() > kCancelledKept)
        m_cancelled.erase(
            m_cancelled.begin(),
            m_cancelled.begin() + static_cast<long>(m_cancelled.size() - kCancelledKept));
    if (!shared.empty()) m_task->ReturnBlocks(shared);
    // A granted piece whose blocks this source no longer asks for (the
    // piece map dropped what had arrived, or its blocks went elsewhere)
    // would otherwise stay out of every other source's reach while this
    // connection lives.
    ReleaseIdleGrants();
}

// ---- uploading ----

void TBTPeer::DropUploadsOfPiece(uint32_t index) {
    m_uploads.erase(std::remove_if(m_uploads.begin(), m_uploads.end(),
                                   [index](const UploadRequest& u) { return u.index == index; }),
                    m_uploads.end());
}

bool TBTPeer::ServeUploads() {
    if (!IsConnected()) return false;
    TPieces* pieces = m_task->Pieces();
    if (pieces == nullptr || pieces->PieceLength() <= 0 || m_wire != kWireActive ||
        m_chokingRemote || m_uploads.empty() || m_connection->PendingSendSize() > 0)
        return true;
    const int64_t allowance = m_task->UploadBudgetLeft();
    if (allowance <= 0) return true;
    const int64_t budget =
        std::min(UploadStepFor(UploadRateNow(TickCountMs()), TaskComplete()), allowance);
    // The step's messages are gathered in one buffer, blocks read straight
    // into it, and queued at once: block by block the connection's buffer
    // would grow (and copy itself) once per block.
    std::string& out = m_serveBuffer;
    out.clear();
    int64_t sum = 0;
    while (!m_uploads.empty()) {
        const UploadRequest r = m_uploads.front();
        if (r.length > static_cast<uint32_t>(pieces->PieceSize(static_cast<int32_t>(r.index))) ||
            r.length > bt::kMaxRequestLength) {
            m_uploads.pop_front();
            continue;
        }
        sum += r.length;
        if (sum > budget && m_task->UploadQueuedThisCycle()) break;
        const auto head = bt::BuildPieceHeader(r.index, r.begin, r.length);
        const size_t at = out.size();
        out.append(reinterpret_cast<const char*>(head.data()), head.size());
        out.resize(at + head.size() + r.length);
        const int64_t n =
            pieces->ReadRange(static_cast<int32_t>(r.index), out.data() + at + head.size(),
                              static_cast<int32_t>(r.length), static_cast<int32_t>(r.begin));
        if (n == static_cast<int64_t>(r.length)) {
            m_uploads.pop_front();
            m_uploaded += n;
            m_rateSent += n;
            m_periodSent += n;
            m_task->CountUpload(n);
            if (sum >= budget) break;
        } else {
            out.resize(at);
            // Only peers of this engine understand the notice; others just
            // lose their requests for that piece.
            if (bt::SendsRejectNotice(m_remotePeerId.data())) {
                const auto notice = bt::BuildRejectNotice(r.index);
                out.append(reinterpret_cast<const char*>(notice.data()), notice.size());
            }
            DropUploadsOfPiece(r.index);
        }
    }
    if (!QueueBytes(out.data(), out.size())) return false;
    // A large buffer is not kept between steps of a remote gone slow.
    if (out.capacity() > 2 * static_cast<size_t>(kMaxUploadStep)) std::string().swap(out);
    if (m_connection->PendingSendSize() > 0) {
        m_task->NoteUploadQueued();
        return m_connection->Flush() >= 0;
    }
    return true;
}

bool TBTPeer::Flush() {
    if (!IsConnected()) return false;
    const size_t pending = m_connection->PendingSendSize();
    if (!m_connection->IsThrough()) return m_connection->Flush() >= 0;
    if (pending == 0) return true;
    // A slow upload with a backlog goes out on every other call.
    if (m_uploadRate < 28672 && pending > 1024 && (++m_flushToggle & 1) != 0) return true;
    return m_connection->Flush() >= 0;
}

bool TBTPeer::ChokeRemote() {
    m_chokingRemote = true;
    m_uploads.clear();
    if (IsConnected() && m_wire == kWireActive) {
        const auto c = bt::BuildChoke();
        if (!QueueBytes(c.data(), c.size()) || m_connection->Flush() < 0) return false;
    }
    return IsConnected();
}

bool TBTPeer::UnchokeRemote() {
    m_chokingRemote = false;
    if (IsConnected() && m_wire == kWireActive) {
        const auto c = bt::BuildUnchoke();
        if (!QueueBytes(c.data(), c.size()) || m_connection->Flush() < 0) return false;
    }
    return IsConnected();
}

bool TBTPeer::QueueHave(uint32_t piece) {
    if (!IsConnected() || m_wire != kWireActive) return IsConnected();
    const auto h = bt::BuildHave(piece);
    return QueueBytes(h.data(), h.size());
}

int32_t TBTPeer::TakeHaveMessages() {
    const int32_t n = m_haveMessages;
    m_haveMessages = 0;
    return n;
}

// ---- evaluations ----

bool TBTPeer::RemoteHasPiece(int32_t piece) const {
    return BitOf(m_peerPieces, piece);
}

bool TBTPeer::ExcludedPiece(int32_t piece) const {
    return BitOf(m_excluded, piece);
}

bool TBTPeer::IsSeed() {
    if (m_seedSince != 0) return true;
    if (!IsConnected() || m_reader == nullptr) return false;
    const uint32_t count = m_reader->View().pieceCount;
    if (count == 0 || m_peerPieces.size() * 8 < count) return false;
    if (bt::CountPieces(m_peerPieces.data(), m_peerPieces.size(), count) != count) return false;
    m_seedSince = std::max<int64_t>(m_task->TaskClock(), 1);
    return true;
}

bool TBTPeer::IsLongSeed() {
    return IsSeed() && m_task->TaskClock() - m_seedSince > 15;
}

bool TBTPeer::IsSlow() {
    if (!m_task->PeerWireEnabled()) return true;
    if (!IsConnected() || m_establishedSeconds == 0) return false;
    const uint32_t connected = CachedSeconds() - m_establishedSeconds;
    if (connected <= 120) return false;
    if (TaskComplete()) {
        return m_uploadRate < 1 && m_connection->BytesSent() / connected <= 18;
    }
    return m_downloadRate < 1 && m_connection->BytesReceived() / connected <= 18;
}

bool TBTPeer::TimedOut() {
    return false;
}

bool TBTPeer::IsStarved() {
    return m_nothingWanted && m_task->TaskClock() - m_starvedSince > 90;
}

int32_t TBTPeer::PeerRate() {
    if (m_wire != kWireActive || m_haveCount - m_bitfieldCount <= 4 || m_reader == nullptr)
        return 0;
    const int64_t seconds =
        std::max<int64_t>(static_cast<int64_t>(CachedSeconds()) - m_establishedSeconds, 1);
    return static_cast<int32_t>(static_cast<int64_t>(m_haveCount - m_bitfieldCount) *
                                (m_reader->View().pieceLength / 1024) / seconds);
}

void TBTPeer::Reset() {
    m_wire = kWireIdle;
    m_peerPieces.clear();
    TPeerObject::Reset();
    m_excluded.clear();
    m_requestTimes.clear();
    m_uploads.clear();
    std::string().swap(m_serveBuffer);
    m_cancelled.clear();
    m_reader.reset();
    m_incoming = false;
    m_disguisedIncoming = false;
    m_ready = false;
    m_chokingRemote = false;
    m_chokedByRemote = true;
    m_nothingWanted = false;
    m_hasPieces = false;
    m_blockArriving = false;
    m_overUdp = false;
    m_remotePeerId.fill(0);
    m_haveCount = m_bitfieldCount = m_haveMessages = 0;
    m_requestsSent = 0;
    m_stallCount = -2;
    m_protocolErrors = 0;
    m_flushToggle = 0;
    m_progressMark = 0;
    m_lastPick = 0;
    m_wantedSeen = 0;
    m_starvedSince = 0;
    m_chokedSince = 0;
    m_seedSince = 0;
    m_establishedSeconds = 0;
    m_uploaded = 0;
    m_fault = bt::WireFault::kNone;
}

}  // namespace lf
