#include "engine/sources/TrackerPeer.h"

#include <arpa/inet.h>

#include <cstdio>

#include "engine/base/TimeThread.h"
#include "engine/log/LogApi.h"
#include "engine/net/NameResolve.h"

namespace lf {

namespace {

constexpr int kNoteChannel = 13;
constexpr int kErrorChannel = 38;

}  // namespace

TTrackerPeer::TTrackerPeer(TPeerHost* host, ITrackerHost* tracker, int event)
    : TPeerObject(host, kSourceTracker),
      m_tracker(tracker),
      m_event(event),
      m_udp(host->Timings().trackerRepeatSeconds) {}

TTrackerPeer::~TTrackerPeer() {
    Reset();
}

bool TTrackerPeer::IsUdp() const {
    return m_source != nullptr && m_source->trackerTransport == 0;
}

bool TTrackerPeer::IsConnected() const {
    return (m_linkState != kLinkNone || m_subState != kSubIdle) && m_connection != nullptr;
}

void TTrackerPeer::Reset() {
    TPeerObject::Reset();
    m_subState = kSubIdle;
    m_target.clear();
    m_head.Reset();
    m_lastAnnounce = 0;
    m_socket.Close();
    m_udp = tracker::UdpExchange(RepeatSeconds());
}

bool TTrackerPeer::Connect(TPeerId* source) {
    if (source == nullptr || !source->details) return false;
    if (!TPeerObject::Connect(source)) return false;
    m_lastActivity = CachedSeconds();
    if (IsUdp()) {
        if (m_linkState != kLinkNone) return true;
        m_socket.SetLocal(0, m_task->LocalBindAddress());
        m_subState = kSubConnecting;
        UdpTick(m_lastActivity);
        return true;
    }
    // A connect refused at once leaves the source idle, and the task drops
    // it; only a full half-open gate (nothing was tried) makes the task try
    // again later.
    if (!StartHttpConnect() && m_connection->LastFailure() == QConnection::Failure::kHalfOpenFull)
        return false;
    return true;
}

bool TTrackerPeer::StartHttpConnect() {
    const uint32_t now = CachedSeconds();
    if (!(m_linkState == kLinkNone || (m_subState == kSubConnecting && now - m_lastActivity > 10)))
        return true;
    uint32_t local = m_task->LocalBindAddress();
    // The process-wide proxy settings apply (nullptr).
    if (!m_connection->Connect(m_source->ipv4, m_source->port, false, nullptr,
                               local != 0 ? &local : nullptr)) {
        EngineLog::Printf(kNoteChannel, "Tracker %s: connect failed", m_source->address.c_str());
        return false;
    }
    m_linkState = kLinkEstablished;
    m_subState = kSubConnecting;
    return true;
}

bool TTrackerPeer::Tick() {
    const uint32_t now = CachedSeconds();
    m_lastActivity = now;
    if ((m_linkState == kLinkNone && m_subState == kSubIdle) || m_subState == kSubDone)
        return false;
    return IsUdp() ? UdpTick(now) : HttpTick(now);
}

bool TTrackerPeer::HttpTick(uint32_t now) {
    if (m_linkState != kLinkEstablished) return true;
    if (m_lastAnnounce != 0 && now - m_lastAnnounce <= static_cast<uint32_t>(RepeatSeconds()))
        return true;
    tracker::AnnounceValues v;
    if (!m_tracker->FillAnnounce(&v)) return true;
    if (m_target.empty()) {
        const TPeerDetails& d = *m_source->details;
        v.path = d.path.empty() ? "/" : d.path;
        if (!d.query.empty()) v.path += "?" + d.query;
        v.peerId = m_tracker->HttpAnnouncePeerId();
        m_target = tracker::BuildAnnounceTarget(v);
    }
    const std::string request =
        tracker::BuildHttpRequest(m_target, m_source->details->hostName, m_source->port);
    m_connection->Queue(request.data(), request.size());
    m_lastAnnounce = now;
    return true;
}

bool TTrackerPeer::UdpTick(uint32_t now) {
    tracker::AnnounceValues v;
    if (m_udp.Connected() && !m_tracker->FillAnnounce(&v)) return true;
    const std::string d = m_udp.Poll(now, v);
    if (m_udp.GaveUp()) {
        EngineLog::Printf(kNoteChannel, "Tracker %s: no answer to %d connect requests",
                          m_source->address.c_str(), m_udp.ConnectTries());
        m_phase = kPhaseTimedOut;
        return false;
    }
    if (!d.empty()) {
        if (m_udp.Connected()) {
            m_lastAnnounce = now;
            EngineLog::Printf(kNoteChannel, "Tracker %s: announce %d", m_source->address.c_str(),
                              m_udp.AnnounceTries());
        } else {
            EngineLog::Printf(kNoteChannel, "Tracker %s: connect request %d",
                              m_source->address.c_str(), m_udp.ConnectTries());
        }
        SendDatagram(d);
    }
    return true;
}

bool TTrackerPeer::SendDatagram(const std::string& datagram) {
    // A failure other than "would block" marks the socket not open; the
    // next Receive then ends the source.
    return m_socket.Send(datagram.data(), datagram.size(), m_source->ipv4, m_source->port) >= 0;
}

bool TTrackerPeer::Flush() {
    m_lastActivity = CachedSeconds();
    if (!IsUdp() && m_linkState == kLinkEstablished && m_connection->PendingSendSize() > 0)
        m_connection->Flush();
    return true;
}

bool TTrackerPeer::Receive() {
    m_lastActivity = CachedSeconds();
    return IsUdp() ? UdpReceive() : HttpReceive();
}

bool TTrackerPeer::HttpReceive() {
    if (m_linkState != kLinkEstablished) return true;
    const long n = m_connection->ReceiveData();
    const bool closed = n < 0;
    const size_t size = m_connection->ReceivedSize();
    if (size == 0) {
        if (closed) {
            EngineLog::Printf(kNoteChannel, "Tracker %s: connection closed without a reply",
                              m_source->address.c_str());
        }
        return !closed;
    }
    tracker::Reply reply;
    size_t used = 0;
    const tracker::ReplyState state =
        tracker::ReadHttpReply(reinterpret_cast<const char*>(m_connection->ReceivedData()), size,
                               closed, &reply, &used, &m_head);
    if (state == tracker::ReplyState::kTooLarge) {
        EngineLog::Printf(kErrorChannel, "Tracker %s: reply above %zu bytes refused",
                          m_source->address.c_str(), tracker::kMaxReplyBytes);
        return false;
    }
    if (state == tracker::ReplyState::kIncomplete) return !closed;
    m_connection->ConsumeReceived(used);
    m_tracker->StoreTrackerCounts(reply.interval, reply.donePeers, reply.numCompleted);
    Finish(&reply, reply.peers);
    m_connection->Close();
    return true;
}

bool TTrackerPeer::UdpReceive() {
    if (!m_socket.IsOpen()) return false;
    // A few datagrams per cycle at most; the rest waits for the next one.
    for (int i = 0; i < 8; ++i) {
        const long n = m_socket.Receive(m_datagram, sizeof(m_datagram));
        if (n < 0) return false;
        if (n == 0) return true;
        std::vector<tracker::PeerEntry> peers;
        const auto outcome = m_udp.OnDatagram(m_datagram, static_cast<size_t>(n), &peers);
        if (outcome == tracker::UdpExchange::Outcome::kConnected) {
            m_linkState = kLinkEstablished;
        } else if (outcome == tracker::UdpExchange::Outcome::kIgnored && n > 8 &&
                   m_datagram[0] == 0 && m_datagram[1] == 0 && m_datagram[2] == 0 &&
                   m_datagram[3] == 3) {
            // An error reply changes nothing (the request is repeated), but
            // its text tells why.
            const std::string text(reinterpret_cast<const char*>(m_datagram) + 8,
                                   static_cast<size_t>(n) - 8);
            EngineLog::Printf(kNoteChannel, "Tracker %s error: %s", m_source->address.c_str(),
                              text.c_str());
        } else if (outcome == tracker::UdpExchange::Outcome::kAnswered) {
            Finish(nullptr, peers);
            return true;
        }
    }
    return true;
}

void TTrackerPeer::Finish(const tracker::Reply* reply,
                          const std::vector<tracker::PeerEntry>& peers) {
    const char* address = m_source->address.c_str();
    if (reply != nullptr && reply->failed) {
        EngineLog::Printf(kErrorChannel, "Tracker %s failure reason: %s", address,
                          reply->failureReason.c_str());
    }
    EngineLog::Printf(kNoteChannel, "Tracker %s answered: %zu peers", address, peers.size());
    for (const tracker::PeerEntry& p : peers) {
        EngineLog::Printf(kNoteChannel, "Tracker %s peer %s:%u id %s", address,
                          DottedAddress(p.ipv4).c_str(), static_cast<unsigned>(p.port),
                          tracker::HexText(p.peerId.data(), p.peerId.size()).c_str());
        m_tracker->OfferTrackerPeer(p);
    }
    m_subState = kSubDone;
    m_phase = kPhaseFinished;
}

}  // namespace lf
