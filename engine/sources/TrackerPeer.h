// TTrackerPeer: a tracker source. It makes one announce of its task (event
// "started") to one tracker, over HTTP or the UDP tracker protocol, repeats
// the request while no reply came, and hands every peer address of the
// reply to the task as a BitTorrent candidate. After one processed reply it
// is finished; a later announce is a new source made by the task.
//
// The source reaches its task only through its host (TPeerHost) and the
// tracker's part of it (ITrackerHost). Used by the task's work thread only.
#pragma once

#include <cstdint>
#include <string>

#include "engine/net/DatagramSocket.h"
#include "engine/sources/PeerObject.h"
#include "engine/sources/TrackerProtocol.h"

namespace lf {

// What a tracker source needs from its task besides TPeerHost.
class ITrackerHost {
public:
    // The values of an announce: info hash, the task's peer id, listening
    // port and address, bytes sent and received in the current accounting
    // interval, bytes left. False while the task has no metainfo.
    virtual bool FillAnnounce(tracker::AnnounceValues* values) = 0;
    // The peer id of an HTTP announce, made afresh for each request.
    virtual tracker::PeerIdField HttpAnnouncePeerId() = 0;
    // One peer address of a reply (the task copies what it keeps).
    virtual void OfferTrackerPeer(const tracker::PeerEntry& peer) = 0;
    // The interval, "done peers" and "num completed" of an HTTP reply.
    virtual void StoreTrackerCounts(int32_t interval, int32_t donePeers, int32_t completed) = 0;

protected:
    ~ITrackerHost() = default;
};

class TTrackerPeer : public TPeerObject {
public:
    // Sub-states: nothing sent, connecting, done.
    enum SubState { kSubIdle = 0, kSubConnecting = 1, kSubDone = 6 };
    // Announce events: 1 "completed", 2 "started", others "stopped".
    static constexpr int kEventStarted = 2;

    TTrackerPeer(TPeerHost* host, ITrackerHost* tracker, int event = kEventStarted);

    bool Connect(TPeerId* source) override;
    bool Tick() override;
    bool Receive() override;
    bool Flush() override;
    bool IsConnected() const override;
    void Reset() override;

    int SubStateValue() const { return m_subState; }
    int Event() const { return m_event; }
    // Seconds after which an unanswered request is sent again (more than
    // this old); the task's timing setting.
    int RepeatSeconds() const { return m_task->Timings().trackerRepeatSeconds; }

protected:
    ~TTrackerPeer() override;

private:
    bool IsUdp() const;
    bool StartHttpConnect();
    bool HttpTick(uint32_t now);
    bool UdpTick(uint32_t now);
    bool HttpReceive();
    bool UdpReceive();
    bool SendDatagram(const std::string& datagram);
    void Finish(const tracker::Reply* reply, const std::vector<tracker::PeerEntry>& peers);

    ITrackerHost* m_tracker;
    int m_event;
    int m_subState = kSubIdle;
    std::string m_target;      // made at the first HTTP announce, reused by repeats
    http::HeadScanner m_head;  // the reply's head, scanned as it arrives
    uint32_t m_lastAnnounce = 0;
    QDatagramSocket m_socket;
    tracker::UdpExchange m_udp;
    uint8_t m_datagram[tracker::kMaxDatagramBytes];
};

}  // namespace lf
