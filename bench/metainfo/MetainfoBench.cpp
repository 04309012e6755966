// Reading large metainfo: the bencode parse alone and the whole torrent read
// (parse, info hash, piece table and file list checks).
//   bench_metainfo                      run the benchmarks
//   bench_metainfo --write DIR          also write the two torrents to DIR (for
//                                       reference_libtorrent.py)
#include <benchmark/benchmark.h>

#include <cstring>
#include <fstream>
#include <string>

#include "engine/metainfo/Bencode.h"
#include "engine/metainfo/Torrent.h"

using namespace lf;

namespace {

std::string S(std::string_view s) {
    return std::to_string(s.size()) + ":" + std::string(s);
}
std::string I(int64_t v) {
    return "i" + std::to_string(v) + "e";
}

std::string Hashes(int count) {
    std::string out(static_cast<size_t>(count) * 20, '\0');
    uint32_t x = 12345;
    for (char& c : out) {
        x = x * 1103515245 + 12345;
        c = static_cast<char>(x >> 24);
    }
    return out;
}

// One 51 GiB file in 256 KiB pieces: 4 MiB of piece hashes (209715 pieces).
std::string SingleFileTorrent() {
    const int pieces = (4 << 20) / 20;
    const int64_t pieceLength = 256 << 10;
    return "d8:announce" + S("http://127.0.0.1:6969/announce") + "4:info" + "d6:length" +
           I(pieces * pieceLength) + "4:name" + S("big.bin") + "12:piece length" + I(pieceLength) +
           "6:pieces" + S(Hashes(pieces)) + "ee";
}

// 30000 files in 40000 pieces of 1 MiB: about 4 MiB of metainfo.
std::string MultiFileTorrent() {
    const int files = 30000;
    const int pieces = 40000;
    const int64_t pieceLength = 1 << 20;
    const int64_t total = pieces * pieceLength - 1000;
    std::string list = "l";
    int64_t left = total;
    for (int i = 0; i < files; ++i) {
        const int64_t length = i + 1 == files ? left : total / files;
        left -= length;
        list += "d6:length" + I(length) + "4:pathl" + S("folder-" + std::to_string(i % 100)) +
                S("sub folder " + std::to_string(i % 7)) +
                S("cabinet data file number " + std::to_string(i) + ".cab") + "ee";
    }
    list += "e";
    return "d8:announce" + S("http://127.0.0.1:6969/announce") + "4:info" + "d5:files" + list +
           "4:name" + S("release") + "12:piece length" + I(pieceLength) + "6:pieces" +
           S(Hashes(pieces)) + "ee";
}

const std::string& Single() {
    static const std::string bytes = SingleFileTorrent();
    return bytes;
}

const std::string& Multi() {
    static const std::string bytes = MultiFileTorrent();
    return bytes;
}

void ParseOnly(benchmark::State& state, const std::string& bytes) {
    for (auto _ : state) {
        std::unique_ptr<QElement> root = ParseElement(bytes);
        if (!root) state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(root.get());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
    state.counters["bytes"] = static_cast<double>(bytes.size());
}

void ReadTorrent(benchmark::State& state, const std::string& bytes) {
    for (auto _ : state) {
        TTorrent* t = new TTorrent;
        if (!t->LoadBytes(bytes)) state.SkipWithError(t->FailureText().c_str());
        benchmark::DoNotOptimize(t->Content().pieceCount);
        t->Release();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
    state.counters["bytes"] = static_cast<double>(bytes.size());
}

void BM_ParseSingleFile4MiB(benchmark::State& s) {
    ParseOnly(s, Single());
}
void BM_ParseMultiFile4MiB(benchmark::State& s) {
    ParseOnly(s, Multi());
}
void BM_ReadTorrentSingleFile4MiB(benchmark::State& s) {
    ReadTorrent(s, Single());
}
void BM_ReadTorrentMultiFile4MiB(benchmark::State& s) {
    ReadTorrent(s, Multi());
}

BENCHMARK(BM_ParseSingleFile4MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseMultiFile4MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadTorrentSingleFile4MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadTorrentMultiFile4MiB)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--write") == 0) {
            std::ofstream(std::string(argv[i + 1]) + "/single-4mib.torrent", std::ios::binary)
                << Single();
            std::ofstream(std::string(argv[i + 1]) + "/multi-4mib.torrent", std::ios::binary)
                << Multi();
            for (int k = i; k + 2 < argc; ++k) argv[k] = argv[k + 2];
            argc -= 2;
            break;
        }
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
