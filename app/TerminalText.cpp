#include "app/TerminalText.h"

#include <cstdint>

namespace lfapp {

namespace {

bool Wide(uint32_t c) {
    return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) ||
           (c >= 0x3041 && c <= 0x33FF) || (c >= 0x3400 && c <= 0x4DBF) ||
           (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xA000 && c <= 0xA4CF) ||
           (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
           (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
           (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD);
}

// Decodes the character at text[at]: its byte length and column count.
void Next(std::string_view text, size_t at, size_t* bytes, int* columns) {
    const auto b = static_cast<unsigned char>(text[at]);
    size_t n = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
    if (n == 0 || at + n > text.size()) {
        *bytes = 1;
        *columns = 1;
        return;
    }
    uint32_t c = n == 1 ? b : b & (0x7F >> n);
    for (size_t i = 1; i < n; ++i) {
        const auto cont = static_cast<unsigned char>(text[at + i]);
        if ((cont & 0xC0) != 0x80) {
            *bytes = 1;
            *columns = 1;
            return;
        }
        c = (c << 6) | (cont & 0x3F);
    }
    *bytes = n;
    *columns = Wide(c) ? 2 : 1;
}

}  // namespace

int DisplayWidth(std::string_view text) {
    int width = 0;
    for (size_t at = 0; at < text.size();) {
        size_t bytes;
        int columns;
        Next(text, at, &bytes, &columns);
        width += columns;
        at += bytes;
    }
    return width;
}

std::string FitToColumns(std::string_view text, int columns) {
    int width = 0;
    size_t at = 0;
    while (at < text.size()) {
        size_t bytes;
        int w;
        Next(text, at, &bytes, &w);
        if (width + w > columns) break;
        width += w;
        at += bytes;
    }
    return std::string(text.substr(0, at));
}

}  // namespace lfapp
