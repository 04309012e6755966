// Ingest path of the piece map: 16 KiB blocks in, SHA-1 per piece, written
// to the target file. Prints one line: bytes, seconds, MB/s, CPU s/GB.
//
//   store_ingest_bench <folder> [MiB=1024] [piece KiB=1024] [sync=1]
//
// sync=1 ends with fdatasync of the file (as dd conv=fdatasync does).
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/store/TPieces.h"

using namespace lf;

namespace {

double CpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s folder [MiB] [piece KiB] [sync]\n", argv[0]);
        return 1;
    }
    std::string folder = argv[1];
    int64_t total = (argc > 2 ? std::atoll(argv[2]) : 1024) << 20;
    int32_t plen = static_cast<int32_t>((argc > 3 ? std::atoi(argv[3]) : 1024) << 10);
    bool sync = argc > 4 ? std::atoi(argv[4]) != 0 : true;

    // 32 MiB of pseudo-random bytes, repeated: piece i starts at i * plen
    // modulo the pattern.
    const size_t patternBytes = 32u << 20;
    std::string pattern(patternBytes + static_cast<size_t>(plen), '\0');
    uint64_t x = 88172645463325252ull;
    for (size_t i = 0; i + 8 <= pattern.size(); i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        std::memcpy(&pattern[i], &x, 8);
    }
    TContentLayout layout;
    layout.name = "bench";
    layout.files.push_back({"ingest.bin", total});
    layout.pieceLength = plen;
    layout.pieceCount = (total + plen - 1) / plen;
    layout.infoHash = TSha1Context::Of("bench", 5);
    auto pieceData = [&](int64_t i) { return pattern.data() + (i * plen) % patternBytes; };
    for (int64_t i = 0; i < layout.pieceCount; ++i) {
        int64_t n = std::min<int64_t>(plen, total - i * plen);
        layout.pieceHashes += TSha1Context::Of(pieceData(i), static_cast<size_t>(n));
    }
    std::string path = folder + "/ingest.bin";
    ::unlink(path.c_str());
    ::unlink((path + ".lftmp").c_str());

    TPieces* map = new TPieces;
    map->SetDownloadFolder(folder);
    map->SetSyncBeforeResume(false);
    if (!map->BuildPieceTable(layout)) return 2;

    double cpu0 = CpuSeconds();
    auto t0 = std::chrono::steady_clock::now();
    for (int64_t i = 0; i < layout.pieceCount; ++i) {
        int32_t size = map->PieceSize(static_cast<int32_t>(i));
        const char* d = pieceData(i);
        for (int32_t o = 0; o < size; o += kBlockBytes)
            map->StoreBlock(static_cast<int32_t>(i), o, d + o, std::min(kBlockBytes, size - o),
                            nullptr);
        if (i % 64 == 63) map->Maintain();
    }
    map->Maintain();
    if (sync) map->Files().SyncAll();
    auto t1 = std::chrono::steady_clock::now();
    double cpu = CpuSeconds() - cpu0;
    double secs = std::chrono::duration<double>(t1 - t0).count();
    bool ok = map->IsComplete();
    map->CloseFiles(false, true);
    map->Release();
    ::unlink(path.c_str());
    double gb = static_cast<double>(total) / 1e9;
    std::printf("ingest %lld bytes %.3f s %.1f MB/s %.3f CPU-s/GB%s\n",
                static_cast<long long>(total), secs, static_cast<double>(total) / 1e6 / secs,
                cpu / gb, ok ? "" : " INCOMPLETE");
    return ok ? 0 : 3;
}
