// The controller's numeric rules, paths and persisted values, checked against
// tables of cases with the release's real numbers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "app/AppPaths.h"
#include "app/ControllerRules.h"
#include "app/DownloadController.h"
#include "app/FileTime.h"
#include "app/TaskIni.h"
#include "tests/support/TestDirs.h"

using namespace lfapp;

namespace {

constexpr uint64_t kMiB = 1u << 20;
const uint64_t kReleaseSizes[8] = {4117776,    439832310,  1992294400, 1992294400,
                                   1992294400, 1992294400, 1992294400, 1992294400};

uint64_t ReleaseTotal() {
    uint64_t sum = 0;
    for (uint64_t s : kReleaseSizes) sum += s;
    return sum;
}

// Sets an environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name)) m_old = old, m_had = true;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
        tzset();
    }
    ~ScopedEnv() {
        if (m_had)
            setenv(m_name.c_str(), m_old.c_str(), 1);
        else
            unsetenv(m_name.c_str());
        tzset();
    }

private:
    std::string m_name, m_old;
    bool m_had = false;
};

}  // namespace

TEST(SpeedLimit, SharedOverRunningTasksWithMinimumTen) {
    struct Case {
        int32_t limit;
        int running;
        int32_t share;
        int32_t kept;
    } cases[] = {
        {100, 3, 33, 100},  // 100 KB/s over three tasks
        {40, 5, 10, 40},    // 8 would be below the minimum
        {100, 1, 100, 100},
        {100, 0, 100, 100},
        {5, 1, 10, 5},
        {0, 0, 32767, 32767},  // no limit set: 32767 stands for none
        // No limit is not divided into a cap of 32767/n per task.
        {0, 1, 32767, 32767},
        {0, 2, 32767, 32767},
        {0, 8, 32767, 32767},
        {-3, 2, 32767, 32767},
        {32767, 8, 32767, 32767},
        {32766, 2, 16383, 32766},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.limit << " KB/s over " << c.running);
        EXPECT_EQ(TaskSpeedLimitShare(c.limit, c.running), c.share);
        EXPECT_EQ(KeptSpeedLimit(c.limit), c.kept);
    }
}

TEST(ConnectionTotals, RemainderGoesToTheFirstEntries) {
    struct Case {
        int total, running;
        std::vector<int> shares;
    } cases[] = {
        {56, 3, {19, 19, 18}}, {168, 3, {56, 56, 56}},    {56, 8, {7, 7, 7, 7, 7, 7, 7, 7}},
        {10, 4, {3, 3, 2, 2}}, {2, 3, {1, 1, 1}},          // a budget of 0 becomes 1
        {56, 1, {56}},         {56, 3, {19, 19, 18, 18}},  // a fourth incomplete entry gets no
                                                           // remainder
    };
    for (const Case& c : cases) {
        for (size_t k = 0; k < c.shares.size(); ++k) {
            SCOPED_TRACE(testing::Message() << c.total << " over " << c.running << " #" << k);
            EXPECT_EQ(ConnectionShare(c.total, c.running, static_cast<int>(k)), c.shares[k]);
        }
    }
}

TEST(ConnectionTotals, TaskLinkValueRange) {
    struct Case {
        bool present;
        int64_t value;
        int total;
    } cases[] = {{false, 0, 56},   {true, 9, 56},   {true, 10, 10}, {true, 120, 120},
                 {true, 200, 200}, {true, 201, 56}, {true, -5, 56}, {true, 0, 56}};
    for (const Case& c : cases)
        EXPECT_EQ(HttpConnectionTotal(c.present, c.value), c.total) << c.value;

    lftest::TempDir dir;
    EXPECT_EQ(ReadHttpConnectionTotal(dir / "none.ini"), 56);
    lftest::WriteFile(dir / "link.ini", "[lanternfishtask]\nLANTERNFISHTASKLINK = 80\n");
    EXPECT_EQ(ReadHttpConnectionTotal(dir / "link.ini"), 80);
    lftest::WriteFile(dir / "bad.ini", "[LanternfishTask]\nLanternfishTaskLink=300\n");
    EXPECT_EQ(ReadHttpConnectionTotal(dir / "bad.ini"), 56);
}

