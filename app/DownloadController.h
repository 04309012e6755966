// CDownloadController: the application-side owner of the eight download
// tasks of the release. It creates or resumes one engine task per release
// file, keeps what it needs to resume in its task INI, polls the engine,
// runs the status machine the front ends show and steer, verifies and
// repairs the finished files, launches the installer and records the exit.
//
// Front ends call Initialise once, Poll every 100 ms, Tick every second
// (skipped in finished and checkfinished) and MainAction for the main
// button. One recursive controller lock serialises Poll, Tick, the actions
// and the text getters; the status, the progress values and the flags the
// verification thread writes are atomics, so reading them never blocks.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "app/ControllerRules.h"
#include "app/CopyLock.h"
#include "app/DownloadStatus.h"
#include "app/EarlyDigest.h"
#include "app/ReleaseResources.h"
#include "app/ReleaseTable.h"
#include "app/Translation.h"
#include "engine/core/EngineTypes.h"

namespace lfapp {

using lf::TaskDescription;
using lf::TaskHandle;

inline constexpr char kMessageCaption[] = QT_TRANSLATE_NOOP("Message", "Moonvale下载器");
// Commands run by the completion actions (tests point them at scripts).
inline constexpr char kOpenCommandEnvironment[] = "LANTERNFISH_OPEN_COMMAND";
inline constexpr char kShutdownCommandEnvironment[] = "LANTERNFISH_SHUTDOWN_COMMAND";
// "0" or "1" forces the volume mode instead of probing the save folder.
inline constexpr char kSparseModeEnvironment[] = "LANTERNFISH_SPARSE_MODE";
// "0" turns the port mapping at start-up off (--no-port-mapping).
inline constexpr char kPortMappingEnvironment[] = "LANTERNFISH_PORT_MAPPING";
// Set (and not "0"): every log channel is written to the log files, not
// only the error channel (--log-all).
inline constexpr char kLogAllEnvironment[] = "LANTERNFISH_LOG_ALL";
// Seconds between two saves of a task's resume data (default 20).
inline constexpr char kResumeSaveEnvironment[] = "LANTERNFISH_RESUME_SAVE_SECONDS";
// Seconds without progress after which a repair stops waiting.
inline constexpr char kRepairStallEnvironment[] = "LANTERNFISH_REPAIR_STALL_SECONDS";

// What the controller needs from the front end besides message boxes (which
// go through the engine's message sink).
struct ControllerHooks {
    // Yes/No question owned by the window; runs on the caller's thread without
    // the controller lock held. Missing: "No".
    std::function<bool(const std::string& text, const std::string& caption)> askYesNo;
    // The verification thread finished with every file passed and the
    // install-after flag set; the front end runs MainAction on its own thread.
    std::function<void()> verificationDone;
    // The installer was started: the front end closes (and then calls
    // OnWindowDestroyed).
    std::function<void()> closeWindow;
    // Another copy holds the data or save folder: the refusal text, shown at
    // once on the caller's thread (the front end may end right after).
    // Missing: an ordinary message box.
    std::function<void(const std::string& text)> refused;
};

// Knobs with the program's defaults; tests shorten the waits.
struct ControllerSettings {
    // Command that opens the installer: empty runs an executable file
    // directly and anything else through xdg-open. The file path is appended
    // as the last argument. Default from LANTERNFISH_OPEN_COMMAND.
    std::string openCommand;
    // Command that schedules the shutdown; the message is appended as the last
    // argument. Default from LANTERNFISH_SHUTDOWN_COMMAND, else
    // "shutdown -h +1".
    std::string shutdownCommand;
    // Repair: the wait for a file fetched again ends when its task completes,
    // stops answering, reports an error code, or makes no progress for this
    // many seconds.
    uint32_t repairStallSeconds = 900;
    uint32_t repairPollMs = 1000;
    // Volume mode: -1 decides by probing the save folder, 0 or 1 forces it
    // (default from LANTERNFISH_SPARSE_MODE).
    int sparseModeOverride = -1;
    // Port mapping at start-up (off in tests that have no router).
    bool mapPort = true;
};

class CDownloadController {
public:
    explicit CDownloadController(const ReleaseTable& table,
                                 const ReleaseResources& release = ActiveRelease());
    ~CDownloadController();
    CDownloadController(const CDownloadController&) = delete;
    CDownloadController& operator=(const CDownloadController&) = delete;

