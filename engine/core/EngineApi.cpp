#include "engine/core/EngineApi.h"

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "engine/base/TimeThread.h"
#include "engine/core/EngineSettings.h"
#include "engine/core/LanternfishCore.h"
#include "engine/core/WorkThread.h"
#include "engine/core/WorkWithPeers.h"
#include "engine/log/LogApi.h"
#include "engine/net/ProxyConfig.h"
#include "stats/DataUpload.h"

namespace lf {

EngineTimings GetEngineTimings() {
    return CLanternfishCore::Instance().Timings();
}

void SetEngineTimings(const EngineTimings& timings) {
    CLanternfishCore::Instance().SetTimings(timings);
}

void SetEngineTiming(int EngineTimings::*field, int seconds) {
    EngineTimings timings = GetEngineTimings();
    timings.*field = seconds;
    SetEngineTimings(timings);
}

namespace {

CLanternfishCore& Core() {
    return CLanternfishCore::Instance();
}

QTMutex& InterfaceLock() {
    return Core().InterfaceLock();
}

// Looks a handle up in the task list; nullptr when it is not a live task.
// The caller holds the interface lock, so a task found stays alive: tasks
// are deleted only by engine cleanup, which takes the same lock.
TBaseWork* Lookup(TaskHandle handle) {
    if (!TBaseWork::IsLiveTask(handle)) return nullptr;
    return static_cast<TBaseWork*>(handle);
}

std::string FixedText(const char* field, size_t size) {
    return std::string(field, strnlen(field, size));
}

const char* KindText(uint32_t flags) {
    if (flags & kTaskFlagP2SP) return "P2SP Task";
    if (flags & kTaskFlagBitTorrent) return "BT Task";
    return "HTTP Task";
}

// Create and recover share everything but the duplicate rule and log line.
int32_t MakeTask(TaskDescription* d, bool recover, bool skipDuplicateTest, TWorkThread** out) {
    TWorkThread* work = new (std::nothrow) TWorkThread();
    if (work == nullptr) return kEngineOutOfMemory;
    work->SetSources(d->sources);
    work->m_infoFilePath = FixedText(d->infoFilePath, sizeof(d->infoFilePath));
    work->m_pieceStatePath = work->m_infoFilePath + "df";
    const std::string target = FixedText(d->targetPath, sizeof(d->targetPath));
    work->m_targetFolder = target;
    uint32_t flags = d->flags;
    if (recover) flags &= ~kTaskFlagNoEffect;
    work->m_isP2SP = (flags & kTaskFlagP2SP) != 0;
    work->m_isBitTorrent = (flags & kTaskFlagBitTorrent) != 0;
    work->m_targetIsFile = (flags & kTaskFlagTargetIsFile) != 0;
    work->Settings().pieceStoreOption = (flags & kTaskFlagPieceStoreOption) != 0 ? 1 : 0;
    if (work->m_isP2SP) {
        work->m_locator = FixedText(d->p2spLocator, sizeof(d->p2spLocator));
    } else if (work->m_isBitTorrent && !work->m_sourceList.empty()) {
        work->m_locator = work->m_sourceList.front().text;
        work->m_sourceList.front().state = 1;
    }
    if (work->m_targetIsFile) {
        work->m_targetFile = target;
        size_t slash = target.rfind('/');
        work->m_targetFolder =
            slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    }

    if (!skipDuplicateTest) {
        QGuard listGuard(TBaseWork::TaskListLock());
        for (TBaseWork* other : TBaseWork::TaskListSnapshot()) {
            if (other == work) continue;
            if (work->DuplicateOf(*other)) {
                listGuard.Unlock();
                delete work;
                return kEngineDuplicateTask;
            }
        }
    }
    d->handle = static_cast<TBaseWork*>(work);
    EngineLog::Printf(23, "%s %s, Download, ID : %lu] [Target File : (%s) ",
                      recover ? "Recover" : "Create", KindText(flags),
                      static_cast<unsigned long>(reinterpret_cast<uintptr_t>(d->handle)),
                      work->m_targetFile.c_str());
    *out = work;
    return kEngineOk;
}

// Runs f on a live task under the interface lock; -106 for others, -107
// when f throws.
template <typename F>
int32_t WithTask(TaskHandle handle, F f, int32_t unknown = kEngineUnknownTask,
                 int32_t failed = kEngineFailed) {
    try {
        QGuard guard(InterfaceLock());
        TBaseWork* task = Lookup(handle);
        if (task == nullptr) return unknown;
        return f(task);
    } catch (...) {
        return failed;
    }
}

void EngineCleanup() {
    if (!Core().started.load()) return;
    // All threads are asked to stop first, so they end in parallel.
    for (TBaseWork* task : TBaseWork::TaskListSnapshot()) task->RequestStop(nullptr);
    while (TBaseWork* task = TBaseWork::TakeFirstTask()) {
        delete task;
    }
    TBaseWork::ClearRegistries();
    if (StopTimeThread()) EngineLog::Write(22, "Time Ensure Thread Stopped.. ");
    Core().started.store(0);
}

}  // namespace

void OpenEngineLog() {
    EngineLog::Open();
}

void CloseEngineLog() {
    EngineLog::Close();
}

int32_t EngineStartup(const char* folder) {
    try {
        QGuard guard(InterfaceLock());
        if (Core().started.load()) return kEngineOk;
        // BSD sockets need no start-up.
        if (folder != nullptr) Core().SetStartupFolder(folder);
        if (const char* local = std::getenv("LANTERNFISH_LOCAL_ADDRESS")) SetLocalAddress(local);
        // LANTERNFISH_PROXY sends every connection through a proxy; a text
        // that cannot be read is logged and the connections go direct.
        LoadProxyConfigFromEnvironment(Core().Net());
        Core().started.store(1);
        return kEngineOk;
    } catch (...) {
        return kEngineFailed;
    }
}

int32_t EngineShutdown() {
    try {
        QGuard guard(InterfaceLock());
        EngineCleanup();
        return kEngineOk;
    } catch (...) {
        return kEngineFailed;
    }
}

int32_t SetLocalAddress(const char* dotted) {
    if (dotted == nullptr || *dotted == '\0') {
        CLanternfishCore::Instance().localAddress.store(0);
        return kEngineOk;
    }
    in_addr a{};
    if (inet_pton(AF_INET, dotted, &a) != 1 || a.s_addr == 0xffffffffu)
        return kEngineInvalidArgument;
    CLanternfishCore::Instance().localAddress.store(a.s_addr);
    return kEngineOk;
}

int32_t SetListenPort(int32_t port) {
    Core().listenPort.store(port);
    return kEngineOk;
}

int32_t SetP2PEnabled(int32_t flag) {
    Core().p2pEnabled.store(flag != 0 ? 1 : 0);
    return kEngineOk;
}

void SetHttpDisguise(uint8_t flag) {
    Core().httpDisguise.store(flag);
}

int32_t CreateAndStartTask(TaskDescription* description) {
    if (description == nullptr) return kEngineInvalidArgument;
    try {
        QGuard guard(InterfaceLock());
        TWorkThread* work = nullptr;
        int32_t rc = MakeTask(description, false, false, &work);
        if (rc != kEngineOk) return rc;
        return work->StartDownload() == 0 ? kEngineOk : kEngineFailed;
    } catch (...) {
        return kEngineFailed;
    }
}

int32_t RecoverAndContinueTask(TaskDescription* description, uint8_t force) {
    if (description == nullptr) return kEngineInvalidArgument;
    try {
        QGuard guard(InterfaceLock());
        TWorkThread* work = nullptr;
        int32_t rc = MakeTask(description, true, force != 0, &work);
        if (rc != kEngineOk) return rc;
        return work->ContinueDownload() == 0 ? kEngineOk : kEngineFailed;
    } catch (...) {
        return kEngineFailed;
    }
}

int32_t StopTask(TaskHandle handle, int32_t reset) {
    return WithTask(handle, [reset](TBaseWork* task) {
        if (task->StopDownload() != 0) return kEngineFailed;
        task->RearmSourceList();
        if (reset != 0) task->Reset(true, true);
        return kEngineOk;
    });
}

int32_t StopTasks(const TaskHandle* handles, uint32_t count, int32_t reset, int32_t* results) {
    try {
        QGuard guard(InterfaceLock());
        struct Pending {
            uint32_t index;
            TBaseWork* task;
            QThreadId id;
        };
        std::vector<Pending> pending;
        for (uint32_t i = 0; i < count; ++i) {
            TBaseWork* task = handles != nullptr ? Lookup(handles[i]) : nullptr;
            if (results != nullptr) results[i] = task != nullptr ? kEngineOk : kEngineUnknownTask;
            if (task == nullptr) continue;
            QThreadId id = 0;
            task->RequestStop(&id);
            pending.push_back({i, task, id});
        }
        // Every stop is requested first, so the threads end in parallel; the
        // waits end as each thread does.
        for (Pending& p : pending) {
            try {
                p.task->WaitEnded(p.id);
                p.task->RearmSourceList();
                if (reset != 0) p.task->Reset(true, true);
            } catch (...) {
                if (results != nullptr) results[p.index] = kEngineFailed;
            }
        }
        return kEngineOk;
    } catch (...) {
        return kEngineFailed;
    }
}

int32_t RestartTask(TaskHandle handle) {
    return WithTask(handle, [](TBaseWork* task) {
        return task->StartDownload() == 0 ? kEngineOk : kEngineFailed;
    });
}

int32_t QueryTask(TaskHandle handle, TaskInfo* info) {
    return WithTask(handle, [info](TBaseWork* task) {
        if (info == nullptr) return kEngineInvalidArgument;
        task->QueryTaskInfo(info);
        return kEngineOk;
    });
}

int32_t GetTaskErrorText(TaskHandle handle, char* buffer, uint32_t size) {
    return WithTask(handle, [buffer, size](TBaseWork* task) {
        if (buffer == nullptr || size == 0) return kEngineInvalidArgument;
        std::snprintf(buffer, size, "%s", task->ErrorText().c_str());
        return kEngineOk;
    });
}

int32_t GetTaskListenerText(TaskHandle handle, char* buffer, uint32_t size) {
    return WithTask(handle, [buffer, size](TBaseWork* task) {
        if (buffer == nullptr || size == 0) return kEngineInvalidArgument;
        auto* peers = dynamic_cast<TWorkWithPeers*>(task);
        std::snprintf(buffer, size, "%s", peers != nullptr ? peers->ListenerText().c_str() : "");
        return kEngineOk;
    });
}

int32_t QueryTaskEx(TaskHandle handle, TaskInfoEx* info) {
    return WithTask(handle, [info](TBaseWork* task) {
        if (info == nullptr) return kEngineInvalidArgument;
        task->QueryTaskInfoEx(info);
        return kEngineOk;
    });
}

int32_t IsTaskComplete(TaskHandle handle, int32_t* complete) {
    return WithTask(handle, [complete](TBaseWork* task) {
        if (complete == nullptr) return kEngineInvalidArgument;
        *complete = task->IsComplete() ? 1 : 0;
        return kEngineOk;
    });
}

int32_t SetTaskSpeedLimit(TaskHandle handle, int32_t direction, int32_t limitKiB) {
    return WithTask(handle,
                    [=](TBaseWork* task) { return task->SetSpeedLimit(direction, limitKiB); });
}

int32_t SetTaskConnectionLimits(TaskHandle handle, int32_t servers, int32_t peers) {
    return WithTask(handle, [=](TBaseWork* task) {
        task->SetConnectionLimits(servers, peers);
        return kEngineOk;
    });
}

int32_t CopyTaskPieceMap(TaskHandle handle, uint8_t* buffer, int32_t length) {
    return WithTask(
        handle, [=](TBaseWork* task) { return task->CopyPieceMap(buffer, length); }, -1, -1);
}

int32_t GetTaskPieceMapSize(TaskHandle handle) {
    return WithTask(
        handle, [](TBaseWork* task) { return task->PieceMapSize(); }, -1, -1);
}

int32_t ClearTaskMirrors(TaskHandle handle) {
    return WithTask(handle, [](TBaseWork* task) {
        task->ClearMirrors();
        return kEngineOk;
    });
}

int32_t AddTaskMirrors(TaskHandle handle, const char* addresses, const char* companions) {
    return WithTask(handle, [=](TBaseWork* task) {
        task->AddMirrors(addresses, companions);
        return kEngineOk;
    });
}

void SetEngineMessageSink(EngineMessageSink sink) {
    if (sink == nullptr) {
        // Messages already on their way reach the sink that was set when
        // they were shown (bounded, as the show itself is).
        std::unique_lock<std::mutex> lock(Core().messageLock);
        Core().messageDone.wait_for(lock, std::chrono::milliseconds(2000),
                                    [] { return Core().messagesInFlight == 0; });
    }
    Core().messageSink.store(sink);
}

void SetMachineCodeProvider(MachineCodeProvider provider) {
    Core().machineCodeProvider.store(provider);
}

void RefreshEngineMachineCode() {
    MachineCodeProvider provider = Core().machineCodeProvider.load();
    if (provider == nullptr) return;
    Core().OfferMachineCode(provider());
}

std::string EngineMachineCode() {
    return Core().MachineCode();
}

std::string MessageLogLine(const std::string& text, const std::string& caption) {
    if (EngineMachineCode().empty()) RefreshEngineMachineCode();
    const std::string code = EngineMachineCode();
    std::string line = "[" + caption + "] " + text;
    if (!code.empty()) line += " (machine code " + code + ")";
    return line;
}

int32_t ShowMessageAsync(void* owner, const char* text, const char* caption, uint32_t style) {
    try {
        struct Start {
            std::mutex m;
            std::condition_variable cv;
            bool signalled = false;
        };
        auto start = std::make_shared<Start>();
        std::string textCopy = text != nullptr ? text : "";
        std::string captionCopy = caption != nullptr ? caption : "";
        {
            std::lock_guard<std::mutex> guard(Core().messageLock);
            ++Core().messagesInFlight;
        }
        struct Delivered {
            ~Delivered() {
                // Notified under the lock: once the waiter sees none in
                // flight, this thread no longer touches the core, which
                // may then go at exit.
                std::lock_guard<std::mutex> guard(Core().messageLock);
                --Core().messagesInFlight;
                Core().messageDone.notify_all();
            }
        };
        auto delivered = std::make_shared<Delivered>();
        std::thread([start, owner, textCopy, captionCopy, style, delivered] {
            SetCurrentThreadName("MessageBox");
            // Copies are taken before the caller is released.
            // The user reads the text alone; the log line carries the
            // machine code for support.
            const std::string logLine = MessageLogLine(textCopy, captionCopy);
            const std::string& shown = textCopy;
            const std::string& title = captionCopy;
            {
                std::lock_guard<std::mutex> guard(start->m);
                start->signalled = true;
            }
            start->cv.notify_all();
            EngineMessageSink sink = Core().messageSink.load();
            EngineLog::Printf(13, "%s", logLine.c_str());
            if (sink != nullptr) sink(owner, shown, title, style);
        }).detach();
        delivered.reset();
        std::unique_lock<std::mutex> lock(start->m);
        bool ok = start->cv.wait_for(lock, std::chrono::milliseconds(2000),
                                     [&] { return start->signalled; });
        return ok ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

void SetHalfOpenLimit(int32_t limit) {
    Core().halfOpenLimitSetting.store(limit);
    if (limit > 0) Core().HalfOpen().SetLimit(limit);
}

}  // namespace lf
