// The release data: Base64 rules, the table's stored form, the resource
// manifest, loading a release folder and writing resources out.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "app/ReleaseResources.h"
#include "app/ReleaseTable.h"
#include "app/ResourceWriter.h"
#include "common/Base64.h"
#include "engine/log/LogApi.h"
#include "tests/app/ReleaseFiles.h"
#include "tests/support/TestDirs.h"

using namespace lf;

using namespace lfapp;

TEST(Base64, DecodingRules) {
    struct Case {
        const char* name;
        std::string text;
        std::string bytes;
    } cases[] = {
        {"empty", "", ""},
        {"length 3", "aHR", ""},
        {"length 5", "aHR0c", ""},
        {"one group", "aHR0", "htt"},
        {"two fill", "aA==", "h"},
        {"one fill", "aGk=", "hi"},
        {"stops after the first fill group", "aA==aGk=", "h"},
        {"fill in the third place only", "aA=x", "h"},
        {"fill first", "====", ""},
        {"lone sextet before fill", "a===", ""},
        {"outside the alphabet", "aH*0", ""},
        {"whitespace is not Base64", "aHR0 cDo=", ""},
        {"url", "aHR0cDovLzEyNy4wLjAuMTo4MDgxL3EvYS5jYWI=", "http://127.0.0.1:8081/q/a.cab"},
        {"all values", "+/+/", "\xFB\xFF\xBF"},
        {"zero bytes kept", "AAEA", std::string("\0\1\0", 3)},
    };
    for (const Case& c : cases) EXPECT_EQ(DecodeBase64(c.text), c.bytes) << c.name;
    EXPECT_EQ(DecodeBase64Text("aAB0"), "h");  // cut at the first zero byte
}

TEST(Base64, OutputLimitedTo4095Bytes) {
    std::string big = lftest::PseudoRandomBytes(5000, 7);
    std::string decoded = DecodeBase64(EncodeBase64(big));
    EXPECT_EQ(decoded.size(), kBase64MaxDecoded);
    EXPECT_EQ(decoded, big.substr(0, kBase64MaxDecoded));
    for (size_t n : {0, 1, 2, 3, 4, 100, 4093, 4094, 4095}) {
        std::string bytes = lftest::PseudoRandomBytes(n, static_cast<unsigned>(n));
        EXPECT_EQ(DecodeBase64(EncodeBase64(bytes)), bytes) << n;
    }
}

namespace {

ReleaseTable DemoTable() {
    ReleaseTable t;
    t.listUrl = "https://127.0.0.1:8443/lanternfish/resources.xml";
    const auto& names = lfapptest::kReleaseFileNames;
    for (int i = 0; i < 8; ++i) {
        t.entries[i].fileName = names[i];
        t.entries[i].url = std::string("http://127.0.0.1:8081/qarrd160107/") + names[i];
        t.entries[i].md5 = std::string(31, 'a') + char('0' + i);
        t.entries[i].size = i == 0 ? 4117776 : i == 1 ? 439832310 : 1992294400;
        t.entries[i].torrentId = 301 + i;
    }
    return t;
}

}  // namespace

TEST(ReleaseTableForm, EncodeDecodeRoundTrip) {
    ReleaseTable t = DemoTable();
    ReleaseTable back = DecodeReleaseTable(EncodeReleaseTable(t));
    EXPECT_EQ(back.listUrl, t.listUrl);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(back.entries[i].url, t.entries[i].url);
        EXPECT_EQ(back.entries[i].fileName, t.entries[i].fileName);
        EXPECT_EQ(back.entries[i].md5, t.entries[i].md5);
        EXPECT_EQ(back.entries[i].size, t.entries[i].size);
        EXPECT_EQ(back.entries[i].torrentId, t.entries[i].torrentId);
    }
    EXPECT_EQ(back.ReleaseId(), t.entries[0].md5);
    EXPECT_EQ(back.Entrance(), "Qarrd_Setup2.1.0.40_20160106_1.exe");
    EXPECT_EQ(back.TotalSize(), 4117776ull + 439832310ull + 6ull * 1992294400ull);
    EXPECT_EQ(back.FindByUrl(t.entries[5].url), 5);
    EXPECT_EQ(back.FindByUrl(t.entries[5].url + "x"), -1);
}

