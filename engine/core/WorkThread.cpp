#include "engine/core/WorkThread.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "engine/base/TimeThread.h"
#include "engine/core/EngineSettings.h"
#include "engine/log/LogApi.h"
#include "engine/metainfo/InfoFile.h"
#include "engine/store/TPieces.h"
#include "engine/store/TargetFiles.h"

namespace lf {

namespace {

// The piece map is published this often while pieces reach the disk.
constexpr uint32_t kPieceMapPublishMs = 20;

int64_t AllocatedSize(const std::string& path) {
    return path.empty() ? 0 : GetSizeOnDisk(path);
}

}  // namespace

TWorkThread::TWorkThread() = default;

TWorkThread::~TWorkThread() {
    // Destroy: stop the thread, reset every layer; the base unregisters.
    StopAndWait();
    Reset(true, true);
}

int TWorkThread::StartDownload() {
    ClearEndCode();
    return Start("StartDownload") ? 0 : kEngineFailed;
}

int TWorkThread::ContinueDownload() {
    LoadInfoFile();
    ClearEndCode();
    return Start("ContinueDownload") ? 0 : kEngineFailed;
}

// A new run starts without the code the last one ended with, so a restart
// after a timeout is not taken for another failure before it has begun.
void TWorkThread::ClearEndCode() {
    QGuard guard(m_lock);
    if (IsRunning()) return;
    m_working.statusCode = 0;
    m_published.statusCode = 0;
    m_working.errorText.clear();
    m_published.errorText.clear();
}

void TWorkThread::Run() {
    try {
        LoopBody();
    } catch (...) {
        // Release every lock this thread may still hold.
        ReleaseAllLevels(m_lock, 20);
        ReleaseAllLevels(TaskListLock(), 20);
    }
}

bool TWorkThread::Prepare() {
    int64_t onDisk = AllocatedSize(m_targetFile);
    if (onDisk >= 0) m_sizeOnDisk = onDisk;
    if ((m_isP2SP || m_isBitTorrent) && !m_locator.empty()) {
        {
            QGuard guard(m_lock);
            m_working.state = TaskStatus::kIdle;
        }
        if (!ReadMetainfoFromLocator()) return false;
        LoadMetainfoIntoPieceStore();
        if (m_settings.metainfoOnly && HasMetainfo()) {
            CopyPieceNumbers();
            return false;
        }
        QGuard guard(m_lock);
        m_working.state = TaskStatus::kDownloading;
    }
    if (!m_isP2SP && !m_isBitTorrent) return true;
    if (HasMetainfo()) return true;
    QGuard guard(m_lock);
    for (const auto& e : m_sourceList) {
        if (!e.text.empty()) return true;
    }
    return false;
}

void TWorkThread::LoopBody() {
    LoadInfoFile();
    if (!Prepare()) {
        QGuard guard(m_lock);
        m_working.state = TaskStatus::kIdle;
        // A task with neither metainfo nor a source has nothing to download
        // from: say so instead of ending silently.
        if (m_working.statusCode == 0 && !HasMetainfo() && !m_settings.metainfoOnly) {
            m_working.statusCode = kTaskStatusNoSource;
        }
        Publish(true, true);
        return;
    }
    {
        QGuard guard(m_lock);
        m_working.state = TaskStatus::kDownloading;
    }
    const EngineTimings timings = GetEngineTimings();
    int64_t lastPass = 0;
    int64_t lastSourceRefresh = 0;
    int64_t lastLanPass = 0;
    uint32_t maintenance = 0;
    uint32_t lastSizeSecond = 0;
    bool noSource = false;
    bool timedOut = false;
    const uint32_t started = StartTime();
    const uint64_t payloadAtStart = m_payloadBytes;
    auto runSeconds = [&] { return static_cast<int64_t>(CachedSeconds()) - started; };

    // The first pass starts with the task's sources as candidates.
    SourceRefresh();
    lastSourceRefresh = static_cast<int64_t>(WallSeconds());
    while (!StopRequested()) {
        if (CompletionCheck(lastPass)) {
            EngineLog::Printf(23, "TID : %5lu] [%s is Download Complete",
                              static_cast<unsigned long>(ThreadId()), m_targetFile.c_str());
            break;
        }
        // The size on disk is for display: once a second is enough.
        if (CachedSeconds() != lastSizeSecond) {
            lastSizeSecond = CachedSeconds();
            int64_t onDisk = AllocatedSize(m_targetFile);
            if (onDisk > 0) m_sizeOnDisk = onDisk;
            // Verified pieces go to the disk and into the resume data within
            // a second, not only at the next statistics pass (every four
            // seconds): a run killed early keeps what it verified.
            if (m_pieces != nullptr && SizeKnown()) {
                if (m_pieces->PendingBytes() > 0) m_pieces->Maintain();
                PeriodicSave();
            }
        }

        if (StopRequested()) break;
        lastPass = Tick();

        if (std::llabs(lastPass - lastSourceRefresh) >= timings.sourceRefreshSeconds) {
            SourceRefresh();
            lastSourceRefresh = lastPass;
        }

        if (StopRequested()) break;
        // Start timeout: no size learnt, or (with the size known from the
        // metainfo) not one byte from any source in this run, unless the
        // task is complete and seeding. Without the
        // second rule a task whose every server and peer is unreachable
        // would wait forever.
        // A seed (complete from the start) receives nothing by design.
        if (runSeconds() > m_settings.startTimeoutSeconds && !IsDownloadComplete() &&
            (!SizeKnown() || m_payloadBytes == payloadAtStart)) {
            timedOut = true;
            break;
        }

        if (StopRequested()) break;
        if (CompletionCheck(0)) break;
        if (StopRequested()) break;

        if (WorkingSmoothedSpeed() == 0 && runSeconds() > timings.noSourceSeconds &&
            ((!m_isP2SP && !m_isBitTorrent) || !HasMetainfo()) && CandidateCount() == 0) {
            noSource = true;
            RearmSourceList();
            break;
        }

        if (StopRequested()) break;
        PieceMaintenance();
        TrimPools(false);
        if (maintenance % 4 == 0) {
            MarkPieceMapChanged();
            if (IsDownloadComplete()) PruneReturnedBlocks();
        }
        ++maintenance;

        if (StopRequested()) break;
        ReloadMetainfoIfFlagged();

        if (StopRequested()) break;
        if (std::llabs(lastPass - lastLanPass) >= timings.lanPassSeconds) {
            lastLanPass = lastPass;
            LanDiscoveryPass();
        }
    }

    if (!m_completed) CompletionCheck(static_cast<int64_t>(WallSeconds()));
    if (m_saves > 0) {
        EngineLog::Printf(23, "%s: resume data saved %u times, %.1f ms in all",
                          m_targetFile.c_str(), m_saves, static_cast<double>(m_saveMicros) / 1000);
    }
    RearmSourceList();
    const bool keepInfoFile = !m_completed;
    Reset(false, false);
    if (keepInfoFile) {
        SaveInfoFile();
    } else if (!m_infoFilePath.empty()) {
        unlink(m_infoFilePath.c_str());
    }
    {
        QGuard guard(m_lock);
        m_working.state = TaskStatus::kIdle;
        if (!m_completed) {
            if (noSource) {
                m_working.statusCode = kTaskStatusNoSource;
            } else if (timedOut) {
                m_working.statusCode = kTaskStatusStartTimeout;
            }
        }
        Publish(true, false);
    }
    Reset(false, false);
    TrimPools(true);
}

void TWorkThread::PeriodicSave() {
    const int64_t now = TaskClock();
    const int64_t since = now - m_lastSave;
    // Verified pieces that reached the disk are worth a save as soon as a
    // second has passed: a crash then costs at most what is still in memory.
    const int32_t have = m_pieces != nullptr ? m_pieces->HaveCount() : 0;
    const bool newPieces = have != m_savedHaveCount;
    if (since < GetEngineTimings().resumeSaveSeconds && !m_saveRequest &&
        !(newPieces && since >= 1))
        return;
    m_lastSave = now;
    m_saveRequest = false;
    m_tickSleepMs = m_tickSleepMs / 2 + 1;
    if (m_pieces == nullptr) return;
    const auto started = std::chrono::steady_clock::now();
    m_savedHaveCount = have;
    if (!IsDownloadComplete()) {
        m_pieces->MakeResumeData();
        CompletionCheck(0);
    } else {
        FinishDownload();
    }
    if (m_completed) {
        if (!m_infoFilePath.empty()) unlink(m_infoFilePath.c_str());
    } else {
        SaveInfoFile();
    }
    ++m_saves;
    m_saveMicros += static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                              std::chrono::steady_clock::now() - started)
                                              .count());
}

