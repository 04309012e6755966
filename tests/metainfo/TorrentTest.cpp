// Reading torrent metainfo from bytes, "file://" locators and torrentless
// descriptors; hostile and unsafe torrents are refused.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "engine/metainfo/Bencode.h"
#include "engine/metainfo/Torrent.h"
#include "tests/metainfo/BencodeText.h"
#include "tests/support/TestDirs.h"

using namespace lf;

using namespace bt;

namespace {

struct TorrentRef {
    TTorrent* t = new TTorrent;
    ~TorrentRef() { t->Release(); }
    TTorrent* operator->() { return t; }
};

std::string Hashes(int count) {
    return std::string(static_cast<size_t>(count) * 20, 'h');
}

// A valid single-file torrent of 100 bytes in pieces of 64.
std::string SingleTorrent(std::string_view name = "file.bin") {
    return D({{"announce", S("http://t/a")},
              {"info", D({{"length", I(100)},
                          {"name", S(name)},
                          {"piece length", I(64)},
                          {"pieces", S(Hashes(2))}})}});
}

// A multi-file torrent with the given "files" list and name.
std::string MultiTorrent(const std::string& files, int pieceCount, std::string_view name = "pack",
                         int64_t pieceLength = 16384) {
    return D({{"info", D({{"files", files},
                          {"name", S(name)},
                          {"piece length", I(pieceLength)},
                          {"pieces", S(Hashes(pieceCount))}})}});
}

std::string Entry(int64_t length, const std::string& path) {
    return D({{"length", I(length)}, {"path", path}});
}

std::string InfoBytes(const std::string& torrent) {
    std::unique_ptr<QElement> root = ParseElement(torrent);
    const QElement* info = root ? root->FindValue("info") : nullptr;
    return info ? std::string(info->SourcePosition(), info->EncodedLength()) : std::string();
}

TEST(Torrent, SingleFile) {
    TorrentRef t;
    const std::string bytes = SingleTorrent();
    ASSERT_TRUE(t->LoadBytes(bytes)) << t->FailureText();
    EXPECT_TRUE(t->IsLoaded());
    const MetainfoContent& c = t->Content();
    EXPECT_FALSE(c.multiFile);
    EXPECT_EQ(c.name, "file.bin");
    EXPECT_EQ(c.pieceLength, 64);
    EXPECT_EQ(c.pieceCount, 2);
    EXPECT_EQ(c.totalLength, 100);
    ASSERT_EQ(c.files.size(), 1u);
    EXPECT_EQ(c.files[0].path, "file.bin");
    EXPECT_EQ(c.files[0].pieceSpan, 2);
    EXPECT_EQ(c.PieceSize(0), 64);
    EXPECT_EQ(c.PieceSize(1), 36);
    EXPECT_EQ(c.PieceSize(2), 0);
    EXPECT_EQ(c.PieceHash(1), std::string(20, 'h'));
    EXPECT_EQ(c.PieceHash(2), "");
    EXPECT_EQ(t->InfoHashText(), Hex(Sha1(InfoBytes(bytes))));
    EXPECT_EQ(t->Trackers(), std::vector<std::string>{"http://t/a"});
}

TEST(Torrent, InfoHashIsOverTheBytesAsTheyStand) {
    // Keys out of order and upper-case brackets: a re-encoding would hash differently.
    const std::string info =
        "D6:pieces40:" + Hashes(2) + "12:piece lengthi64e4:name1:z6:lengthi100eE";
    const std::string bytes = "d7:comment4:info4:info" + info + "8:announce3:udpe";
    TorrentRef t;
    ASSERT_TRUE(t->LoadBytes(bytes)) << t->FailureText();
    const std::string hash = Sha1(info);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(t->InfoHash().data()), 20), hash);
    EXPECT_EQ(t->InfoHashText(), Hex(hash));
    EXPECT_EQ(t->Comment(), "info") << "a value equal to a key name is not taken for the key";
    // The escaped form decodes back to the hash; letters and digits stand as they are.
    std::string decoded;
    const std::string& escaped = t->EscapedInfoHash();
    for (size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] == '%') {
            ASSERT_LT(i + 2, escaped.size() + 0);
            ASSERT_TRUE(islower(escaped[i + 1]) || isdigit(escaped[i + 1]));
            decoded += static_cast<char>(std::stoi(escaped.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            ASSERT_TRUE(isalnum(static_cast<unsigned char>(escaped[i])));
            decoded += escaped[i];
        }
    }
    EXPECT_EQ(decoded, hash);
}

