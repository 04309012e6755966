// The task's info file: a bencoded dictionary with up to four byte-string values,
// written in the order "bits", "part", "seeds", "torrent", each only when not empty.
//   bits     the piece map's resume data
//   part     the piece map's selection data
//   seeds    a value from an earlier file, written back unchanged
//   torrent  the metainfo bytes the task was created from
//
//   InfoFileData data;
//   LoadInfoFile(path, data);      // values longer than 2 bytes are taken
//   ...
//   SaveInfoFile(path, data);      // whole file replaced atomically
//
// The task keeps its own dirty flags: it clears them after LoadInfoFile and after a SaveInfoFile
// that returned true, and keeps them set after a failed save so that the next save tries again.
#pragma once

#include <string>
#include <string_view>

namespace lf {

struct InfoFileData {
    std::string bits;
    std::string part;
    std::string seeds;
    std::string torrent;
};

// The file's bytes for data.
std::string EncodeInfoFile(const InfoFileData& data);
// Takes each of the four values found with more than 2 bytes; the other fields are left as
// they were. False when the bytes are not a bencoded dictionary.
bool DecodeInfoFile(std::string_view bytes, InfoFileData& data);

// Reads and decodes the file. False when the path is empty, the file cannot be read or its
// content is not a bencoded dictionary (data is then left as it was).
bool LoadInfoFile(const std::string& path, InfoFileData& data);
// Writes the file through a temporary file in the same folder that replaces it once complete,
// so a crash never leaves a half-written info file. False on any write failure.
bool SaveInfoFile(const std::string& path, const InfoFileData& data);

}  // namespace lf
