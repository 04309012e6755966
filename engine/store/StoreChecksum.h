// Adler-32 (RFC 1950) with a chosen starting value, as the resume data and
// the cache file use it: the running value starts at a number (a piece index)
// instead of 1, its low 16 bits as the first sum and its high 16 bits as the
// second.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>

namespace lf {

inline uint32_t AdlerFrom(uint32_t start, const void* data, size_t length) {
    return static_cast<uint32_t>(
        adler32_z(start, static_cast<const Bytef*>(data), static_cast<z_size_t>(length)));
}

}  // namespace lf
