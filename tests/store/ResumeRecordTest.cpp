// The resume data read into a record from bytes alone: which keys describe
// files, the info hash, the bit field and the partial pieces with their
// checksums.
#include <gtest/gtest.h>

#include <string>

#include "engine/store/ResumeRecord.h"
#include "engine/store/Sha1Context.h"
#include "engine/store/StoreChecksum.h"

using namespace lf;

namespace {

std::string Str(const std::string& s) {
    return std::to_string(s.size()) + ":" + s;
}

// A key whose value is an integer: the bencode element model's form.
std::string Int(const std::string& key, long long v) {
    return Str(key) + "i" + std::to_string(v) + "e";
}

std::string PieceEntry(int index, int part, uint32_t crc) {
    const std::string ctx(kSha1ContextBytes, 'c');
    return "d" + Int("Index", index) + Int("Part", part) + Str("Status") + Str(ctx) +
           Int("CRC32", crc) + "e";
}

uint32_t GoodCrc(int index) {
    const std::string ctx(kSha1ContextBytes, 'c');
    return AdlerFrom(static_cast<uint32_t>(index), ctx.data(), ctx.size());
}

TEST(ResumeRecordTest, ReadsTheFields) {
    const std::string hash(20, 'h');
    const std::string bytes =
        "d" + Str("infohash") + Str(hash) + Str("/d/a.bin") + Int("Low", 7) + Int("High", 1) +
        Int("Size", 100) + Int("Priority", 2) + Str("/d/b.bin") + Int("Low", 0) + Int("High", 0) +
        Int("Size", -1) + Str("/d/bad.bin") + Int("Low", -1) + Int("High", 0) + Int("Size", 5) +
        Str("PieceStatus") + "l" + PieceEntry(3, 16384, GoodCrc(3)) +
        PieceEntry(4, 16384, GoodCrc(4) + 1) + "e" + Str("BitField") + Str("\xc0") + "e";
    auto r = ParseResumeRecord(bytes);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->infoHash, hash);
    const auto* a = r->Find("/d/a.bin");
    ASSERT_NE(a, nullptr);
    EXPECT_TRUE(a->described);
    EXPECT_EQ(a->writeTime, (1ull << 32) | 7u);
    EXPECT_EQ(a->size, 100);
    EXPECT_EQ(a->priority, 2);
    const auto* b = r->Find("/d/b.bin");
    ASSERT_NE(b, nullptr);
    EXPECT_TRUE(b->described);
    EXPECT_EQ(b->size, -1);
    EXPECT_FALSE(b->priority);
    ASSERT_NE(r->Find("/d/bad.bin"), nullptr);
    EXPECT_FALSE(r->Find("/d/bad.bin")->described);  // Low out of range
    EXPECT_EQ(r->Find("/d/none.bin"), nullptr);
    ASSERT_NE(r->Find("infohash"), nullptr);
    EXPECT_FALSE(r->Find("infohash")->described);
    EXPECT_EQ(r->bitField, std::string("\xc0"));
    ASSERT_EQ(r->partials.size(), 2u);
    EXPECT_EQ(r->partials[0].index, 3);
    EXPECT_EQ(r->partials[0].part, 16384);
    EXPECT_TRUE(r->partials[0].checksumOk);
    EXPECT_EQ(r->partials[0].context.size(), kSha1ContextBytes);
    EXPECT_FALSE(r->partials[1].checksumOk);
}

TEST(ResumeRecordTest, WhatIsNotRead) {
    struct Case {
        const char* name;
        std::string bytes;
        bool record;
        size_t partials;
    } cases[] = {
        {"not bencode", "garbage", false, 0},
        {"a list", "le", false, 0},
        {"empty dictionary", "de", true, 0},
        {"short context",
         "d" + Str("PieceStatus") + "ld" + Int("Index", 1) + Int("Part", 1) + Str("Status") +
             Str("xx") + Int("CRC32", 0) + "ee" + "e",
         true, 0},
        {"entry keys out of order",
         "d" + Str("PieceStatus") + "ld" + Int("Part", 1) + Int("Index", 1) + Str("Status") +
             Str(std::string(kSha1ContextBytes, 'c')) + Int("CRC32", 0) + "ee" + "e",
         true, 0},
        {"no checksum",
         "d" + Str("PieceStatus") + "ld" + Int("Index", 1) + Int("Part", 1) + Str("Status") +
             Str(std::string(kSha1ContextBytes, 'c')) + Int("Other", 0) + "ee" + "e",
         true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = ParseResumeRecord(c.bytes);
        EXPECT_EQ(r.has_value(), c.record);
        if (r) {
            EXPECT_EQ(r->partials.size(), c.partials);
        }
    }
}

}  // namespace
