// Configuration text (INI), server answers and the escaping of event values.
// The first byte chooses the target; the rest is the input.
#include <json/json.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "stats/StatsConfig.h"
#include "stats/StatsFormat.h"

using namespace lfstats;

namespace {

int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The receiver's decoding of the form body.
std::string FormDecode(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '_') {
            out += ' ';
        } else if (s[i] == '%') {
            if (i + 2 >= s.size()) std::abort();
            int hi = Hex(s[i + 1]), lo = Hex(s[i + 2]);
            if (hi < 0 || lo < 0) std::abort();
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 3) {
        case 0: {
            IniDocument ini = IniDocument::Parse(input);
            for (const char* section : {kSectionSingle, kSectionSeveral}) {
                for (const std::string& url : ReadSubmitUrls(ini, section)) {
                    if (url.empty()) std::abort();
                }
                for (const std::string& k : SplitKeywords(ini.Get(section, kKeyInputKeywords))) {
                    if (k.empty() || k.find(';') != std::string::npos) std::abort();
                }
            }
            break;
        }
        case 1:
            (void)IsAcceptedResponse(input);
            break;
        case 2: {
            // Escaped values read back unchanged; form encoding is reversible.
            const std::string text = "\"" + JsonEscape(input) + "\"";
            Json::CharReaderBuilder b;
            std::unique_ptr<Json::CharReader> reader(b.newCharReader());
            Json::Value v;
            std::string errors;
            if (!reader->parse(text.data(), text.data() + text.size(), &v, &errors)) std::abort();
            if (v.asString() != input) std::abort();
            if (FormDecode(FormEncode(input)) != input) std::abort();
            break;
        }
    }
    return 0;
}