    void SetHooks(ControllerHooks hooks);
    void SetWindow(void* window) { m_window = window; }
    void* Window() const { return m_window; }
    ControllerSettings& Settings() { return m_settings; }

    // ---- entry points --------------------------------------------------------
    // -2: statistics configuration not written (quit; StartFailure() says
    // what failed); 1: tasks resumed; 0.
    int Initialise();
    std::string StartFailure() const { return m_startFailure; }
    void MainAction();
    DownloadStatus Poll();
    void Tick();

    // ---- texts (std::string forms and the buffer convention) ---------------
    std::string SpeedText();
    std::string SizeText();
    std::string FileName(int i) const;
    std::string FileStatusText(int i);
    std::string OverallProgressText();
    std::string VerifyProgressText();
    std::string RepairSpeedText();
    std::string InstallerPath();
    std::string SaveFolder();
    std::string VersionLabel() const { return translate("Status", kGameVersionLabel); }
    // Without a buffer: the length; with one: the text and its terminator and
    // the length, or 0 when the buffer is too small.
    size_t SpeedText(char* buffer, size_t size) { return CopyText(SpeedText(), buffer, size); }
    size_t SizeText(char* buffer, size_t size) { return CopyText(SizeText(), buffer, size); }
    size_t FileName(int i, char* buffer, size_t size) const {
        return CopyText(FileName(i), buffer, size);
    }
    size_t FileStatusText(int i, char* buffer, size_t size) {
        return CopyText(FileStatusText(i), buffer, size);
    }
    size_t RepairSpeedText(char* buffer, size_t size) {
        return CopyText(RepairSpeedText(), buffer, size);
    }
    size_t InstallerPath(char* buffer, size_t size) {
        return CopyText(InstallerPath(), buffer, size);
    }
    size_t SaveFolder(char* buffer, size_t size) { return CopyText(SaveFolder(), buffer, size); }

    // ---- values ----------------------------------------------------------
    DownloadStatus Status() const { return static_cast<DownloadStatus>(m_status.load()); }
    uint32_t OverallProgress() const { return m_progress.load(); }
    uint32_t VerifyProgress() const;
    uint32_t RepairProgress() const { return m_repairProgress.load(); }
    uint32_t RepairSpeed() const { return m_repairSpeed.load(); }
    bool Repaired() const { return m_repaired.load(); }
    bool LowSpace() const { return m_lowSpace.load(); }
    uint64_t BytesOnDisk() const { return m_bytesOnDisk.load(); }
    uint32_t DisplayedSpeed() const { return m_displayedSpeed.load(); }
    // True when every file still to download has a task and each of those
    // tasks ended with an error code (nothing more will arrive).
    bool AllTasksEnded();
    // The download paused because every task still to download gave up with
    // an error code (cleared by Continue).
    bool GaveUp() const { return m_gaveUp.load(); }
    // Over the running tasks: the connected sources, and the longest
    // remaining-time estimate in seconds (0 when none is known).
    uint32_t Connections();
    uint32_t RemainingSeconds();
    // Bytes the tasks received from servers and peers in this run.
    uint64_t SessionBytes();
    // The same bytes by kind of source: HTTP and FTP servers, BitTorrent peers.
    void SourceBytes(uint64_t* servers, uint64_t* peers);
    // Over every task, finished ones too: the BitTorrent peers connected and
    // the payload sent to peers.
    uint32_t PeerConnections();
    uint64_t UploadedBytes();
    // "对等端 N (S%)": the peers connected and the share of the bytes
    // received that came from peers; "" while P2P brought nothing.
    std::string PeerText();
    bool SparseMode() const { return m_sparseMode.load(); }
    const ReleaseTable& Release() const { return m_table; }
    int HttpConnectionTotal() const { return m_httpTotal; }
    int32_t SpeedLimit() const { return m_speedLimit.load(); }
    bool UserExit() const { return m_userExit.load(); }
    bool InstallerExit() const { return m_installerExit.load(); }
    std::string DataFolderPath() const { return m_dataFolder; }
    std::string TaskIniFile() const { return m_taskIni; }
    bool EntryComplete(int i) const;
    TaskHandle Handle(int i) const;

