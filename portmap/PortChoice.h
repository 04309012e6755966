// Choice of the TCP listening port: a random start in 40000..50000, a short
// list of ports that are never taken, and a scan that wraps around once.
#pragma once

#include <functional>
#include <string>

namespace portmap {

constexpr int kLowestPort = 40000;
constexpr int kHighestPort = 50000;

// Ports other programs are known to use; never chosen.
bool IsExcludedPort(int port);

// The first candidate for a random number: start = random mod 10000 + 40000,
// then start + 1, moved up past excluded ports.
int FirstCandidate(unsigned random);

// The candidate after `port`: the next number that is not excluded; a number
// above 50000, below 40000 or outside 1..65535 wraps to 40000.
int NextCandidate(int port);

// Scans from the first candidate of `random` until `inUse` says a port is
// free. Returns that port, or 0 when the scan came back to its first
// candidate without finding one.
int ChooseListenPort(unsigned random, const std::function<bool(int port)>& inUse);

// True for the addresses that sit behind a router: first octet 0..6, 10 or
// 127, 192.168.x.x, 169.254.x.x and 172.16.x.x..172.31.x.x. Anything else,
// including text that is not a dotted IPv4 address, counts as public.
bool IsPrivateIPv4(const std::string& dotted);

}  // namespace portmap
