#include "tests/support/NetLab.h"

#include <unistd.h>

#include "tests/support/TestDirs.h"

namespace lftest {

bool InPrivateNetworkNamespace() {
    // /proc/net follows the reader's network namespace (/sys may not).
    const std::string dev = ReadFile("/proc/net/dev");
    if (dev.empty()) return false;
    size_t lines = 0;
    bool lo = false;
    size_t at = 0;
    while (at < dev.size()) {
        size_t end = dev.find('\n', at);
        if (end == std::string::npos) end = dev.size();
        const std::string line = dev.substr(at, end - at);
        const size_t colon = line.find(':');
        if (colon != std::string::npos && line.find('|') == std::string::npos) {
            ++lines;
            lo = lo || line.substr(0, colon).find("lo") != std::string::npos;
        }
        at = end + 1;
    }
    return lines == 1 && lo;
}

NetLab::NetLab() : m_tag(std::to_string(getpid() % 100000)) {}

NetLab::~NetLab() {
    for (const std::string& h : m_hosts) Run("ip netns del " + h + " 2>/dev/null");
}

std::string NetLab::AddHost(const std::string& role) {
    const std::string name = "lf" + role + m_tag;
    Run("ip netns del " + name + " 2>/dev/null");
    if (Run("ip netns add " + name) != 0) return {};
    m_hosts.push_back(name);
    Exec(name, "ip link set lo up");
    return name;
}

bool NetLab::Exec(const std::string& host, const std::string& command) {
    const std::string prefix = host.empty() ? "" : "ip netns exec " + host + " ";
    return Run(prefix + "sh -c '" + command + "'") == 0;
}

std::vector<std::string> NetLab::Prefix(const std::string& host) const {
    if (host.empty()) return {};
    return {"ip", "netns", "exec", host};
}

bool NetLab::Link(const std::string& hostA, const std::string& addressA, const std::string& hostB,
                  const std::string& addressB, std::string* nameA, std::string* nameB) {
    const std::string n = std::to_string(m_links++);
    const std::string a = "va" + n + "x" + m_tag, b = "vb" + n + "x" + m_tag;
    if (Run("ip link add " + a + " type veth peer name " + b) != 0) return false;
    auto place = [&](const std::string& host, const std::string& dev, const std::string& addr) {
        if (!host.empty() && Run("ip link set " + dev + " netns " + host) != 0) return false;
        if (addr.empty()) return Exec(host, "ip link set " + dev + " up");
        return Exec(host, "ip addr add " + addr + " dev " + dev + " && ip link set " + dev + " up");
    };
    if (!place(hostA, a, addressA) || !place(hostB, b, addressB)) return false;
    if (nameA != nullptr) *nameA = a;
    if (nameB != nullptr) *nameB = b;
    return true;
}

}  // namespace lftest
