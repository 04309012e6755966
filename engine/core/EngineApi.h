// The engine interface: flat functions with integer result codes. Every
// function is synchronous and lets no exception escape. Task handles are
// looked up in the engine's task list before any use, so a stale, random
// or null handle answers -106 (-1 for the piece-map functions).
//
// Calling order: OpenEngineLog; EngineLog::SetBasePath; SetListenPort; when
// a download begins SetHttpDisguise and EngineStartup; per file
// CreateAndStartTask or RecoverAndContinueTask; then QueryTask and the
// setters; StopTasks/StopTask to pause, RestartTask to resume; at the end
// CloseEngineLog and EngineShutdown.
#pragma once

#include <cstdint>
#include <string>

#include "engine/core/EngineTypes.h"
#include "engine/core/LanternfishCore.h"

namespace lf {

void OpenEngineLog();
void CloseEngineLog();
int32_t EngineStartup(const char* folder);
int32_t EngineShutdown();
int32_t SetListenPort(int32_t port);
// The local address outgoing connections and the trackers' datagram sockets
// bind to (dotted IPv4; empty or nullptr: none). -101 for an invalid text.
int32_t SetLocalAddress(const char* dotted);
int32_t SetP2PEnabled(int32_t flag);
void SetHttpDisguise(uint8_t flag);

int32_t CreateAndStartTask(TaskDescription* description);
int32_t RecoverAndContinueTask(TaskDescription* description, uint8_t force);
int32_t StopTask(TaskHandle handle, int32_t reset);
int32_t StopTasks(const TaskHandle* handles, uint32_t count, int32_t reset, int32_t* results);
int32_t RestartTask(TaskHandle handle);
int32_t QueryTask(TaskHandle handle, TaskInfo* info);
int32_t IsTaskComplete(TaskHandle handle, int32_t* complete);
// QueryTask plus the size on disk, piece count, run time and connections.
int32_t QueryTaskEx(TaskHandle handle, TaskInfoEx* info);
// The reason behind the task's status code, such as the file and the
// system's reason of a write failure ("path: Permission denied"); copied
// with its terminator (cut to fit). -106 unless live, -101 without a buffer.
int32_t GetTaskErrorText(TaskHandle handle, char* buffer, uint32_t size);
// The engine's listener as the task shows it: its address, " : " and its
// port once it listens, "Service Disabled!" while P2P is off, "" before the
// task's first incoming dispatch; copied with its terminator (cut to fit).
// -106 unless live, -101 without a buffer.
int32_t GetTaskListenerText(TaskHandle handle, char* buffer, uint32_t size);
int32_t SetTaskSpeedLimit(TaskHandle handle, int32_t direction, int32_t limitKiB);
int32_t SetTaskConnectionLimits(TaskHandle handle, int32_t servers, int32_t peers);
int32_t CopyTaskPieceMap(TaskHandle handle, uint8_t* buffer, int32_t length);
int32_t GetTaskPieceMapSize(TaskHandle handle);
int32_t ClearTaskMirrors(TaskHandle handle);
int32_t AddTaskMirrors(TaskHandle handle, const char* addresses, const char* companions);

// Shows a message box on a new thread through the registered sink and
// waits at most 2000 ms for that thread to signal that it started: 1 when
// it did, 0 otherwise. Without a sink the text goes to the engine log.
int32_t ShowMessageAsync(void* owner, const char* text, const char* caption, uint32_t style);

// The application's message box (EngineMessageSink, called on the
// message's own thread). Clearing it (nullptr) first waits, at most 2000
// ms, for messages already shown to pass through the sink.
void SetEngineMessageSink(EngineMessageSink sink);
// The statistics component's machine code (two hexadecimal numbers made
// from the volume serial number and the network address, "0x..., 0x...").
// It identifies the computer to support: it goes into the log line of every
// message once known, never into the text the user reads. The provider is
// asked while the code is empty.
void SetMachineCodeProvider(MachineCodeProvider provider);
void RefreshEngineMachineCode();
std::string EngineMachineCode();
// The log line of a message: "[caption] text", with " (machine code CODE)"
// after it once the machine code is known.
std::string MessageLogLine(const std::string& text, const std::string& caption);

// Caps the connection attempts in flight across all tasks (0: the limit
// probed when the first task is created).
void SetHalfOpenLimit(int32_t limit);

}  // namespace lf
