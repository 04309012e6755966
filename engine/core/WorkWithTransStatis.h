// TWorkWithTransStatis: the layer of a work object that measures what a
// task moves, derives speeds and remaining time, sets the pass rate from
// the throughput and enforces the task's speed limits as per-second
// allowances. All rates are integer byte counts.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/core/WorkWithPieces.h"

namespace lf {

class TWorkWithTransStatis : public TWorkWithPieces {
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
    ~TWorkWithTransStatis() override;

    // Counted by the sources; never cleared.
    uint64_t m_httpBytes = 0;
    uint64_t m_btBytes = 0;

protected:
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
};

}  // namespace lf
