#include "portmap/PortChoice.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>

namespace portmap {

namespace {
constexpr std::array<int, 8> kExcluded = {40412, 40421, 40422, 40423, 40426, 43958, 44444, 47262};
}

bool IsExcludedPort(int port) {
    return std::find(kExcluded.begin(), kExcluded.end(), port) != kExcluded.end();
}

int FirstCandidate(unsigned random) {
    int port = static_cast<int>(random % 10000) + kLowestPort + 1;
    while (IsExcludedPort(port)) ++port;
    return port;
}

int NextCandidate(int port) {
    do {
        ++port;
        if (port > kHighestPort || port < kLowestPort || port < 1 || port > 65535) {
            port = kLowestPort;
        }
    } while (IsExcludedPort(port));
    return port;
}

int ChooseListenPort(unsigned random, const std::function<bool(int port)>& inUse) {
    const int first = FirstCandidate(random);
    int candidate = first;
    // Every number of the range is visited at most once, even if the first
    // candidate were a number the scan skips.
    for (int step = 0; step <= kHighestPort - kLowestPort; ++step) {
        if (!inUse(candidate)) return candidate;
        candidate = NextCandidate(candidate);
        if (candidate == first) break;
    }
    return 0;
}

bool IsPrivateIPv4(const std::string& dotted) {
    in_addr addr{};
    if (inet_pton(AF_INET, dotted.c_str(), &addr) != 1) return false;
    const uint32_t host = ntohl(addr.s_addr);
    const unsigned a = host >> 24;
    const unsigned b = (host >> 16) & 0xff;
    if (a <= 6 || a == 10 || a == 127) return true;
    if (a == 192 && b == 168) return true;
    if (a == 169 && b == 254) return true;
    if (a == 172 && b >= 16 && b <= 31) return true;
    return false;
}

}  // namespace portmap
