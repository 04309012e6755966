#include "engine/log/LogApi.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <shared_mutex>

namespace lf {

const char* const CLanternfishLogApi::kSuffixes[kFileCount] = {
    ".log",           ".req.log",        ".dump.log",
    ".checktask.log", ".peerprefer.log", ".dataupload.log",
    ".httptrace.log", ".checkpeer.log",  ".written.log",
    ".sha1check.log", ".peerinfo.log"};

namespace {

std::atomic<DebugOutputSink> g_debugSink{nullptr};

void DefaultDebugOutput(const char* line) {
    static const bool enabled = std::getenv("LANTERNFISH_DEBUG") != nullptr;
    if (enabled) {
        std::fputs(line, stderr);
    }
}

// Formats the local time of day into buf.
void FormatLocalTime(char* buf, size_t size, const char* format) {
    std::time_t now = std::time(nullptr);
    std::tm tmv{};
    localtime_r(&now, &tmv);
    if (std::strftime(buf, size, format, &tmv) == 0) {
        buf[0] = 0;
    }
}

// Builds "[time] [text]" + terminator into a line of at most
// kLineBytes - 1 bytes. An over-long text is cut so that the line still
// ends with its terminator.
size_t FormatLine(char* line, const char* time, const char* text, const char* terminator) {
    constexpr size_t kMax = CLanternfishLogApi::kLineBytes - 1;
    size_t head = static_cast<size_t>(std::snprintf(line, kMax + 1, "[%s] [", time));
    if (head > kMax) head = kMax;
    const size_t tail = std::strlen(terminator) + 1;  // "]" + terminator
    size_t room = kMax > head + tail ? kMax - head - tail : 0;
    // Texts often carry what a server sent: control characters are written
    // as \xNN so that no escape sequence reaches a terminal or a log viewer.
    static const char kHex[] = "0123456789abcdef";
    size_t n = head;
    const size_t end = head + room;
    for (const char* p = text; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7f) {
            if (n + 4 > end) break;
            line[n++] = '\\';
            line[n++] = 'x';
            line[n++] = kHex[c >> 4];
            line[n++] = kHex[c & 15];
        } else {
            if (n + 1 > end) break;
            line[n++] = static_cast<char>(c);
        }
    }
    line[n++] = ']';
    std::memcpy(line + n, terminator, tail - 1);
    n += tail - 1;
    line[n] = 0;
    return n;
}

}  // namespace

void SetDebugOutputSink(DebugOutputSink sink) {
    g_debugSink.store(sink);
}

void DebugOutput(const char* line) {
    DebugOutputSink sink = g_debugSink.load();
    if (sink != nullptr) {
        sink(line);
    } else {
        DefaultDebugOutput(line);
    }
}

CLanternfishLogApi::CLanternfishLogApi() : m_fileThreshold(38), m_debugThreshold(2) {}

void CLanternfishLogApi::SetThresholds(int fileThreshold, int debugThreshold) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_fileThreshold = fileThreshold;
    m_debugThreshold = debugThreshold;
}

void CLanternfishLogApi::SetBasePath(const char* basePath) {
    std::lock_guard<std::mutex> guard(m_lock);
    std::string base = basePath != nullptr ? basePath : "";
    if (base.size() >= static_cast<size_t>(kLineBytes)) base.resize(kLineBytes - 1);
    for (int i = 0; i < kFileCount; ++i) {
        m_paths[i] = base + kSuffixes[i];
    }
}

int CLanternfishLogApi::FileThreshold() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_fileThreshold;
}

int CLanternfishLogApi::DebugThreshold() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_debugThreshold;
}

int CLanternfishLogApi::SlotForChannel(int channel) {
    switch (channel) {
        case 4:
            return 1;
        case 9:
            return 7;
        case 18:
            return 4;
        case 25:
            return 6;
        case 28:
            return 5;
        case 29:
            return 8;
        case 30:
            return 9;
        case 31:
            return 10;
        case 37:
            return 3;
        case 38:
            return 2;
        default:
            return 0;
    }
}

std::string CLanternfishLogApi::PathForChannel(int channel) const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_paths[SlotForChannel(channel)];
}

void CLanternfishLogApi::Write(const char* text, int channel, int level) {
    if (text == nullptr) return;
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_fileThreshold == 39 && m_debugThreshold == 39) return;
    if (level < m_debugThreshold && channel < m_fileThreshold) return;

    char time[64];
    FormatLocalTime(time, sizeof(time), "%X");
    char line[kLineBytes];
    size_t n = FormatLine(line, time, text, "\n");

    if (level >= m_debugThreshold) {
        DebugOutput(line);
    }
    if (channel >= m_fileThreshold && m_debugThreshold != 39) {
        const std::string& path = m_paths[SlotForChannel(channel)];
        if (path.empty()) return;
        if (FILE* f = std::fopen(path.c_str(), "a+")) {
            std::fwrite(line, 1, n, f);
            std::fclose(f);
        }
    }
}

void CLanternfishLogApi::DebugPrint(const char* format, ...) {
    char text[kLineBytes];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    text[kLineBytes - 1] = 0;
    char time[64];
    FormatLocalTime(time, sizeof(time), "%Y-%m-%d %X");
    char line[kLineBytes];
    FormatLine(line, time, text, "\r\n");
    DebugOutput(line);
}

namespace EngineLog {
namespace {
std::shared_mutex g_objectLock;
CLanternfishLogApi* g_log = nullptr;
}  // namespace

void Open() {
    std::unique_lock<std::shared_mutex> guard(g_objectLock);
    if (g_log == nullptr) g_log = new CLanternfishLogApi();
}

void Close() {
    std::unique_lock<std::shared_mutex> guard(g_objectLock);
    delete g_log;
    g_log = nullptr;
}

bool IsOpen() {
    std::shared_lock<std::shared_mutex> guard(g_objectLock);
    return g_log != nullptr;
}

void SetBasePath(const char* basePath) {
    std::shared_lock<std::shared_mutex> guard(g_objectLock);
    if (g_log != nullptr) g_log->SetBasePath(basePath);
}

void SetThresholds(int fileThreshold, int debugThreshold) {
    std::shared_lock<std::shared_mutex> guard(g_objectLock);
    if (g_log != nullptr) g_log->SetThresholds(fileThreshold, debugThreshold);
}

void Write(int channel, const char* text) {
    std::shared_lock<std::shared_mutex> guard(g_objectLock);
    if (g_log != nullptr) g_log->Write(text, channel, channel);
}

void VPrintf(int channel, const char* format, va_list args) {
    std::shared_lock<std::shared_mutex> guard(g_objectLock);
    if (g_log == nullptr) return;
    char text[CLanternfishLogApi::kLineBytes];
    std::vsnprintf(text, sizeof(text), format, args);
    g_log->Write(text, channel, channel);
}

void Printf(int channel, const char* format, ...) {
    va_list args;
    va_start(args, format);
    VPrintf(channel, format, args);
    va_end(args);
}

}  // namespace EngineLog

}  // namespace lf
