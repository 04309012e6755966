#include "engine/core/LanternfishCore.h"

#include <uuid/uuid.h>

#include <cstring>

#include "engine/base/TimeThread.h"
#include "engine/core/EngineApi.h"
#include "engine/core/EngineTypes.h"
#include "stats/DataUpload.h"

namespace lf {

CLanternfishCore& CLanternfishCore::Instance() {
    static CLanternfishCore core;
    return core;
}

CLanternfishCore::CLanternfishCore() {
    SetTimings(EngineTimings());
    machineCodeProvider.store(&DataUploadMachineCode);
}

CLanternfishCore::~CLanternfishCore() {
    EngineShutdown();
}

std::string CLanternfishCore::StartupFolder() const {
    std::lock_guard<std::mutex> guard(m_folderLock);
    return m_startupFolder;
}

void CLanternfishCore::SetStartupFolder(const char* folder) {
    std::lock_guard<std::mutex> guard(m_folderLock);
    m_startupFolder =
        folder != nullptr ? std::string(folder).substr(0, kEnginePathBytes - 1) : std::string();
}

EngineTimings CLanternfishCore::Timings() const {
    EngineTimings t;
    t.sourceRefreshSeconds = m_timings.sourceRefreshSeconds.load();
    t.noSourceSeconds = m_timings.noSourceSeconds.load();
    t.startTimeoutSeconds = m_timings.startTimeoutSeconds.load();
    t.lanPassSeconds = m_timings.lanPassSeconds.load();
    t.resumeSaveSeconds = m_timings.resumeSaveSeconds.load();
    t.stallStopSeconds = m_timings.stallStopSeconds.load();
    t.httpHeadSeconds = m_timings.httpHeadSeconds.load();
    t.httpBodySeconds = m_timings.httpBodySeconds.load();
    return t;
}

void CLanternfishCore::SetTimings(const EngineTimings& t) {
    m_timings.sourceRefreshSeconds.store(t.sourceRefreshSeconds);
    m_timings.noSourceSeconds.store(t.noSourceSeconds);
    m_timings.startTimeoutSeconds.store(t.startTimeoutSeconds);
    m_timings.lanPassSeconds.store(t.lanPassSeconds);
    m_timings.resumeSaveSeconds.store(t.resumeSaveSeconds);
    m_timings.stallStopSeconds.store(t.stallStopSeconds);
    m_timings.httpHeadSeconds.store(t.httpHeadSeconds);
    m_timings.httpBodySeconds.store(t.httpBodySeconds);
}

std::array<uint8_t, 8> CLanternfishCore::MachineId() {
    std::call_once(m_machineIdOnce, [this] {
        uuid_t id;
        uuid_generate(id);
        std::memcpy(m_machineId.data(), id, 8);
        uint32_t first;
        std::memcpy(&first, m_machineId.data(), 4);
        if (first == 0) {
            first = 1;
            std::memcpy(m_machineId.data(), &first, 4);
        }
    });
    return m_machineId;
}

void CLanternfishCore::StartSharedServices() {
    EnsureTimeThread();
    MachineId();
    // The UDP service and the DHT node are not part of this engine build:
    // with the DHT switch off nothing else starts here.
    const int32_t setting = halfOpenLimitSetting.load();
    m_halfOpen.SetLimit(setting > 0 ? setting : HalfOpenLimitFromProbe(ProbeHalfOpenLimit()));
}

void CLanternfishCore::StopSharedServices() {
    // The shared listener, pending connections and UDP transport have their
    // seats above; nothing fills them in this build.
}

std::string CLanternfishCore::MachineCode() const {
    std::lock_guard<std::mutex> guard(m_machineCodeLock);
    return m_machineCode;
}

void CLanternfishCore::OfferMachineCode(const std::string& code) {
    std::lock_guard<std::mutex> guard(m_machineCodeLock);
    if (m_machineCode.empty()) m_machineCode = code;
}

}  // namespace lf
