// The content the crash helper downloads and the crash test checks.
#pragma once

#include "tests/store/StoreFixture.h"

namespace storetest {

// 2 MiB cache.
constexpr int32_t kCrashCacheUnits = 8;

inline Content CrashContent() {
    return MakeContent({{"setup.exe", 5 * 1048576 + 1000},
                        {"data/archive.bin", 6 * 1048576 - 5000},
                        {"data/volume1.cab", 3 * 1048576 + 77}},
                       262144, 2026);
}

}  // namespace storetest
