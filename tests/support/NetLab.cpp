#include "tests/support/NetLab.h"

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "tests/support/TestDirs.h"

namespace lftest {

bool InPrivateNetworkNamespace() {
    // Not the namespace the machine's first process runs in (from another
    // namespace its link may not even be readable), and no default route:
    // nothing a test sends can leave. Other tests may add links to the
    // suite's namespace while this one runs, so the interface list is no
    // test.
    char self[64] = {0}, init[64] = {0};
    const ssize_t a = readlink("/proc/self/ns/net", self, sizeof self - 1);
    if (a <= 0) return false;
    const ssize_t b = readlink("/proc/1/ns/net", init, sizeof init - 1);
    if (b > 0 &&
        std::string(self, static_cast<size_t>(a)) == std::string(init, static_cast<size_t>(b)))
        return false;
    // /proc/net/route: "Iface Destination Gateway ..."; a default route has
    // destination 00000000.
    const std::string routes = ReadFile("/proc/net/route");
    size_t at = routes.find('\n');
    while (at != std::string::npos && at + 1 < routes.size()) {
        const size_t end = routes.find('\n', at + 1);
        const std::string line =
            routes.substr(at + 1, end == std::string::npos ? end : end - at - 1);
        const size_t tab = line.find('\t');
        if (tab != std::string::npos && line.compare(tab + 1, 8, "00000000") == 0) return false;
        at = end;
    }
    return true;
}

bool EnterOwnNetworkNamespace() {
    if (!InPrivateNetworkNamespace()) return false;  // never from the host's namespace
    if (unshare(CLONE_NEWNET) != 0) return false;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    close(fd);
    return ok;
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
