// The INI reader and writer: Windows lookup rules, keeping the rest of the
// file on every write, atomic replacement and concurrent writers.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "app/IniFile.h"
#include "tests/support/TestDirs.h"

using namespace lfapp;

namespace {

const char kSample[] =
    "; task state\n"
    "[LanternfishTask]\n"
    "LanternfishTaskHash=abc\n"
    "  LanternfishTaskSavePath =  /home/u/qarrd160107  \n"
    "Quoted=\"  spaced  \"\n"
    "Empty=\n"
    "no equals sign here\n"
    "\n"
    "[Other]\n"
    "LanternfishTaskHash=other\n"
    "[lanternfishtask]\n"
    "Late=second section of the same name is never read\n";

std::vector<std::string> FolderEntries(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    while (dirent* e = readdir(dir))
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
            names.push_back(e->d_name);
    closedir(dir);
    return names;
}

}  // namespace

TEST(IniRead, LookupRules) {
    IniDocument doc = IniDocument::Parse(kSample);
    struct Case {
        const char* section;
        const char* key;
        std::optional<std::string> value;
    } cases[] = {
        {"LanternfishTask", "LanternfishTaskHash", "abc"},
        {"LANTERNFISHTASK", "lanternfishtaskhash", "abc"},  // case-insensitive
        {" LanternfishTask ", "LanternfishTaskHash", "abc"},
        {"LanternfishTask", "LanternfishTaskSavePath", "/home/u/qarrd160107"},  // blanks trimmed
        {"LanternfishTask", "Quoted", "  spaced  "},  // one pair of quotes removed
        {"LanternfishTask", "Empty", ""},             // present but empty
        {"LanternfishTask", "Missing", std::nullopt},
        {"LanternfishTask", "no equals sign here", std::nullopt},
        {"Other", "LanternfishTaskHash", "other"},
        {"LanternfishTask", "Late", std::nullopt},  // only the first section counts
        {"Nowhere", "LanternfishTaskHash", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(doc.Find(c.section, c.key), c.value) << c.section << "/" << c.key;
    EXPECT_EQ(doc.GetString("LanternfishTask", "Missing", "dflt"), "dflt");
    EXPECT_EQ(doc.GetString("LanternfishTask", "Empty", "dflt"), "");
}

TEST(IniRead, IntegerValues) {
    IniDocument doc = IniDocument::Parse(
        "[S]\nA=56\nB= -12 \nC=80abc\nD=abc\nE=\nF=+7\nG=99999999999999999999999\n");
    struct Case {
        const char* key;
        int64_t value;
    } cases[] = {{"A", 56}, {"B", -12}, {"C", 80}, {"D", 0}, {"E", 0}, {"F", 7}, {"Missing", 42}};
    for (const Case& c : cases) EXPECT_EQ(doc.GetInt("S", c.key, 42), c.value) << c.key;
    EXPECT_GT(doc.GetInt("S", "G", 0), 0);  // does not wrap
}

TEST(IniRead, LineEndingsBomAndOddLines) {
    IniDocument doc = IniDocument::Parse("\xEF\xBB\xBF[A]\r\nk=v\r\n[B\r\nx=y\r\n[C]]\r\nz=1");
    EXPECT_EQ(doc.Find("A", "k"), "v");
    EXPECT_EQ(doc.Find("B", "x"), "y");  // header without ']' names the rest of the line
    EXPECT_EQ(doc.Find("C", "z"), "1");  // last line without terminator
    IniDocument empty = IniDocument::Parse("");
    EXPECT_EQ(empty.Find("A", "k"), std::nullopt);
}

TEST(IniRead, MissingFileReadsDefault) {
    lftest::TempDir dir;
    EXPECT_EQ(ReadIniString(dir / "none.ini", "S", "k", "default"), "default");
    EXPECT_EQ(ReadIniInt(dir / "none.ini", "S", "k", 56), 56);
    lftest::WriteFile(dir / "a.ini", "[S]\nk=v\n");
    EXPECT_EQ(ReadIniString(dir / "a.ini", "s", "K", "default"), "v");
    EXPECT_EQ(ReadIniString(dir / "a.ini", "s", "other", "default"), "default");
}

TEST(IniWrite, ReplacesOneKeyAndKeepsTheRest) {
    struct Case {
        const char* name;
        const char* before;
        const char* section;
        const char* key;
        const char* value;
        const char* after;
    } cases[] = {
        {"replace, other case", "; c\n[Task]\nA=1\nb=2\nC=3\n", "TASK", "B", "20",
         "; c\n[Task]\nA=1\nB=20\nC=3\n"},
        {"add at end of section before blank lines", "[Task]\nA=1\n\n[Next]\nZ=9\n", "task", "New",
         "x", "[Task]\nA=1\nNew=x\n\n[Next]\nZ=9\n"},
        {"add section at end", "[Task]\nA=1\n", "Finish", "K", "v", "[Task]\nA=1\n[Finish]\nK=v\n"},
        {"empty file", "", "Task", "K", "v", "[Task]\nK=v\n"},
        {"keeps CRLF", "[Task]\r\nA=1\r\n", "Task", "A", "2", "[Task]\r\nA=2\r\n"},
        {"first of duplicate keys", "[T]\nk=1\nk=2\n", "T", "K", "3", "[T]\nK=3\nk=2\n"},
        {"value with equals and blanks", "[T]\n", "T", "u", "a=b c", "[T]\nu=a=b c\n"},
        {"unknown lines kept", "garbage\n[T]\n;note\nodd line\n", "T", "k", "v",
         "garbage\n[T]\n;note\nodd line\nk=v\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        IniDocument doc = IniDocument::Parse(c.before);
        ASSERT_TRUE(doc.Set(c.section, c.key, c.value));
        EXPECT_EQ(doc.Serialize(), c.after);
        EXPECT_EQ(IniDocument::Parse(doc.Serialize()).Find(c.section, c.key), c.value);
    }
}

TEST(IniWrite, RefusesWhatALineCannotHold) {
    IniDocument doc = IniDocument::Parse("[T]\nk=v\n");
    struct Case {
        const char* section;
        const char* key;
        const char* value;
    } cases[] = {{"T", "k", "two\nlines"}, {"T", "k", "cr\r"}, {"T", "a=b", "v"}, {"T", "", "v"},
                 {"T", "  ", "v"},         {"", "k", "v"},     {"T]x", "k", "v"}, {"T", "[k", "v"},
                 {"T", ";k", "v"},         {"T\n", "k", "v"}};
    for (const Case& c : cases)
        EXPECT_FALSE(doc.Set(c.section, c.key, c.value)) << c.key << c.value;
    EXPECT_EQ(doc.Serialize(), "[T]\nk=v\n");
}

TEST(IniWrite, RemoveKey) {
    IniDocument doc = IniDocument::Parse("[T]\na=1\nB=2\n[U]\nb=3\n");
    EXPECT_TRUE(doc.Remove("t", "b"));
    EXPECT_FALSE(doc.Remove("t", "b"));
    EXPECT_EQ(doc.Serialize(), "[T]\na=1\n[U]\nb=3\n");
}

TEST(IniFileWrite, AtomicReplaceLeavesNoTemporaryFile) {
    lftest::TempDir dir;
    std::string path = dir / "task.lfconf";
    lftest::WriteFile(path, "; mine\n[LanternfishTask]\nLanternfishTaskHash=abc\n");
    // A second name for the old file: an in-place rewrite would change it too,
    // a rename leaves it alone.
    ASSERT_EQ(link(path.c_str(), (dir / "old").c_str()), 0);

    ASSERT_TRUE(WriteIniString(path, "LanternfishTask", "LanternfishTaskSavePath", "/s"));
    EXPECT_EQ(lftest::ReadFile(path),
              "; mine\n[LanternfishTask]\nLanternfishTaskHash=abc\nLanternfishTaskSavePath=/s\n");
    EXPECT_EQ(lftest::ReadFile(dir / "old"),
              "; mine\n[LanternfishTask]\nLanternfishTaskHash=abc\n");
    auto names = FolderEntries(dir.Path());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"old", "task.lfconf"}));

    // A missing file is created.
    ASSERT_TRUE(WriteIniString(dir / "new.ini", "S", "k", "v"));
    EXPECT_EQ(lftest::ReadFile(dir / "new.ini"), "[S]\nk=v\n");
    // Several keys in one write.
    ASSERT_TRUE(WriteIniStrings(dir / "new.ini", "F", {{"a", "1"}, {"b", "2"}}));
    EXPECT_EQ(lftest::ReadFile(dir / "new.ini"), "[S]\nk=v\n[F]\na=1\nb=2\n");
    // Remove one key.
    ASSERT_TRUE(RemoveIniKey(dir / "new.ini", "f", "A"));
    EXPECT_EQ(lftest::ReadFile(dir / "new.ini"), "[S]\nk=v\n[F]\nb=2\n");
}

