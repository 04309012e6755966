// Messages a running copy reads from its single-instance channel.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "app/ui/SingleInstance.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string cwd;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    if (lfui::ParseInstanceMessage(bytes, &cwd)) {
        // The directory is part of the message and never longer than it.
        if (cwd.size() > size) __builtin_trap();
    }
    return 0;
}
