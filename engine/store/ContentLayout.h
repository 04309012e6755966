// The geometry of one task's content, as the piece map needs it. The task
// layer fills it from the torrent metainfo; the piece map knows nothing else
// about the metainfo.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lf {

struct TContentFile {
    // Path below the download folder, components separated by '/', as in the
    // metainfo. A path that ends in '/' names a folder entry: it is created as
    // a folder and holds no data (its length must be 0).
    std::string path;
    int64_t length = 0;
};

struct TContentLayout {
    // Task name from the metainfo.
    std::string name;
    // Files end to end in metainfo order.
    std::vector<TContentFile> files;
    int32_t pieceLength = 0;
    int64_t pieceCount = 0;
    // 20 bytes per piece (the metainfo's "pieces"); empty when the content
    // has no hashes (then nothing on disk is trusted at start-up and received
    // pieces count as verified).
    std::string pieceHashes;
    // 20-byte info hash; empty when none.
    std::string infoHash;

    int64_t TotalLength() const {
        int64_t t = 0;
        for (const auto& f : files) t += f.length;
        return t;
    }
};

}  // namespace lf
