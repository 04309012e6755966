// The resume data ("bits") read into a record: bytes in, fields out. No file
// is looked at here; TPieces::LoadResumeData checks the record against the
// piece map and the files on disk and applies it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lf {

struct ResumeRecord {
    // What the resume data says about one file path (the first key with
    // that text). `described` is false when the key is not followed by
    // well-formed Low, High and Size entries.
    struct FileState {
        bool described = false;
        uint64_t writeTime = 0;  // High << 32 | Low
        int64_t size = 0;
        std::optional<int64_t> priority;
    };
    struct Partial {
        int64_t index = 0;
        int64_t part = 0;
        std::string context;  // the SHA-1 context (kSha1ContextBytes)
        bool checksumOk = false;
    };

    std::optional<std::string> infoHash;
    std::map<std::string, FileState, std::less<>> keys;
    std::optional<std::string> bitField;
    // Well-formed PieceStatus entries, in their order.
    std::vector<Partial> partials;

    // The state recorded for a path; nullptr when no key has that text.
    const FileState* Find(std::string_view path) const;
};

// Reads resume data; nothing when it is not a bencoded dictionary.
std::optional<ResumeRecord> ParseResumeRecord(std::string_view bytes);

}  // namespace lf
