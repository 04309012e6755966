// The resume-data parser alone, from memory: any bytes give a record or
// nothing, and every partial piece it keeps carries a whole SHA-1 context
// whose checksum verdict can be recomputed.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/store/ResumeRecord.h"
#include "engine/store/Sha1Context.h"
#include "engine/store/StoreChecksum.h"

using namespace lf;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto record =
        ParseResumeRecord(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!record) return 0;
    for (const auto& p : record->partials) {
        if (p.context.size() != kSha1ContextBytes) __builtin_trap();
        if (p.checksumOk && (p.index < 0 || p.index > 0xffffffffLL)) __builtin_trap();
    }
    for (const auto& [path, state] : record->keys) {
        if (record->Find(path) != &state) __builtin_trap();
    }
    return 0;
}
