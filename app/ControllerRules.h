// The download controller's rules that depend on numbers only: space,
// speeds, limits, connection budgets, progress and the texts the window
// shows. Each function is pure; the controller feeds it what it measured.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "app/DownloadStatus.h"
#include "app/ReleaseTable.h"

namespace lfapp {

// ---- space ---------------------------------------------------------------

inline constexpr uint64_t kSpaceReserve = 104857600;  // 100 MiB

// Required space: the sum of the file sizes plus 100 MiB.
uint64_t RequiredSpace(uint64_t totalSize);

// Verdict of the free-space watch (sparse mode, every poll). First look:
// bytes on disk + free >= required means Enough. Otherwise the controller
// waits 50 ms, measures bytes on disk again and asks the second look: Short
// when that + free + 100 MiB is still below the required space (that is,
// below the sum of the sizes); otherwise nothing changes (Unchanged).
enum class SpaceVerdict { Enough, Short, Unchanged };
bool SpaceFirstLookEnough(uint64_t bytesOnDisk, uint64_t freeBytes, uint64_t requiredSpace);
SpaceVerdict SpaceSecondLook(uint64_t bytesOnDiskAgain, uint64_t freeBytes, uint64_t requiredSpace);
// Both looks in one call (second measurement given up front).
SpaceVerdict FreeSpaceWatch(uint64_t bytesOnDisk, uint64_t bytesOnDiskAgain, uint64_t freeBytes,
                            uint64_t requiredSpace);

// What the controller does for a verdict in a status.
struct SpaceReaction {
    DownloadStatus status;          // new status (unchanged when nothing to do)
    int lowSpace = -1;              // 1 set, 0 clear, -1 leave the flag
    bool pauseTasks = false;        // StopTasks on every handle
    const char* message = nullptr;  // ShowMessageAsync text, or nullptr
    const char* event = nullptr;    // statistics event (statistics form), or nullptr
};
SpaceReaction ReactToSpace(DownloadStatus status, SpaceVerdict verdict);

// ---- speeds and limits ---------------------------------------------------

// A total speed above 1024 bytes/s moves preparing/resume/recover/reload to
// downloading (1024 does not, 1025 does).
bool SpeedMeansDownloading(uint32_t totalSpeed);

// The resource list is fetched again when the count of speed-text requests
// before this one is a multiple of 600 (the first request included).
inline constexpr uint32_t kResourceRefreshEvery = 600;
bool ResourceRefreshDue(uint32_t requestsBefore);

// Displayed speed with limit L KB/s (0 = no limit set): above L*1024 the
// value is smoothed toward the limit; otherwise it is the total.
uint32_t DisplayedSpeed(uint32_t totalSpeed, uint32_t previousDisplayed, uint32_t limitKiB);

inline constexpr int32_t kNoSpeedLimit = 32767;  // KB/s standing for "no limit"
inline constexpr int32_t kMinTaskSpeedLimit = 10;
// The limit the controller keeps: L when L > 0, else 32767.
int32_t KeptSpeedLimit(int32_t limitKiB);
// Per-task limit for SetTaskSpeedLimit: the kept limit shared over the
// running tasks (L / n when n > 1), at least 10; without a limit every task
// gets 32767, which the engine takes as none. 100 KB/s over 3 tasks gives
// 33; 40 KB/s over 5 gives 10.
int32_t TaskSpeedLimitShare(int32_t limitKiB, int runningTasks);

// ---- connections -----------------------------------------------------------

inline constexpr int kDefaultHttpConnectionTotal = 56;
inline constexpr int kPeerConnectionTotal = 168;
// The task link value: 10..200 is kept, anything else (or missing) gives 56.
int HttpConnectionTotal(bool present, int64_t value);

// Budget of the ordinal-th (0-based) incomplete entry when total connections
// are shared over n running tasks: total/n, plus 1 while the remainder lasts,
// at least 1. 56 over 3 gives 19, 19, 18; 168 over 3 gives 56 each.
// n must be > 0 (with n == 0 nothing is shared).
int ConnectionShare(int total, int runningTasks, int ordinal);

// ---- progress ----------------------------------------------------------------

// One entry as the overall-progress scan sees it.
struct ProgressEntry {
    bool markedComplete = false;  // the controller's complete flag
    uint64_t size = 0;            // release size in bytes
    bool answers = false;         // QueryTask succeeded
    uint64_t totalKiB = 0;        // TaskInfo total size in KiB
    uint32_t progress = 0;        // TaskInfo progress 0..10000
    bool taskComplete = false;    // IsTaskComplete said complete
};
// Weighted mean in MiB weights, 0..10000.
uint32_t OverallProgress(const std::vector<ProgressEntry>& entries);

// Check progress during verification: entries before current count 10000,
// the current one its progress (at most 10000), later ones 0; weights are
// size / 2^20; the weighted sum itself (0) when the weights add up to 0.
uint32_t VerifyProgress(const std::array<uint64_t, kReleaseEntryCount>& sizes, int currentIndex,
                        uint32_t currentProgress);

// Progress of one file being hashed: blocks read x 10000 / (size / 4096),
// the divisor at least 1.
uint32_t CheckFileProgress(uint64_t blocksRead, uint64_t fileSize);

// ---- texts ---------------------------------------------------------------------

// "" for 0, else "%0.1f TB|GB|MB|KB" from 2^40|2^30|2^20|1024 up, else "%u B".
std::string SizeText(uint64_t bytes);
// "<on disk or total when finished>/<total>", with "0 B" for nothing on disk.
std::string SizeProgressText(uint64_t bytesOnDisk, uint64_t totalSize, bool finished);
// "%u B/s", "%0.1f KB/s", "%0.1f MB/s", "%0.1f GB/s"; "未知" from 0xCCCCCCCC up.
std::string SpeedText(uint32_t bytesPerSecond);
// "0%", "12%", "12.34%", "100%" for 0..10000.
std::string PercentText(uint32_t progress);

// The text-getter convention of the controller: without a buffer return the
// length; with a buffer large enough copy the text and its terminator and
// return the length; 0 when the buffer is too small.
size_t CopyText(const std::string& text, char* buffer, size_t size);

// ---- persisted sizes -------------------------------------------------------------

// "LanternfishTaskLastSizeHigh"/"Low": bytes divided by, and modulo, 2^31.
struct SplitSize {
    uint64_t high = 0;
    uint64_t low = 0;
};
SplitSize SplitLastSize(uint64_t bytes);
uint64_t JoinLastSize(uint64_t high, uint64_t low);

// The reload list: up to 8 entry indices, no duplicates, in the order added.
class ReloadList {
public:
    // False when the index is out of range, already listed, or the list is full.
    bool Add(int index);
    void Clear() { m_items.clear(); }
    const std::vector<int>& Items() const { return m_items; }
    bool Contains(int index) const;

private:
    std::vector<int> m_items;
};

}  // namespace lfapp
