// One INI reader for every INI text the program reads: the task INI, the
// release table and the statistics configuration. Lookups follow the Windows
// private-profile functions: section and key names compare case-insensitively
// (ASCII), the first matching section and the first matching key in it win (a
// later section of the same name is never read), a missing key reads as the
// caller's default, values lose surrounding blanks and one pair of matching
// quotes. The document keeps every line, so a write replaces one key and
// leaves comments, unknown keys, order and line endings as they were.
//
// The two dialects differ only in how bytes become lines; IniSyntax names the
// differences, and one tokenizer (IniParser) serves both.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lf {

struct IniSyntax {
    // A carriage return without a line feed also ends a line (otherwise only
    // "\n" does, and a "\r" before it is dropped).
    bool loneCrEndsLine = false;
    // A line whose first non-blank character is '#' is a comment, like ';'.
    bool hashComments = false;
};

// The task INI and the release table: lines end at "\n", ';' comments only.
inline constexpr IniSyntax kProfileSyntax{};
// The statistics configuration: also lone "\r" line ends and '#' comments.
inline constexpr IniSyntax kConfigurationSyntax{true, true};

class IniParser;

// One INI text held as its lines. Parsing never fails: lines that are
// neither a section header ("[name]"), a comment, nor "key=value" are kept
// but never match a lookup.
class IniDocument {
public:
    IniDocument() = default;
    static IniDocument Parse(std::string_view bytes, IniSyntax syntax = kProfileSyntax);

    // Value of the first matching key of the first matching section.
    // nullopt when the section or key is missing.
    std::optional<std::string> Find(std::string_view section, std::string_view key) const;
    std::string GetString(std::string_view section, std::string_view key,
                          std::string_view defaultValue) const;
    // GetPrivateProfileInt: missing key gives the default; otherwise the
    // leading decimal number of the value (optional sign), 0 when none.
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
    friend class IniParser;

    // Index of the section header line, or -1.
    long FindSection(std::string_view section) const;
    // Index of the key line inside the section starting at header, or -1.
    long FindKey(long header, std::string_view key) const;
    // One past the last line that belongs to the section at header.
    size_t SectionEnd(long header) const;

    std::vector<std::string> m_lines;
    bool m_crlf = false;
    bool m_hashComments = false;
};

// The tokenizer: bytes in chunks of any size, split into lines. Feeding a
// text in pieces gives the same document as parsing it whole.
class IniParser {
public:
    explicit IniParser(IniSyntax syntax = kProfileSyntax);
    void Feed(std::string_view chunk);
    // Ends the last line (a text need not end with a line break).
    IniDocument Finish();

private:
    void EndLine();

    IniSyntax m_syntax;
    IniDocument m_doc;
    std::string m_pending;
    bool m_afterCr = false;
};

}  // namespace lf
