// The task's resume file (its ".lfinfo" info file): a bencoded dictionary
// with up to four string values, written in this order and each only when
// not empty:
//   bits     the piece map's resume dictionary (TPieces::MakeResumeData)
//   part     the selection list (TPieces::MakeSelectionData)
//   seeds    a value kept from an earlier info file, written back unchanged
//   torrent  the metainfo bytes the task was created from
// On load each value is taken only when it is longer than 2 bytes.
#pragma once

#include <string>
#include <string_view>

namespace lf {

struct TResumeFileValues {
    std::string bits;
    std::string part;
    std::string seeds;
    std::string torrent;
};

// Serialized form of the values.
std::string SerializeResumeFile(const TResumeFileValues& values);
// Reads the values from the file's bytes; false when they do not parse as a
// dictionary (values then stay empty).
bool ParseResumeFile(std::string_view bytes, TResumeFileValues* values);

// Replaces the file atomically (a temporary file beside it, then a rename), so
// a crash leaves either the old or the new file. sync: fsync the file and its
// folder before returning.
bool SaveResumeFile(const std::string& path, const TResumeFileValues& values, bool sync);
bool LoadResumeFile(const std::string& path, TResumeFileValues* values);

}  // namespace lf
