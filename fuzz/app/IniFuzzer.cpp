// The INI reader on arbitrary bytes, and the writer's promise that a write
// changes one key and keeps every other lookup as it was. The release table
// decoder (INI plus Base64) and the resource manifest ride along.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/IniFile.h"
#include "app/ReleaseResources.h"
#include "app/ReleaseTable.h"
#include "common/Base64.h"

using namespace lf;
using namespace lfapp;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    IniDocument doc = IniDocument::Parse(text);
    const char* sections[] = {"LanternfishTask", "lanternfishfinishinfo", "S", "ReleaseTable"};
    const char* keys[] = {"LanternfishTaskHash", "k", "K", "Size0", "LanternfishTask0WriteTimeLow"};
    for (const char* s : sections)
        for (const char* k : keys) {
            doc.Find(s, k);
            doc.GetInt(s, k, 7);
        }

    // Re-parsing the writer's text gives the same lookups.
    IniDocument again = IniDocument::Parse(doc.Serialize());
    for (const char* s : sections)
        for (const char* k : keys)
            if (again.Find(s, k) != doc.Find(s, k)) abort();

    // A write changes its key only.
    std::string value(text.substr(0, std::min<size_t>(size, 16)));
    if (doc.Set("LanternfishTask", "k", value)) {
        IniDocument written = IniDocument::Parse(doc.Serialize());
        auto got = written.Find("lanternfishtask", "K");
        if (!got) abort();
        for (const char* s : sections)
            for (const char* k : keys) {
                bool target = std::string_view(s) == "LanternfishTask" &&
                              (std::string_view(k) == "k" || std::string_view(k) == "K");
                if (!target && written.Find(s, k) != again.Find(s, k)) abort();
            }
    }

    ReleaseTable table = DecodeReleaseTable(text);
    for (const ReleaseEntry& e : table.entries)
        if (e.url.size() > kBase64MaxDecoded || e.fileName.size() > kBase64MaxDecoded) abort();
    if (DecodeBase64(text).size() > kBase64MaxDecoded) abort();
    std::string error;
    ParseResourceManifest(text, &error);
    return 0;
}
