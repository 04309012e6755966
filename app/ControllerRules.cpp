#include "app/ControllerRules.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/Translation.h"

namespace lfapp {
namespace {

std::string Format(const char* format, double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

}  // namespace

// ---- DownloadStatus --------------------------------------------------------

const char* StatusName(DownloadStatus status) {
    switch (status) {
        case DownloadStatus::Back:
            return "back";
        case DownloadStatus::Ready:
            return "ready";
        case DownloadStatus::Preparing:
            return "preparing";
        case DownloadStatus::Downloading:
            return "downloading";
        case DownloadStatus::Pause:
            return "pause";
        case DownloadStatus::Resume:
            return "resume";
        case DownloadStatus::Failed:
            return "failed";
        case DownloadStatus::Finished:
            return "finished";
        case DownloadStatus::Md5Checking:
            return "md5checking";
        case DownloadStatus::CheckRecover:
            return "checkrecover";
        case DownloadStatus::CheckFinished:
            return "checkfinished";
        case DownloadStatus::Installing:
            return "installing";
        case DownloadStatus::Recover:
            return "recover";
        case DownloadStatus::Reload:
            return "reload";
        case DownloadStatus::Exited:
            return "exited";
    }
    return "";
}

bool IsActiveStatus(DownloadStatus status) {
    return status == DownloadStatus::Preparing || status == DownloadStatus::Downloading ||
           status == DownloadStatus::Resume || status == DownloadStatus::Recover ||
           status == DownloadStatus::Reload;
}

// ---- space -------------------------------------------------------------------

uint64_t RequiredSpace(uint64_t totalSize) {
    return totalSize + kSpaceReserve;
}

bool SpaceFirstLookEnough(uint64_t bytesOnDisk, uint64_t freeBytes, uint64_t requiredSpace) {
    return bytesOnDisk + freeBytes >= requiredSpace;
}

SpaceVerdict SpaceSecondLook(uint64_t bytesOnDiskAgain, uint64_t freeBytes,
                             uint64_t requiredSpace) {
    return bytesOnDiskAgain + freeBytes + kSpaceReserve < requiredSpace ? SpaceVerdict::Short
                                                                        : SpaceVerdict::Unchanged;
}

SpaceVerdict FreeSpaceWatch(uint64_t bytesOnDisk, uint64_t bytesOnDiskAgain, uint64_t freeBytes,
                            uint64_t requiredSpace) {
    if (SpaceFirstLookEnough(bytesOnDisk, freeBytes, requiredSpace)) return SpaceVerdict::Enough;
    return SpaceSecondLook(bytesOnDiskAgain, freeBytes, requiredSpace);
}

SpaceReaction ReactToSpace(DownloadStatus status, SpaceVerdict verdict) {
    SpaceReaction r{status};
    if (verdict == SpaceVerdict::Enough) {
        r.lowSpace = 0;
        if (status == DownloadStatus::Back) r.status = DownloadStatus::Ready;
        return r;
    }
    if (verdict == SpaceVerdict::Unchanged) return r;
    switch (status) {
        case DownloadStatus::Ready:
            r.status = DownloadStatus::Back;
            r.message = QT_TRANSLATE_NOOP("Message", "当前磁盘空间不足，请选择其他位置存放。");
            r.lowSpace = 1;
            break;
        case DownloadStatus::Back:
        case DownloadStatus::Pause:
            r.lowSpace = 1;
            break;
        case DownloadStatus::Downloading:
            r.status = DownloadStatus::Pause;
            r.pauseTasks = true;
            r.event = "11990301";
            r.message = QT_TRANSLATE_NOOP("Message", "预留磁盘空间不足，下载暂停。");
            r.lowSpace = 1;
            break;
        default:
            break;
    }
    return r;
}

// ---- speeds and limits ---------------------------------------------------------

bool SpeedMeansDownloading(uint32_t totalSpeed) {
    return totalSpeed > 1024;
}

bool ResourceRefreshDue(uint32_t requestsBefore) {
    return requestsBefore % kResourceRefreshEvery == 0;
}

uint32_t DisplayedSpeed(uint32_t totalSpeed, uint32_t previousDisplayed, uint32_t limitKiB) {
    uint64_t cap = uint64_t(limitKiB) * 1024;
    if (limitKiB == 0 || totalSpeed <= cap) return totalSpeed;
    uint64_t base = previousDisplayed < cap ? totalSpeed : cap;
    return static_cast<uint32_t>((base + previousDisplayed) / 2);
}

int32_t KeptSpeedLimit(int32_t limitKiB) {
    return limitKiB > 0 ? limitKiB : kNoSpeedLimit;
}

int32_t TaskSpeedLimitShare(int32_t limitKiB, int runningTasks) {
    int32_t kept = KeptSpeedLimit(limitKiB);
    // "No limit" stays no limit for every task: 32767 is outside the range
    // the engine accepts, so it clears the task's limit. Divided, it would
    // turn into a real cap of 32 MB/s over all tasks.
    if (kept == kNoSpeedLimit) return kNoSpeedLimit;
    int32_t share = runningTasks > 1 ? kept / runningTasks : kept;
    return std::max(share, kMinTaskSpeedLimit);
}

// ---- connections -------------------------------------------------------------------

int HttpConnectionTotal(bool present, int64_t value) {
    if (!present || value < 10 || value > 200) return kDefaultHttpConnectionTotal;
    return static_cast<int>(value);
}

int ConnectionShare(int total, int runningTasks, int ordinal) {
    if (runningTasks <= 0) return 1;
    int share = total / runningTasks + (ordinal < total % runningTasks ? 1 : 0);
    return std::max(share, 1);
}

// ---- progress ----------------------------------------------------------------------

uint32_t OverallProgress(const std::vector<ProgressEntry>& entries) {
    uint64_t weights = 0;
    uint64_t sum = 0;
    for (const ProgressEntry& e : entries) {
        if (e.markedComplete) {
            uint64_t w = e.size >> 20;
            weights += w;
            sum += w * 10000;
        } else if (e.answers) {
            uint64_t w = e.totalKiB / 1024;
            uint32_t p = (e.progress > 9999 || e.taskComplete) ? 10000 : e.progress;
            weights += w;
            sum += w * p;
        }
    }
    return weights == 0 ? 0 : static_cast<uint32_t>(sum / weights);
}

uint32_t VerifyProgress(const std::array<uint64_t, kReleaseEntryCount>& sizes, int currentIndex,
                        uint32_t currentProgress) {
    uint64_t weights = 0;
    uint64_t sum = 0;
    for (int i = 0; i < kReleaseEntryCount; ++i) {
        uint64_t value = i < currentIndex    ? 10000
                         : i == currentIndex ? std::min<uint32_t>(currentProgress, 10000)
                                             : 0;
        uint64_t w = sizes[i] >> 20;
        weights += w;
        sum += w * value;
    }
    // With no weight at all the weighted sum itself (0) is the answer.
    return static_cast<uint32_t>(weights == 0 ? sum : sum / weights);
}

uint32_t CheckFileProgress(uint64_t blocksRead, uint64_t fileSize) {
    uint64_t divisor = std::max<uint64_t>(fileSize / 4096, 1);
    return static_cast<uint32_t>(std::min<uint64_t>(blocksRead * 10000 / divisor, 10000));
}

// ---- texts --------------------------------------------------------------------------

std::string SizeText(uint64_t bytes) {
    const double v = static_cast<double>(bytes);
    if (bytes == 0) return std::string();
    if (bytes >= (uint64_t(1) << 40)) return Format("%0.1f TB", v / double(uint64_t(1) << 40));
    if (bytes >= (uint64_t(1) << 30)) return Format("%0.1f GB", v / double(uint64_t(1) << 30));
    if (bytes >= (uint64_t(1) << 20)) return Format("%0.1f MB", v / double(uint64_t(1) << 20));
    if (bytes >= 1024) return Format("%0.1f KB", v / 1024.0);
    return std::to_string(bytes) + " B";
}

std::string SizeProgressText(uint64_t bytesOnDisk, uint64_t totalSize, bool finished) {
    std::string done = finished ? SizeText(totalSize)
                                : (bytesOnDisk == 0 ? std::string("0 B") : SizeText(bytesOnDisk));
    return done + "/" + SizeText(totalSize);
}

std::string SpeedText(uint32_t bytesPerSecond) {
    const double v = bytesPerSecond;
    if (bytesPerSecond >= 3435973836u) return translate("Status", "未知");
    if (bytesPerSecond < 1024) return std::to_string(bytesPerSecond) + " B/s";
    if (bytesPerSecond < (1u << 20)) return Format("%0.1f KB/s", v / 1024.0);
    if (bytesPerSecond < (1u << 30)) return Format("%0.1f MB/s", v / double(1u << 20));
    return Format("%0.1f GB/s", v / double(1u << 30));
}

std::string PercentText(uint32_t progress) {
    char buffer[32];
    if (progress == 0) return "0%";
    if (progress % 100 == 0)
        std::snprintf(buffer, sizeof buffer, "%u%%", progress / 100);
    else
        std::snprintf(buffer, sizeof buffer, "%u.%02u%%", progress / 100, progress % 100);
    return buffer;
}

size_t CopyText(const std::string& text, char* buffer, size_t size) {
    if (!buffer) return text.size();
    if (size < text.size() + 1) return 0;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return text.size();
}

// ---- persisted sizes ---------------------------------------------------------------

SplitSize SplitLastSize(uint64_t bytes) {
    return {bytes >> 31, bytes & 0x7FFFFFFFu};
}

uint64_t JoinLastSize(uint64_t high, uint64_t low) {
    return (high << 31) + low;
}

bool ReloadList::Add(int index) {
    if (index < 0 || index >= kReleaseEntryCount || Contains(index) ||
        m_items.size() >= static_cast<size_t>(kReleaseEntryCount))
        return false;
    m_items.push_back(index);
    return true;
}

bool ReloadList::Contains(int index) const {
    return std::find(m_items.begin(), m_items.end(), index) != m_items.end();
}

}  // namespace lfapp
