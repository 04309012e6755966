#include "app/DownloadController.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "app/AppPaths.h"
#include "app/FileTime.h"
#include "app/IniFile.h"
#include "app/ResourceList.h"
#include "app/ResourceWriter.h"
#include "app/TaskIni.h"
#include "engine/core/EngineApi.h"
#include "engine/core/EngineSettings.h"
#include "engine/core/Version.h"
#include "engine/log/LogApi.h"
#include "engine/metainfo/Torrent.h"
#include "engine/store/TargetFiles.h"
#include "portmap/PortForwardEngine.h"
#include "stats/DataUpload.h"

namespace lfapp {
using namespace lf;

namespace {

constexpr int kLogChannel = 34;
constexpr int kDebugThreshold = 2;                                          // the log's own default
constexpr uint32_t kTaskFlags = kTaskFlagNoEffect | kTaskFlagTargetIsFile;  // 0x00100002

void Log(const std::string& text) {
    EngineLog::Write(kLogChannel, text.c_str());
}

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Whether the file system holding folder (or its nearest existing parent)
// can pre-allocate file space.
bool PreallocationWorks(const std::string& folder) {
    std::string probeFolder = folder;
    struct stat st {};
    while (!probeFolder.empty() && ::stat(probeFolder.c_str(), &st) != 0) {
        size_t slash = probeFolder.find_last_of('/');
        if (slash == std::string::npos) return false;
        probeFolder = slash == 0 ? "/" : probeFolder.substr(0, slash);
    }
    if (probeFolder.empty()) return false;
    std::string probe = JoinPath(probeFolder, ".lanternfish-volume-probe-XXXXXX");
    int fd = ::mkstemp(probe.data());
    if (fd < 0) return false;
    bool ok = ::posix_fallocate(fd, 0, 4096) == 0;
    ::close(fd);
    ::unlink(probe.c_str());
    return ok;
}

constexpr char kWriteFailureText[] = QT_TRANSLATE_NOOP("Message", "由于磁盘损坏无法写入，下载失败");

// "" when the folder exists (or could be made) and a file can be created in
// it; otherwise "folder: the system's reason".
std::string SaveFolderProblem(const std::string& folder) {
    auto problem = [&](int error) {
        char buffer[256] = "";
        return folder + ": " + ::strerror_r(error, buffer, sizeof buffer);
    };
    errno = 0;
    if (!MakeFolders(folder)) {
        const int error = errno;
        return problem(error == 0 || error == EEXIST ? ENOTDIR : error);
    }
    std::string probe = JoinPath(folder, ".lanternfish-write-probe-XXXXXX");
    const int fd = ::mkstemp(probe.data());
    if (fd < 0) return problem(errno);
    ::close(fd);
    ::unlink(probe.c_str());
    return "";
}

// A task's progress as shown: what it holds of the file (received, not only
// verified), below 10000 until the engine calls it complete.
uint32_t ShownProgress(const TaskInfo& info, uint64_t size) {
    if (info.progress >= 10000 || size == 0) return info.progress;
    const uint64_t held = std::min(std::max(info.heldBytes, info.downloadedBytes), size);
    const uint32_t fromHeld = static_cast<uint32_t>(std::min<uint64_t>(held * 10000 / size, 9999));
    return std::max(info.progress, fromHeld);
}

std::string ExecutableVersion() {
    int major = 0, minor = 0, patch = 0, build = 0;
    if (std::sscanf(EngineVersion(), "%d.%d.%d.%d", &major, &minor, &patch, &build) == 4) {
        char text[64];
        std::snprintf(text, sizeof text, "%d.%d.%d.%d", major, minor, patch, build);
        return text;
    }
    return "1.0.3";
}

}  // namespace

std::string StatusChangeLine(DownloadStatus status) {
    if (status == DownloadStatus::Installing || status == DownloadStatus::Exited) return "";
    return std::string("Lanternfish Utility: 下载状态改变为") + StatusName(status);
}

CDownloadController::CDownloadController(const ReleaseTable& table, const ReleaseResources& release)
    : m_table(table), m_release(release) {
    if (const char* open = std::getenv(kOpenCommandEnvironment)) m_settings.openCommand = open;
    const char* shutdown = std::getenv(kShutdownCommandEnvironment);
    m_settings.shutdownCommand = shutdown ? shutdown : "shutdown -h +1";
    if (const char* sparse = std::getenv(kSparseModeEnvironment)) {
        m_settings.sparseModeOverride = std::atoi(sparse) != 0 ? 1 : 0;
    }
    if (const char* map = std::getenv(kPortMappingEnvironment)) {
        m_settings.mapPort = std::strcmp(map, "0") != 0;
    }
    if (const char* save = std::getenv(kResumeSaveEnvironment)) {
        EngineTimings timings = GetEngineTimings();
        timings.resumeSaveSeconds = std::max(1, std::atoi(save));
        SetEngineTimings(timings);
    }
    if (const char* stall = std::getenv(kRepairStallEnvironment)) {
        m_settings.repairStallSeconds = static_cast<uint32_t>(std::max(1, std::atoi(stall)));
    }
}

CDownloadController::~CDownloadController() {
    m_stopping = true;
    JoinVerification();
    StopEarlyDigest();
}

void CDownloadController::SetHooks(ControllerHooks hooks) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_hooks = std::move(hooks);
}

void CDownloadController::JoinVerification() {
    if (m_verifier.joinable() && m_verifier.get_id() != std::this_thread::get_id()) {
        m_verifier.join();
    }
}

bool CDownloadController::EntryComplete(int i) const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (i < 0 || i >= kReleaseEntryCount || !m_records[i]) return false;
    return m_records[i]->callerWord != 0;
}

TaskHandle CDownloadController::Handle(int i) const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return (i < 0 || i >= kReleaseEntryCount) ? nullptr : m_handles[i];
}

void CDownloadController::Message(const std::string& text, const char* caption) {
    ShowMessageAsync(m_window, text.c_str(), caption, 0);
}

// ---- start-up ------------------------------------------------------------------

