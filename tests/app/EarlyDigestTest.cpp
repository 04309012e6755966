// The early digest on real files: it follows a growing verified prefix,
// finishes once the file has its final name, and its digest holds only while
// the file is exactly as it was hashed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "app/EarlyDigest.h"
#include "tests/support/TestDirs.h"

namespace {

using lfapp::CEarlyDigest;

std::string Md5Hex(const std::string& bytes) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), md, &length, EVP_md5(), nullptr);
    return lfapp::HexDigest(md, length);
}

// Writes bytes at an offset, as the store does.
void WriteAt(const std::string& path, const std::string& bytes, off_t offset) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), offset), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

class EarlyDigestTest : public ::testing::Test {
protected:
    static constexpr int64_t kSize = 3 * 1024 * 1024 + 123;

    void SetUp() override {
        content = lftest::PseudoRandomBytes(static_cast<size_t>(kSize), 11);
        finalPath = dir / "file.bin";
        tempPath = finalPath + ".lftmp";
        digest = std::make_unique<CEarlyDigest>(
            std::vector<CEarlyDigest::File>{{finalPath, tempPath, kSize}},
            [this](int) { return prefix.load(); });
    }
    // Lookup with a short stall so a test that expects no digest ends soon.
    bool Lookup(std::string* md5, int stallMs = 3000) {
        return digest->Lookup(0, md5, nullptr, stop, stallMs);
    }
    // The whole download: written in two halves (the second one reported
    // only after the first was hashed), renamed, then reported complete.
    void Download() {
        const size_t half = content.size() / 2;
        WriteAt(tempPath, content.substr(0, half), 0);
        prefix = static_cast<int64_t>(half);
        digest->Start();
        WriteAt(tempPath, content.substr(half), static_cast<off_t>(half));
        ASSERT_EQ(::rename(tempPath.c_str(), finalPath.c_str()), 0);
        prefix = kSize;
        digest->Notify();
    }

    lftest::TempDir dir;
    std::string content, finalPath, tempPath;
    std::atomic<int64_t> prefix{-1};
    std::atomic<bool> stop{false};
    std::unique_ptr<CEarlyDigest> digest;
};

TEST_F(EarlyDigestTest, DigestOfTheFinishedFile) {
    Download();
    std::string md5;
    ASSERT_TRUE(Lookup(&md5));
    EXPECT_EQ(md5, Md5Hex(content));
    // Asked again: the same answer, nothing changed.
    std::string again;
    EXPECT_TRUE(Lookup(&again));
    EXPECT_EQ(again, md5);
}

TEST_F(EarlyDigestTest, OnlyTheReportedPrefixIsRead) {
    // Garbage beyond the reported prefix must not enter the digest: the real
    // bytes replace it before the prefix grows over it.
    const size_t third = content.size() / 3;
    WriteAt(tempPath, content.substr(0, third), 0);
    WriteAt(tempPath, lftest::PseudoRandomBytes(content.size() - third, 5),
            static_cast<off_t>(third));
    prefix = static_cast<int64_t>(third);
    digest->Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    WriteAt(tempPath, content.substr(third), static_cast<off_t>(third));
    ASSERT_EQ(::rename(tempPath.c_str(), finalPath.c_str()), 0);
    prefix = kSize;
    std::string md5;
    ASSERT_TRUE(Lookup(&md5));
    EXPECT_EQ(md5, Md5Hex(content));
}

TEST_F(EarlyDigestTest, NotFinishedBeforeTheFinalName) {
    WriteAt(tempPath, content, 0);
    prefix = kSize;
    digest->Start();
    std::string md5;
    EXPECT_FALSE(Lookup(&md5, 500));
    ASSERT_EQ(::rename(tempPath.c_str(), finalPath.c_str()), 0);
    ASSERT_TRUE(Lookup(&md5));
    EXPECT_EQ(md5, Md5Hex(content));
}

TEST_F(EarlyDigestTest, SameSizeGarbageWithTheOldWriteTimeIsNotTrusted) {
    Download();
    std::string md5;
    ASSERT_TRUE(Lookup(&md5));
    struct stat st {};
    ASSERT_EQ(::stat(finalPath.c_str(), &st), 0);
    // Overwritten in place, same size, write time put back: only the change
    // time tells.
    WriteAt(finalPath, lftest::PseudoRandomBytes(content.size(), 7), 0);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, finalPath.c_str(), times, 0), 0);
    struct stat after {};
    ASSERT_EQ(::stat(finalPath.c_str(), &after), 0);
    ASSERT_EQ(after.st_size, st.st_size);
    ASSERT_EQ(after.st_mtim.tv_nsec, st.st_mtim.tv_nsec);
    std::string stale;
    EXPECT_FALSE(Lookup(&stale, 200));
}

TEST_F(EarlyDigestTest, ReplacedOrTruncatedFileIsNotTrusted) {
    Download();
    std::string md5;
    ASSERT_TRUE(Lookup(&md5));
    // A copy with the same bytes and times is another file.
    std::string copy = dir / "copy.bin";
    lftest::WriteFile(copy, content);
    struct stat st {};
    ASSERT_EQ(::stat(finalPath.c_str(), &st), 0);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, copy.c_str(), times, 0), 0);
    ASSERT_EQ(::rename(copy.c_str(), finalPath.c_str()), 0);
    EXPECT_FALSE(Lookup(&md5, 200));
}

TEST_F(EarlyDigestTest, ForgottenFileIsFollowedAgain) {
    Download();
    std::string md5;
    ASSERT_TRUE(Lookup(&md5));
    // Fetched again: other bytes, reported from the start.
    prefix = 0;
    digest->Forget(0);
    const std::string other = lftest::PseudoRandomBytes(content.size(), 9);
    WriteAt(finalPath, other, 0);
    prefix = kSize;
    ASSERT_TRUE(Lookup(&md5));
    EXPECT_EQ(md5, Md5Hex(other));
}

TEST_F(EarlyDigestTest, WithoutTheThreadNothingIsKnown) {
    lftest::WriteFile(finalPath, content);
    prefix = kSize;
    std::string md5;
    EXPECT_FALSE(Lookup(&md5));
}

TEST_F(EarlyDigestTest, StopEndsAWaitingLookup) {
    WriteAt(tempPath, content.substr(0, 1000), 0);
    prefix = 1000;
    digest->Start();
    std::thread stopper([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stop = true;
    });
    std::string md5;
    auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(Lookup(&md5, 60000));
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
    digest->Stop();
}

}  // namespace