    // ---- settings and flags ------------------------------------------------
    void SetSaveFolder(const std::string& path);
    void SetSpeedLimit(int32_t limitKiB);
    void SetAutoShutdown(bool on) { m_autoShutdown = on; }
    void SetP2P(int flag) { m_p2pSwitch = flag; }
    int P2P() const { return m_p2pSwitch.load(); }
    void SaveCloseChoice(uint32_t choice);
    int ReadCloseChoice();
    void MarkUserExit() { m_userExit = true; }
    // The program ends by its own decision (start refused, download failed,
    // done without installing): the exit record gives the reason instead of
    // a user's click.
    void MarkProgramExit(const std::string& reason);
    void ClearUserExit() { m_userExit = false; }

    // ---- verification and completion ----------------------------------------
    void Verify(bool installAfter);
    bool CheckFile(int i, bool keepDigest);
    void LaunchInstaller(bool verified);
    void StartShutdown();
    // Once per process: the exit record, then the log and the engine go.
    void OnWindowDestroyed();
    // Waits for the verification thread (front ends call it before exit).
    void JoinVerification();
    // The digests computed during the download (null before the first task).
    CEarlyDigest* EarlyDigest() const;
    // The MD5 of the files while they download (on by default); off when the
    // answer to verification is known to be no: it then costs nothing.
    void SetEarlyDigest(bool on) { m_earlyDigestOn = on; }

private:
    // Start-up pieces.
    void ChooseVolumeMode();
    void Begin();
    void Reload();
    // Takes the save folder for this process; false (after the message)
    // when another copy uses it.
    bool LockSaveFolder();
    void Refuse(const std::string& text);
    int CreateTask(int i);
    int RecoverTask(int i, bool repair);
    bool FillDescription(int i, bool create);
    void WriteBeginKeys(bool withEntries);
    void Pause();
    void Resume();
    void ApplySpeedLimit();
    void ShareConnections();
    // The lower-bound share of a task just created or recovered.
    void StartingShare(int i);
    void ScanProgress();
    void MeasureBytesOnDisk();
    void WatchFreeSpace();
    void LogStatusChange();
    void OnEntryCompleted(int i);
    // All entries complete and no task running: finished.
    void CheckAllComplete();
    void HandleEngineCode(int code, int index);
    int RunningTasks() const;
    void StopAllTasks();
    void StartResourceRefresh();

    // Events.
    void SumTaskBytes(uint64_t* http, uint64_t* bt);
    void SendStatistics(const char* code, const std::string& text);
    void Message(const std::string& text, const char* caption = kMessageCaption);
    void SetStatus(DownloadStatus status) { m_status = static_cast<int>(status); }

    // The early digest: started with the first task, stopped at exit.
    void StartEarlyDigest();
    void StopEarlyDigest();
    // Bytes of entry i from its start that its task verified (the size once
    // complete; -1 when unknown).
    int64_t VerifiedPrefix(int i);

    // Verification thread body.
    void VerificationThread();
    bool RepairFile(int i, int* repairs);
    // Compares the digest of entry i with the release table, logs and keeps it.
    bool CompareDigest(int i, const std::string& digest, bool keepDigest);

    ReleaseTable m_table;
    const ReleaseResources& m_release;
    ControllerHooks m_hooks;
    ControllerSettings m_settings;
    void* m_window = nullptr;
    mutable std::recursive_mutex m_lock;