int CDownloadController::Initialise() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    // 1. Log and cleared state.
    OpenEngineLog();
    m_lowSpace = false;
    m_reloadList.Clear();
    m_speedLimit = 0;
    m_displayedSpeed = 0;
    m_idle = true;
    m_tasksRunning = false;
    m_requiredSpace = RequiredSpace(m_table.TotalSize());
    m_bytesOnDisk = 0;
    m_progress = 0;

    // 2. Data folder, task INI, log base.
    const std::string& releaseId = m_table.ReleaseId();
    m_dataFolder = DataFolder(releaseId);
    MakeFolders(m_dataFolder);
    // Another copy on the same data folder: refuse before any file of it
    // (log, task INI, resume data) is touched.
    pid_t holder = 0;
    // A data folder that cannot be made is reported by the steps below.
    if (m_dataLock.Acquire(m_dataFolder, &holder) == CCopyLock::Result::Busy) {
        m_refused = true;
        Refuse(CopyLockRefusal(m_dataFolder, holder));
        return -3;
    }
    m_taskIni = TaskIniPath(m_dataFolder, releaseId);
    m_logBase = LogBasePath(m_dataFolder, releaseId);
    EngineLog::SetBasePath(m_logBase.c_str());
    if (const char* all = std::getenv(kLogAllEnvironment); all && *all && std::strcmp(all, "0")) {
        EngineLog::SetThresholds(0, kDebugThreshold);  // every channel into its file
    }
    Log("=====================正在初始化=====================");

    // 3. Statistics configuration. A release made without one (the
    // publisher left it out) runs with statistics off.
    const bool withStatistics =
        m_release.Find(kStatisticsResourceType, kStatisticsResourceId) != nullptr;
    std::string written;
    if (!withStatistics) {
        Log("发布包不含统计配置，统计上报关闭");
    } else if (WriteResourceFile(m_release, kStatisticsResourceType, kStatisticsResourceId,
                                 kStatisticsConfigName, m_dataFolder, true, &written) < 0) {
        Log("LFconf资源释放失败");
        ReportEvent("11400190", "LFconf资源释放失败", 0);
        m_startFailure = "LFconf资源释放失败：无法写入 " +
                         JoinPath(m_dataFolder, kStatisticsConfigName) + " 或临时文件夹";
        return -2;
    }
    m_statsConfig = written;

    // 4. Statistics upload.
    if (withStatistics) {
        CollectDataUpload(m_statsConfig.c_str(), "1", ExecutableVersion().c_str(), kGameVersion,
                          "1");
    }

    // 5. Listening port.
    int port = 0;
    if (m_settings.mapPort) {
        static CPortForwardEngine* portEngine = new CPortForwardEngine();  // lives for the process
        port = portEngine->ChoosePortAndMap();
    }
    SetListenPort(port);

    // 6. Handles, records and exit flags.
    for (int i = 0; i < kReleaseEntryCount; ++i) {
        m_handles[i] = nullptr;
        m_records[i] = std::make_unique<TaskDescription>();
        std::memset(m_records[i].get(), 0, sizeof(TaskDescription));
    }
    m_userExit = false;
    m_installerExit = false;
    Log("自我恢复功能关闭");

    // 7. Connection totals.
    m_httpTotal = ReadHttpConnectionTotal(TaskLinkIniPath());

    // 8./9. The persisted state and the target files.
    enum class Decision {
        Fresh,
        AllMissing,
        Complete,
        Check,
        Resumable
    } decision = Decision::Fresh;
    bool noTime = false, noHash = false, noPath = false, noEntrance = false;
    auto setDefaultInfoPaths = [&] {
        m_infoFolder = InfoFolder(m_dataFolder, m_taskHash);
        MakeFolders(m_infoFolder);
        for (int i = 0; i < kReleaseEntryCount; ++i) {
            m_infoPaths[i] = InfoFilePath(m_infoFolder, m_table.entries[i].fileName);
        }
    };
    std::optional<IniDocument> ini = ReadIniFile(m_taskIni);
    m_recordCaughtUp = true;
    if (!ini) {
        MakeFolders(m_dataFolder);
        m_lastPersistedSize = 0;
        m_taskHash = releaseId;
        m_saveFolder = DefaultSaveFolder();
        m_entrance = m_table.Entrance();
        setDefaultInfoPaths();
    } else {
        noTime = !ini->Find(kTaskSection, kKeyCreateTime).has_value();
        m_lastPersistedSize =
            JoinLastSize(static_cast<uint64_t>(ini->GetInt(kTaskSection, kKeyLastSizeHigh, 0)),
                         static_cast<uint64_t>(ini->GetInt(kTaskSection, kKeyLastSizeLow, 0)));
        m_recordCaughtUp = m_lastPersistedSize == 0;
        std::optional<std::string> hash = ini->Find(kTaskSection, kKeyTaskHash);
        noHash = !hash.has_value();
        m_taskHash = hash ? *hash : releaseId;
        std::optional<std::string> savePath = ini->Find(kTaskSection, kKeySavePath);
        noPath = !savePath.has_value();
        m_saveFolder = savePath ? *savePath : DefaultSaveFolder();
        bool markedComplete = IsCompleteMark(ini->GetString(kTaskSection, kKeyIsComplete, ""));

        bool allPresent = true, somePresent = false, everyMissing = true;
        for (int i = 0; i < kReleaseEntryCount; ++i) {
            const std::string& name = m_table.entries[i].fileName;
            bool target = FileExists(TargetPath(m_saveFolder, name));
            bool temp = FileExists(TempTargetPath(m_saveFolder, name));
            allPresent = allPresent && target;
            if (!markedComplete) somePresent = somePresent || target;
            bool missing = markedComplete ? !target : (!target && !temp);
            everyMissing = everyMissing && missing;
        }
        if (allPresent || somePresent) {
            bool allMatch = true;
            for (int i = 0; i < kReleaseEntryCount; ++i) {
                if (!CheckFinish(*ini, i, TargetPath(m_saveFolder, m_table.entries[i].fileName))) {
                    m_reloadList.Add(i);
                    allMatch = false;
                }
            }
            decision = allMatch ? Decision::Complete : Decision::Check;
        } else {
            decision = everyMissing ? Decision::AllMissing : Decision::Resumable;
        }
        std::optional<std::string> entrance = ini->Find(kTaskSection, kKeyEntrance);
        noEntrance = !entrance.has_value();
        m_entrance = entrance ? *entrance : m_table.Entrance();
        m_infoFolder = InfoFolder(m_dataFolder, m_taskHash);
        for (int i = 0; i < kReleaseEntryCount; ++i) {
            std::optional<std::string> info = ini->Find(kTaskSection, KeyDownloadInfo(i));
            if (info) {
                m_infoPaths[i] = *info;
            } else {
                MakeFolders(m_infoFolder);
                m_infoPaths[i] = InfoFilePath(m_infoFolder, m_table.entries[i].fileName);
            }
        }
        if (m_taskHash.empty()) Log("恢复下载失败，无法进行续传");
    }

    // 10. Act on the decision.
    if (decision == Decision::Fresh || (noTime && noHash && noPath && noEntrance)) {
        SetStatus(DownloadStatus::Ready);
    } else if (decision == Decision::AllMissing) {
        Log("目标文件全部丢失，退回初始状态");
        ::unlink(m_taskIni.c_str());
        m_recordCaughtUp = true;
        SetStatus(DownloadStatus::Ready);
        if (m_lastPersistedSize > 0) {
            Message(QT_TRANSLATE_NOOP("Message", "目标文件被删除或移动，请重新下载"));
            m_saveFolder = DefaultSaveFolder();
        }
        // Otherwise the earlier start never received a byte (a dead network,
        // a refused folder): nothing was deleted or moved, and the folder
        // the user chose stays.
    } else if (decision == Decision::Complete) {
        Log("下载已经完成，文件正确");
        ChooseVolumeMode();
        SetStatus(DownloadStatus::Finished);
        m_idle = true;
    } else if (decision == Decision::Check) {
        Log("需要文件校验");
        ChooseVolumeMode();
        SetStatus(DownloadStatus::Reload);
        SleepMs(100);
    } else {
        Log("成功地恢复了下载，可以进行续传");
        ChooseVolumeMode();
        SetStatus(DownloadStatus::Recover);
        SleepMs(100);
    }

    // 11. Resume what was decided.
    DownloadStatus status = Status();
    if (status == DownloadStatus::Recover || status == DownloadStatus::Reload ||
        status == DownloadStatus::Finished) {
        Reload();
        return 1;
    }
    return 0;
}

