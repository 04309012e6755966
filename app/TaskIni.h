// The controller's task INI: section and key names, value formats, and the
// finish record that tells whether a completed file is still the one the
// download produced.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

#include "app/FileTime.h"
#include "app/IniFile.h"

namespace lfapp {

inline constexpr char kTaskSection[] = "LanternfishTask";
inline constexpr char kFinishSection[] = "LanternfishFinishInfo";

inline constexpr char kKeyTaskHash[] = "LanternfishTaskHash";
inline constexpr char kKeyCreateTimeStamp[] = "LanternfishTaskCreateTimeStamp";
inline constexpr char kKeyCreateTime[] = "LanternfishTaskCreateTime";
inline constexpr char kKeyEntrance[] = "LanternfishTaskEntrence";
inline constexpr char kKeyFolder[] = "LanternfishTaskFloder";
inline constexpr char kKeySavePath[] = "LanternfishTaskSavePath";
inline constexpr char kKeyLastSizeHigh[] = "LanternfishTaskLastSizeHigh";
inline constexpr char kKeyLastSizeLow[] = "LanternfishTaskLastSizeLow";
inline constexpr char kKeyDownloadTime[] = "LanternfishTaskDownloadTime";
inline constexpr char kKeyIsComplete[] = "LanternfishTaskIsComplete";
inline constexpr char kKeyCloseSelection[] = "LanternfishCloseSelection";
inline constexpr char kCompleteValue[] = "COMPLETE";
// Task link INI (working directory): section kTaskSection.
inline constexpr char kKeyTaskLink[] = "LanternfishTaskLink";

// Per-entry keys (i = 0..7).
std::string KeyHttpTaskUrl(int i);    // "LanternfishHttpTaskUrl%d"
std::string KeyHttpTaskFile(int i);   // "LanternfishHttpTaskFile%d"
std::string KeyDownloadInfo(int i);   // "LanternfishDownloadInfo%d"
std::string KeyRecoveredTask(int i);  // "LanternfishTask%d"
std::string KeyWriteTimeHigh(int i);  // "LanternfishTask%dWriteTimeHigh"
std::string KeyWriteTimeLow(int i);   // "LanternfishTask%dWriteTimeLow"
std::string KeyFileSizeHigh(int i);   // "LanternfishTask%dFileSizeHigh"
std::string KeyFileSizeLow(int i);    // "LanternfishTask%dFileSizeLow"

// Value formats.
std::string FormatUnsigned(uint64_t value);  // "%lu", "%llu", "%u"
// "LanternfishTaskCreateTime": local time as "%Y-%m-%d %X".
std::string CreateTimeText(time_t at);
// "LanternfishTaskCreateTimeStamp": milliseconds since system start.
uint64_t MillisecondsSinceBoot();

// "LanternfishTaskIsComplete" marks the download complete only when it is
// exactly "COMPLETE" (case-sensitive).
bool IsCompleteMark(const std::string& value);

// HTTP connection total from the task link INI at path (56 when missing or
// outside 10..200).
int ReadHttpConnectionTotal(const std::string& taskLinkIniPath);

// Record(i): writes the four finish-record keys of entry i from the target
// file's stamp; false when the file is missing (nothing is written).
bool RecordFinish(const std::string& taskIniPath, int i, const std::string& targetPath);
// Check(i): passes when the file exists and each of the four stored texts
// equals its "%lu" value now (a missing key reads as "").
bool CheckFinish(const IniDocument& taskIni, int i, const std::string& targetPath);
bool CheckFinish(const std::string& taskIniPath, int i, const std::string& targetPath);

// Pure part of the check: the stored record against a stamp.
bool FinishRecordMatches(const IniDocument& taskIni, int i, const FileStamp& stamp);

}  // namespace lfapp
