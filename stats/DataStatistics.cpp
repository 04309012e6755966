#include "stats/DataStatistics.h"

#include <json/writer.h>
#include <strings.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <cstdio>

#include "stats/MachineIdentity.h"
#include "stats/StatsConfig.h"
#include "stats/StatsFormat.h"
#include "stats/StatsTransport.h"

using namespace lfstats;

namespace {

// Compact JSON with members in ascending key order and a line feed at the
// end, as the server expects.
std::string WriteCompact(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["commentStyle"] = "None";
    return Json::writeString(builder, value) + "\n";
}

std::string NewRunId() {
    uuid_t id;
    uuid_generate(id);
    const uint32_t first = (static_cast<uint32_t>(id[0]) << 24) |
                           (static_cast<uint32_t>(id[1]) << 16) |
                           (static_cast<uint32_t>(id[2]) << 8) | id[3];
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08X", first);
    return buf;
}

bool FileExists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

}  // namespace

CDataStatisticsImp* CDataStatisticsImp::CreateInstance(const char* classId) {
    if (classId == nullptr || ::strcasecmp(classId, kClassId) != 0) return nullptr;
    static CDataStatisticsImp* instance = new CDataStatisticsImp();  // lives for the process
    return instance;
}

CDataStatisticsImp::CDataStatisticsImp() : m_runId(NewRunId()) {}

void CDataStatisticsImp::SetConfigurationPath(const char* path) {
    std::lock_guard<std::mutex> guard(m_settingsLock);
    m_configPath = path ? path : "";
}

std::string CDataStatisticsImp::ConfigurationPath() const {
    std::lock_guard<std::mutex> guard(m_settingsLock);
    return m_configPath;
}

std::string CDataStatisticsImp::ResolvedConfigurationPath() const {
    std::string path = ConfigurationPath();
    return path.empty() ? std::string(kDefaultConfigurationPath) : path;
}

void CDataStatisticsImp::SetSubmitTimeout(std::chrono::milliseconds timeout) {
    std::lock_guard<std::mutex> guard(m_settingsLock);
    m_submitTimeout = timeout;
}

void CDataStatisticsImp::SetSystemSources(const SystemSources& sources) {
    std::lock_guard<std::mutex> guard(m_settingsLock);
    m_sources = sources;
}

SystemSources CDataStatisticsImp::Sources() const {
    std::lock_guard<std::mutex> guard(m_settingsLock);
    return m_sources;
}

uint64_t CDataStatisticsImp::Sequence() const {
    std::lock_guard<std::mutex> guard(m_queueLock);
    return m_sequence;
}

int CDataStatisticsImp::QueueEvent(const char* code, const char* body, uint32_t flags) {
    try {
        std::lock_guard<std::mutex> guard(m_queueLock);
        ++m_count;  // refused calls count too
        if (code == nullptr || body == nullptr || *code == 0 || *body == 0) return kRefused;
        if (m_count > kEventsPerFlush) return kTooMany;
        IniDocument ini;
        const std::string path = ResolvedConfigurationPath();
        if (!FileExists(path) || !IniDocument::Load(path, &ini)) return kNoConfiguration;
        m_inputKeywords = SplitKeywords(ini.Get(kSectionSingle, kKeyInputKeywords));
        m_submitKeywords = SplitKeywords(ini.Get(kSectionSingle, kKeySubmitKeywords));
        const std::string_view text(body);
        for (const std::string& keyword : m_inputKeywords) {
            if (text.find(keyword) == std::string_view::npos) return kMissingKeyword;
        }
        m_queue.push_back(QueuedEvent{code, body, flags});
        return kQueued;
    } catch (...) {
        return kFailed;
    }
}

void CDataStatisticsImp::AddHardware(uint32_t flags, Json::Value& identity) {
    const SystemSources src = Sources();
    if (flags & kWithProcessor) {
        if (!m_processors) m_processors = DescribeProcessors(ReadProcessors(src));
        identity["CPU"] = *m_processors;
    }
    if (flags & kWithMemory) {
        if (!m_memory)
            m_memory.emplace(ReadTotalMemory(src), DescribeMemoryModules(ReadMemoryModules(src)));
        identity["Memory_Total_Capacity"] = Json::UInt64(m_memory->first);
        identity["Memory"] = m_memory->second;
    }
    if (flags & kWithVideo) {
        if (!m_video) m_video = DescribeVideoAdapters(ReadVideoAdapters(src));
        identity["Video_Card"] = *m_video;
    }
}

