// Fuzzes the piece map's loaders of saved state: the resume data ("bits"),
// the cache file and the info file around them. The content lives in a fixed
// folder so that saved paths in the seeds stay valid:
//   first byte even: the rest is the resume data
//   first byte odd:  the rest is the cache file, with valid resume data
// Set LF_FUZZ_WRITE_SEEDS=<folder> to write fresh seeds there.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/store/ResumeFile.h"
#include "engine/store/TPieces.h"
#include "tests/store/StoreFixture.h"

using namespace lf;

namespace {

const char* kFolder = "/tmp/lf-fuzz-store";
storetest::Content* g_content;
std::string g_resume;

void WriteAll(const std::string& path, const std::string& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

TPieces* NewMap(const std::string& resume) {
    TPieces* map = new TPieces;
    map->SetDownloadFolder(std::string(kFolder) + "/data");
    map->SetCacheFilePath(std::string(kFolder) + "/task.lfinfodf");
    map->SetResumeData(resume);
    map->SetSyncBeforeResume(false);
    return map;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_content = new storetest::Content(
        storetest::MakeContent({{"a.bin", 40000}, {"b.bin", 70000}, {"c.bin", 20000}}, 32768, 99));
    std::string cmd = std::string("rm -rf ") + kFolder;
    if (std::system(cmd.c_str()) != 0) std::abort();
    ::mkdir(kFolder, 0755);
    // A first run leaves pieces 0 and 1 present, piece 2 half on disk and
    // blocks of piece 3 in the cache file.
    TPieces* map = NewMap("");
    if (!map->BuildPieceTable(g_content->layout)) std::abort();
    auto feed = [&](int32_t piece, int32_t from, int32_t to) {
        std::string p = g_content->PieceBytes(piece);
        for (int32_t o = from; o < to && o < static_cast<int32_t>(p.size()); o += kBlockBytes)
            map->StoreBlock(piece, o, p.data() + o, kBlockBytes, nullptr);
    };
    feed(0, 0, 32768);
    feed(1, 0, 32768);
    feed(2, 0, 16384);
    map->FlushPiece(2, 1);
    feed(3, 16384, 32768);
    map->CloseFiles(true, false);
    g_resume = map->MakeResumeData();
    map->Release();
    if (const char* seeds = std::getenv("LF_FUZZ_WRITE_SEEDS")) {
        std::string cache;
        {
            FILE* f = std::fopen((std::string(kFolder) + "/task.lfinfodf").c_str(), "rb");
            char buf[4096];
            size_t n;
            while (f && (n = std::fread(buf, 1, sizeof buf, f)) > 0) cache.append(buf, n);
            if (f) std::fclose(f);
        }
        WriteAll(std::string(seeds) + "/resume", "\x00" + g_resume);
        WriteAll(std::string(seeds) + "/cache", "\x01" + cache);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    TPieces* map;
    if ((data[0] & 1) == 0) {
        map = NewMap(rest);
        TResumeFileValues v;
        ParseResumeFile(rest, &v);
    } else {
        WriteAll(std::string(kFolder) + "/task.lfinfodf", rest);
        map = NewMap(g_resume);
    }
    map->BuildPieceTable(g_content->layout);
    // Whatever was restored must be the content's bytes.
    for (int32_t i = 0; i < map->PieceCount(); ++i) {
        if (!map->Have(i)) continue;
        std::string want = g_content->PieceBytes(i), got(want.size(), '\0');
        if (map->ReadRange(i, got.data(), static_cast<int32_t>(got.size()), 0) !=
                static_cast<int64_t>(got.size()) ||
            got != want)
            std::abort();
    }
    map->MakeResumeData();
    map->Release();
    ::unlink((std::string(kFolder) + "/task.lfinfodf").c_str());
    return 0;
}
