#include "engine/metainfo/InfoFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "engine/metainfo/Bencode.h"

namespace lf {

namespace {

struct Field {
    const char* key;
    std::string InfoFileData::*member;
};

constexpr Field kFields[] = {{"bits", &InfoFileData::bits},
                             {"part", &InfoFileData::part},
                             {"seeds", &InfoFileData::seeds},
                             {"torrent", &InfoFileData::torrent}};

// Info files hold metainfo and resume data; anything far larger is not ours.
constexpr off_t kMaxInfoFileSize = 512LL * 1024 * 1024;

bool WriteAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::string EncodeInfoFile(const InfoFileData& data) {
    std::unique_ptr<QElement> dict = NewDictionary();
    for (const Field& f : kFields) {
        const std::string& value = data.*f.member;
        if (value.empty()) continue;
        dict->AppendString(f.key);
        dict->AppendString(value);
    }
    std::string out;
    Serialize(dict.get(), out);
    return out;
}

bool DecodeInfoFile(std::string_view bytes, InfoFileData& data) {
    std::unique_ptr<QElement> root = ParseElement(bytes);
    if (!root || !root->IsDictionary()) return false;
    for (const Field& f : kFields) {
        const QElement* value = root->FindValue(f.key);
        if (value && value->IsString() && value->Length() > 2) {
            data.*f.member = std::string(value->Bytes());
        }
    }
    return true;
}

bool LoadInfoFile(const std::string& path, InfoFileData& data) {
    if (path.empty()) return false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxInfoFileSize) {
        ::close(fd);
        return false;
    }
    std::string bytes;
    char buffer[65536];
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        if (n == 0) break;
        bytes.append(buffer, static_cast<size_t>(n));
        if (static_cast<off_t>(bytes.size()) > kMaxInfoFileSize) {
            ok = false;
            break;
        }
    }
    ::close(fd);
    return ok && DecodeInfoFile(bytes, data);
}

bool SaveInfoFile(const std::string& path, const InfoFileData& data) {
    if (path.empty()) return false;
    const std::string bytes = EncodeInfoFile(data);
    const std::string temporary = path + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = WriteAll(fd, bytes) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok) ok = std::rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(temporary.c_str());
    return ok;
}

}  // namespace lf
