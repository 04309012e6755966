#include "engine/base/SafeText.h"

namespace lf {

namespace {

std::string Escape(std::string_view text, bool keepLines) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (keepLines && c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        if (keepLines && c == '\n') {
            out += '\n';
        } else if (c < 0x20 || c == 0x7f) {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace

std::string SafeText(std::string_view text) {
    return Escape(text, false);
}

std::string SafeLines(std::string_view text) {
    return Escape(text, true);
}

}  // namespace lf
