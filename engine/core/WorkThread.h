// TWorkThread: the top layer of a work object. It adds the task's thread
// body (load the info file, prepare, then one pass after another until the
// download completes, a stop is requested or the task gives up), the start,
// stop, pause and restart operations, and publication of its status.
#pragma once

#include <cstdint>

#include "engine/core/WorkWithTransStatis.h"

namespace lf {

class TWorkThread : public TWorkWithTransStatis {
public:
    TWorkThread();
    ~TWorkThread() override;

    void Run() override;
    int StartDownload() override;
    // Loads the info file, then starts the thread as "ContinueDownload".
    int ContinueDownload() override;
    int RestartFromScratch() override;
    int64_t Tick() override;
    void Publish(bool now, bool force) override;
    void Reset(bool clearFileList, bool clearAll) override;

    // Info file: load (1 when done) and save (1 when nothing to do or written).
    int LoadInfoFile();
    int SaveInfoFile();

    // Completion check at time t (0 = the cached clock now).
    bool CompletionCheck(int64_t t);

    int64_t SizeOnDisk() const { return m_sizeOnDisk; }

private:
    void LoopBody();
    void ClearEndCode();
    bool Prepare();
    void TrimPools(bool endOfRun);
    void PeriodicSave() override;
    int32_t WorkingSmoothedSpeed();

    int64_t m_sizeOnDisk = 0;
    uint32_t m_tickCounter = 0;
    uint32_t m_lastPieceMapMs = 0;  // tick count of the last publication of the piece map
    int64_t m_lastPublication = 0;
    bool m_completed = false;
    int32_t m_savedHaveCount = -1;  // pieces present at the last resume save
    uint32_t m_saves = 0;           // resume saves of this run and their cost
    uint64_t m_saveMicros = 0;
};

}  // namespace lf
