// INI files with the semantics of the Windows private-profile functions:
// section and key names are looked up case-insensitively (ASCII), the first
// matching section and key win, a missing key reads as the caller's default,
// and every write replaces one key and keeps the rest of the file as it was
// (comments, unknown keys, order, line endings). Files are replaced
// atomically (temporary file in the same folder, then rename), so a reader
// never sees half a file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lfapp {

// One INI text held as its lines. Parsing never fails: lines that are
// neither a section header ("[name]"), a comment (";..."), nor "key=value"
// are kept but never match a lookup.
class IniDocument {
public:
    IniDocument() = default;
    static IniDocument Parse(std::string_view bytes);

    // Value of the first matching key of the first matching section, with
    // surrounding blanks removed (and one pair of matching quotes, as Windows
    // does). nullopt when the section or key is missing.
    std::optional<std::string> Find(std::string_view section, std::string_view key) const;
    std::string GetString(std::string_view section, std::string_view key,
                          std::string_view defaultValue) const;
    // Windows GetPrivateProfileInt: missing key gives the default; otherwise
    // the leading decimal number of the value (optional sign), 0 when none.
    int64_t GetInt(std::string_view section, std::string_view key, int64_t defaultValue) const;

    // Replaces the key's line, or adds the key at the end of its section, or
    // adds the section at the end. Returns false, changing nothing, when the
    // names or the value cannot be stored in an INI line (empty names, line
    // breaks, '=' in a key, ']' in a section name).
    bool Set(std::string_view section, std::string_view key, std::string_view value);
    // Removes the first matching key; false when it was not there.
    bool Remove(std::string_view section, std::string_view key);

    // The text with every line ended by the file's own line ending ("\r\n"
    // when the parsed text used it, else "\n").
    std::string Serialize() const;

    static bool ValidSectionName(std::string_view section);
    static bool ValidKeyName(std::string_view key);
    static bool ValidValue(std::string_view value);

private:
    // Index of the section header line, or -1.
    long FindSection(std::string_view section) const;
    // Index of the key line inside the section starting at header, or -1.
    long FindKey(long header, std::string_view key) const;
    // One past the last line that belongs to the section at header.
    size_t SectionEnd(long header) const;

    std::vector<std::string> m_lines;
    bool m_crlf = false;
};

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
