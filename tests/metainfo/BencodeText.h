// A tiny independent bencode writer for building test inputs, including
// malformed ones: dictionaries keep the order given (no sorting).
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace bt {

inline std::string S(std::string_view s) {
    return std::to_string(s.size()) + ":" + std::string(s);
}
inline std::string I(int64_t v) {
    // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) about
    // "i" + std::to_string(v).
    std::string out = "i";
    out += std::to_string(v);
    out += 'e';
    return out;
}
inline std::string L(std::initializer_list<std::string> items) {
    std::string out = "l";
    for (const std::string& item : items) out += item;
    return out + "e";
}
using Pairs = std::initializer_list<std::pair<std::string_view, std::string>>;
inline std::string D(Pairs pairs) {
    std::string out = "d";
    for (const auto& [key, value] : pairs) out += S(key) + value;
    return out + "e";
}

inline std::string Sha1(std::string_view bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha1(), nullptr);
    return std::string(reinterpret_cast<char*>(digest), length);
}

inline std::string Hex(std::string_view bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
    return out;
}

// Piece hashes of content cut into pieces of pieceLength bytes.
inline std::string PieceHashes(std::string_view content, size_t pieceLength) {
    std::string out;
    for (size_t at = 0; at < content.size(); at += pieceLength) {
        out += Sha1(content.substr(at, pieceLength));
    }
    return out;
}

}  // namespace bt
