// The resource-list parser on arbitrary documents: the expiry reader and the
// source reader must not crash, and every mirror they give must be one line
// of text for an existing entry.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "app/ResourceList.h"

using namespace lfapp;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view xml(reinterpret_cast<const char*>(data), size);
    ExpiryInfo expiry = ParseExpiry(xml);
    if (expiry.message.size() > kExpiryTextMax || expiry.url.size() > kExpiryTextMax) abort();
    if (!expiry.retired && (!expiry.message.empty() || !expiry.url.empty())) abort();

    SourceSelection selection;
    for (int i = 0; i < kReleaseEntryCount; ++i)
        selection.urls[i] = "http://dl.test/f" + std::to_string(i);
    selection.complete[2] = true;
    selection.repairIndex = size % 9 == 0 ? 2 : -1;
    ResourceListUpdate update = ParseResourceList(xml, selection);
    if (update.result == 0 && update.mirrors.empty()) abort();
    for (const MirrorSource& m : update.mirrors) {
        if (m.entry < 0 || m.entry >= kReleaseEntryCount) abort();
        if (m.entry == 2 && selection.repairIndex != 2) abort();
        if (m.url.rfind("http://", 0) != 0) abort();
        for (char c : m.url + m.companion)
            if (c == '\n' || c == '\r') abort();
    }
    return 0;
}
