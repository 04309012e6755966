// Base64 (RFC 4648 alphabet, '=' fill): decoding of the release data (table
// texts and the statistics configuration resource) and encoding (proxy
// authorisation, release tools).
#pragma once

#include <string>
#include <string_view>

namespace lf {

// Largest number of bytes DecodeBase64 hands back (the table slots hold
// 4096 bytes including the terminator).
inline constexpr size_t kBase64MaxDecoded = 4095;

// Standard Base64 (RFC 4648 alphabet, '=' as the fill character).
// - An input whose length is not a multiple of 4 decodes to "".
// - Decoding stops after the group that holds the first '='.
// - A character outside the alphabet makes the whole result "" (the
//   release data never holds one; nothing half-decoded is handed on).
// - The output is cut to kBase64MaxDecoded bytes.
// The result may contain zero bytes; see DecodeBase64Text.
std::string DecodeBase64(std::string_view text);

// DecodeBase64 read as a zero-terminated text: everything from the first
// zero byte on is dropped.
std::string DecodeBase64Text(std::string_view text);

// Standard Base64 with '=' fill (used by the release tools and tests).
std::string EncodeBase64(std::string_view bytes);

}  // namespace lf
