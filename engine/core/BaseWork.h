// TBaseWork: the engine-wide task base of the work object. It holds a task's
// settings, its two status blocks, kind, paths, info-file values and source
// texts, and the engine-wide registries (task list, bandwidth list,
// registered info hashes). The layers above it add sources, pieces and
// transfer statistics; TWorkThread adds the thread body.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/base/QThread.h"
#include "engine/core/EngineTypes.h"
#include "engine/core/TaskStatus.h"
#include "engine/net/IPFilter.h"

namespace lf {

class QConnection;

// One line of a task's source text with its state word:
// 0 new, 1 metadata source, 16 taken, 17 metadata source taken.
struct SourceEntry {
    std::string text;
    uint32_t state = 0;
};

// Splits a text into lines: a line ends at CR, LF or CR LF; the text after
// the last line break is a line when it is not empty.
std::vector<std::string> SplitTextLines(const char* text);

class TBaseWork : public QThread {
public:
    TBaseWork();
    ~TBaseWork() override;

    // ---- operations every layer may override ----
    virtual int StopDownload();
    virtual int StartDownload() = 0;
    virtual int PauseDownload();
    virtual int RestartFromScratch() = 0;
    virtual int StartAgain() { return StartDownload(); }
    virtual void QueryMetainfo(TaskMetainfoRecord* record);
    virtual void QueryTaskInfo(TaskInfo* info);
    // The published reason of the task's error code ("" when none is known).
    std::string ErrorText();
    virtual void QueryTaskInfoEx(TaskInfoEx* info);
    virtual bool IsComplete();
    virtual void SetConnectionLimits(int32_t servers, int32_t peers) = 0;
    virtual int32_t RemainingSeconds();
    virtual int SetSpeedLimit(int32_t direction, int32_t kib) = 0;
    virtual int32_t AverageSpeed();
    virtual int32_t SmoothedSpeed();
    virtual void AppendNote(const char* line);
    virtual int64_t Tick() = 0;
    virtual void Publish(bool now, bool force) = 0;
    virtual bool HasMetainfo() { return false; }
    virtual bool DistributeBandwidth() { return true; }
    virtual void ApplyBandwidthShare() {}
    virtual void RegisterInfoHash() {}
    virtual void UnregisterInfoHash() {}
    // ---- incoming BitTorrent connections (the engine-wide dispatch) ----
    // The connection's received bytes (an HTTP-looking header already
    // stripped by the dispatch) are a handshake for this task's info hash.
    virtual bool IsHandshakeForTask(const QConnection& /*connection*/) { return false; }
    // Takes the connection as a BitTorrent source (true: `connection` is
    // moved from) or refuses it (false: the dispatch closes it). `disguised`:
    // the dispatch stripped an HTTP-looking header, so the handshake answer
    // starts with "HTTP/1.0 200 OK".
    virtual bool AcceptIncoming(std::unique_ptr<QConnection>& /*connection*/, bool /*disguised*/) {
        return false;
    }
    // Incoming and outgoing connections over the UDP transport are allowed.
    virtual bool AllowUdpConnections() { return false; }
    virtual void Reset(bool clearFileList, bool clearAll);
    virtual void PieceStoreEvent(long event) { Notify(event); }
    // ---- what the engine interface asks of a task, served by the upper
    // layers (the interface sees a task as a TBaseWork only) ----
    virtual int ContinueDownload() = 0;
    virtual void AddMirrors(const char* addresses, const char* companions) = 0;
    virtual void ClearMirrors() = 0;
    virtual int32_t CopyPieceMap(uint8_t* buffer, int32_t length) = 0;
    virtual int32_t PieceMapSize() = 0;
    // Published downloaded bytes and total (under the task lock).
    void PublishedProgress(int64_t* downloaded, int64_t* total);

    // ---- description and state set by create/recover ----
    void SetSources(const char* text);
    // Re-arm after a stop: 17 -> 1 while no metainfo, 16 -> 0.
    void RearmSourceList();
    // Duplicate test of this (new) task against an existing task.
    bool DuplicateOf(TBaseWork& existing);

    TaskSettings& Settings() { return m_settings; }
    TaskStatus& Working() { return m_working; }
    const TaskStatus& Published() const { return m_published; }

    bool m_isP2SP = false;
    bool m_isBitTorrent = false;
    bool m_targetIsFile = false;
    std::string m_locator;
    std::string m_infoFilePath;
    std::string m_pieceStatePath;  // info file path + "df"
    std::string m_targetFolder;
    std::string m_targetFile;

    // Info-file values ("bits", "part", "seeds", "torrent") and their dirty bytes.
    enum InfoKey { kBits = 0, kPart = 1, kSeeds = 2, kTorrent = 3 };
    std::array<std::string, 4> m_infoValues;
    std::array<uint8_t, 4> m_infoDirty{};
    void SetInfoValue(InfoKey key, std::string bytes);

    std::vector<SourceEntry> m_sourceList;
    std::vector<SourceEntry> m_savedSourceList;
    bool m_sourceListCaseInsensitive = false;
    std::vector<std::string> m_mirrors;
    std::vector<std::string> m_mirrorCompanions;
    bool m_mirrorMode = false;
    std::string m_notes;  // CR LF separated
    std::string m_listenerText;
    CIPFilter m_ipFilter;

    // ---- engine-wide registries ----
    static QTMutex& TaskListLock();
    // Copy of the live task list (under the task-list lock).
    static std::vector<TBaseWork*> TaskListSnapshot();
    static bool IsLiveTask(const void* handle);
    // Removes the first task from the list and returns it (engine cleanup);
    // nullptr when empty.
    static TBaseWork* TakeFirstTask();
    static void ClearRegistries();
    // The process identifier: 16 random bytes made once per process, bytes 0
    // and 1 never zero. Its first 12 bytes end the task's BitTorrent peer id
    // and its first 8 are the identity of the UDP transport, so both name
    // this process the same way.
    static std::array<uint8_t, 16> ProcessId();
    // The 8-byte machine id: the first 8 bytes of the process identifier.
    static std::array<uint8_t, 8> MachineId();

protected:
    // Guarded by the task lock (m_lock of QThread).
    TaskSettings m_settings;
    TaskStatus m_working;
    // The task's random numbers (mirror draws), seeded once per task.
    std::mt19937 m_random;
    TaskStatus m_published;
    // Published HTTP and BitTorrent byte counts (never cleared).
    uint64_t m_publishedHttpBytes = 0;
    uint64_t m_publishedBtBytes = 0;

private:
    void Register();
    void Unregister();
};

}  // namespace lf
