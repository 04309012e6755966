#include "app/IniFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>

#include "common/Text.h"

namespace lfapp {
namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

// Name of a section header line, or nullopt when the line is not one.
std::optional<std::string_view> HeaderName(std::string_view line) {
    std::string_view t = Trim(line);
    if (t.empty() || t.front() != '[') return std::nullopt;
    t.remove_prefix(1);
    size_t close = t.find(']');
    if (close != std::string_view::npos) t = t.substr(0, close);
    return Trim(t);
}

// Key and raw value of a "key=value" line.
bool SplitKeyLine(std::string_view line, std::string_view* key, std::string_view* value) {
    std::string_view t = Trim(line);
    if (t.empty() || t.front() == ';' || t.front() == '[') return false;
    size_t eq = t.find('=');
    if (eq == std::string_view::npos) return false;
    *key = Trim(t.substr(0, eq));
    *value = Trim(t.substr(eq + 1));
    return true;
}

std::string Unquote(std::string_view v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
    return std::string(v);
}

std::mutex& WriteLock() {
    static std::mutex lock;
    return lock;
}

}  // namespace

IniDocument IniDocument::Parse(std::string_view bytes) {
    IniDocument doc;
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
    size_t at = 0;
    while (at < bytes.size()) {
        size_t nl = bytes.find('\n', at);
        std::string_view line =
            bytes.substr(at, nl == std::string_view::npos ? std::string_view::npos : nl - at);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
            if (nl != std::string_view::npos) doc.m_crlf = true;
        }
        doc.m_lines.emplace_back(line);
        if (nl == std::string_view::npos) break;
        at = nl + 1;
    }
    return doc;
}

long IniDocument::FindSection(std::string_view section) const {
    for (size_t i = 0; i < m_lines.size(); ++i) {
        auto name = HeaderName(m_lines[i]);
        if (name && lf::EqualNoCase(*name, Trim(section))) return static_cast<long>(i);
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
        if (SplitKeyLine(m_lines[i], &k, &v) && lf::EqualNoCase(k, Trim(key)))
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
    SplitKeyLine(m_lines[static_cast<size_t>(line)], &k, &v);
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
    return !t.empty() && t.front() != '[' && t.front() != ';' &&
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

std::optional<IniDocument> ReadIniFile(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return IniDocument::Parse(text.str());
}

std::string ReadIniString(const std::string& path, std::string_view section, std::string_view key,
                          std::string_view defaultValue) {
    auto doc = ReadIniFile(path);
    return doc ? doc->GetString(section, key, defaultValue) : std::string(defaultValue);
}

int64_t ReadIniInt(const std::string& path, std::string_view section, std::string_view key,
                   int64_t defaultValue) {
    auto doc = ReadIniFile(path);
    return doc ? doc->GetInt(section, key, defaultValue) : defaultValue;
}

bool WriteFileAtomically(const std::string& path, std::string_view bytes) {
    std::string temp = path + ".XXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0) return false;
    bool ok = true;
    size_t done = 0;
    while (ok && done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            ok = false;
        else
            done += static_cast<size_t>(n);
    }
    if (ok) ok = fchmod(fd, 0644) == 0;
    if (ok) ok = fsync(fd) == 0;
    if (close(fd) != 0) ok = false;
    if (ok) ok = rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) unlink(temp.c_str());
    return ok;
}

bool WriteIniStrings(const std::string& path, std::string_view section,
                     const std::vector<std::pair<std::string, std::string>>& values) {
    std::lock_guard<std::mutex> guard(WriteLock());
    IniDocument doc;
    if (access(path.c_str(), F_OK) == 0) {
        auto existing = ReadIniFile(path);
        if (!existing) return false;  // never replace a file we could not read
        doc = std::move(*existing);
    }
    for (const auto& [key, value] : values)
        if (!doc.Set(section, key, value)) return false;
    return WriteFileAtomically(path, doc.Serialize());
}

bool WriteIniString(const std::string& path, std::string_view section, std::string_view key,
                    std::string_view value) {
    return WriteIniStrings(path, section, {{std::string(key), std::string(value)}});
}

bool RemoveIniKey(const std::string& path, std::string_view section, std::string_view key) {
    std::lock_guard<std::mutex> guard(WriteLock());
    auto doc = ReadIniFile(path);
    if (!doc) return access(path.c_str(), F_OK) != 0;
    if (!doc->Remove(section, key)) return true;
    return WriteFileAtomically(path, doc->Serialize());
}

}  // namespace lfapp
