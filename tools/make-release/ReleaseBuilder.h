// Builds a release folder (the data Lanternfish embeds) from the eight files
// of a release: their sizes, MD5 digests and v1 torrents, the release table
// with its Base64 columns, the statistics configuration and the manifest.
//
// Output layout (what ReleaseResources::LoadFolder and the build read):
//   resources.list           RELEASE 1, DUCONF 181 (when given), TORRENT 301..308
//   release-table.ini        the table (see app/ReleaseTable.h)
//   dataupload.lfconf.b64    the statistics configuration, Base64
//   torrents/30N.torrent     single-file v1 torrents, no creation date, so the
//                            same input always gives the same bytes
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/ReleaseTable.h"

namespace lfrelease {

struct ReleaseInput {
    std::vector<std::string> files;     // eight paths, entry order
    std::string baseUrl;                // HTTP folder; source URL = base + file name
    std::string listUrl;                // resource-list URL
    std::vector<std::string> trackers;  // announce, then further tiers
    std::string statisticsConfig;       // plain INI text; empty = no DUCONF resource
    int64_t pieceLength = 262144;       // power of two, at least 16384
};

// Digest and piece hashes of one file, read once.
struct FileDigest {
    uint64_t size = 0;
    std::string md5;          // 32 lowercase hex digits
    std::string pieceHashes;  // 20 bytes per piece
};
bool DigestFile(const std::string& path, int64_t pieceLength, FileDigest* digest,
                std::string* error);

// The bencoded v1 single-file torrent (written with the engine's bencode
// model): announce, announce-list (when more than one tracker), "created by",
// and info {length, name, piece length, pieces}.
std::string MakeTorrent(const std::string& name, const FileDigest& digest, int64_t pieceLength,
                        const std::vector<std::string>& trackers);

// Builds the whole folder; every torrent is read back with the engine's
// metainfo reader before the folder counts as done. Returns the table.
bool BuildRelease(const ReleaseInput& input, const std::string& outFolder,
                  lfapp::ReleaseTable* table, std::string* error);

}  // namespace lfrelease
