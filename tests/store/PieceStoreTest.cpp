// Piece map, resume data, cache file and target files, driven through real
// files in a temporary folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <zlib.h>

#include <climits>
#include <cstring>
#include <functional>
#include <random>

#include "engine/store/ResumeFile.h"
#include "engine/store/StoreChecksum.h"
#include "engine/store/TPieces.h"
#include "engine/store/TargetFiles.h"
#include "tests/store/StoreFixture.h"
#include "tests/support/TestDirs.h"

using namespace lf;

using namespace storetest;
using lftest::FileExists;
using lftest::ReadFile;
using lftest::TempDir;
using lftest::WriteFile;

namespace {

// One task's piece map with its folder, info and cache file paths.
struct Task {
    std::string folder;
    std::string cachePath;
    std::vector<TPieceEvent> events;
    std::string bits, part;
    TPieces* map = nullptr;

    Task(const std::string& dir) : folder(dir + "/data"), cachePath(dir + "/task.lfinfodf") {}
    ~Task() {
        if (map) map->Release();
    }
    bool Start(const Content& c, const std::string& resume = "", bool trust = false,
               int cacheUnits = 32) {
        if (map) map->Release();
        events.clear();
        map = new TPieces;
        map->SetEventSink([this](const TPieceEvent& e) {
            events.push_back(e);
            if (e.type == 1001) bits.assign(e.data, static_cast<size_t>(e.length));
            if (e.type == 1000) part.assign(e.data, static_cast<size_t>(e.length));
        });
        map->SetDownloadFolder(folder);
        map->SetCacheFilePath(cachePath);
        map->SetResumeData(resume);
        map->SetTrustExistingFiles(trust);
        map->SetCacheLimitUnits(cacheUnits);
        map->SetSyncBeforeResume(false);
        return map->BuildPieceTable(c.layout);
    }
    bool Sent(int type) const {
        for (const auto& e : events)
            if (e.type == type) return true;
        return false;
    }
    std::vector<int32_t> HaveList() const {
        std::vector<int32_t> v;
        for (int32_t i = 0; i < map->PieceCount(); ++i)
            if (map->Have(i)) v.push_back(i);
        return v;
    }
};

void Feed(TPieces& map, const Content& c, int32_t piece, int32_t from, int32_t to,
          IPieceSource* src = nullptr) {
    std::string p = c.PieceBytes(piece);
    to = std::min<int32_t>(to, static_cast<int32_t>(p.size()));
    for (int32_t o = from; o < to; o += kBlockBytes)
        map.StoreBlock(piece, o, p.data() + o, std::min(kBlockBytes, to - o), src);
}

struct CountingSource : IPieceSource {
    int kind = 1;
    int good = 0, bad = 0;
    int SourceKind() const override { return kind; }
    void ChargePiece(bool failed) override { (failed ? bad : good)++; }
    bool PeerAddress(uint32_t* ip, uint16_t* port) const override {
        *ip = 0x7f000001;
        *port = 6881;
        return true;
    }
};

}  // namespace

// ------------------------------------------------------------ SHA-1 context

TEST(Sha1Context, SavedFormIsTheRfc3174MemoryImage) {
    TSha1Context c;
    std::string data = Bytes(64 * 5 + 7, 1);
    c.Update(data.data(), data.size());
    std::string s = c.Export();
    ASSERT_EQ(s.size(), 104u);
    // Length in bits at 20 (low word), block index at 28, the 7 pending
    // bytes at 30, flags zero.
    uint32_t lowBits;
    std::memcpy(&lowBits, s.data() + 20, 4);
    EXPECT_EQ(lowBits, (64u * 5 + 7) * 8);
    EXPECT_EQ(s[28], 7);
    EXPECT_EQ(s[29], 0);
    EXPECT_EQ(s.substr(30, 7), data.substr(320, 7));
    EXPECT_EQ(s.substr(94, 10), std::string(10, '\0'));
    // The initial state's first word is 0x67452301, little-endian.
    TSha1Context fresh;
    std::string f = fresh.Export();
    EXPECT_EQ(f.substr(0, 4), std::string("\x01\x23\x45\x67", 4));

    // Import and continue gives the one-shot digest.
    TSha1Context d;
    ASSERT_TRUE(d.Import(s.data(), s.size()));
    std::string rest = Bytes(1000, 2);
    d.Update(rest.data(), rest.size());
    std::string all = data + rest;
    EXPECT_EQ(d.Digest(), TSha1Context::Of(all.data(), all.size()));
}

TEST(Sha1Context, ImportRefusesInconsistentContexts) {
    TSha1Context c;
    std::string data = Bytes(128, 3);
    c.Update(data.data(), data.size());
    std::string good = c.Export();
    struct Case {
        const char* what;
        std::function<void(std::string&)> spoil;
    } cases[] = {
        {"computed flag", [](std::string& s) { s[96] = 1; }},
        {"corrupted flag", [](std::string& s) { s[100] = 1; }},
        {"index out of range", [](std::string& s) { s[28] = 64; }},
        {"negative index", [](std::string& s) { s[29] = static_cast<char>(0x80); }},
        {"index disagrees with length", [](std::string& s) { s[28] = 3; }},
        {"bit length not whole bytes", [](std::string& s) { s[20] = 1; }},
        {"short", [](std::string& s) { s.resize(103); }},
    };
    for (auto& k : cases) {
        std::string s = good;
        k.spoil(s);
        TSha1Context d;
        EXPECT_FALSE(d.Import(s.data(), s.size())) << k.what;
    }
}