TEST(Torrent, TrackersFromAnnounceAndAnnounceList) {
    const std::string bytes =
        D({{"announce", S(" \x01udp://x:80/announce||")},
           {"announce-list",
            L({L({S("http://a/1"), S("udp://x:80/announce")}),
               L({L({S("  http://deep/2|")}), S("Tracker"), S("junk"), S("x"), S("")}),
               L({S("http://c/3"), S("Name"), S("http://never/")}), S("http://d/4")})},
           {"comment", S("c")},
           {"creation date", I(1700000000)},
           {"publisher", S("")},
           {"info", D({{"length", I(100)},
                       {"name", S("f")},
                       {"piece length", I(64)},
                       {"pieces", S(Hashes(2))},
                       {"private", I(1)},
                       {"publisher", S("pub")},
                       {"publisher-url", S("http://pub/")}})}});
    TorrentRef t;
    ASSERT_TRUE(t->LoadBytes(bytes)) << t->FailureText();
    EXPECT_EQ(t->Announce(), "udp://x:80/announce");
    const std::vector<std::string> expected = {
        "udp://x:80/announce", "http://a/1", "udp://x:80/announce", "http://deep/2", "unk",
        "http://c/3",          "http://d/4"};
    EXPECT_EQ(t->Trackers(), expected);
    EXPECT_EQ(t->Comment(), "c");
    EXPECT_EQ(t->CreationDate(), 1700000000);
    EXPECT_EQ(t->Publisher(), "pub") << "taken from the info dictionary when empty outside";
    EXPECT_EQ(t->PublisherUrl(), "http://pub/");
    EXPECT_TRUE(t->Content().isPrivate);
}

TEST(Torrent, CleaningTrackerAddresses) {
    const std::pair<const char*, const char*> cases[] = {{"http://a/", "http://a/"},
                                                         {"xxUDP://b|||", "UDP://b"},
                                                         {"h", ""},
                                                         {"|||", ""},
                                                         {"", ""},
                                                         {"  hx", "hx"}};
    for (const auto& [in, out] : cases) EXPECT_EQ(CleanTrackerAddress(in), out) << in;
}

TEST(Torrent, MultiFileGeometry) {
    // Files of 30000, 0 (an empty file), 0 (a folder entry) and 50000 bytes.
    const std::string files =
        L({Entry(30000, L({S("a.txt")})), Entry(0, L({S("sub"), S("e")})),
           Entry(0, L({S("sub"), S("dir"), S("")})), Entry(50000, L({S("sub"), S("c.bin")}))});
    TorrentRef t;
    ASSERT_TRUE(t->LoadBytes(MultiTorrent(files, 5))) << t->FailureText();
    const MetainfoContent& c = t->Content();
    EXPECT_TRUE(c.multiFile);
    EXPECT_EQ(c.totalLength, 80000);
    ASSERT_EQ(c.files.size(), 3u);
    struct Expect {
        const char* path;
        int64_t length, offset;
        int firstPiece, span;
    } expect[] = {{"pack/a.txt", 30000, 0, 0, 2},
                  {"pack/sub/e", 0, 30000, 1, 0},
                  {"pack/sub/c.bin", 50000, 30000, 1, 4}};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(c.files[i].path, expect[i].path);
        EXPECT_EQ(c.files[i].length, expect[i].length);
        EXPECT_EQ(c.files[i].offset, expect[i].offset);
        EXPECT_EQ(c.files[i].firstPiece, expect[i].firstPiece);
        EXPECT_EQ(c.files[i].pieceSpan, expect[i].span) << expect[i].path;
    }
    EXPECT_EQ(c.folders, std::vector<std::string>{"pack/sub/dir"});
    EXPECT_EQ(c.PieceSize(4), 80000 - 4 * 16384);

    const std::vector<std::string> paths = TargetPaths(c, "/down");
    EXPECT_EQ(paths, (std::vector<std::string>{"/down/pack/a.txt", "/down/pack/sub/e",
                                               "/down/pack/sub/c.bin"}));
    EXPECT_EQ(TargetPaths(c, "/down/pack/")[2], "/down/pack/sub/c.bin")
        << "a folder that already ends with the name does not get it twice";
    EXPECT_EQ(TargetPaths(c, "/down/Pack")[0], "/down/Pack/pack/a.txt");
    EXPECT_EQ(TargetPaths(c, "/down/xpack")[0], "/down/xpack/pack/a.txt");
}

