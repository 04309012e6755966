// Test networks inside the suite's own network namespace: named network
// namespaces (removed again when the object goes away) linked by veth
// pairs. Lab hosts use addresses of 198.18.0.0/15 only and are never linked
// to the host network: a lab is refused unless the test runs in a private
// namespace of its own (nothing but "lo" is there).
#pragma once

#include <string>
#include <vector>

namespace lftest {

// True when this process runs in a network namespace of its own (inside
// `unshare --net`), where a test may build a lab.
bool InPrivateNetworkNamespace();

// Moves the calling thread into a new network namespace with only "lo" (up),
// nested in the suite's one; threads it starts later follow it. For a test
// that needs fixed port numbers which the suite's other tests, running at
// the same time in the suite's namespace, may hold. Call it before the test
// starts threads of its own; false when that is not possible here.
bool EnterOwnNetworkNamespace();

class NetLab {
public:
    NetLab();
    ~NetLab();
    NetLab(const NetLab&) = delete;
    NetLab& operator=(const NetLab&) = delete;

    // A new namespace; answers its name (unique per process).
    std::string AddHost(const std::string& role);
    // Runs a shell command in a host ("" = the test's own namespace).
    bool Exec(const std::string& host, const std::string& command);
    // The argv prefix that runs a program in a host.
    std::vector<std::string> Prefix(const std::string& host) const;
    // A veth pair between two hosts ("" = the test's own namespace), each end
    // up with its address (a.b.c.d/len; "" for none, a bridge port); answers
    // false on failure. The end names are made unique.
    bool Link(const std::string& hostA, const std::string& addressA, const std::string& hostB,
              const std::string& addressB, std::string* nameA = nullptr,
              std::string* nameB = nullptr);

private:
    std::vector<std::string> m_hosts;
    int m_links = 0;
    std::string m_tag;
};

}  // namespace lftest