TEST(StoreChecksum, AdlerStartsAtTheGivenValue) {
    std::string data = Bytes(104, 4);
    for (uint32_t start : {0u, 1u, 7u, 0x12345u, 70000u}) {
        uint32_t a = start & 0xffff, b = start >> 16;
        for (unsigned char ch : data) {
            a = (a + ch) % 65521;
            b = (b + a) % 65521;
        }
        EXPECT_EQ(AdlerFrom(start, data.data(), data.size()), (b << 16) | a) << start;
    }
}

// ------------------------------------------------------------ target files

TEST(TargetFiles, NamesFoldersAndRangesAcrossFiles) {
    TempDir dir;
    std::string folder = dir.Path() + "/dl/";
    CreateFolders(folder, true);
    WriteFile(folder + "b.bin", "existing");  // exists under its plain name
    Content c = MakeContent({{"a.bin", 5000}, {"sub/deeper/", 0}, {"b.bin", 3}, {"c?x.bin", 30000}},
                            16384, 5);
    TTargetFiles files;
    ASSERT_TRUE(files.Setup(folder, c.layout));
    auto& f = files.Files();
    EXPECT_EQ(f[0].path, folder + "a.bin.lftmp");
    EXPECT_EQ(f[0].finalPath, folder + "a.bin");
    EXPECT_TRUE(f[0].temporary);
    EXPECT_TRUE(f[1].folder);
    struct stat st;
    EXPECT_EQ(::stat((folder + "sub/deeper").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(f[2].path, folder + "b.bin");
    EXPECT_FALSE(f[2].temporary);
    EXPECT_EQ(f[3].path, folder + "c_x.bin.lftmp");
    EXPECT_EQ(f[3].firstPiece, 0);
    EXPECT_EQ(f[3].pieceSpan, 3);

    // One write across the boundaries of three files; "b.bin" is longer than
    // its 3 bytes and is cut back at first open.
    ASSERT_EQ(files.Write(0, c.bytes.data(), static_cast<int64_t>(c.bytes.size())),
              static_cast<int64_t>(c.bytes.size()));
    files.CloseAll();
    EXPECT_EQ(ReadFile(f[0].path), c.FileBytes(0));
    EXPECT_EQ(ReadFile(f[2].path), c.FileBytes(2));
    EXPECT_EQ(ReadFile(f[3].path), c.FileBytes(3));
    std::string back(c.bytes.size(), '\0');
    EXPECT_EQ(files.Read(4000, back.data(), 2000), 2000);
    EXPECT_EQ(back.substr(0, 2000), c.bytes.substr(4000, 2000));

    ASSERT_TRUE(files.RenameCompleted(f[0]));
    EXPECT_TRUE(FileExists(folder + "a.bin"));
    EXPECT_FALSE(FileExists(folder + "a.bin.lftmp"));
    EXPECT_FALSE(files.RenameCompleted(f[2]));  // never temporary
}

TEST(TargetFiles, GrowthAheadOfTheData) {
    TempDir dir;
    Content c = MakeContent({{"big.bin", 8 << 20}}, 262144, 13);
    struct Case {
        const char* what;
        bool full;
        int64_t writeAt, sizeAfter;
    } cases[] = {
        {"full length at first write", true, 0, 8 << 20},
        {"needed + 1 MiB + one piece", false, 0, 16384 + (1 << 20) + 262144},
        {"never past the length", false, (8 << 20) - 16384, 8 << 20},
    };
    int n = 0;
    for (auto& k : cases) {
        TTargetFiles files;
        ASSERT_TRUE(files.Setup(dir.Path() + "/" + std::to_string(n++) + "/", c.layout));
        files.SetGrowToFullLength(k.full);
        ASSERT_EQ(files.Write(k.writeAt, c.bytes.data(), 16384), 16384) << k.what;
        files.CloseAll();
        struct stat st;
        ASSERT_EQ(::stat(files.Files()[0].path.c_str(), &st), 0) << k.what;
        EXPECT_EQ(st.st_size, k.sizeAfter) << k.what;
    }
}

TEST(TargetFiles, VectoredWriteAcrossFilesAndPartBoundaries) {
    TempDir dir;
    Content c = MakeContent({{"a.bin", 70000}, {"b.bin", 5}, {"c.bin", 300001}}, 16384, 21);
    TTargetFiles files;
    ASSERT_TRUE(files.Setup(dir.Path() + "/dl/", c.layout));
    files.SetGrowToFullLength(false);
    // Parts of uneven sizes, more than one write's worth of them, split
    // across every file boundary; written from offset 1000 (the first 1000
    // bytes come with a plain write afterwards).
    std::vector<iovec> parts;
    for (size_t at = 1000, n = 1; at < c.bytes.size(); at += n, n = n * 7 % 499 + 1) {
        n = std::min(n, c.bytes.size() - at);
        parts.push_back({c.bytes.data() + at, n});
    }
    ASSERT_GT(parts.size(), static_cast<size_t>(IOV_MAX));
    ASSERT_EQ(files.WriteParts(1000, parts.data(), static_cast<int>(parts.size())),
              static_cast<int64_t>(c.bytes.size() - 1000));
    ASSERT_EQ(files.Write(0, c.bytes.data(), 1000), 1000);
    // The cached size follows the writes: growing again keeps the data.
    ASSERT_EQ(files.Write(100, c.bytes.data() + 100, 16384), 16384);
    files.CloseAll();
    auto& f = files.Files();
    EXPECT_EQ(ReadFile(f[0].path), c.FileBytes(0));
    EXPECT_EQ(ReadFile(f[1].path), c.FileBytes(1));
    EXPECT_EQ(ReadFile(f[2].path), c.FileBytes(2));
}

TEST(TargetFiles, DiskQueries) {
    TempDir dir;
    EXPECT_GT(GetDriveFreeSpace(dir.Path()), 0);
    EXPECT_GT(GetDriveFreeSpace(dir.Path() + "/not/yet/there"), 0);  // nearest parent
    EXPECT_EQ(GetDriveFreeSpace(""), 0);
    WriteFile(dir / "x.lftmp", std::string(100000, 'x'));
    EXPECT_GE(GetSizeOnDisk(dir / "x"), 100000);  // falls back to the temporary name
    EXPECT_EQ(GetSizeOnDisk(dir / "none"), 0);
}

// ------------------------------------------------------------ piece map

TEST(PieceMap, DownloadsVerifiesAndRenamesAtCompletion) {
    TempDir dir;
    Content c = MakeContent({{"one.bin", 300000}, {"two/two.bin", 700000}, {"three.bin", 12345}},
                            262144, 6);
    Task t(dir.Path());
    ASSERT_TRUE(t.Start(c));
    EXPECT_TRUE(t.Sent(100));
    EXPECT_EQ(t.map->PieceCount(), 4);
    CountingSource src;
    // Blocks in a shuffled order across pieces.
    std::vector<std::pair<int32_t, int32_t>> blocks;
    for (int32_t i = 0; i < 4; ++i)
        for (int32_t o = 0; o < t.map->PieceSize(i); o += kBlockBytes) blocks.push_back({i, o});
    std::mt19937 rng(7);
    std::shuffle(blocks.begin(), blocks.end(), rng);
    for (auto [i, o] : blocks) Feed(*t.map, c, i, o, o + kBlockBytes, &src);
    t.map->Maintain();
    EXPECT_TRUE(t.map->IsComplete());
    EXPECT_EQ(t.map->VerifiedBytes(), static_cast<int64_t>(c.bytes.size()));
    EXPECT_EQ(src.good, 4);
    EXPECT_EQ(t.map->CachedBytes(), 0);
    WriteFile(t.cachePath, "stale");
    ASSERT_TRUE(t.map->CloseFiles(true, true));
    EXPECT_FALSE(FileExists(t.cachePath));
    for (size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(ReadFile(t.folder + "/" + c.layout.files[k].path), c.FileBytes(k));
        EXPECT_FALSE(FileExists(t.folder + "/" + c.layout.files[k].path + ".lftmp"));
    }
}

// Another program deletes or replaces a file this map wrote (a second copy
// of the downloader finishing first, say): the pieces in it no longer count
// as present, the file is not renamed as complete, and fetching them again
// gives the right file.
TEST(PieceMap, PiecesOfAFileChangedUnderneathAreFetchedAgain) {
    struct Case {
        const char* name;
        std::function<void(const std::string& path)> change;
    };
    const Case cases[] = {
        {"deleted", [](const std::string& path) { ::unlink(path.c_str()); }},
        {"replaced by zeros",
         [](const std::string& path) {
             const std::string other = path + ".other";
             WriteFile(other, std::string(1000000, '\0'));
             ::rename(other.c_str(), path.c_str());
         }},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        TempDir dir;
        Content c = MakeContent({{"one.bin", 1000000}}, 262144, 11);
        Task t(dir.Path());
        ASSERT_TRUE(t.Start(c));
        // Three of four pieces verified and written.
        for (int32_t i = 0; i < 3; ++i) Feed(*t.map, c, i, 0, 262144);
        t.map->CloseFiles(true, false);
        ASSERT_EQ(t.HaveList().size(), 3u);
        const std::string temp = t.folder + "/one.bin.lftmp";
        k.change(temp);
        Feed(*t.map, c, 3, 0, 262144);
        // Finishing finds the change: nothing is renamed, the bits are gone.
        t.map->CloseFiles(true, true);
        EXPECT_FALSE(t.map->IsComplete());
        EXPECT_FALSE(FileExists(t.folder + "/one.bin"));
        EXPECT_LT(t.HaveList().size(), 4u);
        FeedAll(*t.map, c);
        t.map->CloseFiles(true, true);
        EXPECT_TRUE(t.map->IsComplete());
        EXPECT_TRUE(ReadFile(t.folder + "/one.bin") == c.FileBytes(0));
    }
}

// Every file of a multi-file torrent is made in its folder layout, the
// empty ones included (they hold no piece, so no write ever creates them).
TEST(PieceMap, EmptyFilesAreCreatedInTheirFolders) {
    TempDir dir;
    Content c = MakeContent({{"数据/第一卷/空文件.txt", 0},
                             {"数据/第一卷/a.bin", 300000},
                             {"数据/空.txt", 0},
                             {"b.bin", 5}},
                            262144, 12);
    Task t(dir.Path());
    ASSERT_TRUE(t.Start(c));
    EXPECT_TRUE(FileExists(t.folder + "/数据/第一卷/空文件.txt"));
    EXPECT_TRUE(FileExists(t.folder + "/数据/空.txt"));
    FeedAll(*t.map, c);
    ASSERT_TRUE(t.map->CloseFiles(true, true));
    EXPECT_TRUE(t.map->IsComplete());
    for (size_t k = 0; k < c.layout.files.size(); ++k) {
        const std::string path = t.folder + "/" + c.layout.files[k].path;
        EXPECT_TRUE(FileExists(path)) << path;
        EXPECT_TRUE(ReadFile(path) == c.FileBytes(k)) << path;
        EXPECT_FALSE(FileExists(path + ".lftmp")) << path;
    }
    // A second start over the finished files takes them as they are.
    ASSERT_TRUE(t.Start(c));
    EXPECT_TRUE(t.map->IsComplete());
}

TEST(PieceMap, HashFailureResetsThePieceAndChargesTheSource) {
    TempDir dir;
    Content c = MakeContent({{"f.bin", 600000}}, 262144, 8);
    Task t(dir.Path());
    ASSERT_TRUE(t.Start(c));
    std::vector<std::pair<std::string, std::string>> reports;
    t.map->SetReportHook([&](const char* code, const std::string& text) {
        reports.push_back({code, text});
    });
    CountingSource peer;
    // Half the piece on disk (its first chunk is written as it fills: Part
    // 128 KiB), then a corrupt tail: the whole piece starts over.
    std::string bad = c.PieceBytes(1);
    bad[200000] ^= 1;
    Feed(*t.map, c, 1, 0, 131072, &peer);
    EXPECT_EQ(t.map->PartOf(1), 131072);
    EXPECT_EQ(t.map->CachedBytes(), 0);
    for (int32_t o = 131072; o < 262144; o += kBlockBytes)
        t.map->StoreBlock(1, o, bad.data() + o, kBlockBytes, &peer);
    EXPECT_FALSE(t.map->Have(1));
    EXPECT_EQ(t.map->PartOf(1), 0);
    EXPECT_EQ(peer.bad, 1);  // it delivered the whole piece
    // A corrupt head delivered whole by one peer is reported and charged.
    Task u(dir.Path() + "/u");
    ::mkdir((dir.Path() + "/u").c_str(), 0755);
    ASSERT_TRUE(u.Start(c));
    u.map->SetReportHook([&](const char* code, const std::string& text) {
        reports.push_back({code, text});
    });
    CountingSource peer2;
    std::string corrupt = c.PieceBytes(0);
    corrupt[5] ^= 1;
    for (int32_t o = 0; o < 262144; o += kBlockBytes)
        u.map->StoreBlock(0, o, corrupt.data() + o, kBlockBytes, &peer2);
    EXPECT_FALSE(u.map->Have(0));
    EXPECT_EQ(u.map->PartOf(0), 0);
    EXPECT_FALSE(u.map->HasBlock(0, 0));
    EXPECT_EQ(peer2.bad, 1);
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().first, "11500102");
    EXPECT_EQ(reports.back().second, "127.0.0.1 : 6881");
    // The right bytes then complete it.
    Feed(*u.map, c, 0, 0, 262144, &peer2);
    u.map->Maintain();
    EXPECT_TRUE(u.map->Have(0));
}

// Two sources deliver the same blocks (end game): the first copy stays,
// the second is taken as received without overwriting it (in memory) or
// ignored (already on disk), and the piece completes with the first
// source's bytes.
TEST(PieceMap, SecondCopyOfABlockLeavesTheFirst) {
    TempDir dir;
    Content c = MakeContent({{"f.bin", 600000}}, 262144, 8);
    Task t(dir.Path());
    ASSERT_TRUE(t.Start(c));
    CountingSource first, second;
    const std::string good = c.PieceBytes(1);
    std::string wrong = good;
    for (char& b : wrong) b = static_cast<char>(b ^ 0x5a);
    // Seven blocks of the first chunk: in memory, nothing written yet.
    const int32_t held = 131072 - kBlockBytes;
    Feed(*t.map, c, 1, 0, held, &first);
    EXPECT_EQ(t.map->PartOf(1), 0);
    for (int32_t o = 0; o < held; o += kBlockBytes)
        EXPECT_EQ(t.map->StoreBlock(1, o, wrong.data() + o, kBlockBytes, &second), kBlockBytes);
    // The chunk's last block: the chunk goes to disk with the first copies.
    Feed(*t.map, c, 1, held, 131072, &first);
    EXPECT_EQ(t.map->PartOf(1), 131072);
    for (int32_t o = 0; o < 131072; o += kBlockBytes)
        EXPECT_EQ(t.map->StoreBlock(1, o, wrong.data() + o, kBlockBytes, &second), 0);
    EXPECT_FALSE(t.map->Have(1));
    // The rest from the second source completes the piece: it verifies and
    // is written at once.
    bool completed = false;
    for (int32_t o = 131072; o < 262144; o += kBlockBytes)
        t.map->StoreBlock(1, o, good.data() + o, kBlockBytes, &second, &completed);
    EXPECT_TRUE(completed);
    EXPECT_TRUE(t.map->Have(1));
    EXPECT_EQ(t.map->CachedBytes(), 0);
    EXPECT_EQ(first.bad + second.bad, 0);
}

// Memory a source receives into directly: only blocks not yet held, from a
// block start at or above Part, inside one chunk, at most what was asked;
// bytes placed there count once StoreBlock is called on them.
TEST(PieceMap, ReceiveSpanOffersOnlyFreeBlocksOfOneChunk) {
    TempDir dir;
    Content c = MakeContent({{"f.bin", 600000}}, 262144, 8);  // the last piece 75712 bytes
    Task t(dir.Path());
    ASSERT_TRUE(t.Start(c));
    Feed(*t.map, c, 0, 0, 262144);       // present
    Feed(*t.map, c, 1, 0, 131072);       // its first chunk on disk
    Feed(*t.map, c, 1, 163840, 180224);  // one block held in memory
    ASSERT_TRUE(t.map->Have(0));
    ASSERT_EQ(t.map->PartOf(1), 131072);
    struct Case {
        const char* what;
        int32_t piece, offset, most, span;
    } cases[] = {
        {"a present piece", 0, 0, 1 << 20, 0},
        {"below Part", 1, 0, 1 << 20, 0},
        {"not a block start", 1, 131073, 1 << 20, 0},
        {"at Part, up to the held block", 1, 131072, 1 << 20, 32768},
        {"at most what was asked", 1, 131072, 20000, 20000},
        {"the held block", 1, 163840, 1 << 20, 0},
        {"after it, to the chunk's end", 1, 180224, 1 << 20, 81920},
        {"the last piece's short last block", 2, 65536, 1 << 20, 10176},
        {"the whole last piece", 2, 0, 1 << 20, 75712},
        {"nothing asked", 2, 0, 0, 0},
        {"no such piece", 3, 0, 1 << 20, 0},
        {"a negative piece", -1, 0, 1 << 20, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        char* at = nullptr;
        EXPECT_EQ(t.map->ReceiveSpan(k.piece, k.offset, k.most, &at), k.span);
        if (k.span > 0) {
            EXPECT_NE(at, nullptr);
        }
    }
    // The last piece received in place: it verifies and is written.
    const std::string last = c.PieceBytes(2);
    char* at = nullptr;
    ASSERT_EQ(t.map->ReceiveSpan(2, 0, 1 << 20, &at), 75712);
    std::memcpy(at, last.data(), last.size());
    bool completed = false;
    for (int32_t o = 0; o < 75712; o += kBlockBytes)
        EXPECT_EQ(
            t.map->StoreBlock(2, o, at + o, std::min(kBlockBytes, 75712 - o), nullptr, &completed),
            std::min(kBlockBytes, 75712 - o));
    EXPECT_TRUE(completed);
    EXPECT_TRUE(t.map->Have(2));
    std::string back(last.size(), '\0');
    EXPECT_EQ(t.map->ReadRange(2, back.data(), 75712, 0), 75712);
    EXPECT_TRUE(back == last);
    // Bytes placed but never stored do not count.
    ASSERT_EQ(t.map->ReceiveSpan(1, 131072, 1 << 20, &at), 32768);
    std::memset(at, 0x55, 32768);
    EXPECT_FALSE(t.map->HasBlock(1, 131072));
    Feed(*t.map, c, 1, 131072, 262144);
    EXPECT_TRUE(t.map->Have(1));
}

TEST(PieceMap, BadGeometryBuildsNoTable) {
    TempDir dir;
    Content c = MakeContent({{"f.bin", 100000}}, 16384, 9);
    struct Case {
        const char* what;
        int64_t count;
    } cases[] = {{"one piece too many", 8}, {"one piece too few", 6}, {"none", 0}};
    for (auto& k : cases) {
        Content d = c;
        d.layout.pieceCount = k.count;
        d.layout.pieceHashes = std::string(static_cast<size_t>(k.count) * 20, 'h');
        Task t(dir.Path());
        EXPECT_FALSE(t.Start(d)) << k.what;
        EXPECT_FALSE(t.Sent(100)) << k.what;
    }
}

TEST(PieceMap, TargetUnderItsPlainNameIsCompletedInPlace) {
    TempDir dir;
    Content c = MakeContent({{"game.bin", 500000}}, 65536, 10);
    CreateFolders(dir.Path() + "/data/", true);
    std::string plain = dir.Path() + "/data/game.bin";
    std::string head = c.bytes.substr(0, 200000);
    WriteFile(plain, head + std::string(c.bytes.size() - head.size() + 999, '\0'));  // too long
    Task t(dir.Path());
    ASSERT_TRUE(t.Start(c));
    EXPECT_EQ(t.map->Files().Files()[0].path, plain);
    EXPECT_EQ(t.map->HaveCount(), 3);  // 3 whole pieces of 64 KiB were already there
    struct stat st;
    ASSERT_EQ(::stat(plain.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 500000);  // cut back to the content length
    FeedAll(*t.map, c);
    t.map->Maintain();
    ASSERT_TRUE(t.map->IsComplete());
    t.map->CloseFiles(true, true);
    EXPECT_EQ(ReadFile(plain), c.bytes);
    EXPECT_FALSE(FileExists(plain + ".lftmp"));
}

TEST(PieceMap, QuickCheckTrustsCompleteFiles) {
    TempDir dir;
    Content c = MakeContent({{"a", 100000}, {"b", 100000}}, 16384, 11);
    CreateFolders(dir.Path() + "/data/", true);
    WriteFile(dir.Path() + "/data/a", c.FileBytes(0));
    WriteFile(dir.Path() + "/data/b", c.FileBytes(1));
    Task t(dir.Path());
    ASSERT_TRUE(t.Start(c, "", true));
    EXPECT_TRUE(t.map->IsComplete());
    EXPECT_TRUE(t.Sent(2));
    // A short file fails the quick check.
    WriteFile(dir.Path() + "/data/b", c.FileBytes(1).substr(0, 5));
    Task u(dir.Path());
    EXPECT_FALSE(u.Start(c, "", true));
}

// ------------------------------------------------------------ resume data

namespace {

// First run: pieces 1 and 2 present, pieces 0 and 3 half on disk (Part
// 128 KiB), the last file never touched. Returns the resume data.
Content ResumeContent() {
    return MakeContent({{"a.bin", 300000}, {"b.bin", 700000}, {"c.bin", 400000}}, 262144, 12);
}

std::string FirstRun(const std::string& dir, const Content& c) {
    Task t(dir);
    EXPECT_TRUE(t.Start(c));
    Feed(*t.map, c, 1, 0, 262144);
    Feed(*t.map, c, 2, 0, 262144);
    Feed(*t.map, c, 0, 0, 131072);
    Feed(*t.map, c, 3, 0, 131072);
    EXPECT_EQ(t.map->PartOf(0), 131072);
    EXPECT_EQ(t.map->PartOf(3), 131072);
    t.map->CloseFiles(true, false);
    EXPECT_EQ(t.HaveList(), (std::vector<int32_t>{1, 2}));
    return t.bits;
}

std::string ReplaceFirst(std::string s, const std::string& from, const std::string& to,
                         size_t nth = 0) {
    size_t at = s.find(from);
    while (at != std::string::npos && nth-- > 0) at = s.find(from, at + 1);
    if (at != std::string::npos) s.replace(at, from.size(), to);
    return s;
}

}  // namespace

TEST(ResumeData, LayoutIsExact) {
    TempDir dir;
    Content c = ResumeContent();
    std::string bits = FirstRun(dir.Path(), c);
    std::string folder = dir.Path() + "/data/";
    // infohash first, then each file with its path as a bare key.
    EXPECT_EQ(bits.rfind("d8:infohash20:" + c.layout.infoHash, 0), 0u);
    std::string cEntry = std::to_string((folder + "c.bin.lftmp").size()) + ":" + folder +
                         "c.bin.lftmp3:Low4:High4:Sizei-1e8:Priority";
    EXPECT_NE(bits.find(cEntry), std::string::npos);
    EXPECT_NE(bits.find("3:Lowi"), std::string::npos);
    // Piece 0 is written with a bare Index; checksums start at the index.
    TSha1Context ctx;
    std::string head = c.PieceBytes(0).substr(0, 131072);
    ctx.Update(head.data(), head.size());
    std::string s0 = ctx.Export();
    std::string e0 = "d5:Index4:Parti131072e6:Status104:" + s0 + "5:CRC32i" +
                     std::to_string(adler32(0, reinterpret_cast<const Bytef*>(s0.data()), 104)) +
                     "ee";
    EXPECT_NE(bits.find("11:PieceStatusl" + e0 + "d5:Indexi3e"), std::string::npos);
    EXPECT_NE(bits.find(std::string("8:BitField1:") + static_cast<char>(0x60) + "e"),
              std::string::npos);
    EXPECT_EQ(bits.back(), 'e');
}

TEST(ResumeData, EdgeCases) {
    struct Case {
        const char* what;
        std::function<void(std::string& bits, const std::string& folder)> change;
        bool restored;              // the resume data was used
        std::vector<int32_t> have;  // pieces present afterwards
        int32_t part0, part3;       // restored Part of pieces 0 and 3
    };
    Case cases[] = {
        {"as saved; piece 0 from a bare Index; absent file stays absent",
         [](std::string&, const std::string&) {},
         true,
         {1, 2},
         131072,
         131072},
        {"bad CRC32 skips that entry only",
         [](std::string& b, const std::string&) {
             size_t at = b.find("5:CRC32i", b.find("d5:Indexi3e"));
             b[at + 8] = b[at + 8] == '9' ? '8' : static_cast<char>(b[at + 8] + 1);
         },
         true,
         {1, 2},
         131072,
         0},
        {"BitField one byte short ignores everything",
         [](std::string& b, const std::string&) {
             size_t at = b.find("8:BitField1:");
             b = b.substr(0, at) + "8:BitField0:e";
         },
         false,
         {1, 2},
         0,
         0},
        {"file deleted between runs",
         [](std::string&, const std::string& f) { ::unlink((f + "a.bin.lftmp").c_str()); },
         false,
         {2},
         0,
         0},
        {"file longer than its length is cut back and checked",
         [](std::string&, const std::string& f) {
             WriteFile(f + "b.bin.lftmp", ReadFile(f + "b.bin.lftmp") + "tail");
         },
         false,
         {1, 2},
         0,
         0},
        {"file present now but absent at save time",
         [](std::string&, const std::string& f) { WriteFile(f + "c.bin.lftmp", "x"); },
         false,
         {1, 2},
         0,
         0},
        {"another torrent's info hash",
         [](std::string& b, const std::string&) { b[14] ^= 1; },
         false,
         {1, 2},
         0,
         0},
        {"Part not a multiple of the chunk size resets that piece",
         [](std::string& b, const std::string&) {
             b = ReplaceFirst(b, "4:Parti131072e", "4:Parti114688e", 1);
         },
         true,
         {1, 2},
         131072,
         0},
        {"a saved context that does not match the disk",
         [](std::string&, const std::string& f) {
             std::string a = ReadFile(f + "b.bin.lftmp");
             struct stat st;
             ::stat((f + "b.bin.lftmp").c_str(), &st);
             // piece 3 starts at 786432 = 486432 into b.bin
             a[486432 + 10] ^= 1;
             WriteFile(f + "b.bin.lftmp", a);
         },
         true,
         {1, 2},
         131072,
         0},
    };
    Content c = ResumeContent();
    for (auto& k : cases) {
        TempDir dir;
        std::string bits = FirstRun(dir.Path(), c);
        ASSERT_FALSE(bits.empty());
        std::string folder = dir.Path() + "/data/";
        k.change(bits, folder);
        Task t(dir.Path());
        ASSERT_TRUE(t.Start(c, bits)) << k.what;
        bool restored = false;
        for (const auto& e : t.events) restored |= e.type == 3 && e.flag == 0;
        EXPECT_EQ(restored, k.restored) << k.what;
        EXPECT_EQ(t.HaveList(), k.have) << k.what;
        EXPECT_EQ(t.map->PartOf(0), k.part0) << k.what;
        EXPECT_EQ(t.map->PartOf(3), k.part3) << k.what;
        EXPECT_EQ(t.map->ExaminedBytes(), t.map->TotalLength()) << k.what;
        // Whatever was restored, the download finishes with the right bytes.
        FeedAll(*t.map, c);
        t.map->Maintain();
        ASSERT_TRUE(t.map->IsComplete()) << k.what;
        t.map->CloseFiles(true, true);
        for (size_t f = 0; f < 3; ++f)
            EXPECT_EQ(ReadFile(folder + c.layout.files[f].path), c.FileBytes(f)) << k.what;
    }
}

TEST(ResumeData, HostileInputIsIgnoredAndTheDiskIsChecked) {
    Content c = ResumeContent();
    TempDir base;
    std::string good = FirstRun(base.Path(), c);
    std::vector<std::pair<std::string, std::string>> inputs;
    for (size_t n :
         {size_t{0}, size_t{1}, size_t{3}, good.size() / 3, good.size() / 2, good.size() - 1})
        inputs.push_back({"truncated to " + std::to_string(n), good.substr(0, n)});
    for (unsigned s = 0; s < 8; ++s)
        inputs.push_back({"random " + std::to_string(s), Bytes(50 + s * 97, 100 + s)});
    inputs.push_back({"random after a valid start", "d8:infohash20:" + Bytes(400, 3)});
    inputs.push_back({"length beyond the input", ReplaceFirst(good, "104:", "999:")});
    inputs.push_back({"negative length", ReplaceFirst(good, "104:", "-4:")});
    inputs.push_back({"huge integer", ReplaceFirst(good, "i131072e", "i99999999999999999999999e")});
    inputs.push_back({"list instead of dictionary", "l" + good.substr(1)});
    inputs.push_back({"BitField too long", ReplaceFirst(good, "8:BitField1:", "8:BitField2:\xff")});
    inputs.push_back({"Index out of range", ReplaceFirst(good, "5:Indexi3e", "5:Indexi99e")});
    inputs.push_back({"negative Index", ReplaceFirst(good, "5:Indexi3e", "5:Indexi-1e")});
    inputs.push_back(
        {"Part past the piece", ReplaceFirst(good, "4:Parti131072e", "4:Parti524288e")});
    inputs.push_back({"short Status", ReplaceFirst(good, "6:Status104:", "6:Status3:abc")});
    for (auto& [what, bytes] : inputs) {
        TempDir dir;
        FirstRun(dir.Path(), c);
        Task t(dir.Path());
        ASSERT_TRUE(t.Start(c, bytes)) << what;
        // Pieces 1 and 2 are on disk; nothing else may count as present.
        EXPECT_EQ(t.HaveList(), (std::vector<int32_t>{1, 2})) << what;
        EXPECT_EQ(t.map->ExaminedBytes(), t.map->TotalLength()) << what;
        FeedAll(*t.map, c);
        t.map->Maintain();
        EXPECT_TRUE(t.map->IsComplete()) << what;
    }
}

TEST(ResumeData, SelectionListAndResumeFileRoundTrip) {
    TempDir dir;
    Content c = ResumeContent();
    Task t(dir.Path());
    ASSERT_TRUE(t.Start(c));
    std::string sel = t.map->MakeSelectionData();
    EXPECT_EQ(sel, "l5:a.binde5:b.binde5:c.bindee");
    TResumeFileValues v{"abc", sel, "", "d4:infode"}, w;
    ASSERT_TRUE(SaveResumeFile(dir / "t.lfinfo", v, true));
    EXPECT_EQ(ReadFile(dir / "t.lfinfo"), "d4:bits3:abc4:part" + std::to_string(sel.size()) + ":" +
                                              sel + "7:torrent9:d4:infodee");
    ASSERT_TRUE(LoadResumeFile(dir / "t.lfinfo", &w));
    EXPECT_EQ(w.bits, "abc");
    EXPECT_EQ(w.part, sel);
    EXPECT_EQ(w.torrent, "d4:infode");
    // Values of 2 bytes or less are not taken.
    ASSERT_TRUE(ParseResumeFile("d4:bits2:ab5:seeds3:xyze", &w));
    EXPECT_EQ(w.bits, "");
    EXPECT_EQ(w.seeds, "xyz");
}

// ------------------------------------------------------------ cache file

namespace {

// First run leaves piece 4 with blocks 2 and 3 buffered (not contiguous from
// its start, so they stay in memory) and piece 5 with block 1.
std::string CacheRun(const std::string& dir, const Content& c) {
    Task t(dir);
    EXPECT_TRUE(t.Start(c));
    Feed(*t.map, c, 1, 0, 262144);
    Feed(*t.map, c, 4, 32768, 65536);
    Feed(*t.map, c, 5, 16384, 32768);
    t.map->CloseFiles(true, false);
    EXPECT_TRUE(FileExists(t.cachePath));
    return t.bits;
}

void PutLe(std::string& s, size_t at, uint32_t v) {
    for (int k = 0; k < 4; ++k) s[at + k] = static_cast<char>(v >> (8 * k));
}

void Reseal(std::string& file, size_t recordAt, const std::string& infoHash, uint32_t index) {
    uint32_t len = static_cast<uint8_t>(file[recordAt]) |
                   (static_cast<uint8_t>(file[recordAt + 1]) << 8) |
                   (static_cast<uint8_t>(file[recordAt + 2]) << 16);
    uint32_t seed = AdlerFrom(index, infoHash.data(), 20);
    PutLe(file, recordAt + 4, AdlerFrom(seed, file.data() + recordAt + 16, len));
}

}  // namespace

TEST(CacheFile, BufferedDataSurvivesARestart) {
    TempDir dir;
    Content c = ResumeContent();
    std::string bits = CacheRun(dir.Path(), c);
    std::string file = ReadFile(dir.Path() + "/task.lfinfodf");
    ASSERT_EQ(file.size(), 2u * 16 + 2 * 16 + 3 * 16400);  // two records, three blocks
    Task t(dir.Path());
    ASSERT_TRUE(t.Start(c, bits));
    EXPECT_TRUE(t.map->HasBlock(4, 32768));
    EXPECT_TRUE(t.map->HasBlock(4, 49152));
    EXPECT_TRUE(t.map->HasBlock(5, 16384));
    EXPECT_FALSE(t.map->HasBlock(4, 0));
    EXPECT_FALSE(FileExists(t.cachePath));  // taken into memory
    FeedAll(*t.map, c);
    t.map->Maintain();
    EXPECT_TRUE(t.map->IsComplete());
}

TEST(CacheFile, BadRecordsEndLoading) {
    Content c = ResumeContent();
    struct Case {
        const char* what;
        std::function<void(std::string&)> change;
        bool block4, block5;  // which pieces' blocks come back
    };
    Case cases[] = {
        {"intact", [](std::string&) {}, true, true},
        {"block length other than 16384 resets the piece and stops",
         [&](std::string& f) {
             PutLe(f, 32 + 4, 16000);
             Reseal(f, 0, c.layout.infoHash, 4);
         },
         false, false},
        {"bad checksum in the second record", [](std::string& f) { f[f.size() - 100] ^= 1; }, true,
         false},
        {"bad checksum in the first record", [](std::string& f) { f[100] ^= 1; }, false, false},
        {"truncated", [](std::string& f) { f.resize(f.size() - 1); }, true, false},
        {"Part differs from the restored one",
         [&](std::string& f) {
             PutLe(f, 16 + 4, 131072);
             Reseal(f, 0, c.layout.infoHash, 4);
         },
         false, false},
        {"random bytes", [](std::string& f) { f = Bytes(f.size(), 77); }, false, false},
        {"huge length", [](std::string& f) { PutLe(f, 0, 0x7fffffff); }, false, false},
        {"index out of range", [&](std::string& f) { PutLe(f, 8, 1000); }, false, false},
        {"offset below zero",
         [&](std::string& f) {
             PutLe(f, 32, 0xffffc000u);
             Reseal(f, 0, c.layout.infoHash, 4);
         },
         false, false},
    };
    for (auto& k : cases) {
        TempDir dir;
        std::string bits = CacheRun(dir.Path(), c);
        std::string file = ReadFile(dir.Path() + "/task.lfinfodf");
        k.change(file);
        WriteFile(dir.Path() + "/task.lfinfodf", file);
        Task t(dir.Path());
        ASSERT_TRUE(t.Start(c, bits)) << k.what;
        EXPECT_EQ(t.map->HasBlock(4, 32768), k.block4) << k.what;
        EXPECT_EQ(t.map->HasBlock(5, 16384), k.block5) << k.what;
        EXPECT_EQ(t.HaveList(), (std::vector<int32_t>{1})) << k.what;
        FeedAll(*t.map, c);
        t.map->Maintain();
        EXPECT_TRUE(t.map->IsComplete()) << k.what;
    }
}

TEST(CacheFile, WrongDataFromTheCacheNeverCountsAsVerified) {
    TempDir dir;
    Content c = ResumeContent();
    std::string bits = CacheRun(dir.Path(), c);
    // Change a data byte of piece 4's first block and re-seal the record:
    // the record is well-formed, but its bytes are wrong.
    std::string file = ReadFile(dir.Path() + "/task.lfinfodf");
    file[32 + 8 + 5] ^= 1;
    Reseal(file, 0, c.layout.infoHash, 4);
    WriteFile(dir.Path() + "/task.lfinfodf", file);
    Task t(dir.Path());
    ASSERT_TRUE(t.Start(c, bits));
    ASSERT_TRUE(t.map->HasBlock(4, 32768));
    // Completing piece 4 around the bad block fails its hash; it starts over.
    Feed(*t.map, c, 4, 0, 32768);
    Feed(*t.map, c, 4, 65536, 262144);
    EXPECT_FALSE(t.map->Have(4));
    EXPECT_FALSE(t.map->HasBlock(4, 32768));
    FeedAll(*t.map, c);
    t.map->Maintain();
    ASSERT_TRUE(t.map->IsComplete());
    t.map->CloseFiles(true, true);
    EXPECT_EQ(ReadFile(dir.Path() + "/data/c.bin"), c.FileBytes(2));
}

TEST(Selection, SkippedFilesAreNotNeededAndStayUnderTheirTemporaryName) {
    TempDir dir;
    Content c = MakeContent({{"a.bin", 65536}, {"b.bin", 65536}, {"c.bin", 65536}}, 65536, 14);
    Task t(dir.Path());
    t.map = new TPieces;
    t.map->SetDownloadFolder(t.folder);
    t.map->SetSelectionData("l5:a.binde5:b.bini1ede5:c.bindee");
    ASSERT_TRUE(t.map->BuildPieceTable(c.layout));
    EXPECT_FALSE(t.map->IsSkipped(0));
    EXPECT_TRUE(t.map->IsSkipped(1));
    EXPECT_FALSE(t.map->IsSkipped(2));
    EXPECT_EQ(t.map->MakeSelectionData(), "l5:a.binde5:b.bini1ede5:c.bindee");
    Feed(*t.map, c, 0, 0, 65536);
    Feed(*t.map, c, 2, 0, 65536);
    t.map->Maintain();
    t.map->CloseFiles(true, true);
    EXPECT_EQ(ReadFile(t.folder + "/a.bin"), c.FileBytes(0));
    EXPECT_EQ(ReadFile(t.folder + "/c.bin"), c.FileBytes(2));
    EXPECT_FALSE(FileExists(t.folder + "/b.bin"));
}
