#include "engine/sources/HttpPeer.h"

#include <strings.h>

#include <algorithm>

#include "engine/base/SafeText.h"
#include "engine/base/TimeThread.h"
#include "engine/log/LogApi.h"
#include "engine/store/TPieces.h"

namespace lf {

namespace {
bool IsWholeDocument(const TPeerId* s) {
    return s->details && s->details->wholeDocument;
}

// The server keeps the connection open after the response: HTTP/1.1
// without "Connection: close", or HTTP/1.0 with "Connection: keep-alive".
bool KeepsConnection(const http::ResponseHead& head) {
    std::string value;
    const bool named = head.Find("Connection", &value);
    std::string lower;
    for (char c : value) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (named && lower.find("close") != std::string::npos) return false;
    if (head.version == "1.1") return true;
    return named && lower.find("keep-alive") != std::string::npos;
}
}  // namespace

bool THttpPeer::Connect(TPeerId* source) {
    if (source == nullptr || !source->details) return false;
    if (!TPeerObject::Connect(source)) return false;
    const bool whole = IsWholeDocument(source);
    if (!whole) {
        if (m_queue.empty() && source->details->reportedSize > 0) TPeerObject::Tick();
        if (m_queue.empty() && source->details->reportedSize > 0) return false;
        m_streamPosition = m_queue.empty() ? 0 : m_queue.front().block * kBlockSize;
    } else if (source->priorityMark == 1) {
        m_task->SetFetchingMetainfo();
    }
    uint32_t local = m_task->LocalBindAddress();
    if (!m_connection->Connect(source->ipv4, source->port, false, nullptr,
                               local != 0 ? &local : nullptr))
        return false;
    m_linkState = kLinkConnected;
    return SendRequest();
}

bool THttpPeer::SendRequest() {
    const TPeerDetails& d = *m_source->details;
    std::string referer = d.referer;
    if (referer.empty()) {
        size_t slash = m_source->address.rfind('/');
        referer =
            slash == std::string::npos ? m_source->address : m_source->address.substr(0, slash);
    }
    std::string path = d.path.empty() ? "/" : d.path;
    if (!d.query.empty()) path += "?" + d.query;
    std::string host = d.hostName;
    if (m_source->port != 80) host += ":" + std::to_string(m_source->port);
    const int64_t end = IsWholeDocument(m_source) ? -1 : RequestEnd();
    std::string request = http::BuildRequest(path, host, referer, m_streamPosition, end);
    m_requestedPosition = m_streamPosition;
    m_responseEnd = -1;
    m_headersReceived = false;
    m_headScanner.Reset();
    m_wholeBody = false;
    ++m_source->requestCount;
    return m_connection->Queue(request.data(), request.size()) && m_connection->Flush() >= 0;
}

bool THttpPeer::Flush() {
    if (!IsConnected()) return false;
    if (m_connection->PendingSendSize() > 0 || !m_connection->IsThrough()) {
        return m_connection->Flush() >= 0;
    }
    return true;
}

bool THttpPeer::TimedOut() {
    const SourceTimings timings = m_task->Timings();
    uint32_t limit = static_cast<uint32_t>(m_headersReceived ? timings.httpBodySeconds
                                                             : timings.httpHeadSeconds);
    if (m_downloadRate >= 1 && m_downloadRate <= 2047) limit *= 2;
    uint32_t now = CachedSeconds();
    if (now - m_lastReceive > limit) {
        m_phase = kPhaseTimedOut;
        ReleaseRange();
        return true;
    }
    return false;
}

bool THttpPeer::Receive() {
    if (!IsConnected()) return false;
    if (TimedOut()) {
        m_source->Penalise(15);
        return false;
    }
    if (m_linkState == kLinkEstablished && m_task->DownloadBudgetLeft() <= 0) return true;
    if (!m_headersReceived) {
        // Never more than the head may take: a head that does not end
        // within the cap ends the source, and the buffer stays within it.
        const size_t have = m_connection->ReceivedSize();
        const size_t room = have < m_headScanner.Limit() ? m_headScanner.Limit() - have : 1;
        long n = m_connection->ReceiveData(std::min<size_t>(room, kHeadReadBytes));
        if (n < 0 && m_connection->ReceivedSize() == 0) return false;
        const char* data = reinterpret_cast<const char*>(m_connection->ReceivedData());
        switch (m_headScanner.Scan(data, m_connection->ReceivedSize())) {
            case http::HeadScanner::kNeedMore:
                return n >= 0;
            case http::HeadScanner::kTooLong:
                EngineLog::Printf(25, "HTTP %s sent a head longer than %zu bytes",
                                  m_source->address.c_str(), m_headScanner.Limit());
                m_connection->Close();
                m_task->RemoveCandidate(m_source);
                return false;
            case http::HeadScanner::kComplete:
                break;
        }
        http::SplitResponseHead(data, m_headScanner.HeadBytes(), &m_response);
        m_connection->ConsumeReceived(m_response.blockBytes);
        m_headersReceived = true;
        m_linkState = kLinkEstablished;
        m_lastReceive = CachedSeconds();
        return HandleHead();
    }
    return IsWholeDocument(m_source) ? ReceiveDocument() : ReceiveStream();
}

bool THttpPeer::HandleHead() {
    TPeerDetails& d = *m_source->details;
    switch (m_response.StatusClass()) {
        case 2: {
            m_source->OnFirstSuccess();
            // A range request must be answered from the requested offset;
            // a server that sends the whole resource is read from 0 on.
            // A partial answer always names where it starts, and the
            // resource it is part of must have the size already known: bytes
            // from another offset or another file are never stored.
            const int64_t start = http::ContentRangeStart(m_response);
            bool acceptable = true;
            if (m_response.status == 206) {
                acceptable = start == m_requestedPosition;
            } else if (m_requestedPosition > 0) {
                acceptable = m_response.status == 200 && start < 0;
                if (acceptable) {
                    m_wholeBody = true;
                    m_streamPosition = 0;
                }
            }
            int64_t total = -1;
            const int64_t known = m_task->TotalBytes() > 0 ? m_task->TotalBytes() : d.reportedSize;
            if (acceptable && known > 0 && !d.wholeDocument &&
                http::ResourceSize(m_response, &total) && total > 0 && total != known) {
                acceptable = false;
            }
            if (acceptable) {
                const int64_t body = http::BodyLength(m_response);
                m_responseEnd = body >= 0 ? m_streamPosition + body : -1;
            }
            if (!acceptable) {
                EngineLog::Printf(25, "HTTP %s answered offset %lld of %lld bytes for %lld of %lld",
                                  SafeText(m_source->address).c_str(),
                                  static_cast<long long>(start), static_cast<long long>(total),
                                  static_cast<long long>(m_requestedPosition),
                                  static_cast<long long>(known));
                m_connection->Close();
                m_source->Penalise(60);
                return false;
            }
            if (m_source->useCount > 1) return true;
            d.redirected = false;
            if (d.reportedSize <= 0) {
                int64_t size = -1;
                m_noLength = !http::ResourceSize(m_response, &size);
                if (m_noLength && d.wholeDocument) size = 2147483647;
                d.reportedSize = size;
                std::string name;
                if (http::DispositionFileName(m_response, &name)) {
                    d.fileName = name;
                } else if (d.fileName.empty()) {
                    d.fileName = "index.htm";
                }
                if (size > 0) m_task->OnServerSize(m_source, size);
            }
            return d.reportedSize > 0;
        }
        case 3:
            HandleRedirect();
            return false;
        case 4:
            m_connection->Close();
            m_task->RemoveCandidate(m_source);
            return false;
        case 5:
            m_connection->Close();
            m_source->Penalise(60);
            return false;
        default:
            return false;
    }
}

bool THttpPeer::HandleRedirect() {
    TPeerDetails& d = *m_source->details;
    d.redirected = true;
    std::string location;
    m_response.Find("Location", &location);
    location = http::AbsoluteLocation(location, d.hostName, m_source->port);
    m_connection->Close();
    m_phase = kPhaseFinished;
    if (location == d.lastRedirect) {
        if (++d.redirectCount > 2) m_task->RemoveCandidate(m_source);
        return false;
    }
    d.lastRedirect = location;
    ++d.redirectCount;
    TPeerId* target = new TPeerId(location);
    if (target->Parse()) {
        if (target->details) {
            target->details->wholeDocument = d.wholeDocument;
        }
        target->priorityMark = m_source->priorityMark;
        target->retryMark = TPeerId::kRetryRedirect;
        // A host name is looked up by the task, not here.
        m_task->AddRedirectTarget(target);
    }
    target->Release();
    return false;
}

bool THttpPeer::ReceiveDocument() {
    TPeerDetails& d = *m_source->details;
    long n = m_connection->ReceiveData();
    size_t have = m_connection->ReceivedSize();
    if (n < 0) {
        if (have == 0) {
            if ((m_noLength || static_cast<int64_t>(d.body.size()) >= d.reportedSize) &&
                !d.body.empty()) {
                d.done = true;
                return true;
            }
            return false;
        }
    }
    if (have > 0) {
        d.body.append(reinterpret_cast<const char*>(m_connection->ReceivedData()), have);
        m_connection->ConsumeReceived(have);
        m_lastReceive = CachedSeconds();
        if (static_cast<int64_t>(d.body.size()) >= d.reportedSize) d.done = true;
    }
    return true;
}

bool THttpPeer::ReceiveStream() {
    if (m_inFlight <= 0) return true;
    // What the queue can take, up to the second's budget and kMaxReadBytes a
    // pass, read kReadChunkBytes at a time: the receive buffer stays small
    // while a fast stream still moves its full amount every pass.
    const int64_t budget = std::max<int64_t>(m_task->DownloadBudgetLeft(), kBlockSize);
    int64_t passLeft = std::clamp<int64_t>(
        std::min(static_cast<int64_t>(m_inFlight) * kBlockSize + m_bytesToSkip, budget), kBlockSize,
        kMaxReadBytes);
    bool ok = true;
    while (ok && m_inFlight > 0 && passLeft > 0) {
        int64_t placed = 0;
        bool drained = false;
        const int direct = ReceiveInPlace(passLeft, &placed, &drained);
        if (direct < 0) return false;
        if (direct > 0) {
            ok = direct == 1;
            if (drained) break;  // for now
            passLeft -= placed;
            continue;
        }
        const int64_t wanted = static_cast<int64_t>(m_inFlight) * kBlockSize + m_bytesToSkip;
        const size_t readSize = static_cast<size_t>(
            std::clamp<int64_t>(std::min(wanted, passLeft), kBlockSize, kReadChunkBytes));
        long n = m_connection->ReceiveData(readSize);
        if (n < 0 && m_connection->ReceivedSize() == 0) return false;
        ok = DeliverReceived();
        if (n <= 0 || static_cast<size_t>(n) < readSize) break;  // drained for now
        passLeft -= n;
    }
    return ok;
}

int THttpPeer::ReceiveInPlace(int64_t most, int64_t* placed, bool* drained) {
    *placed = 0;
    TPieces* pieces = m_task->Pieces();
    // Only between blocks (a part of one may wait in the receive buffer),
    // with nothing to pass over.
    if (pieces == nullptr || pieces->PieceLength() <= 0 || m_bytesToSkip != 0 || m_queue.empty() ||
        m_connection->ReceivedSize() >= static_cast<size_t>(kBlockSize))
        return 0;
    const BlockRequest first = m_queue.front();
    const int64_t offset = first.block * kBlockSize;
    if (offset != m_streamPosition) return 0;
    const auto piece = static_cast<int32_t>(offset / pieces->PieceLength());
    const auto inPiece = static_cast<int32_t>(offset - int64_t{piece} * pieces->PieceLength());
    // The blocks in flight that follow each other, at most `most` bytes.
    int64_t flight = 0;
    for (size_t i = 0; i < m_queue.size() && static_cast<int32_t>(i) < m_inFlight; ++i) {
        if (i > 0 && m_queue[i].block != m_queue[i - 1].block + 1) break;
        flight += m_queue[i].length;
        if (flight >= most) break;
    }
    char* destination = nullptr;
    const int32_t span = pieces->ReceiveSpan(
        piece, inPiece, static_cast<int32_t>(std::min<int64_t>({flight, most, kReadChunkBytes})),
        &destination);
    if (span < first.length || static_cast<size_t>(span) <= m_connection->ReceivedSize()) return 0;
    auto* at = reinterpret_cast<uint8_t*>(destination);
    const long n = m_connection->ReceiveInto(at, static_cast<size_t>(span));
    if (n < 0) return -1;
    *placed = n;
    *drained = n < span;
    // Whole blocks count where they are; the part of the next one goes
    // back to the receive buffer until the rest of it arrives.
    int64_t used = 0;
    size_t whole = 0;
    for (size_t i = 0; i < m_queue.size(); ++i) {
        if (used + m_queue[i].length > n) break;
        used += m_queue[i].length;
        ++whole;
    }
    if (used < n && !m_connection->PutBack(at + used, static_cast<size_t>(n - used))) return -1;
    if (n > 0) m_lastReceive = CachedSeconds();
    for (size_t k = 0; k < whole; ++k) {
        const BlockRequest r = m_queue.front();
        if (!DeliverBlock(r.block, r.length, destination)) return 2;
        destination += r.length;
        m_streamPosition += r.length;
        --m_inFlight;
    }
    return 1;
}

bool THttpPeer::DeliverReceived() {
    size_t have = m_connection->ReceivedSize();
    if (m_bytesToSkip > 0 && have > 0) {
        size_t drop =
            static_cast<size_t>(std::min<int64_t>(m_bytesToSkip, static_cast<int64_t>(have)));
        m_connection->ConsumeReceived(drop);
        m_bytesToSkip -= static_cast<int64_t>(drop);
        m_streamPosition += static_cast<int64_t>(drop);
        have -= drop;
        m_lastReceive = CachedSeconds();
    }
    // The blocks are handed over straight from the receive buffer, which is
    // consumed once afterwards: consuming block by block would move the
    // rest of the buffer to its front for every block.
    const char* data = reinterpret_cast<const char*>(m_connection->ReceivedData());
    size_t used = 0;
    bool ok = true;
    while (m_bytesToSkip == 0 && m_inFlight > 0 && !m_queue.empty()) {
        const BlockRequest r = m_queue.front();
        if (have - used < static_cast<size_t>(r.length)) break;
        if (!DeliverBlock(r.block, r.length, data + used)) {
            ok = false;
            break;
        }
        // DeliverBlock removed the request from the queue.
        used += static_cast<size_t>(r.length);
        m_streamPosition += r.length;
        --m_inFlight;
    }
    if (used > 0) m_connection->ConsumeReceived(used);
    return ok;
}

int32_t THttpPeer::CountInFlight() const {
    int32_t n = 0;
    for (size_t i = 0; i < m_queue.size(); ++i) {
        if (i > 0 && m_queue[i].block != m_queue[i - 1].block + 1) break;
        if (m_responseEnd >= 0 && m_queue[i].block * kBlockSize + m_queue[i].length > m_responseEnd)
            break;
        ++n;
    }
    return n;
}

bool THttpPeer::Tick() {
    if (!m_headersReceived || IsWholeDocument(m_source)) return true;
    const int64_t size = m_source->details->reportedSize;
    if (size <= 0) return true;
    if (m_inFlight == 0) {
        const int64_t total = m_task->TotalBytes();
        if (total > 0 && size != total) {
            m_connection->Close();
            m_source->Penalise(60);
            return false;
        }
    }
    // Refill; releasing the range on the way empties the flight.
    TPeerObject::Tick();
    if (m_queue.empty()) {
        if (m_inFlight > 0) return true;
        m_phase = kPhaseFinished;
        ReleaseRange();
        return false;
    }
    if (m_inFlight > 0) {
        // Still streaming: the head of the queue is the next body block.
        m_inFlight = CountInFlight();
        return true;
    }
    m_inFlight = CountInFlight();
    const int64_t skip = m_queue.front().block * kBlockSize - m_streamPosition;
    // Nothing in flight: the next block lies beyond the end of the response.
    if (m_inFlight > 0 && skip >= 0 && (skip <= kMaxSkipBytes || m_wholeBody)) {
        m_bytesToSkip = skip;
        return true;
    }
    // The response was read to its end on a connection the server keeps:
    // the next request goes out on it.
    if (ResponseDone() && KeepsConnection(m_response) && m_connection->ReceivedSize() == 0) {
        m_bytesToSkip = 0;
        m_inFlight = 0;
        m_streamPosition = m_queue.front().block * kBlockSize;
        return SendRequest();
    }
    return Restart();
}

bool THttpPeer::Restart() {
    m_connection->Close();
    m_bytesToSkip = 0;
    m_inFlight = 0;
    m_streamPosition = m_queue.empty() ? 0 : m_queue.front().block * kBlockSize;
    uint32_t local = m_task->LocalBindAddress();
    if (!m_connection->Connect(m_source->ipv4, m_source->port, false, nullptr,
                               local != 0 ? &local : nullptr))
        return false;
    m_linkState = kLinkConnected;
    m_lastReceive = CachedSeconds();
    return SendRequest();
}

int64_t THttpPeer::RequestEnd() const {
    TPieces* pieces = m_task->Pieces();
    if (m_queue.empty() || pieces == nullptr || pieces->PieceLength() <= 0) return -1;
    const int64_t from = m_queue.front().block * kBlockSize;
    int64_t end = from + m_queue.front().length;
    for (size_t i = 1; i < m_queue.size() && m_queue[i].block == m_queue[i - 1].block + 1; ++i)
        end = m_queue[i].block * kBlockSize + m_queue[i].length;
    if (m_range != nullptr && m_range->first >= 0 && m_range->last >= m_range->first) {
        const int64_t length = pieces->PieceLength();
        const int64_t first = static_cast<int64_t>(m_range->first) * length;
        const int64_t last = std::min(pieces->TotalLength(), (m_range->last + int64_t{1}) * length);
        if (from >= first && from < last) end = std::max(end, last);
    }
    return end;
}

void THttpPeer::ReleaseRange() {
    TPeerObject::ReleaseRange();
    m_bytesToSkip = 0;
    m_inFlight = 0;
}

void THttpPeer::Reset() {
    TPeerObject::Reset();
    m_headersReceived = false;
    m_headScanner.Reset();
    m_response = http::ResponseHead();
    m_streamPosition = 0;
    m_requestedPosition = 0;
    m_responseEnd = -1;
    m_bytesToSkip = 0;
    m_inFlight = 0;
    m_noLength = false;
    m_wholeBody = false;
}

}  // namespace lf