void CDownloadController::ChooseVolumeMode() {
    bool sparse;
    if (m_settings.sparseModeOverride >= 0) {
        sparse = m_settings.sparseModeOverride != 0;
    } else {
        sparse = !PreallocationWorks(m_saveFolder);
    }
    m_sparseMode = sparse;
    Log(sparse ? "文件系统支持稀疏文件" : "使用磁盘预占");
}

void CDownloadController::WriteBeginKeys(bool withEntries) {
    std::vector<std::pair<std::string, std::string>> keys;
    keys.emplace_back(kKeyTaskHash, m_taskHash);
    keys.emplace_back(kKeyCreateTimeStamp, FormatUnsigned(MillisecondsSinceBoot()));
    keys.emplace_back(kKeyCreateTime, CreateTimeText(std::time(nullptr)));
    m_activeSeconds = 0;
    m_longestDownloadTime = 0;
    if (withEntries) {
        for (int i = 0; i < kReleaseEntryCount; ++i) {
            keys.emplace_back(KeyHttpTaskUrl(i), m_table.entries[i].url);
            keys.emplace_back(KeyHttpTaskFile(i), m_table.entries[i].fileName);
        }
    }
    if (m_saveFolder.empty()) m_saveFolder = DefaultSaveFolder();
    if (m_entrance.empty()) m_entrance += m_table.Entrance();
    keys.emplace_back(kKeyEntrance, m_entrance);
    keys.emplace_back(kKeyFolder, kDownloadFolderName);
    WriteIniStrings(m_taskIni, kTaskSection, keys);
    SetHttpDisguise(1);
}

bool CDownloadController::LockSaveFolder() {
    const std::string folder = CCopyLock::Normalise(m_saveFolder);
    // The data folder's lock already covers a save folder that is the same.
    if (m_dataLock.Held() && m_dataLock.Folder() == folder) return true;
    if (m_saveLock.Held() && m_saveLock.Folder() == folder) return true;
    pid_t holder = 0;
    const CCopyLock::Result result = m_saveLock.Acquire(m_saveFolder, &holder);
    if (result == CCopyLock::Result::Held) return true;
    if (result == CCopyLock::Result::Unavailable) {
        // The folder passed the write check, yet no lock file can be made
        // in it (a file system without locks): go on without the lock.
        Log("保存目录无法加锁，继续下载");
        return true;
    }
    Log("保存目录被另一个下载器占用");
    Refuse(CopyLockRefusal(m_saveFolder, holder));
    return false;
}

void CDownloadController::Refuse(const std::string& text) {
    if (m_hooks.refused) {
        m_hooks.refused(text);
    } else {
        Message(text);
    }
}

void CDownloadController::Begin() {
    // 0. A save folder that cannot be made or written is refused before
    // anything starts, with the folder and the system's reason.
    const std::string problem = SaveFolderProblem(m_saveFolder);
    if (!problem.empty()) {
        const std::string text = std::string(kWriteFailureText) + "\n" + problem;
        Log(text);
        Message(text);
        return;
    }
    // Another copy writing into the same save folder would mix its files
    // with ours.
    if (!LockSaveFolder()) return;
    // 1. Space.
    if (static_cast<uint64_t>(std::max<int64_t>(0, GetDriveFreeSpace(m_saveFolder))) <
        m_requiredSpace) {
        Message(QT_TRANSLATE_NOOP("Message", "当前磁盘空间不足，请选择其他位置存放"));
        m_lowSpace = true;
        return;
    }
    // 2. Event.
    ReportEvent("11010000", "", 7);
    // 3./4. Task INI.
    DownloadStatus status = Status();
    WriteBeginKeys(status == DownloadStatus::Back || status == DownloadStatus::Ready);
    WriteIniString(m_taskIni, kTaskSection, kKeySavePath, m_saveFolder);
    ChooseVolumeMode();
    // 5. Engine and tasks.
    if (EngineStartup(m_dataFolder.c_str()) != 0) {
        Log("Begin Download Task] [环境初始化失败");
        ReportEvent("11400101", "Begin Download Task 环境初始化失败", 0);
        Message(QT_TRANSLATE_NOOP("Message", "下载启动失败请重试"));
    } else {
        for (int i = 0; i < kReleaseEntryCount; ++i) CreateTask(i);
        // The connection total is shared from the start, not only once the
        // download is seen running.
        ShareConnections();
        StartEarlyDigest();
    }
    // 6.
    ApplySpeedLimit();
    SetStatus(DownloadStatus::Preparing);
}

