#include "engine/sources/HttpProtocol.h"

#include <strings.h>

#include <cctype>
#include <cstring>
#include <limits>

#include "common/Text.h"

namespace lf {

namespace http {
std::string BuildRequest(std::string_view path, std::string_view host, std::string_view referer,
                         int64_t position, int64_t end) {
    std::string r;
    r.reserve(256 + path.size() + host.size() + referer.size());
    r.append("GET ").append(path).append(" HTTP/1.1\r\n");
    r.append("Host:").append(host).append("\r\n");
    r.append("Accept:*/*\r\n");
    r.append("Referer: ").append(referer).append("\r\n");
    r.append("User-Agent:Mozilla/4.0 (compatible; MSIE 5.00; Windows 98) Lanternfish/1.0.3\r\n");
    r.append("Connection:Keep-Alive\r\n");
    const bool bounded = end > position && position >= 0;
    if (position > 0 || bounded) {
        r.append("Range: bytes=").append(std::to_string(position)).append("-");
        if (bounded) r.append(std::to_string(end - 1));
        r.append("\r\n");
    }
    r.append("Pragma: no-cache\r\n");
    r.append("Cache-Control: no-cache\r\n");
    r.append("\r\n");
    return r;
}

bool ResourceSize(const ResponseHead& head, int64_t* size) {
    std::string value;
    if (head.Find("Content-Range", &value)) {
        size_t slash = value.find('/');
        int64_t v = -1;
        if (slash == std::string::npos ||
            !ParseDecimal(std::string_view(value).substr(slash + 1), &v))
            v = -1;
        *size = v;
        return true;
    }
    if (head.Find("Content-Length", &value)) {
        int64_t v = -1;
        if (!ParseDecimal(value, &v)) v = -1;
        *size = v;
        return true;
    }
    *size = -1;
    return false;
}

int64_t ContentRangeStart(const ResponseHead& head) {
    std::string value;
    if (!head.Find("Content-Range", &value)) return -1;
    std::string_view v(value);
    if (StartsWithNoCase(v, "bytes")) v.remove_prefix(5);
    while (!v.empty() && (IsBlank(v.front()) || v.front() == '=')) v.remove_prefix(1);
    int64_t start = -1;
    size_t used = 0;
    if (!ParseDecimal(v, &start, &used)) return -1;
    if (used >= v.size() || v[used] != '-') return -1;
    return start;
}

int64_t BodyLength(const ResponseHead& head) {
    std::string value;
    int64_t v = -1;
    if (!head.Find("Content-Length", &value) || !ParseDecimal(value, &v) || v < 0) return -1;
    return v;
}

bool DispositionFileName(const ResponseHead& head, std::string* name) {
    std::string value;
    if (!head.Find("Content-Disposition", &value)) return false;
    size_t at = value.find("filename=");
    if (at == std::string::npos) {
        name->clear();
        return true;
    }
    std::string_view v = std::string_view(value).substr(at + 9);
    if (!v.empty() && v.front() == '"') v.remove_prefix(1);
    size_t semi = v.find(';');
    std::string_view n = v.substr(0, semi);
    if (!n.empty() && n.back() == '"') n.remove_suffix(1);
    *name = std::string(n);
    return true;
}

std::string AbsoluteLocation(std::string_view location, std::string_view host, int port) {
    if (StartsWithNoCase(location, "http://") || StartsWithNoCase(location, "ftp://")) {
        return std::string(location);
    }
    std::string out = "http://";
    out.append(host);
    if (port != 80) out.append(":").append(std::to_string(port));
    if (location.empty() || location.front() != '/') out.append("/");
    out.append(location);
    return out;
}

}  // namespace http

}  // namespace lf
