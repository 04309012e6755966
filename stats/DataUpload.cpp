#include "stats/DataUpload.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <vector>

#include "engine/log/LogApi.h"
#include "stats/DataStatistics.h"

namespace {

std::string Text(const char* s) {
    return s ? std::string(s) : std::string();
}

}  // namespace

DataUpload::DataUpload(CDataStatisticsImp* component) : m_component(component) {}

DataUpload::~DataUpload() {
    Stop();
}

bool DataUpload::Start(const char* configPath, const char* gameId, const char* appVersion,
                       const char* gameVersion, const char* channel) {
    if (IsRunning()) return false;
    if (m_component != nullptr && configPath != nullptr && *configPath != 0) {
        m_component->SetConfigurationPath(configPath);
        m_enabled = true;
    }
    if (gameId && appVersion && gameVersion && channel) {
        m_identity = lfstats::UploadIdentity{gameId, appVersion, gameVersion, channel};
    }
    return lf::QThread::Start(kThreadName);
}

void DataUpload::Stop() {
    StopAndWait();
}

bool DataUpload::CanSend() const {
    return m_component != nullptr && m_enabled && m_identity.Complete();
}

void DataUpload::Report(const char* code, const lfstats::UploadFigures& figures, uint32_t value) {
    if (!IsRunning()) return;
    lf::EngineLog::Printf(kLogChannel, "%s", code ? code : "");
    try {
        lf::QGuard guard(Mutex());
        const lfstats::UploadDeltas deltas = m_deltas.Next(figures);
        if (!CanSend()) return;
        UploadRecord record{Text(code), lfstats::BuildUploadBody(m_identity, figures, deltas),
                            value};
        m_queue.push_back(std::move(record));
    } catch (...) {
        // The event is lost; reporting never fails visibly.
    }
}

std::string DataUpload::MachineCode() const {
    if (m_component == nullptr || !m_enabled) return {};
    return m_component->MachineCode();
}

void DataUpload::SendRecord(const UploadRecord& record) {
    char prefix[48];
    std::snprintf(prefix, sizeof prefix, "TID : %5lu] [",
                  static_cast<unsigned long>(lf::CurrentThreadId()));
    if (!CanSend()) return;
    try {
        if (record.code.empty() || record.body.empty()) {
            lf::EngineLog::Printf(kLogChannel, "%sData Upload Failed with Empty Code Or Body", prefix);
            return;
        }
        ++m_sentCount;
        m_component->QueueEvent(record.code.c_str(), record.body.c_str(), record.value);
    } catch (...) {
        const unsigned long error = static_cast<unsigned long>(errno);
        char tail[64];
        std::snprintf(tail, sizeof tail, ")ErrorCode : (%lu)", error);
        std::string line = std::string(prefix) + "A exception catched in dataupload" + "CODE : (" +
                           record.code + tail;
        if (line.size() >= 4096) line = std::string(prefix) + "A exception catched in AddData";
        lf::EngineLog::Write(kLogChannel, line.c_str());
    }
}

void DataUpload::WaitForNextPass() {
    constexpr auto kSlice = std::chrono::milliseconds(100);
    for (auto waited = std::chrono::milliseconds(0); waited < kPassInterval; waited += kSlice) {
        if (StopRequested()) return;
        lf::SleepMs(static_cast<int>(kSlice.count()));
    }
}

void DataUpload::Run() {
    for (;;) {
        std::deque<UploadRecord> batch;
        {
            lf::QGuard guard(Mutex());
            if (m_queue.empty()) {
                if (StopRequested()) break;
            } else {
                batch.swap(m_queue);
            }
        }
        // Sending happens outside the lock so that reports never wait for
        // the network. The component accepts at most a full batch between
        // two flushes, so a long run is flushed in parts.
        for (const UploadRecord& record : batch) {
            SendRecord(record);
            if (m_sentCount >= CDataStatisticsImp::kEventsPerFlush) {
                m_component->FlushEvents();
                m_sentCount = 0;
            }
        }
        if (m_sentCount > 0) {
            m_component->FlushEvents();
            m_sentCount = 0;
        }
        WaitForNextPass();
    }
}

// ---------------------------------------------------------------- process-wide

namespace {

std::mutex g_lock;  // guards the two values below
std::shared_ptr<DataUpload> g_upload;
std::string g_machineCode;

std::shared_ptr<DataUpload> CurrentUpload() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_upload;
}

}  // namespace

void CollectDataUploadWith(CDataStatisticsImp* component, const char* configPath,
                           const char* gameId, const char* appVersion, const char* gameVersion,
                           const char* channel) {
    StopDataUpload();
    auto upload = std::make_shared<DataUpload>(component);
    upload->Start(configPath, gameId, appVersion, gameVersion, channel);
    std::string code = upload->MachineCode();
    std::lock_guard<std::mutex> guard(g_lock);
    g_upload = std::move(upload);
    g_machineCode = std::move(code);
}

void CollectDataUpload(const char* configPath, const char* gameId, const char* appVersion,
                       const char* gameVersion, const char* channel) {
    CollectDataUploadWith(CDataStatisticsImp::CreateInstance(CDataStatisticsImp::kClassId),
                          configPath, gameId, appVersion, gameVersion, channel);
}

void ReportData(const char* code, const char* serverAddress, const char* httpResult,
                uint32_t totalTime, uint64_t totalBytes, uint64_t averageSpeed,
                const char* progress, uint64_t httpTotalBytes, uint64_t httpAverageSpeed,
                uint64_t p2pTotalBytes, uint64_t p2pAverageSpeed, uint32_t corruptPackageId,
                const char* fileName, const char* url, const char* errorMessage, uint32_t value) {
    std::shared_ptr<DataUpload> upload = CurrentUpload();
    if (!upload) return;
    try {
        lfstats::UploadFigures f;
        f.serverAddress = Text(serverAddress);
        f.httpResult = Text(httpResult);
        f.totalTime = totalTime;
        f.totalBytes = totalBytes;
        f.averageSpeed = averageSpeed;
        f.progress = Text(progress);
        f.httpTotalBytes = httpTotalBytes;
        f.httpAverageSpeed = httpAverageSpeed;
        f.p2pTotalBytes = p2pTotalBytes;
        f.p2pAverageSpeed = p2pAverageSpeed;
        f.corruptPackageId = corruptPackageId;
        f.fileName = Text(fileName);
        f.url = Text(url);
        f.errorMessage = Text(errorMessage);
        upload->Report(code, f, value);
    } catch (...) {
    }
}

void ReportEvent(const char* code, const char* errorMessage, uint32_t value) {
    ReportData(code, "", "", 0, 0, 0, "", 0, 0, 0, 0, 0, "", "", errorMessage, value);
}

void ReportFileEvent(const char* code, const char* fileName, const char* errorMessage) {
    ReportData(code, "", "", 0, 0, 0, "", 0, 0, 0, 0, 0, fileName, "", errorMessage, 0);
}

void StopDataUpload() {
    std::shared_ptr<DataUpload> upload;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        upload.swap(g_upload);
        g_machineCode.clear();
    }
    if (upload) upload->Stop();
}

std::string DataUploadMachineCode() {
    std::shared_ptr<DataUpload> upload;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (!g_machineCode.empty() || !g_upload) return g_machineCode;
        upload = g_upload;
    }
    std::string code = upload->MachineCode();
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_upload == upload) g_machineCode = code;
    return code;
}
