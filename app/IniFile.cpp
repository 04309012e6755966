#include "app/IniFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>

namespace lfapp {
namespace {

std::mutex& WriteLock() {
    static std::mutex lock;
    return lock;
}

}  // namespace

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
