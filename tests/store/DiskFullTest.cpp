// A download onto a file system too small for it: a tmpfs mounted in this
// process's own mount namespace.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "engine/store/ResumeFile.h"
#include "tests/store/StoreFixture.h"
#include "tests/support/TestDirs.h"

using namespace lf;

using namespace storetest;

namespace {

constexpr int kDiskFull = 20210;

// Mounts a tmpfs of the given size at path; false when this process may not.
bool MountTmpfs(const std::string& path, const char* size) {
    std::string opts = std::string("size=") + size;
    return ::mount("tmpfs", path.c_str(), "tmpfs", 0, opts.c_str()) == 0;
}

// Moves this process into a mount namespace of its own, with every mount
// private so nothing leaks to the host. Done once, before any thread exists
// (the first test runs it before it creates a piece map).
bool PrivateMountNamespace() {
    static const bool ok = ::unshare(CLONE_NEWNS) == 0 &&
                           ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    return ok;
}

// The part of a task that reacts to piece-store events: status codes and
// the stop request, as the task layer does.
struct Owner {
    std::atomic<bool> stop{false};
    bool stopOnDiskFull = true;
    std::atomic<int> status{0};
    bool error = false;
    std::vector<int> events;
    std::string bits;
    void operator()(const TPieceEvent& e) {
        if (e.type >= 1000) events.push_back(e.type);
        if (e.type == 1001) bits.assign(e.data, static_cast<size_t>(e.length));
        if (e.type == 1002) {
            status = kDiskFull;
            error = true;
            if (stopOnDiskFull) stop.store(true);
        }
        if (e.type == 1003) error = false;
    }
};

TPieces* NewMap(Owner& owner, const std::string& folder, const std::string& info,
                const std::string& bits) {
    TPieces* map = new TPieces;
    map->SetEventSink([&owner](const TPieceEvent& e) { owner(e); });
    map->SetDownloadFolder(folder);
    map->SetCacheFilePath(info + "df");
    map->SetResumeData(bits);
    map->SetStopFlag(&owner.stop);
    map->SetDiskWaitMs(100);
    return map;
}

void ExpectPresentPiecesCorrect(TPieces& map, const Content& c) {
    for (int32_t i = 0; i < map.PieceCount(); ++i) {
        if (!map.Have(i)) continue;
        std::string want = c.PieceBytes(i), got(want.size(), '\0');
        ASSERT_EQ(map.ReadRange(i, got.data(), static_cast<int32_t>(got.size()), 0),
                  static_cast<int64_t>(got.size()));
        EXPECT_EQ(got, want) << "piece " << i;
    }
}

}  // namespace

TEST(DiskFull, StopsWithDiskFullKeepsVerifiedDataAndFinishesLater) {
    if (!PrivateMountNamespace()) GTEST_SKIP() << "no mount namespace here";
    lftest::TempDir dir;
    std::string disk = dir / "disk";
    ::mkdir(disk.c_str(), 0755);
    if (!MountTmpfs(disk, "8m")) GTEST_SKIP() << "cannot mount tmpfs";
    std::string info = dir / "task.lfinfo";
    Content c = MakeContent({{"first.bin", 3 << 20}, {"second.bin", 4 << 20}}, 262144, 31);
    // 3 MiB of other data leave about 5 MiB: the second file cannot grow.
    lftest::WriteFile(disk + "/filler", std::string(3 << 20, 'f'));

    Owner owner;
    TPieces* map = NewMap(owner, disk, info, "");
    ASSERT_TRUE(map->BuildPieceTable(c.layout));
    for (int32_t i = 0; i < map->PieceCount() && !owner.stop.load(); ++i) {
        std::string p = c.PieceBytes(i);
        for (int32_t o = 0; o < static_cast<int32_t>(p.size()); o += kBlockBytes)
            map->StoreBlock(i, o, p.data() + o, kBlockBytes, nullptr);
        map->Maintain();
    }
    EXPECT_EQ(owner.status, kDiskFull);
    EXPECT_TRUE(owner.stop.load());
    // The task stops: resume data and cache file are saved on the way out.
    map->CloseFiles(true, false);
    int32_t haveBefore = map->HaveCount();
    EXPECT_GE(haveBefore, 12);  // the first file is complete
    EXPECT_LT(haveBefore, map->PieceCount());
    ExpectPresentPiecesCorrect(*map, c);
    ASSERT_FALSE(owner.bits.empty());
    TResumeFileValues v;
    v.bits = owner.bits;
    ASSERT_TRUE(SaveResumeFile(info, v, true));
    map->Release();

    // Space is freed; the next start continues from the saved state.
    ::unlink((disk + "/filler").c_str());
    Owner second;
    TResumeFileValues loaded;
    ASSERT_TRUE(LoadResumeFile(info, &loaded));
    map = NewMap(second, disk, info, loaded.bits);
    ASSERT_TRUE(map->BuildPieceTable(c.layout));
    EXPECT_GE(map->HaveCount(), haveBefore);  // nothing verified was lost
    ExpectPresentPiecesCorrect(*map, c);
    FeedAll(*map, c);
    map->Maintain();
    ASSERT_TRUE(map->IsComplete());
    map->CloseFiles(true, true);
    map->Release();
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(lftest::ReadFile(disk + "/first.bin"), c.FileBytes(0));
    EXPECT_EQ(lftest::ReadFile(disk + "/second.bin"), c.FileBytes(1));
    ::umount2(disk.c_str(), MNT_DETACH);
}

TEST(DiskFull, WaitsForSpaceAndClearsTheError) {
    lftest::TempDir dir;
    std::string disk = dir / "disk";
    ::mkdir(disk.c_str(), 0755);
    if (!PrivateMountNamespace()) GTEST_SKIP() << "no mount namespace here";
    if (!MountTmpfs(disk, "8m")) GTEST_SKIP() << "cannot mount tmpfs";
    Content c = MakeContent({{"first.bin", 3 << 20}, {"second.bin", 4 << 20}}, 262144, 32);
    lftest::WriteFile(disk + "/filler", std::string(3 << 20, 'f'));
    Owner owner;
    owner.stopOnDiskFull = false;
    TPieces* map = NewMap(owner, disk, dir / "task.lfinfo", "");
    ASSERT_TRUE(map->BuildPieceTable(c.layout));
    // Someone frees space a little after the shortage was reported.
    std::thread freer([&] {
        while (owner.status != kDiskFull)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ::unlink((disk + "/filler").c_str());
    });
    FeedAll(*map, c);
    map->Maintain();
    freer.join();
    ASSERT_TRUE(map->IsComplete());
    EXPECT_FALSE(owner.error);
    ASSERT_GE(owner.events.size(), 2u);
    EXPECT_EQ(owner.events[0], 1002);
    EXPECT_EQ(owner.events[1], 1003);
    map->CloseFiles(true, true);
    map->Release();
    EXPECT_EQ(lftest::ReadFile(disk + "/second.bin"), c.FileBytes(1));
    ::umount2(disk.c_str(), MNT_DETACH);
}
