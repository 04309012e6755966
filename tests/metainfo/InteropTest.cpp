// Torrents made by real tools (mktorrent, transmission-create, libtorrent's
// python bindings) and a hand-written GBK torrent are read: the info hash
// equals what the tools report, the trackers are those of the file, and the
// file list and piece table describe the content on disk exactly (every
// piece hash is checked against the content).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/metainfo/Torrent.h"
#include "tests/metainfo/BencodeText.h"
#include "tests/support/TestDirs.h"

using namespace lf;

namespace {

const std::string kTool =
    "/usr/bin/python3 '" + std::string(LF_SOURCE_DIR) + "/tests/metainfo/torrent_tool.py'";

std::string Quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string FirstLine(const std::string& text) {
    const size_t end = text.find('\n');
    return end == std::string::npos ? text : text.substr(0, end);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

int64_t FileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? st.st_size : -1;
}

void MakeFile(const std::string& path, size_t size, unsigned seed) {
    lftest::Run("mkdir -p " + Quote(path.substr(0, path.rfind('/'))));
    lftest::WriteFile(path, lftest::PseudoRandomBytes(size, seed));
}

// Checks a loaded torrent against the content under root: every file exists with its length,
// no file on disk is missing from the list, and each piece hash matches the content.
void CheckContent(const TTorrent& t, const std::string& root) {
    const MetainfoContent& c = t.Content();
    const std::vector<std::string> paths = TargetPaths(c, root);
    ASSERT_EQ(paths.size(), c.files.size());
    std::string all;
    int64_t total = 0;
    for (size_t i = 0; i < paths.size(); ++i) {
        EXPECT_EQ(c.files[i].offset, total);
        EXPECT_EQ(FileSize(paths[i]), c.files[i].length) << paths[i];
        all += lftest::ReadFile(paths[i]);
        total += c.files[i].length;
    }
    EXPECT_EQ(c.totalLength, total);
    // Some tools leave empty files out of the list; every file with data must be listed.
    const int onDisk = std::stoi(
        lftest::Capture("find " + Quote(root) + " -type f -size +0c ! -name '*.torrent' | wc -l"));
    int listed = 0;
    for (const MetainfoFile& f : c.files) listed += f.length > 0;
    EXPECT_EQ(onDisk, listed);
    ASSERT_EQ(static_cast<int64_t>(all.size()), total);
    ASSERT_EQ(c.pieceHashes.size(), static_cast<size_t>(c.pieceCount) * 20);
    EXPECT_EQ(bt::PieceHashes(all, static_cast<size_t>(c.pieceLength)), c.pieceHashes)
        << "file order, offsets or piece length differ from the content";
}

enum class Tool { kMktorrent, kTransmission, kLibtorrent };

struct InteropCase {
    const char* label;
    Tool tool;
    bool multi;
    int pieceSize;
    bool isPrivate;
    std::vector<std::vector<std::string>> tiers;
    std::string name;
};

class Interop : public ::testing::TestWithParam<InteropCase> {};

TEST_P(Interop, ReadsWhatTheToolMade) {
    const InteropCase& c = GetParam();
    const char* program = c.tool == Tool::kMktorrent      ? "mktorrent"
                          : c.tool == Tool::kTransmission ? "transmission-create"
                                                          : "/usr/bin/python3";
    if (!lftest::HaveProgram(program)) GTEST_SKIP() << program << " is not installed";
    lftest::TempDir dir;
    const std::string source = dir / c.name;
    const int p = c.pieceSize;
    if (c.multi) {
        MakeFile(source + "/readme.txt", 1000, 1);
        MakeFile(source + "/数据/第一卷.cab", static_cast<size_t>(p + p / 2 + 123), 2);
        MakeFile(source + "/数据/empty.dat", 0, 3);
        MakeFile(source + "/sub/deeper/x.bin", static_cast<size_t>(p / 3 + 1), 4);
        MakeFile(source + "/zzz last.bin", 4097, 5);
    } else {
        MakeFile(source, static_cast<size_t>(3 * p + 7), 6);
    }
    const std::string out = dir / "out.torrent";
    std::string expectedHash;
    if (c.tool == Tool::kMktorrent) {
        int log2 = 0;
        while ((1 << log2) < p) ++log2;
        std::string cmd = "mktorrent -l " + std::to_string(log2) + " -o " + Quote(out);
        for (const auto& tier : c.tiers) {
            std::string joined;
            for (const auto& url : tier) joined += (joined.empty() ? "" : ",") + url;
            cmd += " -a " + Quote(joined);
        }
        if (c.isPrivate) cmd += " -p";
        ASSERT_EQ(lftest::Run(cmd + " " + Quote(source) + " >/dev/null"), 0) << cmd;
        expectedHash = FirstLine(lftest::Capture(kTool + " sha1-info " + Quote(out)));
    } else if (c.tool == Tool::kTransmission) {
        std::string cmd =
            "transmission-create -o " + Quote(out) + " -s " + std::to_string(p / 1024);
        for (const auto& tier : c.tiers) cmd += " -t " + Quote(tier[0]);
        if (c.isPrivate) cmd += " -p";
        ASSERT_EQ(lftest::Run(cmd + " " + Quote(source) + " >/dev/null"), 0) << cmd;
        for (const std::string& line : Lines(lftest::Capture("transmission-show " + Quote(out)))) {
            const size_t at = line.find("Hash: ");
            if (at != std::string::npos) expectedHash = line.substr(at + 6);
        }
    } else {
        std::string cmd = kTool + " lt-create " + Quote(source) + " " + Quote(out) + " " +
                          std::to_string(p) + (c.isPrivate ? " 1" : " 0");
        for (size_t tier = 0; tier < c.tiers.size(); ++tier) {
            for (const auto& url : c.tiers[tier]) cmd += " " + std::to_string(tier) + ":" + url;
        }
        expectedHash = FirstLine(lftest::Capture(cmd));
    }
    ASSERT_EQ(expectedHash.size(), 40u) << "the tool reported no info hash";
    EXPECT_EQ(FirstLine(lftest::Capture(kTool + " sha1-info " + Quote(out))), expectedHash);

    TTorrent* t = new TTorrent;
    t->SetTorrentAddress("file://" + out);
    ASSERT_TRUE(t->Load()) << t->FailureText();
    EXPECT_EQ(t->InfoHashText(), expectedHash);
    EXPECT_EQ(t->Content().name, c.name);
    EXPECT_EQ(t->Content().multiFile, c.multi);
    EXPECT_EQ(t->Content().isPrivate, c.isPrivate);
    EXPECT_EQ(t->Content().pieceLength, p);
    EXPECT_EQ(t->Trackers(), Lines(lftest::Capture(kTool + " trackers " + Quote(out))));
    EXPECT_EQ(t->Announce(), c.tiers.at(0).at(0));
    CheckContent(*t, dir.Path());
    t->Release();
}

const std::vector<std::vector<std::string>> kOneTracker = {{"http://127.0.0.1:6969/announce"}};
const std::vector<std::vector<std::string>> kTiers = {
    {"http://127.0.0.1:6969/announce", "http://127.0.0.2:80/announce"},
    {"udp://127.0.0.1:6969"},
    {"http://127.0.0.1:6969/announce"}};

const InteropCase kCases[] = {
    {"mktorrent_single_32k_private", Tool::kMktorrent, false, 32 << 10, true, kTiers,
     "单个文件.bin"},
    {"mktorrent_multi_4m", Tool::kMktorrent, true, 4 << 20, false, kOneTracker, "游戏客户端"},
    {"mktorrent_multi_256k_tiers", Tool::kMktorrent, true, 256 << 10, true, kTiers, "pack"},
    {"transmission_single_16k", Tool::kTransmission, false, 16 << 10, false, kOneTracker,
     "file.bin"},
    {"transmission_multi_1m_private", Tool::kTransmission, true, 1 << 20, true, kTiers,
     "客户端 v1"},
    {"transmission_single_4m", Tool::kTransmission, false, 4 << 20, false, kTiers, "大文件.cab"},
    {"libtorrent_single_16k_private", Tool::kLibtorrent, false, 16 << 10, true, kTiers,
     "データ.bin"},
    {"libtorrent_multi_64k", Tool::kLibtorrent, true, 64 << 10, false, kOneTracker, "한국어"},
    {"libtorrent_multi_4m_tiers", Tool::kLibtorrent, true, 4 << 20, true, kTiers, "release"},
};
INSTANTIATE_TEST_SUITE_P(Tools, Interop, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.label); });

