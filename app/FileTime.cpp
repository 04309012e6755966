#include "app/FileTime.h"

#include <sys/stat.h>

namespace lfapp {

uint64_t UnixTimeToFileTime(int64_t seconds, int64_t nanoseconds) {
    int64_t since1601 = seconds + kFileTimeEpochOffset;
    if (since1601 < 0) return 0;
    return static_cast<uint64_t>(since1601) * 10000000u + static_cast<uint64_t>(nanoseconds / 100);
}

uint64_t ToLocalFileTime(uint64_t fileTime, int64_t utcOffsetSeconds) {
    int64_t delta = utcOffsetSeconds * 10000000;
    if (delta < 0 && static_cast<uint64_t>(-delta) > fileTime) return 0;
    return fileTime + static_cast<uint64_t>(delta);
}

int64_t LocalUtcOffset(time_t at) {
    struct tm local;
    if (!localtime_r(&at, &local)) return 0;
    return local.tm_gmtoff;
}

FileTimeWords SplitFileTime(uint64_t fileTime) {
    return {static_cast<uint32_t>(fileTime >> 32), static_cast<uint32_t>(fileTime & 0xFFFFFFFFu)};
}

uint64_t JoinFileTime(FileTimeWords words) {
    return (uint64_t(words.high) << 32) | words.low;
}

std::optional<FileStamp> ReadFileStamp(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    uint64_t ft = UnixTimeToFileTime(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
    FileStamp stamp;
    stamp.writeTime = SplitFileTime(ToLocalFileTime(ft, LocalUtcOffset(st.st_mtim.tv_sec)));
    stamp.size = SplitFileTime(static_cast<uint64_t>(st.st_size));
    return stamp;
}

}  // namespace lfapp
