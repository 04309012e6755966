// Seed mode: serves a finished release from a folder to BitTorrent peers.
// Every file of the release table is checked against the release's size
// and MD5 digest first; only a complete, matching folder is served. The
// tasks then announce to their torrents' trackers and serve peers until
// SIGINT or SIGTERM (or the engine's seed time, 12 hours, has passed).
#pragma once

#include <cstdint>
#include <string>

namespace lfapp {

struct SeedOptions {
    std::string folder;      // holds the eight files under their release names
    int32_t listenPort = 0;  // 0: the engine's default
    bool quiet = false;      // no figures every few seconds
};

// 0 when stopped by a signal after serving, 1 when a file is missing or does
// not match, 64 for a folder that cannot be used.
int RunSeeder(const SeedOptions& options);

// MD5 of a whole file as lower-case hex ("" when it cannot be read).
std::string FileMd5(const std::string& path);

}  // namespace lfapp
