// The release table: the eight files of the release and the address of the
// remote resource list.
//
// Stored form (resource RELEASE 1, an INI text, section "ReleaseTable"):
//   ListUrl     Base64 of the resource-list URL
//   UrlN        Base64 of entry N's HTTP source URL          (N = 0..7)
//   FileN       Base64 of entry N's file name
//   Md5N        expected MD5, plain, 32 lowercase hex digits
//   SizeN       size in bytes, decimal
//   TorrentN    resource id of the entry's torrent (301..308; 0 = none)
// The Base64 columns decode by DecodeBase64's rules: a text whose length is
// not a multiple of 4 gives an empty URL or file name.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/ReleaseResources.h"
#include "app/Translation.h"

namespace lfapp {

inline constexpr int kReleaseEntryCount = 8;
inline constexpr char kReleaseTableSection[] = "ReleaseTable";
// Overrides the resource-list URL of the table (tests and staging servers).
inline constexpr char kListUrlEnvironment[] = "LANTERNFISH_RESOURCE_LIST_URL";

// Release constants used by the controller and the window.
inline constexpr char kGameVersion[] = "V2.1.0.40";
inline constexpr char kGameVersionLabel[] = QT_TRANSLATE_NOOP("Status", "游戏版本: 2.1.0.40");
inline constexpr char kDownloadFolderName[] = "qarrd160107";

struct ReleaseEntry {
    std::string url;       // HTTP source
    std::string fileName;  // name in the save folder
    std::string md5;       // expected digest text
    uint64_t size = 0;     // bytes
    int torrentId = 0;     // TORRENT resource id, 0 = none
};

struct ReleaseTable {
    std::string listUrl;
    std::array<ReleaseEntry, kReleaseEntryCount> entries;

    // The release id: entry 0's expected MD5 text.
    const std::string& ReleaseId() const { return entries[0].md5; }
    // The installer: entry 0's file name.
    const std::string& Entrance() const { return entries[0].fileName; }
    // Sum of the eight sizes.
    uint64_t TotalSize() const;
    // Index of the entry whose source URL equals url exactly, or -1.
    int FindByUrl(std::string_view url) const;
};

// Decodes the stored form. Missing keys leave their column empty (or 0).
ReleaseTable DecodeReleaseTable(std::string_view storedText);
// The stored form of a table (used by the release tools).
std::string EncodeReleaseTable(const ReleaseTable& table);

// LoadReleaseTable: decodes the table of the active release (embedded, or the
// folder given with --release), then applies the list-URL override from the
// environment. nullopt when the release carries no table.
std::optional<ReleaseTable> LoadReleaseTable(const ReleaseResources& release = ActiveRelease());

}  // namespace lfapp