TEST(ReleaseTableForm, BadSlotsGiveEmptyColumns) {
    std::string stored =
        "[ReleaseTable]\n"
        "ListUrl=aHR\n"  // length 3
        "Url0=aHR0cDovL2gvYQ==\nFile0=YQ==\nMd50=d41d8cd98f00b204e9800998ecf8427e\n"
        "Size0=12\nTorrent0=301\n"
        "Url1=aHR0cDovL2gvYg=\nFile1=Yg*=\nSize1=-5\nTorrent1=abc\n"  // bad length, bad char
        "Size2=99999999999999999999\n";                               // does not fit
    ReleaseTable t = DecodeReleaseTable(stored);
    EXPECT_EQ(t.listUrl, "");
    EXPECT_EQ(t.entries[0].url, "http://h/a");
    EXPECT_EQ(t.entries[0].fileName, "a");
    EXPECT_EQ(t.ReleaseId(), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(t.entries[0].size, 12u);
    EXPECT_EQ(t.entries[0].torrentId, 301);
    EXPECT_EQ(t.entries[1].url, "");
    EXPECT_EQ(t.entries[1].fileName, "");
    EXPECT_EQ(t.entries[1].size, 0u);
    EXPECT_EQ(t.entries[1].torrentId, 0);
    EXPECT_EQ(t.entries[2].size, 0u);
    EXPECT_EQ(t.entries[7].url, "");  // missing entirely
}

TEST(Manifest, ParsesAndRejects) {
    std::string error;
    auto ok = ParseResourceManifest(
        "# comment\n\nRELEASE 1 release-table.ini\ntorrent 301 torrents/301.torrent # trailing\n",
        &error);
    ASSERT_TRUE(ok) << error;
    ASSERT_EQ(ok->size(), 2u);
    EXPECT_EQ((*ok)[1].type, "TORRENT");
    EXPECT_EQ((*ok)[1].id, 301);
    EXPECT_EQ((*ok)[1].file, "torrents/301.torrent");
    const char* bad[] = {
        "RELEASE 1\n",      "RELEASE x a\n",         "RELEASE 1 a b\n", "RELEASE 1 /etc/passwd\n",
        "RELEASE 1 ../x\n", "RELEASE 1 a/../../x\n", "A 1 a\nA 1 b\n",  "RELEASE -1 a\n"};
    for (const char* text : bad) EXPECT_FALSE(ParseResourceManifest(text, &error)) << text;
}

TEST(ReleaseFolder, LoadsInPlaceOfTheEmbeddedRelease) {
    lftest::TempDir dir;
    ReleaseTable t = DemoTable();
    t.listUrl = "https://127.0.0.1:1/other.xml";
    ASSERT_EQ(mkdir((dir / "torrents").c_str(), 0755), 0);
    lftest::WriteFile(dir / "table.ini", EncodeReleaseTable(t));
    lftest::WriteFile(dir / "torrents/301.torrent", std::string("d4:infode\0e", 11));
    lftest::WriteFile(dir / "duconf.b64", EncodeBase64("[S]\nk=v\n"));
    lftest::WriteFile(
        dir / "resources.list",
        "RELEASE 1 table.ini\nTORRENT 301 torrents/301.torrent\nDUCONF 181 duconf.b64\n");
    std::string error;
    auto set = ReleaseResources::LoadFolder(dir.Path(), &error);
    ASSERT_TRUE(set) << error;
    EXPECT_EQ(set->Count(), 3u);
    ASSERT_TRUE(set->Find("torrent", 301));
    EXPECT_EQ(set->Find("TORRENT", 301)->size(), 11u);
    EXPECT_EQ(set->Find("TORRENT", 302), nullptr);

    unsetenv(kListUrlEnvironment);
    auto loaded = LoadReleaseTable(*set);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->listUrl, "https://127.0.0.1:1/other.xml");
    setenv(kListUrlEnvironment, "https://127.0.0.1:2/test.xml", 1);
    EXPECT_EQ(LoadReleaseTable(*set)->listUrl, "https://127.0.0.1:2/test.xml");
    unsetenv(kListUrlEnvironment);

    // A manifest naming a missing file fails and leaves the active release.
    lftest::TempDir broken;
    lftest::WriteFile(broken / "resources.list", "RELEASE 1 table.ini\n");
    EXPECT_FALSE(UseReleaseFolder(broken.Path(), &error));
    EXPECT_NE(error.find("table.ini"), std::string::npos);
    EXPECT_EQ(&ActiveRelease(), &ReleaseResources::Embedded());
    EXPECT_FALSE(UseReleaseFolder(dir / "nowhere", &error));

    ASSERT_TRUE(UseReleaseFolder(dir.Path(), &error)) << error;
    EXPECT_EQ(LoadReleaseTable()->listUrl, "https://127.0.0.1:1/other.xml");
}

