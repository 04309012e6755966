#include "app/TaskIni.h"

#include <time.h>

#include "app/ControllerRules.h"

namespace lfapp {
namespace {

std::string Indexed(const char* prefix, int i, const char* suffix = "") {
    return prefix + std::to_string(i) + suffix;
}

}  // namespace

std::string KeyHttpTaskUrl(int i) {
    return Indexed("LanternfishHttpTaskUrl", i);
}
std::string KeyHttpTaskFile(int i) {
    return Indexed("LanternfishHttpTaskFile", i);
}
std::string KeyDownloadInfo(int i) {
    return Indexed("LanternfishDownloadInfo", i);
}
std::string KeyRecoveredTask(int i) {
    return Indexed("LanternfishTask", i);
}
std::string KeyWriteTimeHigh(int i) {
    return Indexed("LanternfishTask", i, "WriteTimeHigh");
}
std::string KeyWriteTimeLow(int i) {
    return Indexed("LanternfishTask", i, "WriteTimeLow");
}
std::string KeyFileSizeHigh(int i) {
    return Indexed("LanternfishTask", i, "FileSizeHigh");
}
std::string KeyFileSizeLow(int i) {
    return Indexed("LanternfishTask", i, "FileSizeLow");
}

std::string FormatUnsigned(uint64_t value) {
    return std::to_string(value);
}

std::string CreateTimeText(time_t at) {
    struct tm local;
    char buffer[64] = {0};
    if (!localtime_r(&at, &local)) return std::string();
    strftime(buffer, sizeof buffer, "%Y-%m-%d %X", &local);
    return buffer;
}

uint64_t MillisecondsSinceBoot() {
    struct timespec ts;
    if (clock_gettime(CLOCK_BOOTTIME, &ts) != 0) clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000;
}

bool IsCompleteMark(const std::string& value) {
    return value == kCompleteValue;
}

int ReadHttpConnectionTotal(const std::string& taskLinkIniPath) {
    auto doc = ReadIniFile(taskLinkIniPath);
    auto value = doc ? doc->Find(kTaskSection, kKeyTaskLink) : std::nullopt;
    return HttpConnectionTotal(value.has_value(),
                               doc ? doc->GetInt(kTaskSection, kKeyTaskLink, 0) : 0);
}

bool RecordFinish(const std::string& taskIniPath, int i, const std::string& targetPath) {
    auto stamp = ReadFileStamp(targetPath);
    if (!stamp) return false;
    return WriteIniStrings(taskIniPath, kFinishSection,
                           {{KeyWriteTimeHigh(i), FormatUnsigned(stamp->writeTime.high)},
                            {KeyWriteTimeLow(i), FormatUnsigned(stamp->writeTime.low)},
                            {KeyFileSizeHigh(i), FormatUnsigned(stamp->size.high)},
                            {KeyFileSizeLow(i), FormatUnsigned(stamp->size.low)}});
}

bool FinishRecordMatches(const IniDocument& taskIni, int i, const FileStamp& stamp) {
    return taskIni.GetString(kFinishSection, KeyWriteTimeHigh(i), "") ==
               FormatUnsigned(stamp.writeTime.high) &&
           taskIni.GetString(kFinishSection, KeyWriteTimeLow(i), "") ==
               FormatUnsigned(stamp.writeTime.low) &&
           taskIni.GetString(kFinishSection, KeyFileSizeHigh(i), "") ==
               FormatUnsigned(stamp.size.high) &&
           taskIni.GetString(kFinishSection, KeyFileSizeLow(i), "") ==
               FormatUnsigned(stamp.size.low);
}

bool CheckFinish(const IniDocument& taskIni, int i, const std::string& targetPath) {
    auto stamp = ReadFileStamp(targetPath);
    return stamp && FinishRecordMatches(taskIni, i, *stamp);
}

bool CheckFinish(const std::string& taskIniPath, int i, const std::string& targetPath) {
    auto doc = ReadIniFile(taskIniPath);
    return CheckFinish(doc ? *doc : IniDocument(), i, targetPath);
}

}  // namespace lfapp
