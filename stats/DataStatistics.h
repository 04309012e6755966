// CDataStatisticsImp: the statistics component. It queues the events the
// data-upload thread hands over, adds the computer's identity (and, when an
// event asks for it, the processor, memory and video description) and sends
// the queue as one form-encoded batch to the first submit address of its
// configuration that accepts it. It also supplies the machine code shown in
// message boxes.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "stats/SystemInventory.h"

class CDataStatisticsImp {
public:
    static constexpr const char kClassId[] = "{91095A15-3C46-43b5-BA5F-462064037E59}";

    // Results of QueueEvent and FlushEvents.
    static constexpr int kQueued = 1;
    static constexpr int kAccepted = 1;
    static constexpr int kRefused = 0;  // missing code or body / nothing sent
    static constexpr int kMissingKeyword = 11;
    static constexpr int kFailed = 16;  // an exception was caught
    static constexpr int kTooMany = 18;
    static constexpr int kNoConfiguration = 20;
    static constexpr int kNotBuilt = 21;

    // At most this many events are accepted between two flushes.
    static constexpr int kEventsPerFlush = 20;
    // Connection and transfer limit of one submit attempt.
    static constexpr std::chrono::milliseconds kDefaultSubmitTimeout{6000};

    // Event flags: which hardware descriptions an event carries.
    static constexpr uint32_t kWithProcessor = 1;
    static constexpr uint32_t kWithMemory = 2;
    static constexpr uint32_t kWithVideo = 4;

    // The process-wide component, created on first use; nullptr for any class
    // id other than kClassId (compared case-insensitively).
    static CDataStatisticsImp* CreateInstance(const char* classId);

    CDataStatisticsImp();
    CDataStatisticsImp(const CDataStatisticsImp&) = delete;
    CDataStatisticsImp& operator=(const CDataStatisticsImp&) = delete;

    // Path of the INI configuration (UTF-8). Empty: "Serverlist.ini" in the
    // working folder.
    void SetConfigurationPath(const char* path);
    std::string ConfigurationPath() const;

    // 1 queued; 0 code or body missing; 18 more than 20 events since the last
    // flush; 20 configuration file missing; 11 the body lacks an input
    // keyword; 16 on an exception.
    int QueueEvent(const char* code, const char* body, uint32_t flags);
    // 1 the server accepted the batch; 0 nothing queued or no address
    // accepted it; 21 the batch was not built; 16 on an exception. The queue
    // is emptied whatever the result.
    int FlushEvents();

    // The machine code "0x........, 0x........" (text-getter convention:
    // without a buffer the length; with one, the text copied with its
    // terminator and the length, or 0 when the buffer is too small).
    int GetMachineCode(char* buffer, size_t size) const;
    std::string MachineCode() const;
    std::string MachId() const;
    // The "Mac" and "OS" identity values.
    std::string MacList() const;
    std::string OsCode() const;

    // Settings. Tests shorten the submit timeout and point the system
    // readers at a prepared tree.
    void SetSubmitTimeout(std::chrono::milliseconds timeout);
    void SetSystemSources(const lfstats::SystemSources& sources);

    const std::string& RunId() const { return m_runId; }
    uint64_t Sequence() const;
    // Submit attempts finished (answered, failed or timed out) so far.
    uint64_t SubmitAttempts() const { return m_submitAttempts.load(); }

    // The form body ("data=..." form-encoded) for the events queued now,
    // without sending or dropping them; for tests and diagnostics.
    std::string BuildBatchBodyForTest();

private:
    struct QueuedEvent {
        std::string code;
        std::string body;
        uint32_t flags = 0;
    };

    std::string ResolvedConfigurationPath() const;
    lfstats::SystemSources Sources() const;
    std::string BuildBatchBody(const std::vector<std::string>& submitKeywords);
    void AddHardware(uint32_t flags, Json::Value& identity);

    mutable std::mutex m_settingsLock;  // configuration path, sources, timeout
    std::string m_configPath;
    lfstats::SystemSources m_sources;
    std::chrono::milliseconds m_submitTimeout{kDefaultSubmitTimeout};

    mutable std::mutex m_queueLock;  // queue, count, sequence, keyword lists, hardware cache
    std::vector<QueuedEvent> m_queue;
    int m_count = 0;
    uint64_t m_sequence = 0;
    std::vector<std::string> m_inputKeywords;
    std::vector<std::string> m_submitKeywords;
    std::vector<std::string> m_submitUrls;
    std::optional<Json::Value> m_processors;
    std::optional<std::pair<uint64_t, Json::Value>> m_memory;
    std::optional<Json::Value> m_video;

    std::string m_runId;
    std::atomic<uint64_t> m_submitAttempts{0};
};
