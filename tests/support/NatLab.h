// Two homes behind NAT routers and an internet between them, all inside
// the suite's own network namespace (built on NetLab): each router
// masquerades its home network and drops unsolicited packets on its WAN
// side, as home routers do; the internet host holds the rendezvous
// service at 198.18.0.1. Nothing is linked to the host network.
//
//   home 0 198.19.1.2 -- 198.19.1.1 router 0 198.18.1.2 -- 198.18.1.1
//                                                             internet (198.18.0.1)
//   home 1 198.19.2.2 -- 198.19.2.1 router 1 198.18.2.2 -- 198.18.2.1
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/support/NetLab.h"
#include "tests/support/TestDirs.h"

namespace lftest {

class NatLab {
public:
    static constexpr const char* kRendezvousAddress = "198.18.0.1";

    // Builds the lab; Ok() tells whether every step worked. With
    // randomPorts the routers give every new mapping a random public port
    // (one per destination, as symmetric NATs do), which defeats hole
    // punching.
    explicit NatLab(bool randomPorts = false);
    ~NatLab();
    NatLab(const NatLab&) = delete;
    NatLab& operator=(const NatLab&) = delete;

    bool Ok() const { return m_ok; }
    const std::string& Internet() const { return m_internet; }
    const std::string& Home(int i) const { return m_homes[i]; }
    const std::string& Router(int i) const { return m_routers[i]; }
    static std::string HomeAddress(int i) { return "198.19." + std::to_string(i + 1) + ".2"; }
    static std::string PublicAddress(int i) { return "198.18." + std::to_string(i + 1) + ".2"; }
    NetLab& Lab() { return m_lab; }

    // Starts lf-rendezvous (`program`) in the internet host on
    // 198.18.0.1:82 with --verbose; its output goes to logPath.
    bool StartRendezvous(const std::string& program, const std::string& logPath);
    // Starts a program in a home; stdout and stderr to logPath.
    bool StartInHome(int home, const std::vector<std::string>& argv, const std::string& logPath,
                     ChildProcess* child);

private:
    NetLab m_lab;
    bool m_ok = false;
    std::string m_internet;
    std::string m_routers[2];
    std::string m_homes[2];
    ChildProcess m_rendezvous;
};

}  // namespace lftest