void TWorkThread::TrimPools(bool /*endOfRun*/) {
    // The buffer pools belong to the piece store; nothing is pooled before
    // a piece map exists.
}

int64_t TWorkThread::Tick() {
    ServeDataReads();
    SourcePass();
    if (m_working.pieceCount > 0 && m_working.piecesDone >= m_working.pieceCount &&
        OnlyTrackersFor(TickCountMs(), 60000)) {
        SleepMs(200);
    }
    if (TakePublishRequest()) {
        QGuard guard(m_lock, false);
        if (guard.TryLock()) {
            Publish(true, false);
            RefreshFromPieces();
        }
    } else if (m_pieceMapChanged && TickCountMs() - m_lastPieceMapMs >= kPieceMapPublishMs) {
        // Pieces that reached the disk are shown at once, not at the next
        // second: readers of the piece map follow the download with them.
        QGuard guard(m_lock, false);
        if (guard.TryLock()) {
            m_lastPieceMapMs = TickCountMs();
            PublishPieceData(false);
        }
    }
    if (StatisticsDue()) StatisticsStep();
    ++m_tickCounter;
    if (!m_comeBack) SleepMs(TickSleepMs());
    return TaskClock();
}

int32_t TWorkThread::WorkingSmoothedSpeed() {
    QGuard guard(m_lock);
    return m_working.smoothedSpeed;
}

