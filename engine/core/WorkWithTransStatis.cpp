#include "engine/core/WorkWithTransStatis.h"

#include <algorithm>
#include <ctime>

#include "engine/net/TimeThread.h"

int32_t TWorkWithTransStatis::Allowance(int32_t limitKiB, int32_t share) {
    int64_t limit = limitKiB > 0 ? static_cast<int64_t>(limitKiB) * 1024 : kNoLimitBytes;
    int64_t s = share > 0 ? share : kNoLimitBytes;
    return static_cast<int32_t>(std::max<int64_t>(std::min(limit, s), kMinAllowance));
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
    return 0;
}

void TWorkWithTransStatis::PerSecondBookkeeping() {
    m_cachedClock = static_cast<int64_t>(WallSeconds());
    {
        QGuard guard(m_lock);
        const bool complete =
            m_working.pieceCount > 0 && m_working.piecesDone >= m_working.pieceCount;
        const int32_t amount = complete ? m_secondPayload : m_secondReceived;
        m_working.smoothedSpeed =
            complete ? 0 : (3 * m_secondPayload + m_working.smoothedSpeed) / 4;
        m_working.receivedTotal += amount;
        m_working.sentTotal += m_secondSent;
        const int64_t left = m_working.totalBytes - m_working.downloadedBytes;
        m_working.remainingSeconds = m_working.smoothedSpeed > 0 && left > 0
                                         ? static_cast<int32_t>(left / m_working.smoothedSpeed)
                                         : 0;
        m_downloadAllowance = Allowance(m_settings.downloadLimitKiB, m_downloadShare);
        m_uploadAllowance = Allowance(m_settings.uploadLimitKiB, m_uploadShare);
    }
    m_secondReceived = 0;
    m_secondSent = 0;
    m_secondPayload = 0;
    m_publishRequest = true;
}

int64_t TWorkWithTransStatis::TaskClock() {
    return m_cachedClock != 0 ? m_cachedClock : static_cast<int64_t>(std::time(nullptr));
}

bool TWorkWithTransStatis::TakePublishRequest() {
    bool r = m_publishRequest;
    m_publishRequest = false;
    return r;
}

void TWorkWithTransStatis::PublishByteCounts() {
    m_publishedHttpBytes = m_httpBytes;
    m_publishedBtBytes = m_btBytes;
}

void TWorkWithTransStatis::Reset(bool clearFileList, bool clearAll) {
    TWorkWithPieces::Reset(clearFileList, clearAll);
    m_secondReceived = 0;
    m_secondSent = 0;
    m_secondPayload = 0;
    m_tickSleepMs = 6;
    m_divisor1 = 6;
    m_divisor2 = 18;
    m_publishRequest = false;
}