std::string CDataStatisticsImp::BuildBatchBody(const std::vector<std::string>& submitKeywords) {
    const std::string machId = MachId();
    const std::string mac = MacList();
    const std::string os = OsCode();
    Json::Value batch(Json::arrayValue);
    for (const QueuedEvent& event : m_queue) {
        Json::Value identity(Json::objectValue);
        AddHardware(event.flags, identity);
        identity["MachId"] = machId;
        identity["Mac"] = mac;
        identity["OS"] = os;
        identity["Sessionid"] = m_runId;
        identity["Sequence"] = Json::UInt64(m_sequence);
        // {identity}\n followed by the event's own members, all in one pair
        // of braces: the layout the server reads.
        const std::string info = "{" + WriteCompact(identity) + event.body + "}";
        bool complete = true;
        for (const std::string& keyword : submitKeywords) {
            if (info.find(keyword) == std::string::npos) complete = false;
        }
        if (complete) {
            Json::Value element(Json::objectValue);
            element["code"] = event.code;
            element["info"] = info;
            batch.append(element);
        } else {
            batch.append(Json::Value());
        }
        ++m_sequence;
    }
    return "data=" + FormEncode(WriteCompact(batch));
}

std::string CDataStatisticsImp::BuildBatchBodyForTest() {
    std::lock_guard<std::mutex> guard(m_queueLock);
    return BuildBatchBody(m_submitKeywords);
}

int CDataStatisticsImp::FlushEvents() {
    std::lock_guard<std::mutex> guard(m_queueLock);
    int result = kRefused;
    try {
        if (m_queue.empty()) {
            m_count = 0;
            return kRefused;
        }
        std::string body;
        try {
            body = BuildBatchBody(m_submitKeywords);
        } catch (...) {
            body.clear();
        }
        if (body.empty()) {
            result = kNotBuilt;
        } else {
            IniDocument ini;
            IniDocument::Load(ResolvedConfigurationPath(), &ini);
            m_submitUrls = ReadSubmitUrls(ini, kSectionSeveral);
            std::chrono::milliseconds timeout;
            {
                std::lock_guard<std::mutex> settings(m_settingsLock);
                timeout = m_submitTimeout;
            }
            for (const std::string& url : m_submitUrls) {
                PostResult post = PostForm(url, body, timeout);
                ++m_submitAttempts;
                if (post.transferred && IsAcceptedResponse(post.response)) {
                    result = kAccepted;
                    break;
                }
            }
        }
    } catch (...) {
        result = kFailed;
    }
    m_queue.clear();
    m_count = 0;
    return result;
}

std::string CDataStatisticsImp::MachId() const {
    const SystemSources src = Sources();
    std::vector<MacAddress> macs;
    MacAddress first{};
    if (ReadAdapterMacs(src, &macs) && !macs.empty()) first = macs.front();
    return ComputeMachId(first, ReadVolumeSerial(src));
}

std::string CDataStatisticsImp::MachineCode() const {
    try {
        return FormatMachineCode(MachId());
    } catch (...) {
        return {};
    }
}

int CDataStatisticsImp::GetMachineCode(char* buffer, size_t size) const {
    return CopyText(MachineCode(), buffer, size);
}

std::string CDataStatisticsImp::MacList() const {
    std::vector<MacAddress> macs;
    if (!ReadAdapterMacs(Sources(), &macs)) return "0";
    return FormatMacList(macs);
}

std::string CDataStatisticsImp::OsCode() const {
    // Linux has no Windows version or service pack: the code names the
    // "Other" family. The narrow code page is UTF-8.
    const std::string machine = MachineName(Sources());
    const bool native64 = machine.find("64") != std::string::npos || machine == "s390x";
    return FormatOsCode("", 0, native64, 65001);
}
