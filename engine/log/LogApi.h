// The process-wide engine log: eleven files chosen by channel number, plus
// the debugger output (stderr when LANTERNFISH_DEBUG is set).
#pragma once

#include <cstdarg>
#include <mutex>
#include <string>

namespace lf {

// Abstract log: four operations.
class CLanternfishLog {
public:
    virtual ~CLanternfishLog() = default;
    virtual void SetThresholds(int fileThreshold, int debugThreshold) = 0;
    virtual void SetBasePath(const char* basePath) = 0;
    virtual void Write(const char* text, int channel, int level) = 0;
    virtual void DebugPrint(const char* format, ...) __attribute__((format(printf, 2, 3))) = 0;
};

class CLanternfishLogApi : public CLanternfishLog {
public:
    static constexpr int kFileCount = 11;
    static constexpr int kLineBytes = 4096;
    // Suffixes in slot order; slot 0 is the main log.
    static const char* const kSuffixes[kFileCount];

    CLanternfishLogApi();

    void SetThresholds(int fileThreshold, int debugThreshold) override;
    void SetBasePath(const char* basePath) override;
    void Write(const char* text, int channel, int level) override;
    void DebugPrint(const char* format, ...) override __attribute__((format(printf, 2, 3)));

    int FileThreshold() const;
    int DebugThreshold() const;
    // Path of the file a channel is written to.
    std::string PathForChannel(int channel) const;
    // Slot index (0..10) for a channel.
    static int SlotForChannel(int channel);

private:
    mutable std::mutex m_lock;
    int m_fileThreshold;
    int m_debugThreshold;
    std::string m_paths[kFileCount];
};

// Where debugger output goes. Default: stderr when LANTERNFISH_DEBUG is set.
// Tests may install their own sink; nullptr restores the default.
using DebugOutputSink = void (*)(const char* line);
void SetDebugOutputSink(DebugOutputSink sink);
void DebugOutput(const char* line);

// The one process-wide log object. Writers that find no log write nothing.
namespace EngineLog {
void Open();   // creates the log object when none exists
void Close();  // deletes it (waits for writers in progress)
bool IsOpen();
void SetBasePath(const char* basePath);
void SetThresholds(int fileThreshold, int debugThreshold);
// Writes a text on a channel; the level passed always equals the channel.
void Write(int channel, const char* text);
void Printf(int channel, const char* format, ...) __attribute__((format(printf, 2, 3)));
void VPrintf(int channel, const char* format, va_list args);
}  // namespace EngineLog

}  // namespace lf