// A torrent in the style of older Chinese tools: names in GBK, declared by an "encoding" key.
TEST(InteropGbk, NamesAreConvertedAndTheHashMatchesLibtorrent) {
    lftest::TempDir dir;
    const std::string nameUtf8 = "中文资料";
    const std::string nameGbk = "\xd6\xd0\xce\xc4\xd7\xca\xc1\xcf";
    const std::string dataUtf8 = "数据";
    const std::string dataGbk = "\xca\xfd\xbe\xdd";
    const std::string fileUtf8 = "第一卷.cab";
    const std::string fileGbk = "\xb5\xda\xd2\xbb\xbe\xed.cab";
    const std::string a = lftest::PseudoRandomBytes(40000, 7);
    const std::string b = lftest::PseudoRandomBytes(12345, 8);
    MakeFile(dir / nameUtf8 + "/" + dataUtf8 + "/" + fileUtf8, 0, 0);
    lftest::WriteFile(dir / nameUtf8 + "/" + dataUtf8 + "/" + fileUtf8, a);
    lftest::WriteFile(dir / nameUtf8 + "/readme.txt", b);
    using namespace bt;
    const int pieceLength = 16384;
    const std::string torrent = D(
        {{"announce", S("http://127.0.0.1:6969/announce")},
         {"comment", S("\xb2\xe2\xca\xd4")},  // "测试"
         {"encoding", S("GBK")},
         {"info", D({{"files", L({D({{"length", I(40000)}, {"path", L({S(dataGbk), S(fileGbk)})}}),
                                  D({{"length", I(12345)}, {"path", L({S("readme.txt")})}})})},
                     {"name", S(nameGbk)},
                     {"piece length", I(pieceLength)},
                     {"pieces", S(PieceHashes(a + b, pieceLength))}})}});
    const std::string file = dir / "gbk.torrent";
    lftest::WriteFile(file, torrent);

    TTorrent* t = new TTorrent;
    ASSERT_TRUE(t->LoadBytes(torrent)) << t->FailureText();
    EXPECT_EQ(t->CodePage(), 936);
    EXPECT_EQ(t->Content().name, nameUtf8);
    EXPECT_EQ(t->Comment(), "测试");
    ASSERT_EQ(t->Content().files.size(), 2u);
    EXPECT_EQ(t->Content().files[0].path, nameUtf8 + "/" + dataUtf8 + "/" + fileUtf8);
    EXPECT_EQ(t->InfoHashText(), FirstLine(lftest::Capture(kTool + " sha1-info " + Quote(file))));
    if (lftest::HaveProgram("/usr/bin/python3")) {
        EXPECT_EQ(t->InfoHashText(), FirstLine(lftest::Capture(kTool + " lt-hash " + Quote(file))));
    }
    CheckContent(*t, dir.Path());
    t->Release();
}

}  // namespace
