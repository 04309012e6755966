#include "engine/core/BaseWork.h"

#include <strings.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "engine/base/TimeThread.h"
#include "engine/core/EngineSettings.h"
#include "engine/core/LanternfishCore.h"
#include "engine/net/HalfOpen.h"

namespace lf {

namespace {

CLanternfishCore& Core() {
    return CLanternfishCore::Instance();
}

}  // namespace

QTMutex& TBaseWork::TaskListLock() {
    return Core().TaskListLock();
}

std::array<uint8_t, 16> TBaseWork::ProcessId() {
    return Core().ProcessId();
}

std::array<uint8_t, 8> TBaseWork::MachineId() {
    return Core().MachineId();
}

TBaseWork::TBaseWork() : m_random(std::random_device{}()) {
    m_settings.startTimeoutSeconds = Core().Timings().startTimeoutSeconds;
    Register();
}

TBaseWork::~TBaseWork() {
    Unregister();
}

void TBaseWork::Register() {
    QGuard guard(TaskListLock());
    auto& tasks = Core().tasks;
    if (std::find(tasks.begin(), tasks.end(), this) != tasks.end()) return;
    const bool first = tasks.empty();
    tasks.push_back(this);
    if (first) Core().StartSharedServices();
}

void TBaseWork::Unregister() {
    QGuard guard(TaskListLock());
    auto& r = Core();
    auto it = std::find(r.tasks.begin(), r.tasks.end(), this);
    if (it == r.tasks.end()) return;
    r.tasks.erase(it);
    r.bandwidth.erase(std::remove(r.bandwidth.begin(), r.bandwidth.end(), this), r.bandwidth.end());
    if (r.tasks.empty()) Core().StopSharedServices();
}

std::vector<TBaseWork*> TBaseWork::TaskListSnapshot() {
    QGuard guard(TaskListLock());
    return Core().tasks;
}

bool TBaseWork::IsLiveTask(const void* handle) {
    if (handle == nullptr) return false;
    QGuard guard(TaskListLock());
    for (TBaseWork* t : Core().tasks) {
        if (static_cast<const void*>(t) == handle) return true;
    }
    return false;
}

TBaseWork* TBaseWork::TakeFirstTask() {
    QGuard guard(TaskListLock());
    auto& tasks = Core().tasks;
    if (tasks.empty()) return nullptr;
    TBaseWork* t = tasks.front();
    tasks.erase(tasks.begin());
    if (tasks.empty()) Core().StopSharedServices();
    return t;
}

void TBaseWork::ClearRegistries() {
    QGuard guard(TaskListLock());
    auto& r = Core();
    r.infoHashes.clear();
    r.tasks.clear();
    r.bandwidth.clear();
}

std::vector<std::string> SplitTextLines(const char* text) {
    std::vector<std::string> out;
    if (text == nullptr) return out;
    const char* p = text;
    const char* line = p;
    while (*p != 0) {
        if (*p == '\r' || *p == '\n') {
            out.emplace_back(line, p);
            if (*p == '\r' && p[1] == '\n') ++p;
            ++p;
            line = p;
        } else {
            ++p;
        }
    }
    if (p > line) out.emplace_back(line, p);
    return out;
}

void TBaseWork::SetSources(const char* text) {
    m_sourceList.clear();
    auto isTrim = [](unsigned char c) { return c >= 0x01 && c <= 0x20; };
    for (const std::string& raw : SplitTextLines(text)) {
        size_t b = 0, e = raw.size();
        while (b < e && isTrim(static_cast<unsigned char>(raw[b]))) ++b;
        while (e > b && isTrim(static_cast<unsigned char>(raw[e - 1]))) --e;
        m_sourceList.push_back(SourceEntry{raw.substr(b, e - b), 0});
    }
}

void TBaseWork::RearmSourceList() {
    const bool hasMeta = HasMetainfo();
    QGuard guard(m_lock);
    for (auto& e : m_sourceList) {
        if (e.state == 17 && !hasMeta) e.state = 1;
        if (e.state == 16) e.state = 0;
    }
}

bool TBaseWork::DuplicateOf(TBaseWork& existing) {
    QGuard guard(existing.m_lock);
    if (m_targetIsFile && existing.m_targetIsFile && m_targetFile == existing.m_targetFile)
        return true;
    if ((m_isP2SP || m_isBitTorrent) && (existing.m_isP2SP || existing.m_isBitTorrent) &&
        m_locator == existing.m_locator) {
        return true;
    }
    if (m_sourceList.empty()) return false;
    size_t found = 0;
    for (const auto& mine : m_sourceList) {
        if (mine.text.empty()) continue;
        for (const auto& theirs : existing.m_sourceList) {
            bool equal = existing.m_sourceListCaseInsensitive
                             ? strcasecmp(mine.text.c_str(), theirs.text.c_str()) == 0
                             : mine.text == theirs.text;
            if (equal) {
                ++found;
                break;
            }
        }
    }
    return found > 0 && m_sourceList.size() / found <= 2;
}

void TBaseWork::SetInfoValue(InfoKey key, std::string bytes) {
    m_infoValues[key] = std::move(bytes);
    m_infoDirty[key] = 1;
}

int TBaseWork::StopDownload() {
    return StopAndWait() ? 0 : kEngineFailed;
}

int TBaseWork::PauseDownload() {
    if (!IsRunning()) return kEngineFailed;
    Pause(true);
    return 0;
}

void TBaseWork::PublishedProgress(int64_t* downloaded, int64_t* total) {
    QGuard guard(m_lock);
    *downloaded = m_published.downloadedBytes;
    *total = m_published.totalBytes;
}

void TBaseWork::QueryMetainfo(TaskMetainfoRecord* record) {
    QGuard guard(m_lock);
    std::memset(record, 0, sizeof(*record));
    record->totalBytesLow = static_cast<uint32_t>(m_published.totalBytes);
    record->pieceLength = m_published.pieceLength;
    std::snprintf(record->infoHashText, sizeof(record->infoHashText), "%s",
                  m_published.infoHashText.c_str());
    std::snprintf(record->announce, sizeof(record->announce), "%s", m_published.announce.c_str());
}

std::string TBaseWork::ErrorText() {
    QGuard guard(m_lock);
    return m_published.errorText;
}

void TBaseWork::QueryTaskInfo(TaskInfo* info) {
    QGuard guard(m_lock);
    std::memset(info, 0, sizeof(*info));
    const TaskStatus& s = m_published;
    size_t n = std::min(s.name.size(), sizeof(info->name) - 1);
    std::memcpy(info->name, s.name.data(), n);
    if (s.totalBytes > 0) {
        info->progress = static_cast<uint32_t>(s.downloadedBytes * 10000 / s.totalBytes);
    }
    info->status = info->progress >= 10000 ? kTaskStatusComplete : s.statusCode;
    info->speed = s.smoothedSpeed;
    info->remainingSeconds = s.remainingSeconds;
    info->totalKiB = static_cast<int32_t>(s.totalBytes / 1024);
    info->downloadedBytes = static_cast<uint64_t>(s.downloadedBytes);
    info->heldBytes = static_cast<uint64_t>(std::max(s.heldBytes, s.downloadedBytes));
    info->httpBytes = m_publishedHttpBytes;
    info->btBytes = m_publishedBtBytes;
}

void TBaseWork::QueryTaskInfoEx(TaskInfoEx* info) {
    QueryTaskInfo(&info->info);
    QGuard guard(m_lock);
    info->sizeOnDisk = 0;
    info->pieceCount = m_published.pieceCount;
    uint32_t start = StartTime();
    info->runSeconds = start != 0 ? CachedSeconds() - start : 0;
    info->connectedPeers = m_published.connectedPeers;
    info->activeSources = m_published.activeSources;
    info->connectedBtPeers = m_published.connectedBtPeers;
    info->uploadedBytes = static_cast<uint64_t>(m_published.uploadedPayload);
}

bool TBaseWork::IsComplete() {
    int64_t downloaded, total;
    PublishedProgress(&downloaded, &total);
    return total > 0 && downloaded * 10000 / total > 9999;
}

int32_t TBaseWork::RemainingSeconds() {
    QGuard guard(m_lock);
    return m_published.remainingSeconds;
}

int32_t TBaseWork::AverageSpeed() {
    QGuard guard(m_lock);
    return m_published.averageDownSpeed;
}

int32_t TBaseWork::SmoothedSpeed() {
    QGuard guard(m_lock);
    return m_published.smoothedSpeed;
}

void TBaseWork::AppendNote(const char* line) {
    QGuard guard(m_lock);
    if (!m_notes.empty()) m_notes += "\r\n";
    m_notes += line != nullptr ? line : "";
}

void TBaseWork::Reset(bool /*clearFileList*/, bool /*clearAll*/) {}

}  // namespace lf