bool TWorkThread::CompletionCheck(int64_t t) {
    if (t == 0) t = static_cast<int64_t>(WallSeconds());
    auto allDone = [this] {
        QGuard guard(m_lock);
        return m_working.pieceCount > 0 && m_working.piecesDone >= m_working.pieceCount;
    };
    bool done = allDone();
    if (done) {
        bool firstTime;
        {
            QGuard guard(m_lock);
            firstTime = m_working.completionTime == 0;
            if (firstTime) m_working.completionTime = t;
        }
        if (firstTime) {
            if (m_working.state != TaskStatus::kFetchingMetainfoHttp) {
                FinishDownload();
                if (allDone()) {
                    m_completed = true;
                    // The application learns of the completion now, not
                    // at the next periodic publication.
                    Publish(true, true);
                }
            }
        }
        if (t > 0 && allDone()) {
            QGuard guard(m_lock);
            if (m_settings.seedHours > 0 &&
                (t - m_working.completionTime) / 3600 >= m_settings.seedHours) {
                m_working.holdAfterComplete = 0;
                return true;
            }
        }
        return false;
    }
    QGuard guard(m_lock);
    m_working.completionTime = 0;
    return false;
}

void TWorkThread::Publish(bool now, bool force) {
    QGuard guard(m_lock, false);
    if (force) {
        guard.Lock();
    } else if (!guard.TryLock()) {
        return;
    }
    if (now) {
        m_working.connectedPeers = static_cast<uint32_t>(ActiveSourceCount());
        m_working.connectedBtPeers = static_cast<uint32_t>(ConnectedBitTorrentPeers());
    }
    m_working.uploadedPayload = static_cast<int64_t>(m_uploadedBytes);
    PublishPieceData(force);
    m_published = m_working;
    m_publishedHttpBytes = m_httpBytes;
    m_publishedBtBytes = m_btBytes;
    m_lastPublication = TaskClock();
}

int TWorkThread::LoadInfoFile() {
    QGuard guard(m_lock);
    if (m_infoFilePath.empty()) return 0;
    InfoFileData data;
    if (lf::LoadInfoFile(m_infoFilePath, data)) {
        if (data.bits.size() > 2) m_infoValues[kBits] = data.bits;
        if (data.part.size() > 2) m_infoValues[kPart] = data.part;
        if (data.seeds.size() > 2) m_infoValues[kSeeds] = data.seeds;
        if (data.torrent.size() > 2) m_infoValues[kTorrent] = data.torrent;
    }
    m_infoDirty.fill(0);
    return 1;
}

int TWorkThread::SaveInfoFile() {
    QGuard guard(m_lock);
    if (m_infoFilePath.empty()) return 0;
    bool dirty = false;
    for (uint8_t d : m_infoDirty) dirty = dirty || d != 0;
    if (!dirty) return 1;
    InfoFileData data{m_infoValues[kBits], m_infoValues[kPart], m_infoValues[kSeeds],
                      m_infoValues[kTorrent]};
    if (!lf::SaveInfoFile(m_infoFilePath, data)) return 0;
    m_infoDirty.fill(0);
    return 1;
}

int TWorkThread::RestartFromScratch() {
    EngineLog::Write(2, "Download Restarted..");
    if (!StopAndWait()) return kEngineFailed;
    std::string first = FileText(0, 3);
    if (!first.empty()) {
        unlink(first.c_str());
        unlink((first + ".lftmp").c_str());
        unlink((first + ".lfinfo").c_str());
        unlink((first + ".lfinfodf").c_str());
    }
    if (!m_infoFilePath.empty()) unlink(m_infoFilePath.c_str());
    {
        QGuard guard(m_lock);
        m_working.Reset();
        m_published.Reset();
    }
    Reset(true, true);
    return StartAgain();
}

void TWorkThread::Reset(bool clearFileList, bool clearAll) {
    TWorkWithTransStatis::Reset(clearFileList, clearAll);
    m_completed = m_completed && !clearAll;
}

}  // namespace lf
