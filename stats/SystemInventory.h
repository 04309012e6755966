// Where the statistics component gets the computer's identity and hardware
// description on Linux: network adapters from /sys/class/net, the volume
// serial from the file-system id of "/", processors from /proc/cpuinfo,
// memory from /proc/meminfo and the SMBIOS memory-device entries, video
// adapters from /sys/class/drm. The parsers take bytes; the readers take a
// SystemSources so tests can point them at a prepared tree.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "stats/MachineIdentity.h"

namespace lfstats {

struct SystemSources {
    // Prefix for /proc and /sys ("" = this computer).
    std::string root;
    // Path whose file-system id is the volume serial number.
    std::string volumePath = "/";
    // uname values; empty = ask the kernel.
    std::string machine;
    std::string kernelRelease;
};

// --- parsers (pure) ---

struct ProcessorInfo {
    std::string name;
    std::string manufacturer;
    int type = 3;  // processor type code: 3 = central processor
    int architecture =
        -1;  // architecture code: 0 x86, 1 MIPS, 2 Alpha, 3 PowerPC, 6 Itanium, 9 x64
};

// One entry per physical package of /proc/cpuinfo (one entry when the file
// names no packages); none for a text without processor blocks.
std::vector<ProcessorInfo> ParseCpuInfo(std::string_view text, std::string_view machine);
// The architecture code of a uname machine name; -1 when unknown.
int ArchitectureCode(std::string_view machine);
const char* ProcessorTypeText(int type);
const char* ArchitectureText(int architecture);

// "MemTotal" of /proc/meminfo in bytes.
std::optional<uint64_t> ParseMemTotal(std::string_view meminfo);

struct MemoryModule {
    int memoryType = 0;  // the management-service memory type code (20 DDR, 21 DDR-2, 24 DDR-3)
    uint64_t capacity = 0;
    uint32_t speed = 0;
};
// An SMBIOS type 17 (memory device) structure; nullopt when it is not one,
// is cut short or names an empty slot.
std::optional<MemoryModule> ParseSmbiosMemoryDevice(std::string_view raw);
// Memory type code from an SMBIOS memory type byte.
int MemoryTypeFromSmbios(unsigned smbiosType);
const char* MemoryTypeText(int memoryType);

struct VideoAdapter {
    std::string name;
    uint32_t memory = 0;
    std::string driverVersion;
};
// The "KEY=value" lines of a uevent file.
std::string UeventValue(std::string_view uevent, std::string_view key);

// --- readers ---

// Adapters (loopback left out): those backed by a device first, then virtual
// ones, each group in interface-index order. false when the adapter list
// cannot be read.
bool ReadAdapterMacs(const SystemSources& src, std::vector<MacAddress>* out);
// Low 32 bits of the file-system id of src.volumePath; 0 on failure.
uint32_t ReadVolumeSerial(const SystemSources& src);
std::string MachineName(const SystemSources& src);
std::string KernelRelease(const SystemSources& src);
std::vector<ProcessorInfo> ReadProcessors(const SystemSources& src);
uint64_t ReadTotalMemory(const SystemSources& src);
std::vector<MemoryModule> ReadMemoryModules(const SystemSources& src);
std::vector<VideoAdapter> ReadVideoAdapters(const SystemSources& src);

// --- descriptions (members of the identity object) ---

// "CPU": one object per processor.
Json::Value DescribeProcessors(const std::vector<ProcessorInfo>& cpus);
// "Memory": one object per module whose type is not 2..19.
Json::Value DescribeMemoryModules(const std::vector<MemoryModule>& modules);
// "Video_Card": one object per adapter.
Json::Value DescribeVideoAdapters(const std::vector<VideoAdapter>& adapters);

}  // namespace lfstats