void CDownloadController::Reload() {
    if (!LockSaveFolder()) {
        SetStatus(DownloadStatus::Failed);
        return;
    }
    WriteBeginKeys(false);
    if (EngineStartup(m_dataFolder.c_str()) != 0) {
        Log("Reload Download Task] [环境初始化失败");
        ReportEvent("11400101", "继续下载：环境初始化失败", 0);
        Message(QT_TRANSLATE_NOOP("Message", "下载启动失败请重试"));
        return;
    }
    size_t next = 0;
    for (int i = 0; i < kReleaseEntryCount; ++i) {
        if (!CheckFinish(m_taskIni, i, TargetPath(m_saveFolder, m_table.entries[i].fileName))) {
            m_reloadList.Add(i);
        }
        const std::vector<int>& list = m_reloadList.Items();
        if (next < list.size() && list[next] == i) {
            RecoverTask(i, false);
            ++next;
        } else {
            m_records[i]->callerWord = 1;
        }
    }
    if (RunningTasks() > 0) {
        ShareConnections();
        StartEarlyDigest();
        ReportEvent("11030000", "", 0);
        m_idle = false;
        m_tasksRunning = true;
        ApplySpeedLimit();
    } else {
        m_idle = true;
        m_tasksRunning = false;
    }
}

bool CDownloadController::FillDescription(int i, bool create) {
    TaskDescription* record = m_records[i].get();
    uint32_t complete = record->callerWord;
    std::memset(record, 0, sizeof(TaskDescription));
    record->callerWord = complete;
    const ReleaseEntry& entry = m_table.entries[i];
    record->flags = kTaskFlags;
    record->sources = entry.url.c_str();
    std::snprintf(record->targetPath, sizeof record->targetPath, "%s",
                  TargetPath(m_saveFolder, entry.fileName).c_str());
    std::snprintf(record->infoFilePath, sizeof record->infoFilePath, "%s", m_infoPaths[i].c_str());
    if (entry.torrentId != 0) {
        std::string written;
        int result = WriteResourceFile(m_release, kTorrentResourceType, entry.torrentId, entry.md5,
                                       m_dataFolder, false, &written);
        if (result >= 0) {
            std::snprintf(record->p2spLocator, sizeof record->p2spLocator, "%s",
                          TorrentLocator(written).c_str());
            record->flags |= kTaskFlagP2SP;
        } else {
            Log("Torent 资源释放失败");
            ReportEvent(create ? "11400190" : "11400101", "LFconf资源释放失败", 0);
        }
    }
    return true;
}

// ---- early digest ----------------------------------------------------------------

void CDownloadController::StartEarlyDigest() {
    if (!m_earlyDigestOn) return;
    if (m_digest == nullptr) {
        std::vector<CEarlyDigest::File> files;
        for (int i = 0; i < kReleaseEntryCount; ++i) {
            const ReleaseEntry& entry = m_table.entries[i];
            files.push_back({TargetPath(m_saveFolder, entry.fileName),
                             TempTargetPath(m_saveFolder, entry.fileName),
                             static_cast<int64_t>(entry.size)});
            m_pieceLengths[i] = 0;
            const std::string* bytes = entry.torrentId != 0
                                           ? m_release.Find(kTorrentResourceType, entry.torrentId)
                                           : nullptr;
            if (bytes != nullptr) {
                auto* torrent = new TTorrent();
                if (torrent->LoadBytes(*bytes)) m_pieceLengths[i] = torrent->Content().pieceLength;
                torrent->Release();
            }
        }
        m_digest = std::make_unique<CEarlyDigest>(std::move(files),
                                                  [this](int i) { return VerifiedPrefix(i); });
    }
    m_digest->Start();
}

CEarlyDigest* CDownloadController::EarlyDigest() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_digest.get();
}

void CDownloadController::StopEarlyDigest() {
    // Not under the controller lock: the digest thread takes it.
    if (CEarlyDigest* digest = EarlyDigest()) digest->Stop();
}

int64_t CDownloadController::VerifiedPrefix(int i) {
    TaskHandle handle;
    int64_t pieceLength;
    const int64_t size = static_cast<int64_t>(m_table.entries[i].size);
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        if (!m_records[i]) return -1;
        if (m_records[i]->callerWord != 0) return size;
        handle = m_handles[i];
        pieceLength = m_pieceLengths[i];
    }
    if (handle == nullptr || pieceLength <= 0) return -1;
    int32_t bytes = GetTaskPieceMapSize(handle);
    if (bytes <= 0) return -1;
    std::vector<uint8_t> map(static_cast<size_t>(bytes));
    int32_t count = CopyTaskPieceMap(handle, map.data(), bytes);
    if (count <= 0) return -1;
    int64_t have = 0;
    while (have < count) {
        uint8_t byte = map[static_cast<size_t>(have / 8)];
        if (byte == 0xff && have % 8 == 0 && have + 8 <= count) {
            have += 8;
            continue;
        }
        if ((byte & (0x80 >> (have % 8))) == 0) break;
        ++have;
    }
    return std::min(size, have * pieceLength);
}

int CDownloadController::CreateTask(int i) {
    FillDescription(i, true);
    int result = CreateAndStartTask(m_records[i].get());
    if (result == 0) {
        m_handles[i] = m_records[i]->handle;
        StartingShare(i);
    }
    m_idle = false;
    m_tasksRunning = true;
    ApplySpeedLimit();
    return result;
}

