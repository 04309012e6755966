// Windows FILETIME values on Linux: 100-nanosecond ticks since
// 1601-01-01 UTC, split into high and low 32-bit words where the task INI
// and the resume data store them.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

namespace lfapp {

// Seconds between 1601-01-01 and 1970-01-01.
inline constexpr int64_t kFileTimeEpochOffset = 11644473600;

// st_mtim-style time to FILETIME ticks (times before 1601 give 0).
uint64_t UnixTimeToFileTime(int64_t seconds, int64_t nanoseconds);
// Local file time: adds the UTC offset (seconds east of UTC) to a FILETIME.
uint64_t ToLocalFileTime(uint64_t fileTime, int64_t utcOffsetSeconds);
// UTC offset of the local zone at a moment (tm_gmtoff of localtime_r).
int64_t LocalUtcOffset(time_t at);

struct FileTimeWords {
    uint32_t high = 0;
    uint32_t low = 0;
};
FileTimeWords SplitFileTime(uint64_t fileTime);
uint64_t JoinFileTime(FileTimeWords words);

// Last-write time and size of a file as the finish record keeps them: the
// last-write time as local file time (with the offset in force at that time,
// so the value does not move when daylight saving time begins or ends) and
// the size, each split into words. nullopt when the file is not there.
struct FileStamp {
    FileTimeWords writeTime;
    FileTimeWords size;  // high and low 32 bits of the size
};
std::optional<FileStamp> ReadFileStamp(const std::string& path);

}  // namespace lfapp
