// A local network of test hosts on one bridge, built on NetLab (named
// network namespaces inside the suite's own namespace, removed by name when
// the object goes away). The bridge lives in a namespace of its own; every
// host is joined to it by a veth pair whose host end is "e0" with its
// address (198.18.0.0/15 only) and a route for 224.0.0.0/4 (except in the
// suite's own namespace, which parallel tests share), so that
// multicast groups can be joined and cross the bridge. A host may be on a
// second network (another bridge, another /24) through a router host. The
// bridge has no uplink: nothing of the lab reaches the host network.
#pragma once

#include <string>
#include <vector>

#include "tests/support/NetLab.h"

namespace lftest {

class Lan {
public:
    // `lab` must outlive the object; the bridge is made at once (Ok() tells
    // whether that worked).
    Lan(NetLab& lab, const std::string& role);
    bool Ok() const { return !m_switch.empty(); }
    // A new host on the bridge with `address` (a.b.c.d/len, 198.18.x.x);
    // answers its namespace name ("" on failure).
    std::string AddHost(const std::string& role, const std::string& address);
    // Joins an existing host (e.g. a router) to this bridge on device
    // `device` with `address`.
    bool Join(const std::string& host, const std::string& device, const std::string& address);
    // The namespace that holds the bridge.
    const std::string& SwitchHost() const { return m_switch; }

private:
    NetLab& m_lab;
    std::string m_switch;
    int m_ports = 0;
};

}  // namespace lftest
