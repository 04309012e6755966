// Test helpers for the statistics component: the statistics receiver started
// on a free loopback port, a prepared /proc and /sys tree, and a reader for
// the batches the receiver stored.
#pragma once

#include <json/json.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "stats/SystemInventory.h"
#include "tests/support/TestDirs.h"

namespace statstest {

inline std::string Python() {
    return lftest::FileExists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
}

inline void WriteFileAt(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    lftest::WriteFile(path, bytes);
}

// One receiver process answering "ok", "error" or "silent".
class Receiver {
public:
    Receiver(const lftest::TempDir& dir, const std::string& answer) {
        static int serial = 0;
        port = lftest::FreeTcpPort();
        out = dir / ("received-" + std::to_string(++serial) + ".jsonl");
        started =
            child.Start(
                {Python(), std::string(LF_SOURCE_DIR) + "/tools/stats-receiver/stats_receiver.py",
                 "--port", std::to_string(port), "--out", out, "--answer", answer},
                out + ".log") &&
            lftest::WaitForTcpPort(port);
    }
    std::string Url(const std::string& path = "/launchersubmit/eventListSubmit") const {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }
    // The stored requests, one JSON object each.
    std::vector<Json::Value> Requests() const {
        std::vector<Json::Value> result;
        const std::string text = lftest::ReadFile(out);
        size_t pos = 0;
        while (pos < text.size()) {
            size_t end = text.find('\n', pos);
            if (end == std::string::npos) break;  // a line still being written
            Json::Value v;
            Json::CharReaderBuilder b;
            std::string errors;
            std::unique_ptr<Json::CharReader> reader(b.newCharReader());
            if (reader->parse(text.data() + pos, text.data() + end, &v, &errors))
                result.push_back(v);
            pos = end + 1;
        }
        return result;
    }
    // Waits until at least n requests arrived (false after the limit).
    bool WaitForRequests(size_t n, std::chrono::seconds limit = std::chrono::seconds(30)) const {
        auto until = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < until) {
            if (Requests().size() >= n) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    lftest::ChildProcess child;
    int port = 0;
    std::string out;
    bool started = false;
};

// The configuration text with the given submit addresses (several section;
// the single-event section gets the first one).
inline std::string ConfigWithUrls(
    const std::vector<std::string>& urls,
    const std::string& inputKeywords = "DVersion;GameID;GVersion;AppVersion",
    const std::string& submitKeywords = "MachId;Mac;OS") {
    std::string text = "[SubmitEventDownload]\nSubmitUrl=" + (urls.empty() ? "" : urls[0]) +
                       "\nInputDataKeyWord=" + inputKeywords +
                       "\nSubmitDataKeyWord=" + submitKeywords +
                       "\n\n[SubmitEventDownloadSeveral]\n";
    for (size_t i = 0; i < urls.size(); ++i) {
        text += "SubmitUrl" + (i == 0 ? std::string() : std::to_string(i)) + "=" + urls[i] + "\n";
    }
    text += "InputDataKeyWord=" + inputKeywords + "\nSubmitDataKeyWord=" + submitKeywords + "\n";
    return text;
}

// The fake computer: one two-package processor set, 8 GiB, two memory
// modules (DDR3 and a DDR4 of extended size), one AMD video card, two
// device-backed adapters, a bridge, a tunnel without address and lo.
struct FakeSystem {
    explicit FakeSystem(const lftest::TempDir& dir) {
        root = dir / "sysroot";
        const std::string cpu =
            "processor\t: 0\nvendor_id\t: GenuineIntel\nmodel name\t: Test CPU @ 3.00GHz\n"
            "physical id\t: 0\n\nprocessor\t: 1\nvendor_id\t: GenuineIntel\n"
            "model name\t: Test CPU @ 3.00GHz\nphysical id\t: 0\n\n"
            "processor\t: 2\nvendor_id\t: GenuineIntel\nmodel name\t: Test CPU @ 3.00GHz\n"
            "physical id\t: 1\n\n";
        WriteFileAt(root + "/proc/cpuinfo", cpu);
        WriteFileAt(root + "/proc/meminfo", "MemTotal:        8388608 kB\nMemFree: 1 kB\n");
        WriteFileAt(root + "/sys/class/net/lo/address", "00:00:00:00:00:00\n");
        WriteFileAt(root + "/sys/class/net/lo/type", "772\n");
        WriteFileAt(root + "/sys/class/net/lo/ifindex", "1\n");
        // A bridge with the lowest index that is not backed by a device.
        WriteFileAt(root + "/sys/class/net/docker0/address", "02:42:ac:11:00:01\n");
        WriteFileAt(root + "/sys/class/net/docker0/type", "1\n");
        WriteFileAt(root + "/sys/class/net/docker0/ifindex", "2\n");
        WriteFileAt(root + "/sys/class/net/eth1/address", "66:77:88:99:aa:bb\n");
        WriteFileAt(root + "/sys/class/net/eth1/type", "1\n");
        WriteFileAt(root + "/sys/class/net/eth1/ifindex", "4\n");
        WriteFileAt(root + "/sys/class/net/eth1/device/vendor", "0x8086\n");
        WriteFileAt(root + "/sys/class/net/eth0/address", "00:11:22:33:44:55\n");
        WriteFileAt(root + "/sys/class/net/eth0/type", "1\n");
        WriteFileAt(root + "/sys/class/net/eth0/ifindex", "3\n");
        WriteFileAt(root + "/sys/class/net/eth0/device/vendor", "0x8086\n");
        WriteFileAt(root + "/sys/class/net/tun0/address", "\n");
        WriteFileAt(root + "/sys/class/net/tun0/ifindex", "5\n");
        WriteFileAt(root + "/sys/class/drm/card0/device/uevent",
                    "DRIVER=amdgpu\nPCI_CLASS=30000\nPCI_ID=1002:73BF\n");
        WriteFileAt(root + "/sys/class/drm/card0/device/mem_info_vram_total", "1073741824\n");
        WriteFileAt(root + "/sys/class/drm/card0-DP-1/status", "connected\n");
        WriteFileAt(root + "/sys/class/drm/renderD128/dev", "226:128\n");
        WriteFileAt(root + "/sys/firmware/dmi/entries/17-0/raw", Smbios17(0x2000, 0x18, 1600));
        WriteFileAt(root + "/sys/firmware/dmi/entries/17-1/raw",
                    Smbios17(0x7FFF, 0x1A, 3200, 32768));
        WriteFileAt(root + "/sys/firmware/dmi/entries/17-2/raw", Smbios17(0, 0x02, 0));
        sources.root = root;
        sources.volumePath = dir.Path();
        sources.machine = "x86_64";
        sources.kernelRelease = "6.1.0-test";
    }