int CDownloadController::RecoverTask(int i, bool repair) {
    if (m_table.entries[i].url.empty())
        Message(QT_TRANSLATE_NOOP("Message", "下载源出错，请验证这个下载工具的md5是否正确"));
    FillDescription(i, false);
    int result = RecoverAndContinueTask(m_records[i].get(), repair ? 1 : 0);
    if (result != 0) {
        if (repair) m_reloadFailed = true;
        Log("Reload 失败");
        char text[64];
        std::snprintf(text, sizeof text, "ErrorCode : %d", result);
        Message(text);
    } else {
        if (repair) m_reloadFailed = false;
        Log("Reload 成功");
        m_handles[i] = m_records[i]->handle;
        StartingShare(i);
        WriteIniString(m_taskIni, kTaskSection, KeyRecoveredTask(i), m_table.entries[i].fileName);
    }
    return result;
}

// ---- running ---------------------------------------------------------------------

int CDownloadController::RunningTasks() const {
    int n = 0;
    for (int i = 0; i < kReleaseEntryCount; ++i) {
        if (m_handles[i] != nullptr && m_records[i] && m_records[i]->callerWord == 0) ++n;
    }
    return n;
}

void CDownloadController::StopAllTasks() {
    std::vector<TaskHandle> live;
    for (TaskHandle h : m_handles) {
        if (h != nullptr) live.push_back(h);
    }
    if (!live.empty()) {
        std::vector<int32_t> results(live.size());
        StopTasks(live.data(), static_cast<uint32_t>(live.size()), 0, results.data());
    }
}

void CDownloadController::Pause() {
    SendStatistics("11020000", "");
    StopAllTasks();
    SetStatus(DownloadStatus::Pause);
}

void CDownloadController::Resume() {
    ReportEvent("11030000", "", 0);
    m_gaveUp = false;
    m_lastCodeActed = 0;  // a retry that fails again says so again
    for (int i = 0; i < kReleaseEntryCount; ++i) {
        if (!CheckFinish(m_taskIni, i, TargetPath(m_saveFolder, m_table.entries[i].fileName))) {
            m_records[i]->callerWord = 0;
            if (m_handles[i] != nullptr) RestartTask(m_handles[i]);
        }
    }
    SetStatus(DownloadStatus::Resume);
}

void CDownloadController::SetSpeedLimit(int32_t limitKiB) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_speedLimit = limitKiB > 0 ? limitKiB : 0;
    ApplySpeedLimit();
}

void CDownloadController::ApplySpeedLimit() {
    int32_t share = TaskSpeedLimitShare(m_speedLimit.load(), RunningTasks());
    for (TaskHandle h : m_handles) SetTaskSpeedLimit(h, 1, share);
}

void CDownloadController::StartingShare(int i) {
    // Until the running tasks are counted, a task gets the share it would
    // have with every entry running: together they stay within the total.
    SetTaskConnectionLimits(m_handles[i], ConnectionShare(m_httpTotal, kReleaseEntryCount, i),
                            ConnectionShare(kPeerConnectionTotal, kReleaseEntryCount, i));
    m_sharedRunning = -1;  // the next sharing hands out the real shares
}

void CDownloadController::ShareConnections() {
    int n = RunningTasks();
    if (m_httpTotal == m_sharedTotal && n == m_sharedRunning) return;
    m_sharedTotal = m_httpTotal;
    m_sharedRunning = n;
    if (n == 0) return;
    int ordinal = 0;
    for (int i = 0; i < kReleaseEntryCount; ++i) {
        if (m_records[i]->callerWord != 0) continue;
        SetTaskConnectionLimits(m_handles[i], ConnectionShare(m_httpTotal, n, ordinal),
                                ConnectionShare(kPeerConnectionTotal, n, ordinal));
        ++ordinal;
    }
}

void CDownloadController::OnEntryCompleted(int i) {
    m_records[i]->callerWord = 1;
    if (m_digest != nullptr) m_digest->Notify();
    RecordFinish(m_taskIni, i, TargetPath(m_saveFolder, m_table.entries[i].fileName));
    ApplySpeedLimit();
    ReportFileEvent("11080000", m_table.entries[i].fileName.c_str(), "");
}

void CDownloadController::HandleEngineCode(int code, int index) {
    switch (code) {
        case kTaskStatusNetworkError:
            Message(QT_TRANSLATE_NOOP("Message", "网络错误"));
            break;
        case kTaskStatusStartTimeout:
            SendStatistics("11990202", "");
            Message(QT_TRANSLATE_NOOP("Message", "网络连接超时，下载失败"));
            break;
        case kTaskStatusDiskFull:
            if (Status() == DownloadStatus::Downloading) {
                StopAllTasks();
                SetStatus(DownloadStatus::Pause);
            }
            m_lowSpace = true;
            SendStatistics("11990301", "");
            Message(QT_TRANSLATE_NOOP("Message", "磁盘空间不足，请检查并重新启动下载器！"));
            break;
        case kTaskStatusNoSource:
            Message(QT_TRANSLATE_NOOP("Message", "下载出错，请重试"));
            break;
        case kTaskStatusWriteFailure: {
            SetStatus(DownloadStatus::Failed);
            // The design's text, then which file and the system's reason.
            std::string text = kWriteFailureText;
            char reason[4096] = "";
            if (GetTaskErrorText(m_handles[index], reason, sizeof reason) == 0 && reason[0]) {
                text += std::string("\n") + reason;
            }
            Log(text);
            Message(text);
            break;
        }
        default:
            break;
    }
}

void CDownloadController::ScanProgress() {
    std::vector<ProgressEntry> entries(kReleaseEntryCount);
    int previousCode = 0;
    for (int i = 0; i < kReleaseEntryCount; ++i) {
        ProgressEntry& e = entries[i];
        e.markedComplete = m_records[i] && m_records[i]->callerWord != 0;
        e.size = m_table.entries[i].size;
        TaskInfo info{};
        if (m_handles[i] == nullptr || QueryTask(m_handles[i], &info) != 0) continue;
        e.answers = true;
        e.totalKiB = info.totalKiB > 0 ? static_cast<uint64_t>(info.totalKiB) : 0;
        e.progress = ShownProgress(info, m_table.entries[i].size);
        m_lastHttpBytes[i] = info.httpBytes;
        m_lastBtBytes[i] = info.btBytes;
        int32_t complete = 0;
        IsTaskComplete(m_handles[i], &complete);
        e.taskComplete = complete != 0;
        if (complete != 0 && !e.markedComplete) {
            OnEntryCompleted(i);
        }
        int code = info.status;
        if (code != 0 && code != previousCode && code != m_lastCodeActed) {
            m_lastCodeActed = code;
            HandleEngineCode(code, i);
        }
        previousCode = code;
    }
    m_progress = lfapp::OverallProgress(entries);
}

