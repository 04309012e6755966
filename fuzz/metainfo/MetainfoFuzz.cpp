// Fuzzes the torrent metainfo reader and the torrentless descriptor. Whatever
// it accepts must describe a consistent piece table and only paths that stay
// inside the download folder.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/metainfo/Torrent.h"

using namespace lf;

namespace {

void CheckPath(const std::string& path) {
    if (path.empty() || path.front() == '/' || path.back() == '/') abort();
    size_t start = 0;
    for (;;) {
        const size_t end = path.find('/', start);
        const std::string part = path.substr(start, end - start);
        if (part.empty() || part == "." || part == ".." || part.find('\0') != std::string::npos) {
            abort();
        }
        if (end == std::string::npos) break;
        start = end + 1;
    }
}

void Check(const TTorrent& t) {
    const MetainfoContent& c = t.Content();
    if (t.InfoHashText().size() != 40) abort();
    if (c.pieceLength <= 0 || c.pieceCount < 0) abort();
    const int64_t pieces = c.totalLength / c.pieceLength + (c.totalLength % c.pieceLength != 0);
    if (pieces != c.pieceCount) abort();
    if (!c.torrentless && c.pieceHashes.size() != static_cast<size_t>(c.pieceCount) * 20) abort();
    int64_t offset = 0;
    for (const MetainfoFile& f : c.files) {
        if (f.offset != offset || f.length < 0) abort();
        if (!c.torrentless) CheckPath(f.path);
        if (f.length > 0 && (f.firstPiece < 0 || f.firstPiece + f.pieceSpan > c.pieceCount))
            abort();
        offset += f.length;
    }
    if (offset != c.totalLength) abort();
    for (const std::string& folder : c.folders) CheckPath(folder);
    const std::string base = "/down/";
    for (const std::string& path : TargetPaths(c, "/down")) {
        if (path.compare(0, base.size(), base) != 0 || path.find("/../") != std::string::npos) {
            abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    TTorrent* t = new TTorrent;
    if (t->LoadBytes(bytes)) {
        Check(*t);
    } else if (t->IsLoaded() || !t->Trackers().empty() || !t->Content().files.empty()) {
        abort();
    }
    if (bytes.find("$End$") != std::string::npos) {
        t->SetTorrentAddress(bytes);
        if (t->Load()) {
            if (!t->Content().torrentless) abort();
            Check(*t);
        }
    }
    t->Release();
    return 0;
}
