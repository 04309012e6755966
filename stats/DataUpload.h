// DataUpload: the engine side of statistics reporting. Report functions turn
// an event code and a set of figures into a body fragment and queue it; a
// worker thread hands the queued events to the statistics component once a
// second and asks it to send them. Reporting never blocks on the network and
// never fails visibly.
//
// The engine interface exposes the flat functions at the end of this file;
// the application calls CollectDataUpload at start-up, the report functions
// for its events, and StopDataUpload (through CloseEngineLog) at exit.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "engine/base/QThread.h"
#include "stats/StatsFormat.h"

class CDataStatisticsImp;

// One queued event: code, body fragment and the value passed to the
// statistics component as its flags.
struct UploadRecord {
    std::string code;
    std::string body;
    uint32_t value = 0;
};

class DataUpload : public lf::QThread {
public:
    static constexpr std::chrono::milliseconds kPassInterval{1000};
    // Name of the worker thread (cut to 15 characters by the system).
    static constexpr const char kThreadName[] = "CollectDataUpload";
    // Log channel of the upload.
    static constexpr int kLogChannel = 28;

    // component may be null: statistics are then off and reports are dropped.
    explicit DataUpload(CDataStatisticsImp* component);
    ~DataUpload();
    DataUpload(const DataUpload&) = delete;
    DataUpload& operator=(const DataUpload&) = delete;

    // Hands the configuration path to the component (the upload is enabled
    // when a component exists and a path is given), keeps the identity
    // strings when all four are given, and starts the worker thread. false
    // when the thread could not start.
    bool Start(const char* configPath, const char* gameId, const char* appVersion,
               const char* gameVersion, const char* channel);
    // Asks the thread to end and waits for it: records queued before the
    // call are handed over in a last pass; later reports are dropped.
    void Stop();

    bool Enabled() const { return m_enabled; }

    // Builds and queues one event (dropped when statistics are off or the
    // thread is not running).
    void Report(const char* code, const lfstats::UploadFigures& figures, uint32_t value);

    // The machine code of the component; empty while statistics are off.
    std::string MachineCode() const;

    // The thread body: one pass a second.
    void Run() override;

private:
    void SendRecord(const UploadRecord& record);
    bool CanSend() const;
    // Sleeps one pass interval; ends early when a stop is requested.
    void WaitForNextPass();

    CDataStatisticsImp* const m_component;
    bool m_enabled = false;
    lfstats::UploadIdentity m_identity;
    int m_sentCount = 0;  // worker thread only

    // The queue and the delta state are guarded by the thread object's lock
    // (QThread::Mutex()).
    std::deque<UploadRecord> m_queue;
    lfstats::UploadDeltaState m_deltas;
};

// ---- process-wide interface ----

// Creates the process-wide upload with the process-wide statistics component
// and starts it. A running upload is stopped and replaced.
void CollectDataUpload(const char* configPath, const char* gameId, const char* appVersion,
                       const char* gameVersion, const char* channel);
// The same with a given component (null: statistics absent).
void CollectDataUploadWith(CDataStatisticsImp* component, const char* configPath,
                           const char* gameId, const char* appVersion, const char* gameVersion,
                           const char* channel);

// The full report.
void ReportData(const char* code, const char* serverAddress, const char* httpResult,
                uint32_t totalTime, uint64_t totalBytes, uint64_t averageSpeed,
                const char* progress, uint64_t httpTotalBytes, uint64_t httpAverageSpeed,
                uint64_t p2pTotalBytes, uint64_t p2pAverageSpeed, uint32_t corruptPackageId,
                const char* fileName, const char* url, const char* errorMessage, uint32_t value);
// ReportData with every other text empty and every number 0.
void ReportEvent(const char* code, const char* errorMessage, uint32_t value);
// ReportData with every other text empty, every number 0 and value 0.
void ReportFileEvent(const char* code, const char* fileName, const char* errorMessage);

// Stops the upload thread and deletes the object (called by CloseEngineLog).
void StopDataUpload();

// The machine code for message boxes: taken from the statistics component
// when the upload starts and again on each call that finds it empty; empty
// while statistics are off.
std::string DataUploadMachineCode();