void CDownloadController::MeasureBytesOnDisk() {
    uint64_t total = 0;
    for (int i = 0; i < kReleaseEntryCount; ++i) {
        TaskInfo info{};
        // What arrived, not only what was verified and written (that lags by
        // the write cache), and never more than the file's size (allocated
        // blocks round up).
        const uint64_t size = m_table.entries[i].size;
        if (m_handles[i] != nullptr && QueryTask(m_handles[i], &info) == 0) {
            total += std::min<uint64_t>(std::max(info.heldBytes, info.downloadedBytes), size);
            continue;
        }
        std::string target = TargetPath(m_saveFolder, m_table.entries[i].fileName);
        int64_t onDisk = GetSizeOnDisk(target);
        if (onDisk >= 0) total += std::min<uint64_t>(static_cast<uint64_t>(onDisk), size);
    }
    m_bytesOnDisk = total;
    // Tasks report nothing until they have restored what is on disk: the
    // earlier run's record stays until this run holds as much again.
    if (!m_recordCaughtUp) {
        if (total < m_lastPersistedSize) return;
        m_recordCaughtUp = true;
    }
    DownloadStatus status = Status();
    if ((IsActiveStatus(status) || status == DownloadStatus::CheckRecover ||
         status == DownloadStatus::CheckFinished) &&
        total != m_lastWrittenSize) {
        m_lastWrittenSize = total;
        SplitSize split = SplitLastSize(total);
        WriteIniStrings(m_taskIni, kTaskSection,
                        {{kKeyLastSizeHigh, FormatUnsigned(split.high)},
                         {kKeyLastSizeLow, FormatUnsigned(split.low)}});
    }
}

void CDownloadController::WatchFreeSpace() {
    int64_t free = GetDriveFreeSpace(m_saveFolder);
    uint64_t freeBytes = free > 0 ? static_cast<uint64_t>(free) : 0;
    if (SpaceFirstLookEnough(m_bytesOnDisk, freeBytes, m_requiredSpace)) {
        m_lowSpace = false;
        if (Status() == DownloadStatus::Back) SetStatus(DownloadStatus::Ready);
        return;
    }
    SleepMs(50);
    MeasureBytesOnDisk();
    SpaceReaction reaction =
        ReactToSpace(Status(), SpaceSecondLook(m_bytesOnDisk, freeBytes, m_requiredSpace));
    if (reaction.pauseTasks) StopAllTasks();
    SetStatus(reaction.status);
    if (reaction.event != nullptr) SendStatistics(reaction.event, "");
    if (reaction.message != nullptr) Message(reaction.message);
    if (reaction.lowSpace >= 0) m_lowSpace = reaction.lowSpace == 1;
}

void CDownloadController::LogStatusChange() {
    int status = m_status.load();
    bool low = m_lowSpace.load();
    if (status == m_loggedStatus && low == m_loggedLowSpace) return;
    m_loggedStatus = status;
    m_loggedLowSpace = low;
    DownloadStatus s = static_cast<DownloadStatus>(status);
    if (s == DownloadStatus::Finished) {
        for (int i = 0; i < kReleaseEntryCount; ++i) {
            RecordFinish(m_taskIni, i, TargetPath(m_saveFolder, m_table.entries[i].fileName));
        }
        if (m_tasksRunning) SendStatistics("11060000", "");
        ApplySpeedLimit();
    }
    std::string line = StatusChangeLine(s);
    if (!line.empty()) Log(line);
    if (s == DownloadStatus::Finished && m_autoShutdown) {
        Log("Lanternfish Utility: 触发自动关机");
        StartShutdown();
    }
}

DownloadStatus CDownloadController::Poll() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (m_records[0] == nullptr) return Status();  // not initialised
    ScanProgress();
    MeasureBytesOnDisk();
    if (m_sparseMode) WatchFreeSpace();
    if (Status() == DownloadStatus::Preparing && m_progress > 0) SetStatus(DownloadStatus::Reload);
    // The last entry's completion ends the download at once, not at the
    // next tick.
    if (m_tasksRunning && !m_idle) CheckAllComplete();
    if (IsActiveStatus(Status()) && AllTasksEnded()) {
        // Every task still to download gave up (its code was shown): nothing
        // more will arrive, so the download pauses and Continue retries.
        Log("所有下载任务都已出错停止，下载暂停");
        m_gaveUp = true;
        SetStatus(DownloadStatus::Pause);
    }
    LogStatusChange();
    return Status();
}

void CDownloadController::Tick() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (m_records[0] == nullptr) return;
    DownloadStatus status = Status();
    if (status == DownloadStatus::Back || status == DownloadStatus::Ready ||
        status == DownloadStatus::Failed || status == DownloadStatus::Exited) {
        return;
    }
    // 1. Active seconds.
    if (IsActiveStatus(status)) {
        ++m_activeRun;
        if (m_activeRun % 300 == 0) SendStatistics("11050000", "");
        uint32_t stored =
            static_cast<uint32_t>(ReadIniInt(m_taskIni, kTaskSection, kKeyDownloadTime, 0)) + 1;
        if (stored > m_longestDownloadTime) {
            m_longestDownloadTime = stored;
            WriteIniString(m_taskIni, kTaskSection, kKeyDownloadTime, FormatUnsigned(stored));
        }
        ++m_activeSeconds;
    } else {
        m_activeRun = 0;
    }
    // 2. Completed entries.
    for (int i = 0; i < kReleaseEntryCount; ++i) {
        TaskInfo info{};
        if (m_handles[i] == nullptr || QueryTask(m_handles[i], &info) != 0) continue;
        int32_t complete = 0;
        IsTaskComplete(m_handles[i], &complete);
        if (complete != 0 && m_records[i]->callerWord == 0) OnEntryCompleted(i);
    }
    // 3. Everything complete.
    CheckAllComplete();
}

