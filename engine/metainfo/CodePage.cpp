#include "engine/metainfo/CodePage.h"

#include <iconv.h>
#include <strings.h>

#include <cerrno>

namespace lf {

namespace {

const char* CharsetOf(int codePage) {
    switch (codePage) {
        case 0:
        case 65001:
            return "UTF-8";
        case 936:
            return "CP936";
        case 950:
            return "CP950";
        case 949:
            return "CP949";
        case 932:
            return "CP932";
        default:
            return nullptr;
    }
}

bool PrintableAscii(std::string_view bytes) {
    for (char c : bytes) {
        if (c < 0x20 || c > 0x7E) return false;
    }
    return true;
}

// Converts the whole input or gives an empty text.
std::string Convert(std::string_view bytes, const char* from, const char* to) {
    if (!from || !to) return {};
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return {};
    std::string out;
    out.resize(bytes.size() * 4 + 16);
    char* in = const_cast<char*>(bytes.data());
    size_t inLeft = bytes.size();
    char* dst = out.data();
    size_t outLeft = out.size();
    bool ok = true;
    while (inLeft > 0) {
        if (iconv(cd, &in, &inLeft, &dst, &outLeft) == static_cast<size_t>(-1)) {
            if (errno == E2BIG) {
                const size_t used = out.size() - outLeft;
                out.resize(out.size() * 2);
                dst = out.data() + used;
                outLeft = out.size() - used;
                continue;
            }
            ok = false;  // invalid or incomplete sequence
            break;
        }
    }
    if (ok && iconv(cd, nullptr, nullptr, &dst, &outLeft) == static_cast<size_t>(-1)) ok = false;
    iconv_close(cd);
    if (!ok) return {};
    out.resize(out.size() - outLeft);
    return out;
}

}  // namespace

std::string ToAnsi(std::string_view bytes, int sourceCodePage) {
    if (bytes.empty()) return {};
    if (PrintableAscii(bytes)) return std::string(bytes);
    return Convert(bytes, CharsetOf(sourceCodePage), "UTF-8");
}

std::string FromAnsi(std::string_view bytes, int targetCodePage) {
    if (bytes.empty()) return {};
    if (PrintableAscii(bytes)) return std::string(bytes);
    return Convert(bytes, "UTF-8", CharsetOf(targetCodePage));
}

int CodePageFromName(std::string_view name) {
    struct Entry {
        const char* name;
        int codePage;
    };
    static const Entry kNames[] = {{"GBK", 936}, {"BIG5", 950}, {"KOR", 949}, {"Shift-JIS", 932}};
    for (const Entry& e : kNames) {
        if (name.size() == std::char_traits<char>::length(e.name) &&
            strncasecmp(name.data(), e.name, name.size()) == 0) {
            return e.codePage;
        }
    }
    return 0;
}

}  // namespace lf
