// The INI reader on arbitrary bytes in both dialects: feeding the text in
// chunks (sizes taken from the first byte) gives the document parsing it
// whole gives, and re-parsing the serialized text keeps every lookup.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/Ini.h"

using namespace lf;

namespace {

const char* const kSections[] = {"A", "a", "S", "SubmitEventDownloadSeveral", ""};
const char* const kKeys[] = {"k", "K", "SubmitUrl", "#k", ""};

void Check(std::string_view text, size_t chunk, IniSyntax syntax) {
    IniDocument whole = IniDocument::Parse(text, syntax);
    IniParser parser(syntax);
    for (size_t at = 0; at < text.size(); at += chunk) parser.Feed(text.substr(at, chunk));
    IniDocument fed = parser.Finish();
    if (fed.Serialize() != whole.Serialize()) abort();
    IniDocument again = IniDocument::Parse(whole.Serialize(), syntax);
    for (const char* s : kSections)
        for (const char* k : kKeys) {
            auto value = whole.Find(s, k);
            if (fed.Find(s, k) != value) abort();
            if (again.Find(s, k) != value) abort();
            whole.GetInt(s, k, 7);
        }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    size_t chunk = 1 + data[0] % 17;
    std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    Check(text, chunk, kProfileSyntax);
    Check(text, chunk, kConfigurationSyntax);
    return 0;
}