TEST(EmbeddedRelease, CarriesTheDemoReleaseOfEightFiles) {
    const ReleaseResources& embedded = ReleaseResources::Embedded();
    auto table = LoadReleaseTable(embedded);
    ASSERT_TRUE(table);
    const auto& names = lfapptest::kReleaseFileNames;
    for (int i = 0; i < 8; ++i) {
        const ReleaseEntry& e = table->entries[i];
        EXPECT_EQ(e.fileName, names[i]);
        EXPECT_EQ(e.md5.size(), 32u);
        EXPECT_EQ(e.md5.find_first_not_of("0123456789abcdef"), std::string::npos);
        EXPECT_EQ(e.url.rfind("http://", 0), 0u);
        EXPECT_EQ(e.url.substr(e.url.size() - e.fileName.size()), e.fileName);
        if (e.torrentId) {
            EXPECT_TRUE(embedded.Find(kTorrentResourceType, e.torrentId)) << i;
        }
    }
    EXPECT_EQ(table->entries[0].size, 4117776u / 64);
    EXPECT_EQ(table->entries[1].size, 439832310u / 64);
    EXPECT_EQ(table->entries[7].size, 1992294400u / 64);
    EXPECT_EQ(table->listUrl.rfind("https://", 0), 0u);
    const std::string* duconf = embedded.Find(kStatisticsResourceType, kStatisticsResourceId);
    ASSERT_TRUE(duconf);
    EXPECT_NE(DecodeBase64Text(*duconf).find("[SubmitEventDownload]"), std::string::npos);
}

TEST(ResourceWriterTest, WritesDecodesAndFallsBack) {
    lftest::TempDir dir;
    lftest::TempDir temp;
    setenv("TMPDIR", temp.Path().c_str(), 1);
    ReleaseResources set;
    set.Add("DUCONF", 181, EncodeBase64(std::string("[S]\nk=v\n\0tail", 13)));
    set.Add("TORRENT", 301, std::string("d1:ai1e\0e", 9));

    std::string path;
    std::string data = dir / "Orvane/Lanternfish/Lanternfishabc";
    EXPECT_EQ(WriteResourceFile(set, "DUCONF", 181, "dataupload.lfconf", data, true, &path), 0);
    EXPECT_EQ(path, data + "/dataupload.lfconf");
    EXPECT_EQ(lftest::ReadFile(path), "[S]\nk=v\n");  // decoded up to the first zero byte
    lftest::WriteFile(data + "/md5name", "an older, longer file");
    EXPECT_EQ(WriteResourceFile(set, "TORRENT", 301, "md5name", data, false, &path), 0);
    EXPECT_EQ(lftest::ReadFile(path), std::string("d1:ai1e\0e", 9));  // bytes as they are

    // The folder cannot be made (a file stands in its way): the temporary folder.
    lftest::WriteFile(dir / "blocker", "x");
    EXPECT_EQ(WriteResourceFile(set, "TORRENT", 301, "t", dir / "blocker/sub", false, &path), 1);
    EXPECT_EQ(path, temp / "t");
    EXPECT_EQ(lftest::ReadFile(path).size(), 9u);

    // Missing resource: both attempts fail.
    EXPECT_EQ(WriteResourceFile(set, "TORRENT", 399, "t", data, false, &path), -1);
    EXPECT_EQ(path, "");
    unsetenv("TMPDIR");
}
