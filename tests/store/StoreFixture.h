// Shared by the piece-store tests, the crash helper and the benchmark:
// content with known bytes and its layout, and a recording event sink.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/store/ContentLayout.h"
#include "engine/store/Sha1Context.h"
#include "engine/store/TPieces.h"

namespace storetest {
using namespace lf;

inline std::string Bytes(size_t size, uint64_t seed) {
    std::string out(size, '\0');
    uint64_t x = 0x9E3779B97F4A7C15ull ^ (seed * 0x100000001B3ull);
    size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        for (int k = 0; k < 8; ++k) out[i + k] = static_cast<char>(x >> (8 * k));
    }
    for (; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        out[i] = static_cast<char>(x);
    }
    return out;
}

struct Content {
    TContentLayout layout;
    std::string bytes;  // all files end to end

    std::string FileBytes(size_t i) const {
        int64_t off = 0;
        for (size_t k = 0; k < i; ++k) off += layout.files[k].length;
        return bytes.substr(static_cast<size_t>(off), static_cast<size_t>(layout.files[i].length));
    }
    std::string PieceBytes(int32_t piece) const {
        int64_t off = static_cast<int64_t>(piece) * layout.pieceLength;
        int64_t n = std::min<int64_t>(layout.pieceLength, static_cast<int64_t>(bytes.size()) - off);
        return bytes.substr(static_cast<size_t>(off), static_cast<size_t>(n));
    }
};

inline Content MakeContent(const std::vector<std::pair<std::string, int64_t>>& files,
                           int32_t pieceLength, uint64_t seed, bool withHashes = true) {
    Content c;
    c.layout.name = "content";
    int64_t total = 0;
    for (const auto& [path, len] : files) {
        c.layout.files.push_back({path, len});
        total += len;
    }
    c.bytes = Bytes(static_cast<size_t>(total), seed);
    c.layout.pieceLength = pieceLength;
    c.layout.pieceCount = (total + pieceLength - 1) / pieceLength;
    if (withHashes) {
        for (int64_t i = 0; i < c.layout.pieceCount; ++i) {
            std::string p = c.PieceBytes(static_cast<int32_t>(i));
            c.layout.pieceHashes += TSha1Context::Of(p.data(), p.size());
        }
    }
    c.layout.infoHash = TSha1Context::Of("info", 4);
    return c;
}

inline std::string Digest(const char* md, const std::string& data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(data.data(), data.size(), out, &n, EVP_get_digestbyname(md), nullptr);
    static const char* hex = "0123456789abcdef";
    std::string s;
    for (unsigned i = 0; i < n; ++i) {
        s += hex[out[i] >> 4];
        s += hex[out[i] & 15];
    }
    return s;
}

// Feeds every missing block of every piece, in order.
inline void FeedAll(TPieces& map, const Content& c, IPieceSource* source = nullptr) {
    for (int32_t i = 0; i < map.PieceCount(); ++i) {
        std::string p = c.PieceBytes(i);
        for (int32_t o = 0; o < static_cast<int32_t>(p.size()); o += kBlockBytes) {
            if (map.HasBlock(i, o)) continue;
            int32_t n = std::min<int32_t>(kBlockBytes, static_cast<int32_t>(p.size()) - o);
            map.StoreBlock(i, o, p.data() + o, n, source);
        }
    }
}

}  // namespace storetest
