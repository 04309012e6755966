// Parsers of the hardware description: /proc/cpuinfo, /proc/meminfo, SMBIOS
// memory-device structures, uevent files and adapter addresses. The first
// byte chooses the parser.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "stats/MachineIdentity.h"
#include "stats/SystemInventory.h"

using namespace lfstats;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 5) {
        case 0: {
            auto cpus = ParseCpuInfo(input, "x86_64");
            Json::Value d = DescribeProcessors(cpus);
            if (d.size() != cpus.size()) std::abort();
            break;
        }
        case 1:
            (void)ParseMemTotal(input);
            break;
        case 2: {
            auto m = ParseSmbiosMemoryDevice(input);
            if (m) {
                Json::Value d = DescribeMemoryModules({*m});
                if (d.size() > 1) std::abort();
            }
            break;
        }
        case 3:
            (void)UeventValue(input, "DRIVER");
            (void)UeventValue(input, "PCI_ID");
            break;
        case 4: {
            MacAddress mac;
            if (ParseMacAddress(input, &mac) && FormatMacList({mac}).size() != 17) std::abort();
            break;
        }
    }
    return 0;
}