void CDownloadController::CheckAllComplete() {
    DownloadStatus status = Status();
    if (status == DownloadStatus::Back || status == DownloadStatus::Ready ||
        status == DownloadStatus::Failed || status == DownloadStatus::Exited ||
        status == DownloadStatus::Md5Checking || status == DownloadStatus::CheckRecover ||
        status == DownloadStatus::CheckFinished || status == DownloadStatus::Finished) {
        return;
    }
    bool all = true;
    for (int i = 0; i < kReleaseEntryCount; ++i) all = all && m_records[i]->callerWord != 0;
    if (all && RunningTasks() == 0) {
        SetStatus(DownloadStatus::Finished);
        WriteIniString(m_taskIni, kTaskSection, kKeyIsComplete, kCompleteValue);
    }
}

void CDownloadController::StartResourceRefresh() {
    if (m_table.listUrl.empty()) return;
    SourceSelection selection;
    for (int i = 0; i < kReleaseEntryCount; ++i) {
        selection.urls[i] = m_table.entries[i].url;
        selection.complete[i] = m_records[i]->callerWord != 0;
    }
    if (Status() == DownloadStatus::CheckRecover) selection.repairIndex = m_currentIndex;
    auto sink = std::make_shared<EngineSourceSink>(&m_p2pSwitch, m_handles);
    std::shared_ptr<std::atomic<bool>> answered = m_listAnswered;
    // The sink passes a switch the list carries at once; after a failed
    // fetch the next speed-text request passes the switch as it was.
    if (!StartUpdateSources(m_table.listUrl, selection, sink,
                            [answered](int) { answered->store(true); })) {
        m_listAnswered->store(true);
    }
}

std::string CDownloadController::SpeedText() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (m_table.listUrl.empty()) m_listAnswered->store(true);
    SetP2PEnabled(m_listAnswered->load() ? m_p2pSwitch.load() : 0);
    DownloadStatus status = Status();
    if (status == DownloadStatus::Pause) m_refreshCounter = 0;
    bool counting = status == DownloadStatus::Downloading || status == DownloadStatus::CheckRecover;
    if (counting) {
        if (ResourceRefreshDue(m_refreshCounter)) StartResourceRefresh();
        ++m_refreshCounter;
    } else {
        m_refreshCounter = 0;
    }
    if (IsActiveStatus(status) || status == DownloadStatus::Downloading) {
        uint64_t total = 0;
        for (int i = 0; i < kReleaseEntryCount; ++i) {
            TaskInfo info{};
            if (m_handles[i] == nullptr || m_records[i]->callerWord != 0) continue;
            if (QueryTask(m_handles[i], &info) == 0 && info.speed > 0) total += info.speed;
        }
        uint32_t total32 = total > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(total);
        m_totalSpeed = total32;
        if (SpeedMeansDownloading(total32)) {
            SetStatus(DownloadStatus::Downloading);
            ShareConnections();
        }
        m_displayedSpeed = lfapp::DisplayedSpeed(total32, m_displayedSpeed, m_speedLimit);
        return lfapp::SpeedText(m_displayedSpeed);
    }
    if (status == DownloadStatus::CheckRecover) return "";
    return "0 B/s";
}

std::string CDownloadController::SizeText() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return SizeProgressText(m_bytesOnDisk, m_table.TotalSize(),
                            Status() == DownloadStatus::Finished);
}

std::string CDownloadController::FileName(int i) const {
    if (i < 0 || i >= kReleaseEntryCount) return "";
    return m_table.entries[i].fileName;
}

std::string CDownloadController::FileStatusText(int i) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (i < 0 || i >= kReleaseEntryCount || !m_records[i]) return "";
    auto percent = [](uint32_t p, const char* tail) {
        char text[48];
        std::snprintf(text, sizeof text, "%u.%02u%%%s", p / 100, p % 100, tail);
        return std::string(text);
    };
    DownloadStatus status = Status();
    if (m_records[i]->callerWord != 0) {
        int current = m_currentIndex;
        switch (status) {
            case DownloadStatus::Md5Checking:
                if (i > current) return translate("Status", "待验证    ");
                if (i == current)
                    return translate("Status", "验证中：") +
                           percent(std::min(m_currentProgress.load(), 10000u), "  ");
                return translate("Status", "√ 验证通过  ");
            case DownloadStatus::CheckRecover:
                if (i > current) return translate("Status", "待验证    ");
                if (i == current) {
                    if (m_repairProgress == 0) return translate("Status", "准备修复.. ");
                    return translate("Status", "修复中：") +
                           percent(std::min(m_repairProgress.load(), 10000u), "  ");
                }
                return translate("Status", "√ 验证通过  ");
            case DownloadStatus::CheckFinished:
                return translate("Status", "√ 验证通过  ");
            default:
                return translate("Status", "√ 下载完成  ");
        }
    }
    const std::string idle = status == DownloadStatus::Downloading
                                 ? translate("Status", "准备下载    ")
                                 : translate("Status", "未开始    ");
    TaskInfo info{};
    if (m_handles[i] == nullptr || QueryTask(m_handles[i], &info) != 0) return idle;
    const uint32_t shown = ShownProgress(info, m_table.entries[i].size);
    if (shown >= 10000) return translate("Status", "√ 下载完成  ");
    if (shown == 0) return idle;
    return percent(shown, "    ");
}

std::string CDownloadController::OverallProgressText() {
    return PercentText(m_progress);
}

std::string CDownloadController::VerifyProgressText() {
    return PercentText(VerifyProgress());
}

std::string CDownloadController::RepairSpeedText() {
    return lfapp::SpeedText(m_repairSpeed);
}

std::string CDownloadController::InstallerPath() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return TargetPath(m_saveFolder, m_entrance.empty() ? m_table.Entrance() : m_entrance);
}

std::string CDownloadController::SaveFolder() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_saveFolder;
}

void CDownloadController::SetSaveFolder(const std::string& path) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_saveFolder = path;
}

void CDownloadController::SaveCloseChoice(uint32_t choice) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    WriteIniString(m_taskIni, kTaskSection, kKeyCloseSelection, FormatUnsigned(choice));
}

