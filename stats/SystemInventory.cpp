#include "stats/SystemInventory.h"

#include <dirent.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

namespace lfstats {

namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() &&
           (s.back() == ' ' || s.back() == '\t' || s.back() == '\n' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

bool StartsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

bool ReadWhole(const std::string& path, std::string* out, size_t limit = 1 << 20) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::string data;
    char buf[4096];
    while (in && data.size() < limit) {
        in.read(buf, sizeof buf);
        data.append(buf, static_cast<size_t>(in.gcount()));
    }
    if (data.size() > limit) data.resize(limit);
    *out = std::move(data);
    return true;
}

std::vector<std::string> ListDir(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) return names;
    while (dirent* e = ::readdir(dir)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        names.emplace_back(e->d_name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

uint64_t ParseUnsigned(std::string_view s, bool* ok = nullptr) {
    s = Trim(s);
    uint64_t v = 0;
    bool any = false;
    for (char c : s) {
        if (c < '0' || c > '9') break;
        any = true;
        uint64_t next = v * 10 + static_cast<uint64_t>(c - '0');
        if (next / 10 != v) return ok ? (*ok = false, 0) : 0;
        v = next;
    }
    if (ok) *ok = any;
    return v;
}

}  // namespace

// ---------------------------------------------------------------- parsers

int ArchitectureCode(std::string_view m) {
    if (m == "x86_64" || m == "amd64") return 9;
    if (m == "i386" || m == "i486" || m == "i586" || m == "i686" || m == "x86") return 0;
    if (StartsWith(m, "mips")) return 1;
    if (StartsWith(m, "alpha")) return 2;
    if (StartsWith(m, "ppc") || StartsWith(m, "powerpc")) return 3;
    if (m == "ia64") return 6;
    return -1;
}

const char* ProcessorTypeText(int type) {
    switch (type) {
        case 1:
            return "Other";
        case 2:
            return "Unknown";
        case 3:
            return "Central Processor";
        case 4:
            return "Math Processor";
        case 5:
            return "DSP Processor";
        case 6:
            return "Video Processor";
        default:
            return "Error";
    }
}

const char* ArchitectureText(int architecture) {
    switch (architecture) {
        case 0:
            return "x86";
        case 1:
            return "MIPS";
        case 2:
            return "Alpha";
        case 3:
            return "PowerPC";
        case 6:
            return "Itanium-based systems";
        case 9:
            return "x64";
        default:
            return "Error";
    }
}

std::vector<ProcessorInfo> ParseCpuInfo(std::string_view text, std::string_view machine) {
    struct Block {
        std::string physicalId, name, vendor;
        bool any = false;
    };
    std::vector<Block> blocks(1);
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (Trim(line).empty()) {
            if (blocks.back().any) blocks.emplace_back();
            continue;
        }
        size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        std::string_view key = Trim(line.substr(0, colon));
        std::string value(Trim(line.substr(colon + 1)));
        Block& b = blocks.back();
        if (key == "processor")
            b.any = true;
        else if (key == "physical id")
            b.physicalId = value, b.any = true;
        else if (key == "model name" ||
                 ((key == "Processor" || key == "cpu model") && b.name.empty()))
            b.name = value, b.any = true;
        else if (key == "vendor_id")
            b.vendor = value, b.any = true;
    }
    if (!blocks.back().any) blocks.pop_back();

    std::vector<ProcessorInfo> out;
    std::vector<std::string> packages;
    const int arch = ArchitectureCode(machine);
    for (const Block& b : blocks) {
        if (std::find(packages.begin(), packages.end(), b.physicalId) != packages.end()) continue;
        packages.push_back(b.physicalId);
        ProcessorInfo info;
        info.name = b.name;
        info.manufacturer = b.vendor;
        info.architecture = arch;
        out.push_back(std::move(info));
    }
    return out;
}

std::optional<uint64_t> ParseMemTotal(std::string_view text) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!StartsWith(line, "MemTotal:")) continue;
        std::string_view rest = Trim(line.substr(9));
        bool ok = false;
        uint64_t kib = ParseUnsigned(rest, &ok);
        if (!ok || kib > UINT64_MAX / 1024) return std::nullopt;
        return kib * 1024;
    }
    return std::nullopt;
}

