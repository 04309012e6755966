// Runs router_scenario.sh: a home network in namespaces of the test's own
// (a miniupnpd router, or none, and a computer at 10.233.0.2), with
// portmap_probe playing the controller on the computer. The whole scenario
// runs in its own PID namespace, so the router and every helper process end
// with it, whatever happens to the test.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/TestDirs.h"

namespace portmaptest {

struct Scenario {
    std::vector<std::string> probe;  // the probe's lines
    std::string rules;               // the router's nftables rules afterwards
    std::string entry;               // the router's answer for the mapped port
    std::string all;

    int Find(const std::string& line) const {
        auto it = std::find(probe.begin(), probe.end(), line);
        return it == probe.end() ? -1 : static_cast<int>(it - probe.begin());
    }
    bool Has(const std::string& line) const { return Find(line) >= 0; }
    // A log line carrying exactly this text.
    bool Logged(const std::string& text) const {
        for (const auto& l : probe) {
            if (l.rfind("LOG ", 0) == 0 && l.find("[" + text + "]") != std::string::npos) {
                return true;
            }
        }
        return false;
    }
    int Port() const {
        for (const auto& l : probe) {
            if (l.rfind("PORT ", 0) == 0) return std::stoi(l.substr(5));
        }
        return -1;
    }
    // The probe ended normally (no sanitizer report, no hard limit).
    bool ProbeExitedCleanly() const { return Has("EXIT 0"); }
    std::vector<std::string> Notes() const {
        std::vector<std::string> out;
        for (const auto& l : probe) {
            if (l.rfind("NOTE ", 0) == 0) out.push_back(l.substr(5));
        }
        return out;
    }
};

inline std::string MissingTool() {
    if (geteuid() != 0) return "not root";
    for (const char* tool : {"unshare", "nsenter", "ip", "nft", "miniupnpd", "curl", "ss"}) {
        if (!lftest::HaveProgram(tool) && !lftest::FileExists(std::string("/usr/sbin/") + tool)) {
            return tool;
        }
    }
    return "";
}

inline Scenario RunScenario(const std::string& mode, const lftest::TempDir& work) {
    const std::string command =
        std::string("PATH=/usr/sbin:/sbin:$PATH ") +
        "unshare --net --mount --uts --pid --fork --kill-child "
        "--mount-proc -- bash '" LF_SOURCE_DIR "/tests/portmap/router_scenario.sh' " +
        mode + " '" + work.Path() + "' '" PORTMAP_PROBE "' --interface lan0p 2>&1";
    Scenario s;
    s.all = lftest::Capture(command);
    std::istringstream in(s.all);
    std::string line;
    int section = 0;
    while (std::getline(in, line)) {
        if (line == "=== RULES") {
            section = 1;
        } else if (line == "=== ENTRY") {
            section = 2;
        } else if (section == 0) {
            s.probe.push_back(line);
        } else if (section == 1) {
            s.rules += line + "\n";
        } else {
            s.entry += line + "\n";
        }
    }
    return s;
}

}  // namespace portmaptest