TEST(Torrent, TargetPathsOfASingleFile) {
    TorrentRef t;
    ASSERT_TRUE(t->LoadBytes(SingleTorrent("what?\r\n.bin")));
    EXPECT_EQ(TargetPaths(t->Content(), "/d/"), std::vector<std::string>{"/d/what___.bin"});
    EXPECT_EQ(TargetPaths(t->Content(), "/d", "/e/x.bin"), std::vector<std::string>{"/e/x.bin"});
    TorrentRef nameless;
    ASSERT_TRUE(nameless->LoadBytes(SingleTorrent("")));
    EXPECT_EQ(nameless->Content().files[0].path, "strRecommend");
}

TEST(Torrent, TextsFollowTheTorrentsCodePage) {
    const std::string big5 = "\xa4\xa4\xa4\xe5";  // "中文"
    const std::string gbk = "\xd6\xd0\xce\xc4";
    struct Case {
        const char* name;
        std::pair<std::string, std::string> marker;
        std::string text;
        int codePage;
    } cases[] = {
        {"encoding big5", {"encoding", S("big5")}, big5, 950},
        {"encoding GBK", {"encoding", S("GBK")}, gbk, 936},
        {"codepage 936", {"codepage", I(936)}, gbk, 936},
        {"UTF-8 stays as it is", {"encoding", S("UTF-8")}, "中文", 0},
    };
    for (const Case& c : cases) {
        const std::string files = L({Entry(100, L({S(c.text), S(c.text + ".txt")}))});
        const std::string bytes = D({{"comment", S(c.text)},
                                     {c.marker.first, c.marker.second},
                                     {"info", D({{"files", files},
                                                 {"name", S(c.text)},
                                                 {"piece length", I(64)},
                                                 {"pieces", S(Hashes(2))}})}});
        TorrentRef t;
        ASSERT_TRUE(t->LoadBytes(bytes)) << c.name << ": " << t->FailureText();
        EXPECT_EQ(t->CodePage(), c.codePage) << c.name;
        EXPECT_EQ(t->Comment(), "中文") << c.name;
        EXPECT_EQ(t->Content().name, "中文") << c.name;
        EXPECT_EQ(t->Content().files[0].path, "中文/中文/中文.txt") << c.name;
    }
    // A name that is not valid in the declared code page is refused, not emptied.
    TorrentRef bad;
    const std::string broken = D({{"encoding", S("GBK")},
                                  {"info", D({{"length", I(100)},
                                              {"name", S("\xd6")},
                                              {"piece length", I(64)},
                                              {"pieces", S(Hashes(2))}})}});
    EXPECT_FALSE(bad->LoadBytes(broken));
}

struct RefusalCase {
    const char* name;
    std::string bytes;
    TTorrent::Failure failure;
};

class Refusals : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Refusals, AreCleanFailures) {
    const RefusalCase& c = GetParam();
    TorrentRef t;
    t->SetTorrentAddress("file:///must/not/be/used");
    // A refused torrent leaves nothing behind, even after a good one.
    ASSERT_TRUE(t->LoadBytes(SingleTorrent()));
    EXPECT_FALSE(t->LoadBytes(c.bytes)) << c.name;
    EXPECT_EQ(t->LastFailure(), c.failure) << c.name << ": " << t->FailureText();
    EXPECT_FALSE(t->FailureText().empty());
    EXPECT_FALSE(t->IsLoaded());
    EXPECT_TRUE(t->Trackers().empty());
    EXPECT_TRUE(t->InfoHashText().empty());
    EXPECT_TRUE(t->Content().files.empty());
    EXPECT_EQ(t->Content().pieceCount, 0);
}

std::string SingleWith(const std::string& length, const std::string& pieceLength,
                       const std::string& pieces) {
    std::string info = "d";
    if (!length.empty()) info += S("length") + length;
    info += S("name") + S("f");
    if (!pieceLength.empty()) info += S("piece length") + pieceLength;
    if (!pieces.empty()) info += S("pieces") + pieces;
    return D({{"info", info + "e"}});
}

const std::string kOne = L({Entry(100, L({S("a")}))});

