#define OPENSSL_SUPPRESS_DEPRECATED 1
#include "engine/store/Sha1Context.h"

#include <openssl/sha.h>

#include <cstring>

namespace lf {

struct TSha1Context::Impl {
    SHA_CTX ctx;
};

namespace {

void PutLe32(char* p, uint32_t v) {
    p[0] = static_cast<char>(v & 0xff);
    p[1] = static_cast<char>((v >> 8) & 0xff);
    p[2] = static_cast<char>((v >> 16) & 0xff);
    p[3] = static_cast<char>((v >> 24) & 0xff);
}

uint32_t GetLe32(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return static_cast<uint32_t>(u[0]) | (static_cast<uint32_t>(u[1]) << 8) |
           (static_cast<uint32_t>(u[2]) << 16) | (static_cast<uint32_t>(u[3]) << 24);
}

}  // namespace

TSha1Context::TSha1Context() : m_impl(new Impl) {
    SHA1_Init(&m_impl->ctx);
}
TSha1Context::~TSha1Context() {
    delete m_impl;
}
TSha1Context::TSha1Context(const TSha1Context& other) : m_impl(new Impl(*other.m_impl)) {}
TSha1Context& TSha1Context::operator=(const TSha1Context& other) {
    if (this != &other) *m_impl = *other.m_impl;
    return *this;
}

void TSha1Context::Reset() {
    SHA1_Init(&m_impl->ctx);
}

void TSha1Context::Update(const void* data, size_t length) {
    if (length > 0) SHA1_Update(&m_impl->ctx, data, length);
}

void TSha1Context::Digest(uint8_t out[kSha1DigestBytes]) const {
    SHA_CTX copy = m_impl->ctx;
    SHA1_Final(out, &copy);
}

std::string TSha1Context::Digest() const {
    uint8_t d[kSha1DigestBytes];
    Digest(d);
    return std::string(reinterpret_cast<char*>(d), sizeof d);
}

uint64_t TSha1Context::BytesHashed() const {
    return ((static_cast<uint64_t>(m_impl->ctx.Nh) << 32) | m_impl->ctx.Nl) >> 3;
}

void TSha1Context::Export(char out[kSha1ContextBytes]) const {
    const SHA_CTX& c = m_impl->ctx;
    std::memset(out, 0, kSha1ContextBytes);
    PutLe32(out + 0, c.h0);
    PutLe32(out + 4, c.h1);
    PutLe32(out + 8, c.h2);
    PutLe32(out + 12, c.h3);
    PutLe32(out + 16, c.h4);
    PutLe32(out + 20, c.Nl);
    PutLe32(out + 24, c.Nh);
    out[28] = static_cast<char>(c.num & 0xff);
    out[29] = static_cast<char>((c.num >> 8) & 0xff);
    // OpenSSL keeps the pending message bytes in data[] in input order.
    std::memcpy(out + 30, c.data, 64);
    // computed and corrupted stay 0: a running context.
}

std::string TSha1Context::Export() const {
    char b[kSha1ContextBytes];
    Export(b);
    return std::string(b, sizeof b);
}

bool TSha1Context::Import(const char* in, size_t length) {
    if (in == nullptr || length < kSha1ContextBytes) return false;
    uint32_t nl = GetLe32(in + 20);
    uint32_t nh = GetLe32(in + 24);
    auto index =
        static_cast<int16_t>(static_cast<uint16_t>(static_cast<unsigned char>(in[28])) |
                             (static_cast<uint16_t>(static_cast<unsigned char>(in[29])) << 8));
    if (GetLe32(in + 96) != 0 || GetLe32(in + 100) != 0) return false;
    if (index < 0 || index > 63) return false;
    if ((nl & 7) != 0) return false;
    uint64_t bytes = ((static_cast<uint64_t>(nh) << 32) | nl) >> 3;
    if (bytes % 64 != static_cast<uint64_t>(index)) return false;
    SHA_CTX c;
    std::memset(&c, 0, sizeof c);
    c.h0 = GetLe32(in + 0);
    c.h1 = GetLe32(in + 4);
    c.h2 = GetLe32(in + 8);
    c.h3 = GetLe32(in + 12);
    c.h4 = GetLe32(in + 16);
    c.Nl = nl;
    c.Nh = nh;
    c.num = static_cast<unsigned int>(index);
    std::memcpy(c.data, in + 30, 64);
    m_impl->ctx = c;
    return true;
}

bool TSha1Context::SameState(const TSha1Context& other) const {
    char a[kSha1ContextBytes];
    char b[kSha1ContextBytes];
    Export(a);
    other.Export(b);
    size_t index = static_cast<size_t>(m_impl->ctx.num);
    return std::memcmp(a, b, 30 + index) == 0;
}

std::string TSha1Context::Of(const void* data, size_t length) {
    uint8_t d[kSha1DigestBytes];
    SHA1(static_cast<const unsigned char*>(data), length, d);
    return std::string(reinterpret_cast<char*>(d), sizeof d);
}

}  // namespace lf
