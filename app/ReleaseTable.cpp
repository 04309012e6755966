#include "app/ReleaseTable.h"

#include <cstdlib>

#include "app/IniFile.h"
#include "common/Base64.h"

namespace lfapp {
namespace {

std::string Key(const char* name, int i) {
    return name + std::to_string(i);
}

uint64_t ParseSize(const std::string& text) {
    if (text.empty() || text.size() > 19 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    return std::stoull(text);
}

}  // namespace

uint64_t ReleaseTable::TotalSize() const {
    uint64_t sum = 0;
    for (const ReleaseEntry& e : entries) sum += e.size;
    return sum;
}

int ReleaseTable::FindByUrl(std::string_view url) const {
    for (int i = 0; i < kReleaseEntryCount; ++i)
        if (entries[i].url == url) return i;
    return -1;
}

ReleaseTable DecodeReleaseTable(std::string_view storedText) {
    IniDocument doc = IniDocument::Parse(storedText);
    const char* s = kReleaseTableSection;
    ReleaseTable table;
    table.listUrl = lf::DecodeBase64Text(doc.GetString(s, "ListUrl", ""));
    for (int i = 0; i < kReleaseEntryCount; ++i) {
        ReleaseEntry& e = table.entries[i];
        e.url = lf::DecodeBase64Text(doc.GetString(s, Key("Url", i), ""));
        e.fileName = lf::DecodeBase64Text(doc.GetString(s, Key("File", i), ""));
        e.md5 = doc.GetString(s, Key("Md5", i), "");
        e.size = ParseSize(doc.GetString(s, Key("Size", i), ""));
        int64_t id = doc.GetInt(s, Key("Torrent", i), 0);
        e.torrentId = id > 0 && id < 65536 ? static_cast<int>(id) : 0;
    }
    return table;
}

std::string EncodeReleaseTable(const ReleaseTable& table) {
    std::string out = "; Lanternfish release table: Base64 columns are ListUrl, UrlN and FileN.\n";
    out += std::string("[") + kReleaseTableSection + "]\n";
    out += "ListUrl=" + lf::EncodeBase64(table.listUrl) + "\n";
    for (int i = 0; i < kReleaseEntryCount; ++i) {
        const ReleaseEntry& e = table.entries[i];
        out += Key("Url", i) + "=" + lf::EncodeBase64(e.url) + "\n";
        out += Key("File", i) + "=" + lf::EncodeBase64(e.fileName) + "\n";
        out += Key("Md5", i) + "=" + e.md5 + "\n";
        out += Key("Size", i) + "=" + std::to_string(e.size) + "\n";
        out += Key("Torrent", i) + "=" + std::to_string(e.torrentId) + "\n";
    }
    return out;
}

std::optional<ReleaseTable> LoadReleaseTable(const ReleaseResources& release) {
    const std::string* stored = release.Find(kReleaseResourceType, kReleaseTableResourceId);
    if (!stored) return std::nullopt;
    ReleaseTable table = DecodeReleaseTable(*stored);
    if (const char* url = std::getenv(kListUrlEnvironment); url && *url) table.listUrl = url;
    return table;
}

}  // namespace lfapp
