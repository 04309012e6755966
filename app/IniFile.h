// INI files with the semantics of the Windows private-profile functions (the
// lookup rules are lf::IniDocument's, common/Ini.h): every write replaces one
// key and keeps the rest of the file as it was (comments, unknown keys,
// order, line endings). Files are replaced
// atomically (temporary file in the same folder, then rename), so a reader
// never sees half a file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/Ini.h"

namespace lfapp {

// The document and its lookup rules are the common reader's.
using IniDocument = lf::IniDocument;

// Reads a whole INI file; nullopt when it does not exist or cannot be read.
std::optional<IniDocument> ReadIniFile(const std::string& path);

// GetPrivateProfileString: the value, or the default when the file, the
// section or the key is missing.
std::string ReadIniString(const std::string& path, std::string_view section, std::string_view key,
                          std::string_view defaultValue);
int64_t ReadIniInt(const std::string& path, std::string_view section, std::string_view key,
                   int64_t defaultValue);

// WritePrivateProfileString: sets one key and keeps the rest of the file;
// creates the file when missing. The new text is written to a temporary file
// next to the target and renamed over it. Writes from threads of this process
// are serialised, so concurrent writes of different keys are all kept.
// Returns false when nothing was written.
bool WriteIniString(const std::string& path, std::string_view section, std::string_view key,
                    std::string_view value);
// Several keys of one section in one read-modify-write (all or nothing).
bool WriteIniStrings(const std::string& path, std::string_view section,
                     const std::vector<std::pair<std::string, std::string>>& values);
// Removes one key (WritePrivateProfileString with a null value); true when
// the file no longer holds it.
bool RemoveIniKey(const std::string& path, std::string_view section, std::string_view key);

// Replaces a file's contents atomically (temporary file in the same folder,
// flushed, then renamed). Returns false and leaves the old file when any step
// fails.
bool WriteFileAtomically(const std::string& path, std::string_view bytes);

}  // namespace lfapp
