// Control-connection bytes as a server could send them: every complete
// reply is taken off the front, its text goes through the 227 and 213
// parsers, and the same bytes split at a point chosen by the input must
// give the same replies.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/sources/FtpProtocol.h"

using namespace lf;

namespace {

std::vector<ftp::Reply> TakeAll(const std::string& bytes, size_t split) {
    std::vector<ftp::Reply> out;
    std::string buffer;
    size_t fed = 0;
    const size_t steps[2] = {split, bytes.size()};
    for (size_t upto : steps) {
        buffer.append(bytes, fed, upto - fed);
        fed = upto;
        for (;;) {
            ftp::Reply r;
            auto s = ftp::ParseReply(buffer.data(), buffer.size(), &r);
            if (s == ftp::ReplyStatus::kMalformed) return out;
            if (s == ftp::ReplyStatus::kIncomplete) break;
            if (r.bytes == 0 || r.bytes > buffer.size() || r.code < 100 || r.code > 599)
                __builtin_trap();
            uint32_t a;
            uint16_t p;
            if (ftp::ParsePassive(r.text, &a, &p) && p == 0) __builtin_trap();
            int64_t size;
            if (ftp::ParseSize(r.text, &size) && size < 0) __builtin_trap();
            buffer.erase(0, r.bytes);
            out.push_back(r);
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    const size_t split = bytes.empty() ? 0 : data[0] % (bytes.size() + 1);
    auto whole = TakeAll(bytes, bytes.size());
    auto parts = TakeAll(bytes, split);
    if (whole.size() != parts.size()) __builtin_trap();
    for (size_t i = 0; i < whole.size(); ++i) {
        if (whole[i].code != parts[i].code || whole[i].text != parts[i].text ||
            whole[i].bytes != parts[i].bytes)
            __builtin_trap();
    }
    const std::string path(bytes.data(), bytes.size() < 64 ? bytes.size() : 64);
    ftp::DirectoryOf(path);
    ftp::NameOf(path);
    return 0;
}
