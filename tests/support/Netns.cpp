#include "tests/support/Netns.h"

namespace lftest {

Lan::Lan(NetLab& lab, const std::string& role) : m_lab(lab) {
    const std::string host = lab.AddHost(role + "sw");
    if (host.empty()) return;
    if (!lab.Exec(host, "ip link add br0 type bridge && ip link set br0 up")) return;
    m_switch = host;
}

bool Lan::Join(const std::string& host, const std::string& device, const std::string& address) {
    if (!Ok()) return false;
    // The switch end gets no address: a bridge port carries none.
    std::string hostEnd, switchEnd;
    if (!m_lab.Link(host, address, m_switch, "", &hostEnd, &switchEnd)) return false;
    ++m_ports;
    // The suite's own namespace ("") is shared with tests running at the
    // same time, whose engines join groups on lo by its 224.0.0.0/4 route:
    // it keeps that route, and the test's sockets there name the interface.
    const std::string route = host.empty() ? "" : " && ip route replace 224.0.0.0/4 dev " + device;
    return m_lab.Exec(m_switch, "ip link set " + switchEnd + " master br0 && ip link set " +
                                    switchEnd + " up") &&
           m_lab.Exec(host, "ip link set " + hostEnd + " down && ip link set " + hostEnd +
                                " name " + device + " && ip link set " + device +
                                " multicast on up" + route);
}

std::string Lan::AddHost(const std::string& role, const std::string& address) {
    const std::string host = m_lab.AddHost(role);
    if (host.empty() || !Join(host, "e0", address)) return {};
    return host;
}

}  // namespace lftest
