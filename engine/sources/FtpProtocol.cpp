#include "engine/sources/FtpProtocol.h"

#include <cstdint>
#include <cstring>

namespace lf {

namespace ftp {

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The code at the start of a line when it is three digits; -1 otherwise.
int LineCode(const char* line, size_t length) {
    if (length < 3 || !IsDigit(line[0]) || !IsDigit(line[1]) || !IsDigit(line[2])) return -1;
    return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

// Length of a line without its CR LF / LF end.
size_t ContentLength(const char* line, size_t withEnd) {
    size_t n = withEnd;
    if (n > 0 && line[n - 1] == '\n') --n;
    if (n > 0 && line[n - 1] == '\r') --n;
    return n;
}

}  // namespace

ReplyStatus ParseReply(const char* data, size_t size, Reply* reply) {
    const char* end = data + size;
    // First line.
    const char* lf = static_cast<const char*>(memchr(data, '\n', size));
    // A first line too long, or clearly no code, is not worth waiting for.
    const size_t seen = lf ? static_cast<size_t>(lf - data) : size;
    const size_t probe = seen < 4 ? seen : 4;
    for (size_t i = 0; i < probe && i < 3; ++i)
        if (!IsDigit(data[i])) return ReplyStatus::kMalformed;
    if (probe == 4 && data[3] != ' ' && data[3] != '-' && data[3] != '\r')
        return ReplyStatus::kMalformed;
    if (lf == nullptr) {
        return size > kMaxReplyBytes ? ReplyStatus::kMalformed : ReplyStatus::kIncomplete;
    }
    const size_t firstWithEnd = static_cast<size_t>(lf - data) + 1;
    const size_t firstLength = ContentLength(data, firstWithEnd);
    const int code = LineCode(data, firstLength);
    if (code < 100 || code > 599) return ReplyStatus::kMalformed;
    if (firstLength > 3 && data[3] != ' ' && data[3] != '-') return ReplyStatus::kMalformed;
    std::string text;
    if (firstLength > 4) text.assign(data + 4, firstLength - 4);
    if (firstLength <= 3 || data[3] == ' ') {
        reply->code = code;
        reply->text = std::move(text);
        reply->bytes = firstWithEnd;
        return ReplyStatus::kComplete;
    }
    // Multi-line: look for "ddd " (or "ddd" alone) at the start of a later line.
    const char* line = lf + 1;
    while (line < end) {
        const char* next =
            static_cast<const char*>(memchr(line, '\n', static_cast<size_t>(end - line)));
        if (next == nullptr) break;
        const size_t withEnd = static_cast<size_t>(next - line) + 1;
        const size_t length = ContentLength(line, withEnd);
        if (LineCode(line, length) == code && (length == 3 || line[3] == ' ')) {
            const size_t total = static_cast<size_t>(next + 1 - data);
            if (total > kMaxReplyBytes) return ReplyStatus::kMalformed;
            reply->code = code;
            reply->text = std::move(text);
            reply->bytes = total;
            return ReplyStatus::kComplete;
        }
        line = next + 1;
    }
    return size > kMaxReplyBytes ? ReplyStatus::kMalformed : ReplyStatus::kIncomplete;
}

bool ParsePassive(std::string_view text, uint32_t* addressNet, uint16_t* port) {
    size_t open = text.find('(');
    std::string_view inner;
    if (open != std::string_view::npos) {
        size_t close = text.find(')', open + 1);
        if (close == std::string_view::npos) return false;
        inner = text.substr(open + 1, close - open - 1);
    } else {
        size_t first = 0;
        while (first < text.size() && !IsDigit(text[first])) ++first;
        inner = text.substr(first);
        // Without parentheses the numbers end at the first byte that is no
        // digit, comma or blank.
        size_t stop = 0;
        while (stop < inner.size() &&
               (IsDigit(inner[stop]) || inner[stop] == ',' || inner[stop] == ' '))
            ++stop;
        inner = inner.substr(0, stop);
    }
    unsigned numbers[6];
    int count = 0;
    size_t i = 0;
    while (i < inner.size()) {
        const char c = inner[i];
        if (c == ',' || c == ' ' || c == '\t') {
            ++i;
            continue;
        }
        if (!IsDigit(c)) return false;
        unsigned v = 0;
        size_t digits = 0;
        while (i < inner.size() && IsDigit(inner[i])) {
            if (++digits > 3) return false;
            v = v * 10 + static_cast<unsigned>(inner[i] - '0');
            ++i;
        }
        if (v > 255 || count == 6) return false;
        numbers[count++] = v;
    }
    if (count != 6) return false;
    const uint32_t hostOrder =
        (numbers[0] << 24) | (numbers[1] << 16) | (numbers[2] << 8) | numbers[3];
    const unsigned p = numbers[4] * 256 + numbers[5];
    if (p == 0) return false;
    // Network order: the first number is the first byte in memory.
    uint8_t bytes[4] = {static_cast<uint8_t>(hostOrder >> 24),
                        static_cast<uint8_t>(hostOrder >> 16), static_cast<uint8_t>(hostOrder >> 8),
                        static_cast<uint8_t>(hostOrder)};
    uint32_t net;
    memcpy(&net, bytes, 4);
    *addressNet = net;
    *port = static_cast<uint16_t>(p);
    return true;
}

bool ParseSize(std::string_view text, int64_t* size) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (i == text.size() || !IsDigit(text[i])) return false;
    int64_t v = 0;
    while (i < text.size() && IsDigit(text[i])) {
        const int d = text[i] - '0';
        if (v > (INT64_MAX - d) / 10) return false;
        v = v * 10 + d;
        ++i;
    }
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (i != text.size()) return false;
    *size = v;
    return true;
}

std::string DirectoryOf(std::string_view path) {
    size_t slash = path.rfind('/');
    if (slash == std::string_view::npos || slash == 0) return "/";
    return std::string(path.substr(0, slash));
}

std::string NameOf(std::string_view path) {
    size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string Command(std::string_view verb, std::string_view argument) {
    std::string line(verb);
    if (!argument.empty()) {
        line += ' ';
        line += argument;
    }
    line += "\r\n";
    return line;
}

std::string OffsetText(int64_t offset) {
    return std::to_string(offset);
}

bool SafeArgument(std::string_view text) {
    for (char c : text)
        if (c == '\r' || c == '\n' || c == '\0') return false;
    return true;
}

}  // namespace ftp

}  // namespace lf
