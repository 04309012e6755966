// TWorkWithTransStatis: the layer of a work object that measures what a
// task moves, derives speeds and remaining time, sets the pass rate from
// the throughput and enforces the task's speed limits as per-second
// allowances. All rates are integer byte counts.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

#include "engine/core/WorkWithPieces.h"
#include "engine/sources/TrackerPeer.h"

namespace lf {

class TWorkWithTransStatis : public TWorkWithPieces, public ITrackerHost {
public:
    static constexpr int32_t kNoLimitBytes = 0x3E800000;  // 1000 MiB/s
    static constexpr int32_t kMinAllowance = 3072;

    struct ThroughputClass {
        int cls;
        int tickSleepMs;
        int d1;
        int d2;
    };

    int SetSpeedLimit(int32_t direction, int32_t kib) override;
    void PerSecondBookkeeping() override;
    void Reset(bool clearFileList, bool clearAll) override;

    // Allowance for one second from a limit in KiB/s and a share in
    // bytes/s (0 = none for both).
    static int32_t Allowance(int32_t limitKiB, int32_t share);
    // Pass rate for the bytes moved in one second.
    static ThroughputClass ClassFor(int64_t bytesInSecond);
    // Peer slots and maximum peer connections for the task's rates.
    static void PeerNumbers(int32_t downRate, int32_t upRate, int32_t* slots,
                            int32_t* maxConnections);

    int TickSleepMs() const { return m_tickSleepMs > 0 ? m_tickSleepMs : 6; }
    // The task clock: the wall clock cached at the last per-second
    // bookkeeping, or the system time when none ran yet.
    int64_t TaskClock() override;
    bool TakePublishRequest();
    // Payload accepted by the piece map from a source of the given kind.
    void CountPayload(int kind, int64_t bytes) override;
    // Bytes a source may still receive in this second.
    int64_t DownloadBudgetLeft() const override;
    // Every four seconds: per-source rates, surplus sources, stalls, bans.
    void StatisticsStep();
    bool StatisticsDue();
    // The incomplete task's piece map saw no new data for the stall time
    // (EngineTimings::stallStopSeconds): the publication stops the task.
    bool StallStopDue();
    // Connected sources the task keeps before dropping surplus peers:
    // m = maximum peer connections - 6, less max(m / 12 - 6, 0).
    static int32_t SurplusLimit(int32_t maxConnections);
    // Drops surplus and idle BitTorrent sources, worst first (servers stay).
    void DropSurplusSources();
    // The stall check of every connected source.
    void CheckStalledConnections();

    int32_t TaskDownloadRate() override { return m_downloadRate; }

    // ---- BitTorrent sources (TPeerHost) ----
    const uint8_t* BtHandshakeBlock() override;
    bool HttpDisguise() const override;
    bool PeerWireEnabled() const override;
    bool NatTraversalPermitted() override;
    int UdpConnectSeconds() const override;
    bool AllowUdpConnections() override;
    bool PeerConnected(const TPeerObject* s, uint32_t ipv4, const uint8_t* peerId) override;
    int64_t UploadBudgetLeft() const override;
    void CountUpload(int64_t bytes) override;
    bool UploadQueuedThisCycle() const override { return m_uploadQueued; }
    void NoteUploadQueued() override { m_uploadQueued = true; }
    int32_t UploadSlots() const override { return m_peerSlots; }
    int32_t MissingPieces() override;
    // Pieces completed since the last batch go out as have messages to
    // every connected BitTorrent peer, at most once per 7 s.
    void AnnouncePieces();
    // The BitTorrent steps of the statistics run: chokes and unchokes by
    // rank, upload totals, seeds closed once complete, stalled requests.
    void PeerStatisticsStep();
    // Payload sent to remotes (never cleared).
    uint64_t m_uploadedBytes = 0;
    uint64_t m_uploadedLogged = 0;
    ~TWorkWithTransStatis() override;

    // Counted by the sources; never cleared.
    uint64_t m_httpBytes = 0;
    uint64_t m_btBytes = 0;
    // Payload from every kind of source (FTP included); task thread only.
    uint64_t m_payloadBytes = 0;

    // ITrackerHost: what the task's tracker sources announce and where
    // their answers go.
    bool FillAnnounce(tracker::AnnounceValues* values) override;
    tracker::PeerIdField HttpAnnouncePeerId() override;
    void OfferTrackerPeer(const tracker::PeerEntry& peer) override;
    void StoreTrackerCounts(int32_t interval, int32_t donePeers, int32_t completed) override;

protected:
    ITrackerHost* TrackerHost() override { return this; }
    void OnSourceStepped(TPeerObject* s) override;
    void OnSourceRemoved(TPeerObject* s) override;
    // Saving (every 20 s) and publication (every 5 s).
    virtual void PeriodicSave() = 0;
    void PeriodicPublish();

    int64_t m_secondReceived = 0;
    int64_t m_secondSent = 0;
    int64_t m_secondPayload = 0;
    // Written by the task thread each second and lowered at once by the
    // interface when a limit is set.
    std::atomic<int32_t> m_downloadAllowance{kNoLimitBytes};
    std::atomic<int32_t> m_uploadAllowance{kNoLimitBytes};
    int32_t m_downloadShare = 0;
    int32_t m_uploadShare = 0;
    int32_t m_downloadRate = 0;
    int32_t m_uploadRate = 0;
    int32_t m_peerSlots = 8;
    int m_tickSleepMs = 6;
    int m_divisor2 = 18;
    int64_t m_cachedClock = 0;
    int64_t m_lastStatistics = 0;
    int64_t m_lastSave = 0;
    int64_t m_lastPublish = 0;
    uint32_t m_statisticsRuns = 0;
    bool m_publishRequest = false;
    bool m_saveRequest = false;
    int64_t m_secondUploaded = 0;
    std::array<uint8_t, 68> m_handshakeBlock{};
    bool m_handshakeMade = false;
    std::vector<uint8_t> m_announcedHave;  // the have map as last announced
    bool m_announcedValid = false;
    int64_t m_lastAnnounce = 0;
};

}  // namespace lf
