// `cpack -G DEB` on the build tree: the package is named and versioned the
// Debian way, its control fields carry the dependencies dpkg-shlibdeps
// found, its files unpack into a scratch root where the program runs, and
// lintian finds no error in it.
#include <gtest/gtest.h>

#include <string>

#include "tests/dist/DistSupport.h"
#include "tests/support/TestDirs.h"

namespace {

std::string Trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

class PackageTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = new lftest::TempDir();
        const std::string arch = Trimmed(lftest::Capture("dpkg --print-architecture"));
        s_log = lftest::Capture("cd " + (*s_dir).Path() + " && cpack -G DEB --config " +
                                std::string(LF_BINARY_DIR) + "/CPackConfig.cmake 2>&1");
        s_deb = (*s_dir) / ("lanternfish_" + std::string(LF_VERSION) + "-1_" + arch + ".deb");
        s_root = (*s_dir) / "root";
        lftest::Run("dpkg-deb -x " + s_deb + " " + s_root);
    }
    static void TearDownTestSuite() {
        delete s_dir;
        s_dir = nullptr;
    }
    static std::string Field(const std::string& name) {
        return Trimmed(lftest::Capture("dpkg-deb -f " + s_deb + " " + name));
    }

    static lftest::TempDir* s_dir;
    static std::string s_deb, s_root, s_log;
};
lftest::TempDir* PackageTest::s_dir = nullptr;
std::string PackageTest::s_deb, PackageTest::s_root, PackageTest::s_log;

TEST_F(PackageTest, IsNamedAndVersionedTheDebianWay) {
    ASSERT_TRUE(lftest::FileExists(s_deb)) << s_log;
    EXPECT_EQ(Field("Package"), "lanternfish");
    EXPECT_EQ(Field("Version"), std::string(LF_VERSION) + "-1");
    EXPECT_EQ(Field("Architecture"), Trimmed(lftest::Capture("dpkg --print-architecture")));
    EXPECT_EQ(Field("Section"), "net");
    EXPECT_NE(Field("Maintainer").find('@'), std::string::npos);
    EXPECT_FALSE(Field("Description").empty());
}

TEST_F(PackageTest, DependsOnTheLibrariesTheProgramsLink) {
    ASSERT_TRUE(lftest::FileExists(s_deb)) << s_log;
    const std::string depends = Field("Depends");
    // Found by dpkg-shlibdeps in the binaries, with versions.
    for (const char* lib : {"libc6 (>=", "libssl3 (>=", "libcurl4 (>=", "libtinyxml2",
                            "libqt6widgets6 (>=", "qt6-qpa-plugins"}) {
        EXPECT_NE(depends.find(lib), std::string::npos) << lib << " missing in: " << depends;
    }
}

TEST_F(PackageTest, UnpacksTheProgramsAndTheirDesktopFiles) {
    ASSERT_TRUE(lftest::FileExists(s_deb)) << s_log;
    const std::set<std::string> files = lfdisttest::FilesUnder(s_root);
    for (const char* path :
         {"usr/bin/lanternfish", "usr/bin/lf-get", "usr/bin/lf-make-release", "usr/bin/lf-rendezvous",
          "usr/share/man/man1/lanternfish.1.gz",
          "usr/share/applications/com.orvane.Lanternfish.desktop",
          "usr/share/metainfo/com.orvane.Lanternfish.metainfo.xml",
          "usr/share/icons/hicolor/48x48/apps/lanternfish.png",
          "usr/share/doc/lanternfish/copyright", "usr/share/doc/lanternfish/changelog.Debian.gz"}) {
        EXPECT_TRUE(files.count(path)) << path;
    }
    const std::string out =
        lftest::Capture(s_root + "/usr/bin/lanternfish --headless --version 2>&1; echo rc=$?");
    EXPECT_NE(out.find("Lanternfish " + std::string(LF_VERSION)), std::string::npos) << out;
    EXPECT_NE(out.find("rc=0"), std::string::npos) << out;
}

TEST_F(PackageTest, LintianFindsNoError) {
    ASSERT_TRUE(lftest::FileExists(s_deb)) << s_log;
    if (!lftest::HaveProgram("lintian")) GTEST_SKIP() << "lintian is not installed";
    const std::string out = lftest::Capture("lintian --no-cfg " + s_deb + " 2>&1");
    std::string errors;
    for (size_t at = 0; at < out.size();) {
        size_t end = out.find('\n', at);
        if (end == std::string::npos) end = out.size();
        const std::string line = out.substr(at, end - at);
        if (line.rfind("E: ", 0) == 0) errors += line + "\n";
        at = end + 1;
    }
    EXPECT_EQ(errors, "") << out;
}

}  // namespace
