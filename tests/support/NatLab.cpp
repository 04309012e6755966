#include "tests/support/NatLab.h"

#include <unistd.h>

namespace lftest {

NatLab::NatLab(bool randomPorts) {
    if (!InPrivateNetworkNamespace()) return;
    m_internet = m_lab.AddHost("inet");
    if (m_internet.empty()) return;
    if (!m_lab.Exec(m_internet,
                    "ip addr add 198.18.0.1/32 dev lo && sysctl -qw net.ipv4.ip_forward=1"))
        return;
    for (int i = 0; i < 2; ++i) {
        const std::string n = std::to_string(i + 1);
        m_routers[i] = m_lab.AddHost("rt" + n);
        m_homes[i] = m_lab.AddHost("hm" + n);
        if (m_routers[i].empty() || m_homes[i].empty()) return;
        std::string wan, lan;
        if (!m_lab.Link(m_internet, "198.18." + n + ".1/24", m_routers[i], "198.18." + n + ".2/24",
                        nullptr, &wan) ||
            !m_lab.Link(m_routers[i], "198.19." + n + ".1/24", m_homes[i], "198.19." + n + ".2/24",
                        &lan, nullptr))
            return;
        if (!m_lab.Exec(m_routers[i],
                        "sysctl -qw net.ipv4.ip_forward=1 && ip route add default via 198.18." + n +
                            ".1") ||
            !m_lab.Exec(m_homes[i], "ip route add default via 198.19." + n + ".1"))
            return;
        // Masquerade the home network; the router itself accepts only
        // answers to what went out and what comes from inside, so an
        // unsolicited packet on the WAN side is dropped rather than made
        // into a conntrack entry of the router's own.
        const std::string rules =
            "table ip lfnat {\n"
            "  chain post { type nat hook postrouting priority 100; policy accept;\n"
            "    oifname \"" +
            wan + "\" masquerade" + (randomPorts ? " random" : "") +
            "; }\n"
            "  chain input { type filter hook input priority 0; policy drop;\n"
            "    ct state established,related accept;\n"
            "    iifname { \"lo\", \"" +
            lan +
            "\" } accept; }\n"
            "}\n";
        char path[] = "/tmp/lfnatXXXXXX";
        const int fd = mkstemp(path);
        if (fd < 0) return;
        close(fd);
        WriteFile(path, rules);
        const bool loaded = Run("ip netns exec " + m_routers[i] + " nft -f " + path) == 0;
        unlink(path);
        if (!loaded) return;
    }
    m_ok = true;
}

NatLab::~NatLab() {
    m_rendezvous.Stop();
}

bool NatLab::StartRendezvous(const std::string& program, const std::string& logPath) {
    std::vector<std::string> argv = m_lab.Prefix(m_internet);
    argv.insert(argv.end(),
                {program, "--listen", std::string(kRendezvousAddress) + ":82", "--verbose"});
    return m_rendezvous.Start(argv, logPath);
}

bool NatLab::StartInHome(int home, const std::vector<std::string>& argv, const std::string& logPath,
                         ChildProcess* child) {
    std::vector<std::string> full = m_lab.Prefix(m_homes[home]);
    full.insert(full.end(), argv.begin(), argv.end());
    return child->Start(full, logPath);
}

}  // namespace lftest
