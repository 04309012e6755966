#include "engine/sources/HttpProtocol.h"

#include <strings.h>

#include <cctype>
#include <cstring>
#include <limits>

namespace lf {

namespace http {
namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

}  // namespace

std::string BuildRequest(std::string_view path, std::string_view host, std::string_view referer,
                         int64_t position) {
    std::string r;
    r.reserve(256 + path.size() + host.size() + referer.size());
    r.append("GET ").append(path).append(" HTTP/1.1\r\n");
    r.append("Host:").append(host).append("\r\n");
    r.append("Accept:*/*\r\n");
    r.append("Referer: ").append(referer).append("\r\n");
    r.append("User-Agent:Mozilla/4.0 (compatible; MSIE 5.00; Windows 98) Lanternfish/1.0.3\r\n");
    r.append("Connection:Keep-Alive\r\n");
    if (position > 0) r.append("Range: bytes=").append(std::to_string(position)).append("-\r\n");
    r.append("Pragma: no-cache\r\n");
    r.append("Cache-Control: no-cache\r\n");
    r.append("\r\n");
    return r;
}

bool ParseDecimal(std::string_view text, int64_t* value, size_t* used) {
    size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) ++i;
    size_t start = i;
    int64_t v = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        int d = text[i] - '0';
        if (v > (std::numeric_limits<int64_t>::max() - d) / 10) return false;
        v = v * 10 + d;
        ++i;
    }
    if (i == start) return false;
    *value = v;
    if (used != nullptr) *used = i;
    return true;
}

bool ParseResponseHead(const char* data, size_t size, ResponseHead* head) {
    if (size <= 2) return false;
    // The block ends at the first LF followed by CR LF or by LF.
    size_t end = 0;
    bool found = false;
    for (size_t i = 0; i + 1 < size; ++i) {
        if (data[i] != '\n') continue;
        if (data[i + 1] == '\n') {
            end = i + 2;
            found = true;
            break;
        }
        if (data[i + 1] == '\r' && i + 2 < size && data[i + 2] == '\n') {
            end = i + 3;
            found = true;
            break;
        }
    }
    if (!found) return false;

    *head = ResponseHead();
    head->blockBytes = end;
    std::string_view block(data, end);
    while (!block.empty() && (block.back() == '\r' || block.back() == '\n')) block.remove_suffix(1);
    size_t pos = 0;
    while (pos <= block.size()) {
        size_t next = block.find_first_of("\r\n", pos);
        if (next == std::string_view::npos) next = block.size();
        if (next > pos) head->lines.emplace_back(block.substr(pos, next - pos));
        pos = next + 1;
    }
    if (!head->lines.empty() && head->lines.front().compare(0, 4, "HTTP") == 0) {
        std::string_view status(head->lines.front());
        size_t slash = status.find('/');
        size_t p = slash == std::string_view::npos ? 4 : slash + 1;
        size_t blank = status.find(' ', p);
        if (slash != std::string_view::npos) {
            head->version = std::string(
                status.substr(p, (blank == std::string_view::npos ? status.size() : blank) - p));
        }
        if (blank != std::string_view::npos) {
            std::string_view rest = status.substr(blank);
            int64_t code = 0;
            size_t used = 0;
            if (ParseDecimal(rest, &code, &used) && code <= 999) {
                head->status = static_cast<int>(code);
                rest.remove_prefix(used);
                while (!rest.empty() && IsBlank(rest.front())) rest.remove_prefix(1);
                head->reason = std::string(rest);
            }
        }
        head->lines.erase(head->lines.begin());
    }
    return true;
}

bool ResponseHead::Find(std::string_view name, std::string* value) const {
    for (const std::string& line : lines) {
        if (!StartsWithNoCase(line, name)) continue;
        size_t i = name.size();
        while (i < line.size() && static_cast<unsigned char>(line[i]) <= 0x20) ++i;
        if (i >= line.size() || line[i] != ':') continue;
        ++i;
        while (i < line.size() && IsBlank(line[i])) ++i;
        *value = line.substr(i);
        return true;
    }
    return false;
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
