// `lanternfish --seed DIR` serves a release folder only when every file is
// there with the release's size and MD5 digest: a table of broken folders is
// refused before the engine starts, a good one is served until SIGTERM and
// the figures it prints at the end are read back.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/ReleaseFiles.h"
#include "tests/support/TestDirs.h"

namespace {

using namespace std::chrono_literals;
using lfapptest::kReleaseFileNames;

const std::string kProgram = std::string(LF_BINARY_DIR) + "/app/lanternfish";

class SeedModeTest : public ::testing::Test {
public:
    void SetUp() override {
        std::filesystem::create_directories(dir / "files");
        std::string cmd = std::string(LF_BINARY_DIR) +
                          "/tools/make-release/lf-make-release --out " + (dir / "release") +
                          " --base-url http://127.0.0.1:1/qarrd160107/"
                          " --list-url http://127.0.0.1:1/resources.xml"
                          " --tracker http://127.0.0.1:1/announce --piece-length 16384";
        for (int i = 0; i < 8; ++i) {
            const std::string path = dir / (std::string("files/") + kReleaseFileNames[i]);
            lftest::WriteFile(path, lftest::PseudoRandomBytes(20000 + 1000 * i, 500 + i));
            cmd += " " + path;
        }
        ASSERT_EQ(lftest::Run(cmd + " >/dev/null"), 0);
    }

    std::vector<std::string> Command() const {
        return {"env",
                "LANGUAGE=en",
                "LANG=en_US.UTF-8",
                "LANTERNFISH_DATA_HOME=" + (dir / "data"),
                kProgram,
                "--release",
                dir / "release",
                "--seed",
                dir / "files",
                "--listen",
                std::to_string(lftest::FreeTcpPort())};
    }

    std::string File(int i) const { return dir / (std::string("files/") + kReleaseFileNames[i]); }

protected:
    lftest::TempDir dir;
};

TEST_F(SeedModeTest, BrokenFoldersAreRefused) {
    struct Case {
        const char* name;
        std::function<void(SeedModeTest&)> breakIt;
        const char* says;
    };
    const std::vector<Case> cases = {
        {"missing file", [](SeedModeTest& t) { std::filesystem::remove(t.File(5)); },
         "Missing or of the wrong size, not seeding: "},
        {"short file", [](SeedModeTest& t) { std::filesystem::resize_file(t.File(0), 100); },
         "Missing or of the wrong size, not seeding: "},
        {"one byte changed",
         [](SeedModeTest& t) {
             std::fstream f(t.File(7), std::ios::in | std::ios::out | std::ios::binary);
             f.seekg(12345);
             const char c = static_cast<char>(f.get() ^ 0x01);
             f.seekp(12345);
             f.put(c);
         },
         "MD5 does not match, not seeding: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // A fresh copy of the good folder for every case.
        const std::string keep = dir / "good";
        std::filesystem::remove_all(keep);
        std::filesystem::copy(dir / "files", keep);
        c.breakIt(*this);
        lftest::ChildProcess p;
        ASSERT_TRUE(p.Start(Command(), dir / "seed.log"));
        const int status = p.Wait();
        const std::string log = lftest::ReadFile(dir / "seed.log");
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << log;
        EXPECT_NE(log.find(c.says), std::string::npos) << log;
        EXPECT_EQ(log.find("Seeding;"), std::string::npos) << log;
        std::filesystem::remove(dir / "seed.log");
        std::filesystem::remove_all(dir / "files");
        std::filesystem::rename(keep, dir / "files");
    }
}

TEST_F(SeedModeTest, GoodFolderIsServedUntilStopped) {
    lftest::ChildProcess p;
    ASSERT_TRUE(p.Start(Command(), dir / "seed.log"));
    const auto end = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < end &&
           lftest::ReadFile(dir / "seed.log").find("Seeding;") == std::string::npos) {
        std::this_thread::sleep_for(50ms);
    }
    std::string log = lftest::ReadFile(dir / "seed.log");
    ASSERT_NE(log.find("Seeding;"), std::string::npos) << log;
    for (const char* name : kReleaseFileNames) EXPECT_NE(log.find(name), std::string::npos);
    // A second seeder on the same folder is refused while the first runs.
    {
        lftest::ChildProcess second;
        ASSERT_TRUE(second.Start(Command(), dir / "second.log"));
        const int status = second.Wait();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 64)
            << lftest::ReadFile(dir / "second.log");
    }
    p.Signal(SIGTERM);
    const int status = p.Wait();
    log = lftest::ReadFile(dir / "seed.log");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << log;
    EXPECT_NE(log.find("Bytes uploaded this time: 0"), std::string::npos) << log;
    // The files are served as they are: nothing written to them.
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(lftest::ReadFile(File(i)), lftest::PseudoRandomBytes(20000 + 1000 * i, 500 + i));
    }
}

}  // namespace
