// The task's info file: a bencoded dictionary with up to four byte strings,
// "bits", "part", "seeds" and "torrent" (indexes as TBaseWork::InfoKey).
#pragma once

#include <array>
#include <string>

// Reads the file; values longer than 2 bytes are returned, others stay
// empty. False when the file cannot be read or parsed.
bool ReadInfoFile(const std::string& path, std::array<std::string, 4>* values);
// Writes the non-empty values (created or truncated). False unless the
// whole file was written.
bool WriteInfoFile(const std::string& path, const std::array<std::string, 4>& values);