int MemoryTypeFromSmbios(unsigned t) {
    // SMBIOS memory type byte -> management-service memory type code.
    switch (t) {
        case 0x01:
            return 1;  // other
        case 0x02:
            return 0;  // unknown
        case 0x03:
            return 2;  // DRAM
        case 0x04:
            return 6;  // EDRAM
        case 0x05:
            return 7;  // VRAM
        case 0x06:
            return 8;  // SRAM
        case 0x07:
            return 9;  // RAM
        case 0x08:
            return 10;  // ROM
        case 0x09:
            return 11;  // Flash
        case 0x0A:
            return 12;  // EEPROM
        case 0x0B:
            return 13;  // FEPROM
        case 0x0C:
            return 14;  // EPROM
        case 0x0D:
            return 15;  // CDRAM
        case 0x0E:
            return 16;  // 3DRAM
        case 0x0F:
            return 17;  // SDRAM
        case 0x10:
            return 18;  // SGRAM
        case 0x11:
            return 19;  // RDRAM
        case 0x12:
            return 20;  // DDR
        case 0x13:
            return 21;  // DDR2
        case 0x14:
            return 22;  // DDR2 FB-DIMM
        case 0x18:
            return 24;  // DDR3
        case 0x19:
            return 25;  // FBD2
        default:
            return 0;  // DDR4 and later have no code of their own
    }
}

const char* MemoryTypeText(int memoryType) {
    if (memoryType == 20) return "DDR";
    if (memoryType == 21) return "DDR-2";
    return "DDR-3";
}

std::optional<MemoryModule> ParseSmbiosMemoryDevice(std::string_view raw) {
    auto byte = [&](size_t off) { return static_cast<uint8_t>(raw[off]); };
    auto word = [&](size_t off) { return static_cast<uint32_t>(byte(off) | (byte(off + 1) << 8)); };
    if (raw.size() < 2 || byte(0) != 17) return std::nullopt;
    const size_t length = byte(1);
    if (length < 0x15 || raw.size() < length) return std::nullopt;
    const uint32_t size = word(0x0C);
    if (size == 0 || size == 0xFFFF) return std::nullopt;
    MemoryModule m;
    if (size == 0x7FFF) {
        if (length < 0x20) return std::nullopt;
        uint32_t ext = (word(0x1C) | (word(0x1E) << 16)) & 0x7FFFFFFFu;
        m.capacity = static_cast<uint64_t>(ext) << 20;
    } else if (size & 0x8000) {
        m.capacity = static_cast<uint64_t>(size & 0x7FFF) << 10;
    } else {
        m.capacity = static_cast<uint64_t>(size) << 20;
    }
    m.memoryType = MemoryTypeFromSmbios(byte(0x12));
    if (length >= 0x17) m.speed = word(0x15);
    return m;
}

std::string UeventValue(std::string_view uevent, std::string_view key) {
    size_t pos = 0;
    while (pos < uevent.size()) {
        size_t end = uevent.find('\n', pos);
        if (end == std::string_view::npos) end = uevent.size();
        std::string_view line = uevent.substr(pos, end - pos);
        pos = end + 1;
        if (line.size() > key.size() && StartsWith(line, key) && line[key.size()] == '=')
            return std::string(Trim(line.substr(key.size() + 1)));
    }
    return {};
}

// ---------------------------------------------------------------- readers

bool ReadAdapterMacs(const SystemSources& src, std::vector<MacAddress>* out) {
    out->clear();
    const std::string base = src.root + "/sys/class/net";
    DIR* dir = ::opendir(base.c_str());
    if (dir == nullptr) return false;
    ::closedir(dir);
    // Adapters backed by a device come first, then virtual ones (bridges,
    // veth pairs, tunnels), each group in interface-index order, so that the
    // first adapter does not change when virtual interfaces come and go.
    struct Found {
        bool isVirtual;
        uint64_t index;
        MacAddress mac;
    };
    std::vector<Found> found;
    for (const std::string& name : ListDir(base)) {
        const std::string dirPath = base + "/" + name;
        std::string text;
        if (ReadWhole(dirPath + "/type", &text) && ParseUnsigned(text) == 772) continue;
        if (name == "lo") continue;
        MacAddress mac;
        if (!ReadWhole(dirPath + "/address", &text) || !ParseMacAddress(text, &mac)) continue;
        uint64_t index = UINT64_MAX;
        if (ReadWhole(dirPath + "/ifindex", &text)) index = ParseUnsigned(text);
        const bool isVirtual = ::access((dirPath + "/device").c_str(), F_OK) != 0;
        found.push_back(Found{isVirtual, index, mac});
    }
    std::stable_sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        return a.isVirtual != b.isVirtual ? !a.isVirtual : a.index < b.index;
    });
    for (const Found& f : found) out->push_back(f.mac);
    return true;
}

uint32_t ReadVolumeSerial(const SystemSources& src) {
    struct statvfs st {};
    if (::statvfs(src.volumePath.c_str(), &st) != 0) return 0;
    return static_cast<uint32_t>(st.f_fsid & 0xffffffffu);
}

std::string MachineName(const SystemSources& src) {
    if (!src.machine.empty()) return src.machine;
    utsname u{};
    return ::uname(&u) == 0 ? u.machine : "";
}