TEST(IniFileWrite, FailureLeavesTheFileAlone) {
    lftest::TempDir dir;
    std::string path = dir / "task.lfconf";
    lftest::WriteFile(path, "[T]\nk=v\n");
    EXPECT_FALSE(WriteIniString(path, "T", "k", "bad\nvalue"));
    EXPECT_FALSE(WriteIniString(dir / "no/such/folder.ini", "T", "k", "v"));
    // A path that exists but cannot be read as a file is never replaced.
    ASSERT_EQ(mkdir((dir / "folder.ini").c_str(), 0755), 0);
    EXPECT_FALSE(WriteIniString(dir / "folder.ini", "T", "k", "v"));
    EXPECT_EQ(lftest::ReadFile(path), "[T]\nk=v\n");
    EXPECT_EQ(FolderEntries(dir.Path()).size(), 2u);
}

TEST(IniFileWrite, ConcurrentWritersKeepEveryKey) {
    lftest::TempDir dir;
    std::string path = dir / "task.lfconf";
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int k = 0; k < 25; ++k)
                WriteIniString(path, t % 2 ? "LanternfishFinishInfo" : "LanternfishTask",
                               "Key" + std::to_string(t) + "_" + std::to_string(k),
                               std::to_string(k));
        });
    for (auto& th : threads) th.join();
    auto doc = ReadIniFile(path);
    ASSERT_TRUE(doc);
    for (int t = 0; t < 4; ++t)
        for (int k = 0; k < 25; ++k)
            EXPECT_EQ(doc->Find(t % 2 ? "LanternfishFinishInfo" : "LanternfishTask",
                                "Key" + std::to_string(t) + "_" + std::to_string(k)),
                      std::to_string(k));
}
