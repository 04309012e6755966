// The release data the program carries: the release table (type "RELEASE",
// id 1), the eight torrents (type "TORRENT", ids 301..308) and the
// statistics configuration (type "DUCONF", id 181, Base64 text).
//
// They are generated at build time from the release/ folder: its manifest
// "resources.list" names one resource a line as "TYPE ID FILE" (FILE relative
// to the folder; '#' starts a comment). The same folder can be loaded at run
// time instead (the --release option), which replaces the embedded set.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lfapp {

inline constexpr char kResourceManifestName[] = "resources.list";
inline constexpr char kReleaseResourceType[] = "RELEASE";
inline constexpr int kReleaseTableResourceId = 1;
inline constexpr char kTorrentResourceType[] = "TORRENT";
inline constexpr char kStatisticsResourceType[] = "DUCONF";
inline constexpr int kStatisticsResourceId = 181;

struct ManifestEntry {
    std::string type;
    int id = 0;
    std::string file;  // relative to the release folder
};

// Parses a manifest. Fails (nullopt, with a reason) on a malformed line, a
// duplicate (type, id), or a file name that is absolute or climbs out of the
// folder with "..".
std::optional<std::vector<ManifestEntry>> ParseResourceManifest(std::string_view text,
                                                                std::string* error);

// A set of resources keyed by (type, id); types compare case-insensitively as
// Windows resource types do.
class ReleaseResources {
public:
    // The set compiled into the program.
    static const ReleaseResources& Embedded();
    // Reads a release folder (its manifest and every file it names).
    static std::optional<ReleaseResources> LoadFolder(const std::string& folder,
                                                      std::string* error);

    void Add(std::string_view type, int id, std::string bytes);
    // nullptr when the resource is not there.
    const std::string* Find(std::string_view type, int id) const;
    size_t Count() const { return m_items.size(); }

private:
    std::map<std::pair<std::string, int>, std::string> m_items;
};

// The release in use: the embedded one unless UseReleaseFolder succeeded.
const ReleaseResources& ActiveRelease();
// Loads a release folder and makes it the active release; call once at
// start-up, before anything reads the release. False (active release
// unchanged) when the folder cannot be loaded.
bool UseReleaseFolder(const std::string& folder, std::string* error);

}  // namespace lfapp
