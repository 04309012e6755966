// A small downloader used by the crash test: it recovers from the resume
// file, cache file and data in its folder, then feeds the missing blocks of a
// known content through the piece map in a shuffled, several-pieces-at-once
// order, saving the resume file whenever the data on disk changed. The test
// kills it at random moments.
//
//   store_crash_helper <folder> <throttle-us>
//
// Exit codes: 0 complete, 10 stopped by SIGTERM, 2 no piece table, 3 a piece
// was reported present whose bytes on disk are wrong, 4 stuck.
// <folder>/progress (mmap'ed, survives SIGKILL): [0] bytes known right after
// recovery (~0 while recovering), [1] new bytes fed since, [2] 1 once done.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "engine/store/ResumeFile.h"
#include "tests/store/CrashContent.h"

using namespace lf;

namespace {

std::atomic<bool> g_stop{false};

void OnTerm(int) {
    g_stop.store(true);
}

volatile uint64_t* MapProgress(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0644);
    if (fd < 0 || ::ftruncate(fd, 4096) != 0) std::exit(5);
    void* p = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (p == MAP_FAILED) std::exit(5);
    return static_cast<volatile uint64_t*>(p);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 1;
    std::string dir = argv[1];
    int throttleUs = std::atoi(argv[2]);
    std::signal(SIGTERM, OnTerm);
    volatile uint64_t* progress = MapProgress(dir + "/progress");
    progress[0] = ~0ull;
    progress[1] = 0;
    progress[2] = 0;

    const storetest::Content c = storetest::CrashContent();
    const std::string infoPath = dir + "/task.lfinfo";
    TResumeFileValues saved;
    LoadResumeFile(infoPath, &saved);

    TPieces* map = new TPieces;
    std::string scratch;
    map->SetEventSink([&](const TPieceEvent& e) {
        if (e.type == 1001) saved.bits.assign(e.data, static_cast<size_t>(e.length));
        if (e.type == 1000) saved.part.assign(e.data, static_cast<size_t>(e.length));
        if (e.type == 1 && e.flag == 1) {
            // A piece reported present must have its bytes on disk.
            auto piece = static_cast<int32_t>(e.value);
            std::string want = c.PieceBytes(piece);
            scratch.assign(want.size(), '\0');
            if (map->ReadRange(piece, scratch.data(), static_cast<int32_t>(want.size()), 0) !=
                    static_cast<int64_t>(want.size()) ||
                scratch != want) {
                std::fprintf(stderr, "piece %d reported present with wrong bytes\n", piece);
                std::_Exit(3);
            }
        }
    });
    map->SetDownloadFolder(dir + "/data");
    map->SetCacheFilePath(infoPath + "df");
    map->SetResumeData(saved.bits);
    map->SetSelectionData(saved.part);
    map->SetCacheLimitUnits(storetest::kCrashCacheUnits);
    map->SetStopFlag(&g_stop);
    map->SetSyncBeforeResume(false);  // a killed process loses no page cache
    if (!map->BuildPieceTable(c.layout)) return g_stop.load() ? 10 : 2;

    uint64_t known = static_cast<uint64_t>(map->VerifiedBytes() + map->CachedBytes());
    for (int32_t i = 0; i < map->PieceCount(); ++i)
        if (!map->Have(i)) known += static_cast<uint64_t>(map->PartOf(i));
    progress[0] = known;
    saved.torrent = "d4:infod6:lengthi1eee";

    uint64_t lastVersion = map->DiskVersion();
    auto saveIfChanged = [&] {
        if (map->DiskVersion() == lastVersion) return;
        lastVersion = map->DiskVersion();
        map->MakeResumeData();
        SaveResumeFile(infoPath, saved, false);
    };
    auto needed = [&](int32_t piece) {
        for (int32_t o = 0; o < map->PieceSize(piece); o += kBlockBytes)
            if (!map->HasBlock(piece, o)) return true;
        return false;
    };

    std::mt19937 rng(static_cast<unsigned>(::getpid()));
    std::vector<int32_t> active;
    int fedBlocks = 0;
    int idle = 0;
    while (!g_stop.load()) {
        // Up to six pieces in flight, as several sources would have.
        active.erase(
            std::remove_if(active.begin(), active.end(), [&](int32_t p) { return !needed(p); }),
            active.end());
        if (active.size() < 6) {
            std::vector<int32_t> want;
            for (int32_t i = 0; i < map->PieceCount(); ++i)
                if (needed(i) && std::find(active.begin(), active.end(), i) == active.end())
                    want.push_back(i);
            std::shuffle(want.begin(), want.end(), rng);
            for (size_t k = 0; k < want.size() && active.size() < 6; ++k) active.push_back(want[k]);
        }
        if (active.empty()) {
            map->Maintain();
            saveIfChanged();
            if (map->IsComplete()) break;
            if (++idle > 1000) return 4;
            continue;
        }
        int32_t piece = active[rng() % active.size()];
        std::vector<int32_t> missing;
        for (int32_t o = 0; o < map->PieceSize(piece); o += kBlockBytes)
            if (!map->HasBlock(piece, o)) missing.push_back(o);
        int32_t off = missing[rng() % missing.size()];
        std::string bytes = c.PieceBytes(piece);
        int32_t n = std::min<int32_t>(kBlockBytes, static_cast<int32_t>(bytes.size()) - off);
        progress[1] = progress[1] + static_cast<uint64_t>(n);
        map->StoreBlock(piece, off, bytes.data() + off, n, nullptr);
        saveIfChanged();
        if (++fedBlocks % 64 == 0) {
            map->Maintain();
            saveIfChanged();
        }
        if (throttleUs > 0) ::usleep(static_cast<useconds_t>(throttleUs));
    }
    if (g_stop.load()) {
        map->CloseFiles(true, false);
        SaveResumeFile(infoPath, saved, false);
        map->Release();
        return 10;
    }
    map->CloseFiles(true, true);
    ::unlink(infoPath.c_str());  // a finished task deletes its resume file
    map->Release();
    progress[2] = 1;
    return 0;
}