std::string KernelRelease(const SystemSources& src) {
    if (!src.kernelRelease.empty()) return src.kernelRelease;
    utsname u{};
    return ::uname(&u) == 0 ? u.release : "";
}

std::vector<ProcessorInfo> ReadProcessors(const SystemSources& src) {
    std::string text;
    if (!ReadWhole(src.root + "/proc/cpuinfo", &text)) return {};
    return ParseCpuInfo(text, MachineName(src));
}

uint64_t ReadTotalMemory(const SystemSources& src) {
    std::string text;
    if (!ReadWhole(src.root + "/proc/meminfo", &text)) return 0;
    return ParseMemTotal(text).value_or(0);
}

std::vector<MemoryModule> ReadMemoryModules(const SystemSources& src) {
    std::vector<MemoryModule> out;
    const std::string base = src.root + "/sys/firmware/dmi/entries";
    std::vector<std::pair<uint64_t, std::string>> entries;
    for (const std::string& name : ListDir(base)) {
        if (!StartsWith(name, "17-")) continue;
        entries.emplace_back(ParseUnsigned(std::string_view(name).substr(3)), name);
    }
    std::sort(entries.begin(), entries.end());
    for (const auto& e : entries) {
        std::string raw;
        if (!ReadWhole(base + "/" + e.second + "/raw", &raw, 4096)) continue;
        if (auto m = ParseSmbiosMemoryDevice(raw)) out.push_back(*m);
    }
    return out;
}

std::vector<VideoAdapter> ReadVideoAdapters(const SystemSources& src) {
    std::vector<VideoAdapter> out;
    const std::string base = src.root + "/sys/class/drm";
    std::vector<std::pair<uint64_t, std::string>> cards;
    for (const std::string& name : ListDir(base)) {
        if (!StartsWith(name, "card") || name.size() == 4) continue;
        if (name.find_first_not_of("0123456789", 4) != std::string::npos) continue;
        cards.emplace_back(ParseUnsigned(std::string_view(name).substr(4)), name);
    }
    std::sort(cards.begin(), cards.end());
    for (const auto& c : cards) {
        const std::string dev = base + "/" + c.second + "/device";
        std::string uevent;
        ReadWhole(dev + "/uevent", &uevent);
        const std::string driver = UeventValue(uevent, "DRIVER");
        const std::string pciId = UeventValue(uevent, "PCI_ID");
        VideoAdapter a;
        if (!driver.empty() && !pciId.empty())
            a.name = driver + " (" + pciId + ")";
        else
            a.name = !driver.empty() ? driver : (!pciId.empty() ? pciId : c.second);
        std::string vram;
        if (ReadWhole(dev + "/mem_info_vram_total", &vram)) {
            uint64_t bytes = ParseUnsigned(vram);
            a.memory = bytes > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(bytes);
        }
        std::string version;
        if (!driver.empty() && ReadWhole(src.root + "/sys/module/" + driver + "/version", &version))
            a.driverVersion = std::string(Trim(version));
        else
            a.driverVersion = KernelRelease(src);
        out.push_back(std::move(a));
    }
    return out;
}

// ---------------------------------------------------------------- descriptions

Json::Value DescribeProcessors(const std::vector<ProcessorInfo>& cpus) {
    Json::Value arr(Json::arrayValue);
    for (const ProcessorInfo& c : cpus) {
        Json::Value o(Json::objectValue);
        o["CPU_Name"] = c.name;
        o["CPU_Manufacturer"] = c.manufacturer;
        o["CPU_Type"] = ProcessorTypeText(c.type);
        o["CPU_Architecture"] = ArchitectureText(c.architecture);
        arr.append(o);
    }
    return arr;
}

Json::Value DescribeMemoryModules(const std::vector<MemoryModule>& modules) {
    Json::Value arr(Json::arrayValue);
    for (const MemoryModule& m : modules) {
        if (m.memoryType >= 2 && m.memoryType <= 19) continue;
        Json::Value o(Json::objectValue);
        o["Memory_Type"] = MemoryTypeText(m.memoryType);
        o["Memory_Capacity"] = Json::UInt64(m.capacity);
        o["Memory_Frequency"] = Json::UInt(m.speed);
        arr.append(o);
    }
    return arr;
}

Json::Value DescribeVideoAdapters(const std::vector<VideoAdapter>& adapters) {
    Json::Value arr(Json::arrayValue);
    for (const VideoAdapter& a : adapters) {
        Json::Value o(Json::objectValue);
        o["Video_Card_Name"] = a.name;
        o["Video_Card_Memory_Capacity"] = Json::UInt(a.memory);
        o["Video_Card_Driver_Version"] = a.driverVersion;
        arr.append(o);
    }
    return arr;
}

}  // namespace lfstats
