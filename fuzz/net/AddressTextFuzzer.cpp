// Feeds arbitrary address texts to the source description parser (without
// name lookups), the percent coding and the dotted-address reader.
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/net/NameResolve.h"
#include "engine/sources/PeerId.h"

using namespace lf;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    TPeerId* a = new TPeerId(text);
    bool ok = a->ParseText();
    if (ok && a->kind != kSourceBitTorrent && !a->details) __builtin_trap();
    TPeerId* b = new TPeerId(text);
    if (b->ParseText() != ok) __builtin_trap();
    if (ok && !a->SameSource(*b)) __builtin_trap();
    a->Release();
    b->Release();
    if (TPeerId::DecodeAddress(text).size() > TPeerId::kMaxAddressBytes) __builtin_trap();
    std::string encoded = TPeerId::EncodeAddress(text);
    if (TPeerId::DecodeAddress(encoded).size() > size && size <= TPeerId::kMaxAddressBytes)
        __builtin_trap();
    ParseDottedAddress(text);
    return 0;
}
