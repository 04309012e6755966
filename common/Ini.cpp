#include "common/Ini.h"

#include "common/Text.h"

namespace lf {
namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

// Name of a section header line, or nullopt when the line is not one. A
// header without ']' names the rest of the line.
std::optional<std::string_view> HeaderName(std::string_view line) {
    std::string_view t = Trim(line);
    if (t.empty() || t.front() != '[') return std::nullopt;
    t.remove_prefix(1);
    size_t close = t.find(']');
    if (close != std::string_view::npos) t = t.substr(0, close);
    return Trim(t);
}

// Key and raw value of a "key=value" line; false for comments, headers,
// lines without '=' and lines with an empty key.
bool SplitKeyLine(std::string_view line, bool hashComments, std::string_view* key,
                  std::string_view* value) {
    std::string_view t = Trim(line);
    if (t.empty() || t.front() == ';' || t.front() == '[') return false;
    if (hashComments && t.front() == '#') return false;
    size_t eq = t.find('=');
    if (eq == std::string_view::npos) return false;
    *key = Trim(t.substr(0, eq));
    *value = Trim(t.substr(eq + 1));
    return !key->empty();
}

std::string Unquote(std::string_view v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
    return std::string(v);
}

}  // namespace

IniParser::IniParser(IniSyntax syntax) : m_syntax(syntax) {
    m_doc.m_hashComments = syntax.hashComments;
}

void IniParser::EndLine() {
    std::string_view line = m_pending;
    if (m_doc.m_lines.empty() && line.substr(0, kBom.size()) == kBom)
        line.remove_prefix(kBom.size());
    m_doc.m_lines.emplace_back(line);
    m_pending.clear();
}

void IniParser::Feed(std::string_view chunk) {
    for (char c : chunk) {
        if (m_afterCr) {
            m_afterCr = false;
            if (c == '\n') {
                m_doc.m_crlf = true;
                continue;
            }
        }
        if (c == '\n') {
            if (!m_pending.empty() && m_pending.back() == '\r') {
                m_pending.pop_back();
                m_doc.m_crlf = true;
            }
            EndLine();
        } else if (c == '\r' && m_syntax.loneCrEndsLine) {
            EndLine();
            m_afterCr = true;
        } else {
            m_pending += c;
        }
    }
}

IniDocument IniParser::Finish() {
    bool onlyBom = m_doc.m_lines.empty() && m_pending == kBom;
    if (!m_pending.empty() && !onlyBom) {
        if (m_pending.back() == '\r') m_pending.pop_back();
        EndLine();
    }
    m_pending.clear();
    m_afterCr = false;
    IniDocument out = std::move(m_doc);
    m_doc = IniDocument();
    m_doc.m_hashComments = m_syntax.hashComments;
    return out;
}

IniDocument IniDocument::Parse(std::string_view bytes, IniSyntax syntax) {
    IniParser parser(syntax);
    parser.Feed(bytes);
    return parser.Finish();
}

long IniDocument::FindSection(std::string_view section) const {
    for (size_t i = 0; i < m_lines.size(); ++i) {
        auto name = HeaderName(m_lines[i]);
        if (name && EqualNoCase(*name, Trim(section))) return static_cast<long>(i);
    }
    return -1;
}

size_t IniDocument::SectionEnd(long header) const {
    size_t i = static_cast<size_t>(header) + 1;
    while (i < m_lines.size() && !HeaderName(m_lines[i])) ++i;
    return i;
}

long IniDocument::FindKey(long header, std::string_view key) const {
    size_t end = SectionEnd(header);
    for (size_t i = static_cast<size_t>(header) + 1; i < end; ++i) {
        std::string_view k, v;
        if (SplitKeyLine(m_lines[i], m_hashComments, &k, &v) && EqualNoCase(k, Trim(key)))
            return static_cast<long>(i);
    }
    return -1;
}

std::optional<std::string> IniDocument::Find(std::string_view section, std::string_view key) const {
    long header = FindSection(section);
    if (header < 0) return std::nullopt;
    long line = FindKey(header, key);
    if (line < 0) return std::nullopt;
    std::string_view k, v;
    SplitKeyLine(m_lines[static_cast<size_t>(line)], m_hashComments, &k, &v);
    return Unquote(v);
}

std::string IniDocument::GetString(std::string_view section, std::string_view key,
                                   std::string_view defaultValue) const {
    auto v = Find(section, key);
    return v ? *v : std::string(defaultValue);
}

int64_t IniDocument::GetInt(std::string_view section, std::string_view key,
                            int64_t defaultValue) const {
    auto v = Find(section, key);
    if (!v) return defaultValue;
    std::string_view s = *v;
    bool negative = false;
    if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    uint64_t n = 0;
    for (char c : s) {
        if (c < '0' || c > '9') break;
        if (n > (UINT64_MAX - 9) / 10) break;  // keep what fits
        n = n * 10 + static_cast<uint64_t>(c - '0');
    }
    if (n > static_cast<uint64_t>(INT64_MAX)) n = static_cast<uint64_t>(INT64_MAX);
    return negative ? -static_cast<int64_t>(n) : static_cast<int64_t>(n);
}

bool IniDocument::ValidSectionName(std::string_view section) {
    std::string_view t = Trim(section);
    return !t.empty() && t.find_first_of("]\r\n") == std::string_view::npos;
}

bool IniDocument::ValidKeyName(std::string_view key) {
    std::string_view t = Trim(key);
    return !t.empty() && t.front() != '[' && t.front() != ';' && t.front() != '#' &&
           t.find_first_of("=\r\n") == std::string_view::npos;
}

bool IniDocument::ValidValue(std::string_view value) {
    return value.find_first_of("\r\n") == std::string_view::npos;
}

bool IniDocument::Set(std::string_view section, std::string_view key, std::string_view value) {
    if (!ValidSectionName(section) || !ValidKeyName(key) || !ValidValue(value)) return false;
    std::string line = std::string(Trim(key)) + "=" + std::string(value);
    long header = FindSection(section);
    if (header < 0) {
        m_lines.push_back("[" + std::string(Trim(section)) + "]");
        m_lines.push_back(line);
        return true;
    }
    long existing = FindKey(header, key);
    if (existing >= 0) {
        m_lines[static_cast<size_t>(existing)] = line;
        return true;
    }
    // After the last non-blank line of the section, so blank separators stay
    // in front of the next section.
    size_t at = SectionEnd(header);
    while (at > static_cast<size_t>(header) + 1 && Trim(m_lines[at - 1]).empty()) --at;
    m_lines.insert(m_lines.begin() + static_cast<long>(at), line);
    return true;
}

bool IniDocument::Remove(std::string_view section, std::string_view key) {
    long header = FindSection(section);
    if (header < 0) return false;
    long existing = FindKey(header, key);
    if (existing < 0) return false;
    m_lines.erase(m_lines.begin() + existing);
    return true;
}

std::string IniDocument::Serialize() const {
    std::string out;
    const char* end = m_crlf ? "\r\n" : "\n";
    for (const std::string& line : m_lines) {
        out += line;
        out += end;
    }
    return out;
}

}  // namespace lf
