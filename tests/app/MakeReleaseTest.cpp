// lf-make-release: digests, torrents the engine and mktorrent agree on, a
// folder that loads as a release, and the same bytes on every run.
#include <gtest/gtest.h>

#include <functional>

#include "app/ReleaseResources.h"
#include "app/ReleaseTable.h"
#include "engine/metainfo/Torrent.h"
#include "tests/support/TestDirs.h"
#include "tools/make-release/ReleaseBuilder.h"

using namespace lf;

using namespace lfapp;

namespace {

const size_t kSizes[8] = {1, 32767, 32768, 32769, 100000, 65536 * 3, 5, 250000};

struct LoadedTorrent {
    bool ok = false;
    std::string infoHash;
    std::vector<std::string> trackers;
    std::string name;
    int64_t length = 0;
    int32_t pieceLength = 0;
};

LoadedTorrent Load(const std::string& bytes) {
    LoadedTorrent out;
    TTorrent* t = new TTorrent();
    out.ok = t->LoadBytes(bytes);
    if (out.ok) {
        out.infoHash = t->InfoHashText();
        out.trackers = t->Trackers();
        out.name = t->Content().name;
        out.length = t->Content().totalLength;
        out.pieceLength = t->Content().pieceLength;
    }
    t->Release();
    return out;
}

class MakeRelease : public testing::Test {
protected:
    void SetUp() override {
        for (int i = 0; i < 8; ++i) {
            std::string path = m_files / ("file" + std::to_string(i) + (i ? ".cab" : ".exe"));
            lftest::WriteFile(path, lftest::PseudoRandomBytes(kSizes[i], 100 + i));
            m_input.files.push_back(path);
        }
        m_input.baseUrl = "http://127.0.0.1:8081/qarrd160107";
        m_input.listUrl = "https://127.0.0.1:8443/list.xml";
        m_input.trackers = {"http://127.0.0.1:6969/announce", "udp://127.0.0.1:6969/announce"};
        m_input.statisticsConfig = "[SubmitEventDownload]\nSubmitUrl=http://127.0.0.1:1/x\n";
        m_input.pieceLength = 32768;
    }
    lftest::TempDir m_files;
    lfrelease::ReleaseInput m_input;
};

}  // namespace

TEST_F(MakeRelease, FolderLoadsAsTheRelease) {
    lftest::TempDir out;
    ReleaseTable built;
    std::string error;
    ASSERT_TRUE(lfrelease::BuildRelease(m_input, out.Path(), &built, &error)) << error;

    auto set = ReleaseResources::LoadFolder(out.Path(), &error);
    ASSERT_TRUE(set) << error;
    auto table = LoadReleaseTable(*set);
    ASSERT_TRUE(table);
    EXPECT_EQ(table->listUrl, m_input.listUrl);
    for (int i = 0; i < 8; ++i) {
        SCOPED_TRACE(i);
        const ReleaseEntry& e = table->entries[i];
        std::string name = "file" + std::to_string(i) + (i ? ".cab" : ".exe");
        EXPECT_EQ(e.fileName, name);
        EXPECT_EQ(e.url, "http://127.0.0.1:8081/qarrd160107/" + name);
        EXPECT_EQ(e.size, kSizes[i]);
        EXPECT_EQ(e.md5,
                  lftest::Capture("md5sum " + m_input.files[i] + " | cut -c1-32 | tr -d '\\n'"));
        EXPECT_EQ(e.torrentId, 301 + i);
        const std::string* torrent = set->Find(kTorrentResourceType, e.torrentId);
        ASSERT_TRUE(torrent);
        LoadedTorrent t = Load(*torrent);
        ASSERT_TRUE(t.ok);
        EXPECT_EQ(t.name, name);
        EXPECT_EQ(t.length, static_cast<int64_t>(kSizes[i]));
        EXPECT_EQ(t.pieceLength, 32768);
        // announce, then every tier of announce-list
        EXPECT_EQ(t.trackers, (std::vector<std::string>{m_input.trackers[0], m_input.trackers[0],
                                                        m_input.trackers[1]}));
    }
    const std::string* duconf = set->Find(kStatisticsResourceType, kStatisticsResourceId);
    ASSERT_TRUE(duconf);
}

