// lf-make-release: builds a release folder from the eight files of a release.
//
//   lf-make-release --out DIR --base-url http://host/dir/ --list-url https://host/list.xml
//                   [--tracker URL]... [--statistics-config FILE] [--piece-length BYTES]
//                   FILE0 ... FILE7
//
// FILE0 is the installer, FILE1 the data archive, FILE2..FILE7 the cabinet
// volumes. Build Lanternfish with -DLF_RELEASE_DIR=DIR to embed the folder,
// or start it with --release DIR.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "tools/make-release/ReleaseBuilder.h"

namespace {

int Usage(FILE* to = stderr) {
    std::fprintf(
        to,
        "usage: lf-make-release --out DIR --base-url URL --list-url URL [--tracker URL]...\n"
        "                       [--statistics-config FILE] [--piece-length BYTES] "
        "FILE0 ... FILE7\n");
    return 2;
}

void Help() {
    Usage(stdout);
    std::printf(
        "\n"
        "Makes the release folder that Lanternfish embeds at build time (or loads with\n"
        "--release): the release table, one torrent per file and the manifest.\n"
        "\n"
        "  --out DIR                 the release folder to write\n"
        "  --base-url URL            HTTP address of the folder holding the eight files\n"
        "  --list-url URL            address of the resource list\n"
        "  --tracker URL             a tracker for the torrents (may be repeated)\n"
        "  --statistics-config FILE  the statistics configuration to embed\n"
        "  --piece-length BYTES      piece length of the torrents\n"
        "  --help                    print this help\n"
        "\n"
        "FILE0 is the installer, FILE1 the data archive, FILE2 to FILE7 the cabinet volumes.\n");
}

}  // namespace

int main(int argc, char** argv) {
    lfrelease::ReleaseInput input;
    std::string out;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string* into) {
            if (i + 1 >= argc) return false;
            *into = argv[++i];
            return true;
        };
        std::string v;
        if (arg == "--help") {
            Help();
            return 0;
        } else if (arg == "--out") {
            if (!value(&out)) return Usage();
        } else if (arg == "--base-url") {
            if (!value(&input.baseUrl)) return Usage();
        } else if (arg == "--list-url") {
            if (!value(&input.listUrl)) return Usage();
        } else if (arg == "--tracker") {
            if (!value(&v)) return Usage();
            input.trackers.push_back(v);
        } else if (arg == "--statistics-config") {
            if (!value(&v)) return Usage();
            std::ifstream in(v, std::ios::binary);
            std::ostringstream text;
            text << in.rdbuf();
            if (!in || text.str().empty()) {
                std::fprintf(stderr, "lf-make-release: cannot read %s\n", v.c_str());
                return 1;
            }
            input.statisticsConfig = text.str();
        } else if (arg == "--piece-length") {
            if (!value(&v)) return Usage();
            input.pieceLength = std::strtoll(v.c_str(), nullptr, 10);
        } else if (arg.rfind("--", 0) == 0) {
            return Usage();
        } else {
            input.files.push_back(arg);
        }
    }
    if (out.empty() || input.baseUrl.empty() || input.listUrl.empty()) return Usage();
    lfapp::ReleaseTable table;
    std::string error;
    if (!lfrelease::BuildRelease(input, out, &table, &error)) {
        std::fprintf(stderr, "lf-make-release: %s\n", error.c_str());
        return 1;
    }
    for (const lfapp::ReleaseEntry& e : table.entries)
        std::printf("%s  %llu  %s\n", e.md5.c_str(), static_cast<unsigned long long>(e.size),
                    e.fileName.c_str());
    return 0;
}