TEST(Speed, ThresholdAndRefreshCadence) {
    EXPECT_FALSE(SpeedMeansDownloading(0));
    EXPECT_FALSE(SpeedMeansDownloading(1024));
    EXPECT_TRUE(SpeedMeansDownloading(1025));
    struct Case {
        uint32_t before;
        bool due;
    } cases[] = {{0, true}, {1, false}, {599, false}, {600, true}, {601, false}, {1200, true}};
    for (const Case& c : cases) EXPECT_EQ(ResourceRefreshDue(c.before), c.due) << c.before;
}

TEST(Speed, DisplayedSpeedSmoothsTowardTheLimit) {
    struct Case {
        uint32_t total, previous, limit, shown;
    } cases[] = {
        {500000, 0, 0, 500000},        // no limit set
        {100000, 90000, 100, 100000},  // at or below 102400: the total
        {102400, 90000, 100, 102400},
        {200000, 50000, 100, 125000},   // previous below the cap: (total + previous) / 2
        {200000, 150000, 100, 126200},  // previous at or above: (cap + previous) / 2
        {200000, 102400, 100, 102400},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DisplayedSpeed(c.total, c.previous, c.limit), c.shown)
            << c.total << " " << c.previous << " " << c.limit;
}

TEST(Texts, SpeedSizeAndPercent) {
    struct SpeedCase {
        uint32_t value;
        const char* text;
    } speeds[] = {{0, "0 B/s"},
                  {1023, "1023 B/s"},
                  {1024, "1.0 KB/s"},
                  {1536, "1.5 KB/s"},
                  {1048575, "1024.0 KB/s"},
                  {1048576, "1.0 MB/s"},
                  {1073741824, "1.0 GB/s"},
                  {3435973835u, "3.2 GB/s"},
                  {3435973836u, "未知"},
                  {0xFFFFFFFFu, "未知"}};
    for (const SpeedCase& c : speeds) EXPECT_EQ(SpeedText(c.value), c.text) << c.value;

    struct SizeCase {
        uint64_t value;
        const char* text;
    } sizes[] = {{0, ""},
                 {1, "1 B"},
                 {1023, "1023 B"},
                 {1024, "1.0 KB"},
                 {kMiB, "1.0 MB"},
                 {4117776, "3.9 MB"},
                 {439832310, "419.5 MB"},
                 {1992294400, "1.9 GB"},
                 {uint64_t(1) << 40, "1.0 TB"},
                 {uint64_t(3) << 41, "6.0 TB"}};
    for (const SizeCase& c : sizes) EXPECT_EQ(SizeText(c.value), c.text) << c.value;

    EXPECT_EQ(SizeProgressText(0, ReleaseTotal(), false), "0 B/11.5 GB");
    EXPECT_EQ(SizeProgressText(4117776, ReleaseTotal(), false), "3.9 MB/11.5 GB");
    EXPECT_EQ(SizeProgressText(0, ReleaseTotal(), true), "11.5 GB/11.5 GB");

    struct PercentCase {
        uint32_t value;
        const char* text;
    } percents[] = {{10000, "100%"}, {1234, "12.34%"}, {1200, "12%"},    {0, "0%"},
                    {5, "0.05%"},    {100, "1%"},      {9999, "99.99%"}, {1201, "12.01%"}};
    for (const PercentCase& c : percents) EXPECT_EQ(PercentText(c.value), c.text) << c.value;
}

TEST(Texts, GetterConvention) {
    char buffer[8];
    EXPECT_EQ(CopyText("12.34%", nullptr, 0), 6u);
    EXPECT_EQ(CopyText("12.34%", buffer, 6), 0u);  // no room for the terminator
    EXPECT_EQ(CopyText("12.34%", buffer, 7), 6u);
    EXPECT_STREQ(buffer, "12.34%");
}