const RefusalCase kRefusals[] = {
    {"empty", "", TTorrent::kNoInput},
    {"a list", L({S("x")}), TTorrent::kBadEncoding},
    {"junk in the dictionary", "dxe", TTorrent::kBadEncoding},
    {"truncated", SingleTorrent().substr(0, 50), TTorrent::kBadEncoding},
    {"deep nesting", "d1:a" + std::string(100000, 'l'), TTorrent::kBadEncoding},
    {"no info", D({{"announce", S("http://a/")}}), TTorrent::kBadInfo},
    {"info is a list", D({{"info", L({})}}), TTorrent::kBadInfo},
    {"info is a string", D({{"info", S("d6:lengthi1ee")}}), TTorrent::kBadInfo},
    {"info is an integer", D({{"info", I(5)}}), TTorrent::kBadInfo},
    {"piece length 0", SingleWith(I(100), I(0), S(Hashes(2))), TTorrent::kBadInfo},
    {"negative piece length", SingleWith(I(100), I(-64), S(Hashes(2))), TTorrent::kBadInfo},
    {"piece length beyond 32 bits", SingleWith(I(100), I(1LL << 31), S(Hashes(1))),
     TTorrent::kBadInfo},
    {"piece length as a string", SingleWith(I(100), S("64"), S(Hashes(2))), TTorrent::kBadInfo},
    {"no piece length", SingleWith(I(100), "", S(Hashes(2))), TTorrent::kBadInfo},
    {"no pieces", SingleWith(I(100), I(64), ""), TTorrent::kBadInfo},
    {"empty pieces", SingleWith(I(100), I(64), S("")), TTorrent::kBadInfo},
    {"pieces of 19 bytes", SingleWith(I(10), I(64), S(std::string(19, 'h'))), TTorrent::kBadInfo},
    {"pieces of 41 bytes", SingleWith(I(100), I(64), S(std::string(41, 'h'))), TTorrent::kBadInfo},
    {"pieces as a list", SingleWith(I(100), I(64), L({S(Hashes(2))})), TTorrent::kBadInfo},
    {"too many pieces", SingleWith(I(100), I(64), S(Hashes(3))), TTorrent::kBadInfo},
    {"too few pieces", SingleWith(I(100), I(64), S(Hashes(1))), TTorrent::kBadInfo},
    {"file length 0", SingleWith(I(0), I(64), S(Hashes(1))), TTorrent::kBadInfo},
    {"negative file length", SingleWith(I(-100), I(64), S(Hashes(2))), TTorrent::kBadInfo},
    {"file length as a string", SingleWith(S("100"), I(64), S(Hashes(2))), TTorrent::kBadInfo},
    {"huge file, few pieces", SingleWith(I(INT64_MAX), I(1 << 30), S(Hashes(2))),
     TTorrent::kBadInfo},
    {"empty file list", MultiTorrent(L({}), 1), TTorrent::kBadInfo},
    {"file list as a string", MultiTorrent(S("files"), 1), TTorrent::kBadInfo},
    {"file entry not a dictionary", MultiTorrent(L({S("a")}), 1), TTorrent::kBadInfo},
    {"empty file entry", MultiTorrent(L({D({})}), 1), TTorrent::kBadInfo},
    {"entry without length", MultiTorrent(L({D({{"path", L({S("a")})}})}), 1), TTorrent::kBadInfo},
    {"entry with negative length", MultiTorrent(L({Entry(-1, L({S("a")}))}), 1),
     TTorrent::kBadInfo},
    {"entry without path", MultiTorrent(L({D({{"length", I(5)}})}), 1), TTorrent::kBadInfo},
    {"entry with empty path", MultiTorrent(L({Entry(5, L({}))}), 1), TTorrent::kBadInfo},
    {"entry with a string path", MultiTorrent(L({Entry(5, S("a"))}), 1), TTorrent::kBadInfo},
    {"integer path component", MultiTorrent(L({Entry(5, L({S("a") + I(3)}))}), 1),
     TTorrent::kBadInfo},
    {"list path component", MultiTorrent(L({Entry(5, L({L({S("a")})}))}), 1), TTorrent::kBadInfo},
    {"malformed entry after good ones", MultiTorrent(L({Entry(100, L({S("a")})), S("x")}), 1),
     TTorrent::kBadInfo},
    {"lengths overflow the total",
     MultiTorrent(L({Entry(INT64_MAX, L({S("a")})), Entry(1, L({S("b")}))}), 1),
     TTorrent::kBadInfo},
    {"only folders", MultiTorrent(L({Entry(0, L({S("a"), S("")}))}), 1), TTorrent::kBadInfo},
    // Names that could leave the task's folder.
    {"parent component", MultiTorrent(L({Entry(100, L({S(".."), S("x")}))}), 1),
     TTorrent::kUnsafePath},
    {"parent at the end", MultiTorrent(L({Entry(100, L({S("a"), S("..")}))}), 1),
     TTorrent::kUnsafePath},
    {"dot component", MultiTorrent(L({Entry(100, L({S(".")}))}), 1), TTorrent::kUnsafePath},
    {"absolute component", MultiTorrent(L({Entry(100, L({S("/etc"), S("passwd")}))}), 1),
     TTorrent::kUnsafePath},
    {"absolute path as empty first component",
     MultiTorrent(L({Entry(100, L({S(""), S("etc"), S("passwd")}))}), 1), TTorrent::kUnsafePath},
    {"empty middle component", MultiTorrent(L({Entry(100, L({S("a"), S(""), S("b")}))}), 1),
     TTorrent::kUnsafePath},
    {"empty last component of a file", MultiTorrent(L({Entry(100, L({S("a"), S("")}))}), 1),
     TTorrent::kUnsafePath},
    {"slash inside a component", MultiTorrent(L({Entry(100, L({S("a/../../b")}))}), 1),
     TTorrent::kUnsafePath},
    {"NUL inside a component", MultiTorrent(L({Entry(100, L({S(std::string("a\0b", 3))}))}), 1),
     TTorrent::kUnsafePath},
    {"NUL starting a component", MultiTorrent(L({Entry(100, L({S(std::string("\0/x", 3))}))}), 1),
     TTorrent::kUnsafePath},
    {"multi-file name ..", MultiTorrent(kOne, 1, ".."), TTorrent::kUnsafePath},
    {"multi-file name with a slash", MultiTorrent(kOne, 1, "a/b"), TTorrent::kUnsafePath},
    {"multi-file absolute name", MultiTorrent(kOne, 1, "/tmp"), TTorrent::kUnsafePath},
    {"multi-file name with NUL", MultiTorrent(kOne, 1, std::string("a\0", 2)),
     TTorrent::kUnsafePath},
    {"single-file name ..", SingleTorrent(".."), TTorrent::kUnsafePath},
    {"single-file name with a path", SingleTorrent("../x"), TTorrent::kUnsafePath},
    {"single-file absolute name", SingleTorrent("/etc/passwd"), TTorrent::kUnsafePath},
    {"single-file name with NUL", SingleTorrent(std::string("x\0y", 3)), TTorrent::kUnsafePath},
};
INSTANTIATE_TEST_SUITE_P(Table, Refusals, ::testing::ValuesIn(kRefusals));

