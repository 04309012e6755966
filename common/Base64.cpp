#include "common/Base64.h"

#include <cstdint>

namespace lf {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Sextet(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

std::string DecodeBase64(std::string_view text) {
    std::string out;
    if (text.size() % 4 != 0) return out;
    out.reserve(text.size() / 4 * 3);
    for (size_t at = 0; at < text.size(); at += 4) {
        uint32_t bits = 0;
        int have = 0;  // sextets before the first '=' of this group
        bool fill = false;
        for (int k = 0; k < 4; ++k) {
            unsigned char c = static_cast<unsigned char>(text[at + k]);
            if (c == '=') {
                fill = true;
                break;
            }
            int v = Sextet(c);
            if (v < 0) return std::string();
            bits |= static_cast<uint32_t>(v) << (18 - 6 * k);
            ++have;
        }
        // Two sextets make one byte, three make two, four make three.
        int bytes = have >= 2 ? have - 1 : 0;
        for (int k = 0; k < bytes; ++k)
            out.push_back(static_cast<char>((bits >> (16 - 8 * k)) & 0xFF));
        if (out.size() >= kBase64MaxDecoded) {
            out.resize(kBase64MaxDecoded);
            break;
        }
        if (fill) break;
    }
    return out;
}

std::string DecodeBase64Text(std::string_view text) {
    std::string out = DecodeBase64(text);
    size_t zero = out.find('\0');
    if (zero != std::string::npos) out.resize(zero);
    return out;
}

std::string EncodeBase64(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t at = 0;
    for (; at + 3 <= bytes.size(); at += 3) {
        uint32_t v = (uint32_t(uint8_t(bytes[at])) << 16) |
                     (uint32_t(uint8_t(bytes[at + 1])) << 8) | uint8_t(bytes[at + 2]);
        for (int k = 0; k < 4; ++k) out.push_back(kAlphabet[(v >> (18 - 6 * k)) & 63]);
    }
    size_t rest = bytes.size() - at;
    if (rest > 0) {
        uint32_t v = uint32_t(uint8_t(bytes[at])) << 16;
        if (rest == 2) v |= uint32_t(uint8_t(bytes[at + 1])) << 8;
        out.push_back(kAlphabet[(v >> 18) & 63]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
        out.push_back(rest == 2 ? kAlphabet[(v >> 6) & 63] : '=');
        out.push_back('=');
    }
    return out;
}

}  // namespace lf
