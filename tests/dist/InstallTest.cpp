// `cmake --install` into a scratch prefix: every file a desktop expects is
// there, the installed program runs, the desktop entry and the AppStream
// metadata pass their validators, and each manual page documents exactly
// the options its program's --help lists.
#include <gtest/gtest.h>

#include <string>

#include "tests/dist/DistSupport.h"
#include "tests/support/TestDirs.h"

namespace {

using lfdisttest::FilesUnder;
using lfdisttest::NamedOptions;
using lfdisttest::PngSize;

class InstallTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = new lftest::TempDir();
        s_prefix = (*s_dir) / "prefix";
        s_installLog = lftest::Capture("cmake --install " + std::string(LF_BINARY_DIR) +
                                       " --prefix " + s_prefix + " 2>&1");
    }
    static void TearDownTestSuite() {
        delete s_dir;
        s_dir = nullptr;
    }
    static std::string Installed(const std::string& path) { return s_prefix + "/" + path; }

    static lftest::TempDir* s_dir;
    static std::string s_prefix;
    static std::string s_installLog;
};
lftest::TempDir* InstallTest::s_dir = nullptr;
std::string InstallTest::s_prefix;
std::string InstallTest::s_installLog;

const char* const kPrograms[] = {"lanternfish", "lf-get", "lf-make-release", "lf-rendezvous"};

TEST_F(InstallTest, InstallsTheProgramsAndTheirDesktopFiles) {
    std::vector<std::string> expected = {
        "bin/lanternfish",
        "bin/lanternfish-window",
        "bin/lf-get",
        "bin/lf-make-release",
        "bin/lf-rendezvous",
        "share/man/man1/lanternfish.1.gz",
        "share/man/man1/lf-get.1.gz",
        "share/man/man1/lf-make-release.1.gz",
        "share/man/man1/lf-rendezvous.1.gz",
        "share/doc/lanternfish/copyright",
        "share/doc/lanternfish/changelog.Debian.gz",
        "share/applications/com.orvane.Lanternfish.desktop",
        "share/metainfo/com.orvane.Lanternfish.metainfo.xml",
    };
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        const std::string n = std::to_string(size);
        expected.push_back("share/icons/hicolor/" + n + "x" + n + "/apps/lanternfish.png");
    }
    const std::set<std::string> files = FilesUnder(s_prefix);
    std::string listing;
    for (const std::string& f : files) listing += f + "\n";
    SCOPED_TRACE("installed:\n" + listing + "cmake --install said:\n" + s_installLog);
    for (const std::string& path : expected) EXPECT_TRUE(files.count(path)) << path;
    EXPECT_EQ(files.size(), expected.size()) << "files installed that nobody asked for";
    // Every install line of cmake names a file that is there.
    for (const std::string& f : files) {
        EXPECT_NE(s_installLog.find(f), std::string::npos) << f << " not in the install listing";
    }
}

TEST_F(InstallTest, IconsHaveTheSizeTheirFolderNames) {
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        const std::string n = std::to_string(size);
        const auto got = PngSize(lftest::ReadFile(
            Installed("share/icons/hicolor/" + n + "x" + n + "/apps/lanternfish.png")));
        EXPECT_EQ(got, std::make_pair(size, size)) << n;
    }
}

TEST_F(InstallTest, InstalledProgramsRunFromThePrefix) {
    const std::string help =
        lftest::Capture(Installed("bin/lanternfish") + " --headless --help 2>&1; echo rc=$?");
    EXPECT_NE(help.find("Usage: lanternfish"), std::string::npos) << help;
    EXPECT_NE(help.find("rc=0"), std::string::npos) << help;
    for (const char* tool : {"lf-get", "lf-make-release"}) {
        const std::string out =
            lftest::Capture(Installed("bin/") + tool + " --help 2>&1; echo rc=$?");
        EXPECT_NE(out.find(std::string("usage: ") + tool), std::string::npos) << out;
        EXPECT_NE(out.find("rc=0"), std::string::npos) << out;
    }
}

TEST_F(InstallTest, DesktopEntryAndMetadataPassTheirValidators) {
    struct Validator {
        const char* program;
        std::string command;
    };
    const Validator validators[] = {
        {"desktop-file-validate",
         "desktop-file-validate " + Installed("share/applications/com.orvane.Lanternfish.desktop")},
        {"appstreamcli", "appstreamcli validate --no-net --pedantic " +
                             Installed("share/metainfo/com.orvane.Lanternfish.metainfo.xml")},
    };
    for (const Validator& v : validators) {
        if (!lftest::HaveProgram(v.program)) {
            std::printf("%s is not installed: not checked\n", v.program);
            continue;
        }
        const std::string out = lftest::Capture(v.command + " 2>&1; echo rc=$?");
        EXPECT_NE(out.find("rc=0"), std::string::npos) << v.command << "\n" << out;
        EXPECT_EQ(out.find("error"), std::string::npos) << out;
    }
}

TEST_F(InstallTest, ManualPagesDocumentTheOptionsOfHelp) {
    for (const char* program : kPrograms) {
        SCOPED_TRACE(program);
        const std::set<std::string> help =
            NamedOptions(lftest::Capture(Installed("bin/") + program + " --help 2>/dev/null"));
        const std::set<std::string> page = NamedOptions(
            lftest::Capture("gzip -dc " + Installed("share/man/man1/") + program + ".1.gz"));
        ASSERT_FALSE(help.empty());
        for (const std::string& name : help) {
            EXPECT_TRUE(page.count(name)) << name << " is in --help but not in the manual page";
        }
        for (const std::string& name : page) {
            EXPECT_TRUE(help.count(name)) << name << " is in the manual page but not in --help";
        }
    }
}

TEST(OptionNames, AreReadFromHelpTextsAndManualPages) {
    struct Case {
        const char* text;
        std::set<std::string> names;
    };
    const Case cases[] = {
        {"  --save DIR   save folder\n  --no-port-mapping  x", {"--save", "--no-port-mapping"}},
        {".BI \\-\\-save \" DIR\"\n.B \\-\\-no\\-verify", {"--save", "--no-verify"}},
        {"LANTERNFISH_DATA_HOME (root), LANTERNFISH_PORT_MAPPING=0",
         {"LANTERNFISH_DATA_HOME", "LANTERNFISH_PORT_MAPPING"}},
        {"a---b, a--b, --, -x, x--y", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(NamedOptions(c.text), c.names) << c.text;
}

}  // namespace