    std::atomic<int> m_status{static_cast<int>(DownloadStatus::Ready)};
    std::atomic<int> m_currentIndex{0};
    std::atomic<uint32_t> m_currentProgress{0};
    std::atomic<uint32_t> m_repairProgress{0};
    std::atomic<uint32_t> m_repairSpeed{0};
    std::atomic<bool> m_reloadFailed{false};
    std::atomic<bool> m_repaired{false};
    std::atomic<bool> m_installAfter{false};
    std::atomic<bool> m_idle{true};
    std::atomic<bool> m_tasksRunning{false};
    std::atomic<bool> m_lowSpace{false};
    std::atomic<bool> m_gaveUp{false};
    std::atomic<bool> m_userExit{false};
    std::atomic<bool> m_installerExit{false};
    std::atomic<uint32_t> m_progress{0};
    std::atomic<uint64_t> m_bytesOnDisk{0};
    uint64_t m_lastPersistedSize = 0;
    uint64_t m_lastWrittenSize = UINT64_MAX;
    // The size recorded by an earlier run stays until this run's tasks hold
    // as much again: a task that has not yet restored what is on disk
    // reports nothing, and a run killed then must not leave a poorer record.
    bool m_recordCaughtUp = true;
    std::atomic<uint32_t> m_totalSpeed{0};
    std::atomic<uint32_t> m_displayedSpeed{0};
    int m_httpTotal = kDefaultHttpConnectionTotal;
    std::atomic<int32_t> m_speedLimit{0};
    ReloadList m_reloadList;
    uint32_t m_longestDownloadTime = 0;
    uint32_t m_activeSeconds = 0;
    uint32_t m_activeRun = 0;  // consecutive active seconds (300-second events)
    uint64_t m_requiredSpace = 0;
    std::atomic<bool> m_autoShutdown{false};
    std::atomic<int> m_p2pSwitch{1};
    // Set once the first resource-list fetch has ended (answered or failed):
    // until then the engine's peer wire stays off, so a list that turns P2P
    // off is obeyed before any tracker or peer is contacted.
    std::shared_ptr<std::atomic<bool>> m_listAnswered = std::make_shared<std::atomic<bool>>(false);
    std::atomic<bool> m_sparseMode{false};
    std::string m_lastDigest;
    std::string m_startFailure;
    std::string m_programExit;  // reason of an exit the program decided

    // One copy per data folder and per save folder (every process).
    CCopyLock m_dataLock, m_saveLock;
    bool m_refused = false;  // another copy holds the data folder: touch nothing

    std::string m_dataFolder, m_taskIni, m_logBase, m_statsConfig, m_infoFolder, m_saveFolder;
    std::string m_taskHash, m_entrance;
    std::array<std::string, kReleaseEntryCount> m_infoPaths;
    std::array<TaskHandle, kReleaseEntryCount> m_handles{};
    std::array<std::unique_ptr<TaskDescription>, kReleaseEntryCount> m_records;
    std::array<uint64_t, kReleaseEntryCount> m_lastHttpBytes{};
    std::array<uint64_t, kReleaseEntryCount> m_lastBtBytes{};
    std::array<uint64_t, kReleaseEntryCount> m_lastUploaded{};

    // Connection sharing memory.
    int m_sharedTotal = -1, m_sharedRunning = -1;
    // Status-change logging memory.
    int m_loggedStatus = static_cast<int>(DownloadStatus::Ready);
    bool m_loggedLowSpace = true;
    // Engine code memory.
    int m_lastCodeActed = 0;
    // Speed-text counter for the resource-list refresh.
    uint32_t m_refreshCounter = 0;
    bool m_refreshCounting = false;

    std::unique_ptr<CEarlyDigest> m_digest;
    bool m_earlyDigestOn = true;
    std::array<int64_t, kReleaseEntryCount> m_pieceLengths{};

    std::thread m_verifier;
    std::atomic<bool> m_verifierRunning{false};
    std::atomic<bool> m_stopping{false};
};

// The controller's status-change line for a status ("" for installing and
// exited, which are not logged).
std::string StatusChangeLine(DownloadStatus status);

// Maps an errno of a failed program start to the shell's result codes.
int OpenFailureCode(int error);
// The reason text of a failed installer launch.
std::string LaunchFailureReason(bool verified, int code);

}  // namespace lfapp
