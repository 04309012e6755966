#include "engine/net/HttpHead.h"

#include <limits>

#include "common/Text.h"

namespace lf {

namespace http {

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

HeadScanner::State HeadScanner::Scan(const char* data, size_t size) {
    if (m_end != 0) return kComplete;
    if (size <= 2) return kNeedMore;
    const size_t n = size < m_limit ? size : m_limit;
    size_t i = m_next;
    for (; i + 1 < n; ++i) {
        if (data[i] != '\n') continue;
        if (data[i + 1] == '\n') {
            m_end = i + 2;
            return kComplete;
        }
        if (data[i + 1] == '\r') {
            if (i + 2 >= n) break;  // decided by the next byte
            if (data[i + 2] == '\n') {
                m_end = i + 3;
                return kComplete;
            }
        }
    }
    m_next = i;
    return size >= m_limit ? kTooLong : kNeedMore;
}

bool ParseResponseHead(const char* data, size_t size, ResponseHead* head) {
    HeadScanner scanner;
    if (scanner.Scan(data, size) != HeadScanner::kComplete) return false;
    SplitResponseHead(data, scanner.HeadBytes(), head);
    return true;
}

void SplitResponseHead(const char* data, size_t end, ResponseHead* head) {
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

}  // namespace http

}  // namespace lf