TEST_F(MakeRelease, InfoHashesMatchMktorrent) {
    if (!lftest::HaveProgram("mktorrent")) GTEST_SKIP() << "mktorrent missing";
    lftest::TempDir out;
    std::string error;
    ASSERT_TRUE(lfrelease::BuildRelease(m_input, out.Path(), nullptr, &error)) << error;
    for (int i = 0; i < 8; ++i) {
        SCOPED_TRACE(i);
        std::string theirs = out / ("theirs" + std::to_string(i) + ".torrent");
        ASSERT_EQ(lftest::Run("mktorrent -l 15 -a http://127.0.0.1:6969/announce -o " + theirs +
                              " " + m_input.files[i] + " >/dev/null 2>&1"),
                  0);
        LoadedTorrent a =
            Load(lftest::ReadFile(out / ("torrents/" + std::to_string(301 + i) + ".torrent")));
        LoadedTorrent b = Load(lftest::ReadFile(theirs));
        ASSERT_TRUE(a.ok && b.ok);
        EXPECT_EQ(a.infoHash, b.infoHash);
    }
}

TEST_F(MakeRelease, SameInputSameBytes) {
    lftest::TempDir first, second;
    std::string error;
    ASSERT_TRUE(lfrelease::BuildRelease(m_input, first.Path(), nullptr, &error)) << error;
    ASSERT_TRUE(lfrelease::BuildRelease(m_input, second.Path(), nullptr, &error)) << error;
    EXPECT_EQ(lftest::Run("diff -r " + first.Path() + " " + second.Path() + " >/dev/null"), 0);
}

TEST_F(MakeRelease, RefusesBadInput) {
    lftest::TempDir out;
    std::string error;
    struct Case {
        const char* name;
        std::function<void(lfrelease::ReleaseInput&)> change;
    } cases[] = {
        {"seven files", [](auto& in) { in.files.pop_back(); }},
        {"missing file", [](auto& in) { in.files[3] += ".missing"; }},
        {"piece length not a power of two", [](auto& in) { in.pieceLength = 30000; }},
        {"piece length too small", [](auto& in) { in.pieceLength = 8192; }},
        {"base URL not http", [](auto& in) { in.baseUrl = "ftp://h/"; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        lfrelease::ReleaseInput input = m_input;
        c.change(input);
        EXPECT_FALSE(lfrelease::BuildRelease(input, out.Path(), nullptr, &error));
        EXPECT_FALSE(error.empty());
    }
}

TEST_F(MakeRelease, CommandLine) {
    lftest::TempDir out;
    std::string tool = std::string(LF_BINARY_DIR) + "/tools/make-release/lf-make-release";
    std::string files;
    for (const std::string& f : m_input.files) files += " " + f;
    std::string common = tool + " --out " + out.Path() +
                         " --base-url http://127.0.0.1:1/d/ --list-url https://127.0.0.1:2/l.xml"
                         " --tracker http://127.0.0.1:3/announce --piece-length 16384";
    EXPECT_NE(lftest::Run(common + " " + m_input.files[0] + " 2>/dev/null"), 0);  // one file
    EXPECT_NE(lftest::Run(tool + " --bogus 2>/dev/null"), 0);
    ASSERT_EQ(lftest::Run(common + files + " >/dev/null"), 0);
    std::string error;
    auto set = ReleaseResources::LoadFolder(out.Path(), &error);
    ASSERT_TRUE(set) << error;
    EXPECT_EQ(set->Count(), 9u);  // table and eight torrents, no statistics configuration
    EXPECT_EQ(LoadReleaseTable(*set)->entries[7].url, "http://127.0.0.1:1/d/file7.cab");
}

TEST(EmbeddedDemoRelease, TorrentsDescribeTheTableEntries) {
    const ReleaseResources& embedded = ReleaseResources::Embedded();
    auto table = LoadReleaseTable(embedded);
    ASSERT_TRUE(table);
    for (int i = 0; i < 8; ++i) {
        SCOPED_TRACE(i);
        const ReleaseEntry& e = table->entries[i];
        const std::string* torrent = embedded.Find(kTorrentResourceType, e.torrentId);
        ASSERT_TRUE(torrent);
        LoadedTorrent t = Load(*torrent);
        ASSERT_TRUE(t.ok);
        EXPECT_EQ(t.name, e.fileName);
        EXPECT_EQ(t.length, static_cast<int64_t>(e.size));
    }
}