    // An SMBIOS memory device structure (length 0x28) and its string table.
    static std::string Smbios17(unsigned size, unsigned type, unsigned speed, unsigned ext = 0) {
        std::string s(0x28, '\0');
        s[0] = 17;
        s[1] = 0x28;
        s[0x0C] = static_cast<char>(size & 0xff);
        s[0x0D] = static_cast<char>(size >> 8);
        s[0x12] = static_cast<char>(type);
        s[0x15] = static_cast<char>(speed & 0xff);
        s[0x16] = static_cast<char>(speed >> 8);
        for (int i = 0; i < 4; ++i) s[0x1C + i] = static_cast<char>((ext >> (8 * i)) & 0xff);
        s += std::string("DIMM 0\0\0", 8);
        return s;
    }

    std::string root;
    lfstats::SystemSources sources;
};

// The info text of one batch element split into the identity object and the
// event's own members: "{" identity "\n" ",..." "}".
struct InfoParts {
    Json::Value identity;
    Json::Value body;
    bool ok = false;
};

inline Json::Value ParseJson(const std::string& text, bool* ok) {
    Json::Value v;
    Json::CharReaderBuilder b;
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(b.newCharReader());
    *ok = reader->parse(text.data(), text.data() + text.size(), &v, &errors);
    return v;
}

inline InfoParts SplitInfo(const std::string& info) {
    InfoParts parts;
    const size_t cut = info.find("}\n,");
    if (info.size() < 4 || info.front() != '{' || info.back() != '}' || cut == std::string::npos)
        return parts;
    bool a = false, b = false;
    parts.identity = ParseJson(info.substr(1, cut), &a);
    parts.body = ParseJson("{" + info.substr(cut + 3), &b);
    parts.ok = a && b;
    return parts;
}

}  // namespace statstest
