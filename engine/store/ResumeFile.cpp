#include "engine/store/ResumeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "engine/metainfo/Bencode.h"

namespace lf {

std::string SerializeResumeFile(const TResumeFileValues& v) {
    std::unique_ptr<QElement> d = NewDictionary();
    const std::pair<const char*, const std::string*> keys[] = {
        {"bits", &v.bits}, {"part", &v.part}, {"seeds", &v.seeds}, {"torrent", &v.torrent}};
    for (const auto& [key, value] : keys) {
        if (value->empty()) continue;
        d->AppendString(key);
        d->AppendString(*value);
    }
    std::string out;
    Serialize(d.get(), out);
    return out;
}

bool ParseResumeFile(std::string_view bytes, TResumeFileValues* values) {
    *values = TResumeFileValues();
    std::unique_ptr<QElement> root = ParseElement(bytes);
    if (!root || !root->IsDictionary()) return false;
    auto take = [&](const char* key, std::string* out) {
        const QElement* e = root->FindValue(key);
        if (e != nullptr && e->IsString() && e->Length() > 2) *out = std::string(e->Bytes());
    };
    take("bits", &values->bits);
    take("part", &values->part);
    take("seeds", &values->seeds);
    take("torrent", &values->torrent);
    return true;
}

bool SaveResumeFile(const std::string& path, const TResumeFileValues& values, bool sync) {
    std::string data = SerializeResumeFile(values);
    std::string temp = path + ".new";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    size_t done = 0;
    bool ok = true;
    while (done < data.size()) {
        ssize_t w = ::write(fd, data.data() + done, data.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            ok = false;
            break;
        }
        done += static_cast<size_t>(w);
    }
    if (ok && sync) ok = ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    if (sync) {
        size_t slash = path.rfind('/');
        std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
        int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dfd >= 0) {
            ::fsync(dfd);
            ::close(dfd);
        }
    }
    return true;
}

bool LoadResumeFile(const std::string& path, TResumeFileValues* values) {
    *values = TResumeFileValues();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::string data;
    char buf[65536];
    for (;;) {
        ssize_t r = ::read(fd, buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        data.append(buf, static_cast<size_t>(r));
        if (data.size() > (256u << 20)) break;  // no info file is this large
    }
    ::close(fd);
    return ParseResumeFile(data, values);
}

}  // namespace lf