TEST(FreeSpace, HysteresisBetweenTheTwoThresholds) {
    const uint64_t total = ReleaseTotal();
    const uint64_t required = RequiredSpace(total);
    EXPECT_EQ(required, total + 104857600);
    struct Case {
        uint64_t onDisk, onDiskAgain, free;
        SpaceVerdict verdict;
    } cases[] = {
        {0, 0, required, SpaceVerdict::Enough},
        {total, total, kSpaceReserve, SpaceVerdict::Enough},
        {0, 0, required - 1, SpaceVerdict::Unchanged},  // between sum and sum + 100 MiB
        {0, 0, total, SpaceVerdict::Unchanged},
        {0, 0, total - 1, SpaceVerdict::Short},
        {1000, 1000, total - 1000, SpaceVerdict::Unchanged},
        {1000, 1001, total - 1001, SpaceVerdict::Unchanged},  // data arrived in the 50 ms
        {1000, 1000, total - 1001, SpaceVerdict::Short},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FreeSpaceWatch(c.onDisk, c.onDiskAgain, c.free, required), c.verdict)
            << c.onDisk << " " << c.free;
}

TEST(FreeSpace, ReactionByStatus) {
    using S = DownloadStatus;
    struct Case {
        S status;
        SpaceVerdict verdict;
        S next;
        int lowSpace;
        bool pause;
        const char* message;
        const char* event;
    } cases[] = {
        {S::Back, SpaceVerdict::Enough, S::Ready, 0, false, nullptr, nullptr},
        {S::Downloading, SpaceVerdict::Enough, S::Downloading, 0, false, nullptr, nullptr},
        {S::Ready, SpaceVerdict::Short, S::Back, 1, false, "当前磁盘空间不足，请选择其他位置存放。",
         nullptr},
        {S::Back, SpaceVerdict::Short, S::Back, 1, false, nullptr, nullptr},
        {S::Downloading, SpaceVerdict::Short, S::Pause, 1, true, "预留磁盘空间不足，下载暂停。",
         "11990301"},
        {S::Pause, SpaceVerdict::Short, S::Pause, 1, false, nullptr, nullptr},
        {S::Preparing, SpaceVerdict::Short, S::Preparing, -1, false, nullptr, nullptr},
        {S::Ready, SpaceVerdict::Unchanged, S::Ready, -1, false, nullptr, nullptr},
        {S::Downloading, SpaceVerdict::Unchanged, S::Downloading, -1, false, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(StatusName(c.status));
        SpaceReaction r = ReactToSpace(c.status, c.verdict);
        EXPECT_EQ(r.status, c.next);
        EXPECT_EQ(r.lowSpace, c.lowSpace);
        EXPECT_EQ(r.pauseTasks, c.pause);
        EXPECT_STREQ(r.message ? r.message : "", c.message ? c.message : "");
        EXPECT_STREQ(r.event ? r.event : "", c.event ? c.event : "");
    }
}

TEST(Progress, OverallProgressWeightsInMiB) {
    // Entry 0 complete (weight 3), entry 1 running half way (weight 419),
    // a cab running at 0 (weight 1900, adds weight only), one not answering.
    std::vector<ProgressEntry> entries(4);
    entries[0] = {true, 4117776, false, 0, 0, false};
    entries[1] = {false, 439832310, true, 429524, 5000, false};
    entries[2] = {false, 1992294400, true, 1945600, 0, false};
    entries[3] = {false, 1992294400, false, 1945600, 7000, false};
    EXPECT_EQ(OverallProgress(entries), (3u * 10000 + 419u * 5000) / (3 + 419 + 1900));

    // Progress above 9999 or a complete task counts 10000.
    std::vector<ProgressEntry> done = {{false, 0, true, 2048, 9999, true},
                                       {false, 0, true, 2048, 10001, false}};
    EXPECT_EQ(OverallProgress(done), 10000u);
    EXPECT_EQ(OverallProgress({}), 0u);
    EXPECT_EQ(OverallProgress({{false, 0, true, 1023, 5000, false}}), 0u);  // weight 0
}

TEST(Progress, VerifyProgressExampleOfTheRelease) {
    std::array<uint64_t, 8> sizes;
    for (int i = 0; i < 8; ++i) sizes[i] = kReleaseSizes[i];
    const uint64_t weights = 3 + 419 + 6 * 1900;
    struct Case {
        int index;
        uint32_t progress;
        uint32_t expected;
    } cases[] = {
        {0, 0, 0},
        {1, 5000, static_cast<uint32_t>((3 * 10000 + 419 * 5000) / weights)},
        {1, 20000, static_cast<uint32_t>((3 * 10000 + 419 * 10000) / weights)},  // capped
        {7, 10000, 10000},
        {8, 0, 10000},  // past the last entry: everything counted
    };
    for (const Case& c : cases)
        EXPECT_EQ(VerifyProgress(sizes, c.index, c.progress), c.expected) << c.index;
    std::array<uint64_t, 8> tiny{};
    EXPECT_EQ(VerifyProgress(tiny, 3, 5000), 0u);

    EXPECT_EQ(CheckFileProgress(0, 4117776), 0u);
    EXPECT_EQ(CheckFileProgress(1005, 4117776), 10000u);  // 4117776 / 4096 = 1005 blocks
    EXPECT_EQ(CheckFileProgress(1006, 4117776), 10000u);  // the short last block
    EXPECT_EQ(CheckFileProgress(1, 100), 10000u);         // divisor at least 1
}

TEST(Persisted, LastSizeSplitAt2To31) {
    struct Case {
        uint64_t bytes, high, low;
    } cases[] = {{0, 0, 0},
                 {0x7FFFFFFF, 0, 0x7FFFFFFF},
                 {0x80000000ull, 1, 0},
                 {5 * 0x80000000ull + 7, 5, 7},
                 {13416428960ull, 6, 531527072}};
    for (const Case& c : cases) {
        SplitSize s = SplitLastSize(c.bytes);
        EXPECT_EQ(s.high, c.high);
        EXPECT_EQ(s.low, c.low);
        EXPECT_EQ(JoinLastSize(s.high, s.low), c.bytes);
    }
}

TEST(Persisted, ReloadListKeepsOrderWithoutDuplicates) {
    ReloadList list;
    EXPECT_TRUE(list.Add(3));
    EXPECT_TRUE(list.Add(0));
    EXPECT_FALSE(list.Add(3));
    EXPECT_FALSE(list.Add(8));
    EXPECT_FALSE(list.Add(-1));
    EXPECT_EQ(list.Items(), (std::vector<int>{3, 0}));
}

TEST(Status, NamesAndActiveSet) {
    using S = DownloadStatus;
    struct Case {
        S status;
        int value;
        const char* name;
        bool active;
    } cases[] = {{S::Back, 0, "back", false},
                 {S::Ready, 1, "ready", false},
                 {S::Preparing, 3, "preparing", true},
                 {S::Downloading, 4, "downloading", true},
                 {S::Pause, 5, "pause", false},
                 {S::Resume, 6, "resume", true},
                 {S::Failed, 7, "failed", false},
                 {S::Finished, 8, "finished", false},
                 {S::Md5Checking, 10, "md5checking", false},
                 {S::CheckRecover, 11, "checkrecover", false},
                 {S::CheckFinished, 12, "checkfinished", false},
                 {S::Installing, 13, "installing", false},
                 {S::Recover, 15, "recover", true},
                 {S::Reload, 16, "reload", true},
                 {S::Exited, 17, "exited", false}};
    for (const Case& c : cases) {
        EXPECT_EQ(static_cast<int>(c.status), c.value);
        EXPECT_STREQ(StatusName(c.status), c.name);
        EXPECT_EQ(IsActiveStatus(c.status), c.active) << c.name;
    }
}

TEST(FileTime, TicksSince1601AndWords) {
    struct Case {
        int64_t sec, nsec;
        uint64_t ticks;
        uint32_t high, low;
    } cases[] = {
        {0, 0, 116444736000000000ull, 0x019DB1DE, 0xD53E8000},
        {0, 100, 116444736000000001ull, 0x019DB1DE, 0xD53E8001},
        {0, 99, 116444736000000000ull, 0x019DB1DE, 0xD53E8000},                  // below one tick
        {1452038400, 500000000, 130965120005000000ull, 0x01D14815, 0x2FDD4B40},  // 2016-01-06
        {-11644473600, 0, 0, 0, 0},
        {-11644473601, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        uint64_t ft = UnixTimeToFileTime(c.sec, c.nsec);
        EXPECT_EQ(ft, c.ticks) << c.sec;
        FileTimeWords w = SplitFileTime(ft);
        EXPECT_EQ(w.high, c.high) << c.sec;
        EXPECT_EQ(w.low, c.low) << c.sec;
        EXPECT_EQ(JoinFileTime(w), ft);
    }
    EXPECT_EQ(ToLocalFileTime(116444736000000000ull, 8 * 3600),
              116444736000000000ull + 8ull * 3600 * 10000000);
    EXPECT_EQ(ToLocalFileTime(116444736000000000ull, -5 * 3600),
              116444736000000000ull - 5ull * 3600 * 10000000);
    EXPECT_EQ(ToLocalFileTime(10, -3600), 0u);
}

TEST(FileTime, FileStampUsesLocalTimeOfTheFile) {
    lftest::TempDir dir;
    std::string path = dir / "f.bin";
    lftest::WriteFile(path, std::string(5000, 'x'));
    struct timespec times[2] = {{1452038400, 500000000}, {1452038400, 500000000}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    {
        ScopedEnv tz("TZ", "CST-8");
        auto stamp = ReadFileStamp(path);
        ASSERT_TRUE(stamp);
        EXPECT_EQ(JoinFileTime(stamp->writeTime), 130965120005000000ull + 8ull * 3600 * 10000000);
        EXPECT_EQ(stamp->size.high, 0u);
        EXPECT_EQ(stamp->size.low, 5000u);
    }
    {
        ScopedEnv tz("TZ", "UTC0");
        EXPECT_EQ(JoinFileTime(ReadFileStamp(path)->writeTime), 130965120005000000ull);
    }
    EXPECT_FALSE(ReadFileStamp(dir / "missing"));
    EXPECT_FALSE(ReadFileStamp(dir.Path()));  // a folder is no target file
}

TEST(FinishRecord, RecordThenCheckAndTouchedFiles) {
    lftest::TempDir dir;
    std::string ini = dir / "release.lfconf";
    std::string target = dir / "Qarrd21040Data01.cab";
    lftest::WriteFile(target, "cabinet");
    lftest::WriteFile(ini, "[LanternfishTask]\nLanternfishTaskIsComplete=COMPLETE\n");

    EXPECT_FALSE(CheckFinish(ini, 2, target));  // nothing recorded: keys read as ""
    ASSERT_TRUE(RecordFinish(ini, 2, target));
    EXPECT_TRUE(CheckFinish(ini, 2, target));
    EXPECT_FALSE(CheckFinish(ini, 3, target));  // another entry's record is empty
    auto doc = ReadIniFile(ini);
    ASSERT_TRUE(doc);
    EXPECT_EQ(doc->GetString(kTaskSection, kKeyIsComplete, ""), "COMPLETE");  // kept
    EXPECT_EQ(doc->GetString(kFinishSection, "LanternfishTask2FileSizeLow", ""), "7");
    EXPECT_EQ(doc->GetString(kFinishSection, "LanternfishTask2FileSizeHigh", ""), "0");

    // Touched after completion: the last-write time changed.
    struct timespec times[2] = {{1000, 0}, {1000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, target.c_str(), times, 0), 0);
    EXPECT_FALSE(CheckFinish(ini, 2, target));
    ASSERT_TRUE(RecordFinish(ini, 2, target));
    EXPECT_TRUE(CheckFinish(ini, 2, target));
    // Same time, other size.
    lftest::WriteFile(target, "cabinet!");
    ASSERT_EQ(utimensat(AT_FDCWD, target.c_str(), times, 0), 0);
    EXPECT_FALSE(CheckFinish(ini, 2, target));
    // Gone.
    unlink(target.c_str());
    EXPECT_FALSE(CheckFinish(ini, 2, target));
    EXPECT_FALSE(RecordFinish(ini, 2, target));
}

TEST(TaskIniValues, KeysAndFormats) {
    EXPECT_EQ(KeyHttpTaskUrl(0), "LanternfishHttpTaskUrl0");
    EXPECT_EQ(KeyHttpTaskFile(7), "LanternfishHttpTaskFile7");
    EXPECT_EQ(KeyDownloadInfo(3), "LanternfishDownloadInfo3");
    EXPECT_EQ(KeyRecoveredTask(5), "LanternfishTask5");
    EXPECT_EQ(KeyWriteTimeHigh(1), "LanternfishTask1WriteTimeHigh");
    EXPECT_EQ(KeyFileSizeLow(6), "LanternfishTask6FileSizeLow");
    EXPECT_TRUE(IsCompleteMark("COMPLETE"));
    EXPECT_FALSE(IsCompleteMark("complete"));
    EXPECT_FALSE(IsCompleteMark(""));
    ScopedEnv tz("TZ", "UTC0");
    EXPECT_EQ(CreateTimeText(1452038400 + 3 * 3600 + 4 * 60 + 5), "2016-01-06 03:04:05");
}

TEST(Paths, DataFolderFollowsTheEnvironment) {
    const std::string id = "0123456789abcdef0123456789abcdef";
    {
        ScopedEnv a(kDataHomeEnvironment, "/t/data");
        ScopedEnv b("XDG_DATA_HOME", "/x/share");
        EXPECT_EQ(DataFolder(id), "/t/data/Orvane/Lanternfish/Lanternfish" + id);
    }
    {
        ScopedEnv a(kDataHomeEnvironment, nullptr);
        ScopedEnv b("XDG_DATA_HOME", "/x/share/");
        EXPECT_EQ(DataFolder(id), "/x/share/Orvane/Lanternfish/Lanternfish" + id);
    }
    {
        ScopedEnv a(kDataHomeEnvironment, nullptr);
        ScopedEnv b("XDG_DATA_HOME", nullptr);
        ScopedEnv c("HOME", "/home/u");
        EXPECT_EQ(DataFolder(id), "/home/u/.local/share/Orvane/Lanternfish/Lanternfish" + id);
    }
    const std::string data = "/d/Lanternfish" + id;
    EXPECT_EQ(TaskIniPath(data, id), data + "/" + id + ".lfconf");
    EXPECT_EQ(LogBasePath(data, id), data + "/" + id);
    EXPECT_EQ(StatisticsConfigPath(data), data + "/dataupload.lfconf");
    EXPECT_EQ(InfoFolder(data, id), data + "/" + id + "LFInfo/");
    EXPECT_EQ(InfoFilePath(InfoFolder(data, id), "a.cab"), data + "/" + id + "LFInfo/a.cab.lfinfo");
    EXPECT_EQ(TorrentPath(data, id), data + "/" + id);
    EXPECT_EQ(TorrentLocator(TorrentPath(data, id)), "file://" + data + "/" + id);
    EXPECT_EQ(TargetPath("/s/qarrd160107", "a.cab"), "/s/qarrd160107/a.cab");
    EXPECT_EQ(TempTargetPath("/s/qarrd160107/", "a.cab"), "/s/qarrd160107/a.cab.lftmp");
}

TEST(Paths, DefaultSaveFolder) {
    lftest::TempDir home;
    {
        ScopedEnv a("XDG_DOWNLOAD_DIR", "/media/dl");
        EXPECT_EQ(DefaultSaveFolder(), "/media/dl/qarrd160107");
    }
    ScopedEnv a("XDG_DOWNLOAD_DIR", nullptr);
    ScopedEnv b("HOME", home.Path().c_str());
    EXPECT_EQ(DefaultSaveFolder(), home.Path() + "/qarrd160107");  // no ~/Downloads
    ASSERT_EQ(mkdir((home / "Downloads").c_str(), 0755), 0);
    EXPECT_EQ(DefaultSaveFolder(), home.Path() + "/Downloads/qarrd160107");
    {
        ScopedEnv t("TMPDIR", "/scratch");
        EXPECT_EQ(UserTempFolder(), "/scratch");
    }
    ScopedEnv t("TMPDIR", nullptr);
    EXPECT_EQ(UserTempFolder(), "/tmp");
}

TEST(Paths, MakeFoldersCreatesParents) {
    lftest::TempDir dir;
    std::string deep = dir / "a/b/c/Orvane";
    EXPECT_TRUE(MakeFolders(deep));
    EXPECT_TRUE(MakeFolders(deep));  // already there
    lftest::WriteFile(dir / "file", "x");
    EXPECT_FALSE(MakeFolders(dir / "file/sub"));
}

TEST(CompletionTexts, LaunchFailureReasonsAndStartErrors) {
    struct Case {
        bool verified;
        int code;
        const char* tail;
    };
    const Case cases[] = {
        {false, 2, "本次安装前没有校验The specified file was not found."},
        {true, 5, "本次安装前通过了校验The operating system denied access to the specified file."},
        {true, 31,
         "本次安装前通过了校验There is no application associated with the given file "
         "name extension. This error will also be returned if you attempt to print a "
         "file that is not printable."},
        {false, 0, "本次安装前没有校验Unknown open failed"},
        {false, 99, "本次安装前没有校验Unknown open failed"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(lfapp::LaunchFailureReason(c.verified, c.code),
                  std::string("安装程序无法正常打开，原因：") + c.tail)
            << c.code;
    }
    EXPECT_EQ(lfapp::OpenFailureCode(ENOENT), 2);
    EXPECT_EQ(lfapp::OpenFailureCode(ENOTDIR), 3);
    EXPECT_EQ(lfapp::OpenFailureCode(EACCES), 5);
    EXPECT_EQ(lfapp::OpenFailureCode(ENOEXEC), 11);
    EXPECT_EQ(lfapp::StatusChangeLine(lfapp::DownloadStatus::Md5Checking),
              "Lanternfish Utility: 下载状态改变为md5checking");
    EXPECT_EQ(lfapp::StatusChangeLine(lfapp::DownloadStatus::Installing), "");
}

#include "app/TerminalText.h"

namespace {

TEST(TerminalText, WidthsAndFitting) {
    struct Case {
        const char* text;
        int width;
        int fitTo;
        const char* fitted;
    } cases[] = {
        {"abc", 3, 2, "ab"},
        {"当前进度:", 9, 4, "当前"},    // wide characters take two columns
        {"当前进度:", 9, 3, "当"},      // never half a character
        {"√ 下载完成", 10, 4, "√ 下"},  // U+221A is narrow
        {"", 0, 5, ""},
        {"a\xff"
         "b",
         3, 2, "a\xff"},  // a malformed byte counts as one column
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(lfapp::DisplayWidth(c.text), c.width);
        EXPECT_EQ(lfapp::FitToColumns(c.text, c.fitTo), c.fitted);
    }
}

}  // namespace