TEST(Torrent, EveryTruncationIsRefused) {
    const std::string files = L({Entry(30000, L({S("a.txt")})), Entry(50000, L({S("c.bin")}))});
    for (const std::string& bytes : {SingleTorrent(), MultiTorrent(files, 5)}) {
        TorrentRef t;
        ASSERT_TRUE(t->LoadBytes(bytes));
        for (size_t n = 0; n < bytes.size(); ++n) {
            EXPECT_FALSE(t->LoadBytes(bytes.substr(0, n))) << "prefix " << n;
        }
        // Trailing bytes after the dictionary are not read.
        EXPECT_TRUE(t->LoadBytes(bytes + "\n"));
    }
}

TEST(Torrent, Descriptor) {
    const std::string hash = "0123456789ABCDEFabcdef0123456789abcdef01";
    TorrentRef t;
    t->SetTorrentBytes(SingleTorrent());  // a descriptor address wins over bytes
    t->SetTorrentAddress("$Hash$" + hash + "$Size$1000$Length$256$Tracker$udp$$$t/a$End$");
    ASSERT_TRUE(t->Load()) << t->FailureText();
    EXPECT_EQ(t->InfoHashText(), "0123456789abcdefabcdef0123456789abcdef01");
    EXPECT_EQ(t->InfoHash()[0], 0x01);
    EXPECT_EQ(t->InfoHash()[19], 0x01);
    EXPECT_EQ(t->Announce(), "udp://t/a");
    EXPECT_EQ(t->Trackers(), std::vector<std::string>{"udp://t/a"});
    const MetainfoContent& c = t->Content();
    EXPECT_TRUE(c.torrentless);
    EXPECT_EQ(c.pieceCount, 4);
    EXPECT_EQ(c.pieceLength, 256);
    EXPECT_EQ(c.totalLength, 1000);
    ASSERT_EQ(c.files.size(), 1u);
    EXPECT_EQ(c.files[0].path, "");
    EXPECT_EQ(c.files[0].pieceSpan, 4);
    EXPECT_TRUE(c.pieceHashes.empty());

    const std::string bad[] = {
        "$Size$1000$Length$256$Tracker$udp$$$t/a$End$",
        "$Hash$" + hash + "$Length$256$Tracker$udp$$$t/a$End$",
        "$Hash$" + hash + "$Size$1000$Tracker$udp$$$t/a$End$",
        "$Hash$" + hash + "$Size$1000$Length$256$End$",
        "$Hash$0123$Size$1000$Length$256$Tracker$u$End$",
        "$Hash$" + std::string(40, 'g') + "$Size$1000$Length$256$Tracker$u$End$",
        "$Hash$" + hash + "$Size$x$Length$256$Tracker$u$End$",
        "$Hash$" + hash + "$Size$1000$Length$0$Tracker$u$End$",
        "$Hash$" + hash + "$Size$1000$Length$99999999999999999999$Tracker$u$End$",
        "$Hash$" + hash + "$Size$99999999999999$Length$1$Tracker$u$End$",
    };
    for (const std::string& text : bad) {
        t->SetTorrentAddress(text);
        EXPECT_FALSE(t->Load()) << text;
        EXPECT_EQ(t->LastFailure(), TTorrent::kBadDescriptor) << text;
    }
}