int CDownloadController::ReadCloseChoice() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    std::optional<IniDocument> ini = ReadIniFile(m_taskIni);
    if (!ini) return -1;
    return static_cast<int>(ini->GetInt(kTaskSection, kKeyCloseSelection, 0));
}

// ---- the main action ---------------------------------------------------------------

void CDownloadController::MainAction() {
    std::unique_lock<std::recursive_mutex> guard(m_lock);
    if (m_records[0] == nullptr) return;
    switch (Status()) {
        case DownloadStatus::Back:
        case DownloadStatus::Ready:
            Begin();
            break;
        case DownloadStatus::Downloading:
        case DownloadStatus::Resume:
            Pause();
            break;
        case DownloadStatus::Pause:
            Resume();
            break;
        case DownloadStatus::Finished: {
            ReportEvent("11070000", "", 0);
            auto ask = m_hooks.askYesNo;
            guard.unlock();  // the question may run a modal loop that polls
            bool yes = ask ? ask(QT_TRANSLATE_NOOP("Message", "是否验证安装文件的正确性？"),
                                 kMessageCaption)
                           : false;
            guard.lock();
            if (Status() != DownloadStatus::Finished) break;
            if (yes) {
                ReportEvent("11100001", "", 0);
                Verify(true);
            } else {
                ReportEvent("11100002", "", 0);
                LaunchInstaller(false);
            }
            break;
        }
        case DownloadStatus::Md5Checking:
            Message(QT_TRANSLATE_NOOP("Message", "MD5计算工作中……请等待完成"));
            break;
        case DownloadStatus::CheckRecover:
            Message(QT_TRANSLATE_NOOP("Message", "部分文件错误，正在修复中..."));
            break;
        case DownloadStatus::CheckFinished:
            ReportEvent("11070000", "点击时已经验证过安装包分卷了", 0);
            LaunchInstaller(true);
            break;
        default:
            break;
    }
}

bool CDownloadController::AllTasksEnded() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    int ended = 0;
    for (int i = 0; i < kReleaseEntryCount; ++i) {
        if (!m_records[i] || m_records[i]->callerWord != 0) continue;
        TaskInfo info{};
        if (m_handles[i] == nullptr || QueryTask(m_handles[i], &info) != 0) return false;
        // A malformed or unresolvable source address ends nothing: the
        // task goes on with its other sources.
        if (info.status == 0 || info.status == kTaskStatusComplete ||
            info.status == kTaskStatusBadSourceAddress)
            return false;
        ++ended;
    }
    return ended > 0;
}

uint32_t CDownloadController::Connections() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    uint32_t n = 0;
    for (int i = 0; i < kReleaseEntryCount; ++i) {
        TaskInfoEx info{};
        if (m_handles[i] != nullptr && QueryTaskEx(m_handles[i], &info) == 0) {
            n += info.connectedPeers;
        }
    }
    return n;
}

uint32_t CDownloadController::RemainingSeconds() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    uint32_t longest = 0;
    for (int i = 0; i < kReleaseEntryCount; ++i) {
        TaskInfo info{};
        if (m_handles[i] == nullptr || !m_records[i] || m_records[i]->callerWord != 0) continue;
        if (QueryTask(m_handles[i], &info) != 0 || info.status != 0) continue;
        if (info.remainingSeconds > 0) {
            longest = std::max(longest, static_cast<uint32_t>(info.remainingSeconds));
        }
    }
    return longest;
}

uint64_t CDownloadController::SessionBytes() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    uint64_t http = 0, bt = 0;
    SumTaskBytes(&http, &bt);
    return http + bt;
}

void CDownloadController::SourceBytes(uint64_t* servers, uint64_t* peers) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    *servers = *peers = 0;
    SumTaskBytes(servers, peers);
}

uint32_t CDownloadController::PeerConnections() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    uint32_t n = 0;
    for (int i = 0; i < kReleaseEntryCount; ++i) {
        TaskInfoEx info{};
        if (m_handles[i] != nullptr && QueryTaskEx(m_handles[i], &info) == 0) {
            n += info.connectedBtPeers;
        }
    }
    return n;
}

uint64_t CDownloadController::UploadedBytes() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    uint64_t n = 0;
    for (int i = 0; i < kReleaseEntryCount; ++i) {
        TaskInfoEx info{};
        if (m_handles[i] != nullptr && QueryTaskEx(m_handles[i], &info) == 0) {
            m_lastUploaded[i] = info.uploadedBytes;
        }
        n += m_lastUploaded[i];
    }
    return n;
}

std::string CDownloadController::PeerText() {
    const uint32_t peers = PeerConnections();
    uint64_t servers = 0, fromPeers = 0;
    SourceBytes(&servers, &fromPeers);
    if (peers == 0 && fromPeers == 0) return "";
    const uint64_t total = servers + fromPeers;
    const unsigned share = total ? static_cast<unsigned>(fromPeers * 100 / total) : 0;
    return translate("Status", "对等端") + " " + std::to_string(peers) + " (" +
           std::to_string(share) + "%)";
}

void CDownloadController::SumTaskBytes(uint64_t* http, uint64_t* bt) {
    // A task that does not answer counts with the last figures it reported.
    for (int i = 0; i < kReleaseEntryCount; ++i) {
        TaskInfo info{};
        if (m_handles[i] != nullptr && QueryTask(m_handles[i], &info) == 0) {
            m_lastHttpBytes[i] = info.httpBytes;
            m_lastBtBytes[i] = info.btBytes;
        }
        *http += m_lastHttpBytes[i];
        *bt += m_lastBtBytes[i];
    }
}

// ---- events ----------------------------------------------------------------------

void CDownloadController::SendStatistics(const char* code, const std::string& text) {
    uint64_t http = 0, bt = 0;
    SumTaskBytes(&http, &bt);
    uint32_t seconds = m_activeSeconds;
    uint64_t total = http + bt;
    auto average = [seconds](uint64_t bytes) { return seconds ? bytes / seconds : 0; };
    std::string progress = PercentText(m_progress);
    ReportData(code, "", "", seconds, total, average(total), progress.c_str(), http, average(http),
               bt, average(bt), 0, "", "", text.c_str(), 0);
}

}  // namespace lfapp
