// Incremental SHA-1 with a portable saved form.
//
// TSha1Context wraps OpenSSL's SHA-1 (hardware accelerated where the CPU has
// it) and can export and import its running state as the 104-byte context
// that the resume data stores:
//
//   offset size field
//        0   20  five 32-bit intermediate hash words
//       20    4  message length in bits, low word
//       24    4  message length in bits, high word
//       28    2  index into the message block, signed
//       30   64  message block
//       94    2  padding (written as zero, ignored)
//       96    4  computed flag
//      100    4  corrupted flag
//
// All integers little-endian. This is the memory image of the classic
// RFC 3174 context, so the bytes are the same whatever produced them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace lf {

constexpr size_t kSha1ContextBytes = 104;
constexpr size_t kSha1DigestBytes = 20;

class TSha1Context {
public:
    TSha1Context();
    ~TSha1Context();
    TSha1Context(const TSha1Context& other);
    TSha1Context& operator=(const TSha1Context& other);

    void Reset();
    void Update(const void* data, size_t length);
    // Finishes a copy: the running state stays usable.
    void Digest(uint8_t out[kSha1DigestBytes]) const;
    std::string Digest() const;
    // Number of message bytes fed so far.
    uint64_t BytesHashed() const;

    // The 104-byte saved form (see above).
    void Export(char out[kSha1ContextBytes]) const;
    std::string Export() const;
    // Loads a saved form. Refuses (and leaves the state unchanged) a context
    // that is marked computed or corrupted, whose block index is outside 0..63
    // or does not agree with its bit length, or whose bit length is not a
    // whole number of bytes.
    bool Import(const char* in, size_t length);

    // Same running state (hash words and length).
    bool SameState(const TSha1Context& other) const;

    // One-shot digest.
    static std::string Of(const void* data, size_t length);

private:
    struct Impl;
    Impl* m_impl;
};

}  // namespace lf