TEST(Torrent, ChoosingTheInput) {
    lftest::TempDir dir;
    const std::string good = dir / "good.torrent";
    lftest::WriteFile(good, SingleTorrent());
    lftest::WriteFile(dir / "text.torrent", "hello world");
    lftest::WriteFile(dir / "short.torrent", "de");
    lftest::WriteFile(dir / "broken.torrent", "d8:announce");
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);

    {
        TorrentRef t;
        t->SetTorrentAddress("file://" + good);
        ASSERT_TRUE(t->Load()) << t->FailureText();
        EXPECT_EQ(t->Content().name, "file.bin");
        EXPECT_EQ(t->TorrentBytes(), SingleTorrent()) << "the file's bytes are kept for saving";
    }
    {
        TorrentRef t;  // bytes win over a "file://" address
        t->SetTorrentBytes(SingleTorrent("from-bytes"));
        t->SetTorrentAddress("file://" + good);
        ASSERT_TRUE(t->Load());
        EXPECT_EQ(t->Content().name, "from-bytes");
    }
    const std::pair<std::string, TTorrent::Failure> cases[] = {
        {"", TTorrent::kNoInput},
        {"http://Kademlia/abc", TTorrent::kBadAddress},
        {"HTTP://kademlia/abc", TTorrent::kBadAddress},
        {"ftp://host/x.torrent", TTorrent::kBadAddress},
        {"file://" + dir / "missing.torrent", TTorrent::kNotMetainfo},
        {"file://" + dir / "text.torrent", TTorrent::kNotMetainfo},
        {"file://" + dir / "short.torrent", TTorrent::kNotMetainfo},
        {"file://" + dir / "broken.torrent", TTorrent::kNotMetainfo},
        {"file://" + dir.Path(), TTorrent::kNotMetainfo},
        {"file://" + dir / "fifo", TTorrent::kNotMetainfo},
    };
    for (const auto& [address, failure] : cases) {
        TorrentRef t;
        t->SetTorrentAddress(address);
        EXPECT_FALSE(t->Load()) << address;
        EXPECT_EQ(t->LastFailure(), failure) << address << ": " << t->FailureText();
    }
    // A valid file:// torrent whose info is bad is not "not metainfo".
    lftest::WriteFile(dir / "badinfo.torrent", SingleTorrent(".."));
    TorrentRef t;
    t->SetTorrentAddress("FILE://" + dir / "badinfo.torrent");
    EXPECT_FALSE(t->Load());
    EXPECT_EQ(t->LastFailure(), TTorrent::kUnsafePath);
}

}  // namespace
