// TWorkWithTransStatis: the layer of a work object that measures what a
// task moves, derives speeds and remaining time, sets the pass rate from
// the throughput and enforces the task's speed limits as per-second
// allowances.
#pragma once

#include <cstdint>

#include "engine/core/WorkWithPieces.h"

class TWorkWithTransStatis : public TWorkWithPieces {
public:
    static constexpr int32_t kNoLimitBytes = 0x3E800000;  // 1000 MiB/s
    static constexpr int32_t kMinAllowance = 3072;

    int SetSpeedLimit(int32_t direction, int32_t kib) override;
    void PerSecondBookkeeping() override;
    void Reset(bool clearFileList, bool clearAll) override;

    // Allowance for one second from a limit in KiB/s and a share in
    // bytes/s (0 = none for both).
    static int32_t Allowance(int32_t limitKiB, int32_t share);

    int TickSleepMs() const { return m_tickSleepMs > 0 ? m_tickSleepMs : 6; }
    // The task clock: the wall clock cached at the last per-second
    // bookkeeping, or the system time when none ran yet.
    int64_t TaskClock();
    bool TakePublishRequest();

    // Counted by the sources; never cleared.
    uint64_t m_httpBytes = 0;
    uint64_t m_btBytes = 0;

protected:
    // Copies the byte counts into their published copies (task lock held).
    void PublishByteCounts();

    int32_t m_secondReceived = 0;
    int32_t m_secondSent = 0;
    int32_t m_secondPayload = 0;
    int32_t m_downloadAllowance = kNoLimitBytes;
    int32_t m_uploadAllowance = kNoLimitBytes;
    int32_t m_downloadShare = 0;
    int32_t m_uploadShare = 0;
    int m_tickSleepMs = 6;
    int m_divisor1 = 6;
    int m_divisor2 = 18;
    int64_t m_cachedClock = 0;
    bool m_publishRequest = false;
};
