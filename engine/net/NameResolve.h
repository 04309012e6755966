// Name resolution for connections and source addresses (the failed-name set
// and the time limit are QNetServices', NetServices.h),
// the choice of the local address and the private-address test.
// Addresses are IPv4 in network byte order throughout; 0 means none.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace lf {

class QNetServices;

// Error codes of a lookup, with the values the rest of the engine reports.
enum LookupError : int {
    kLookupOk = 0,
    kLookupHostNotFound = 11001,  // the name does not exist
    kLookupTryAgain = 11002,      // no answer from the resolver (temporary)
    kLookupNoData = 11004,        // the name exists but has no IPv4 address
    kLookupTimedOut = 10060,      // the time limit passed before an answer
};

// Reads a dotted address: up to four decimal octets separated by '.', each
// read with its leading digits (so "1.2.3.4:80" reads 1.2.3.4). Answers 0
// for an all-zero result, an octet above 255 or text without digits.
uint32_t ParseDottedAddress(const std::string& text);
// "a.b.c.d" for a network-order address.
std::string DottedAddress(uint32_t addressNet);

// Looks a host name up on a worker thread and waits at most timeoutMs for
// it. On success fills `out` with every IPv4 address in the resolver's
// order and answers kLookupOk. A worker that ends after the caller gave up
// drops its result. Never consults or fills the failed-name set.
int LookupHostTimed(const std::string& host, int timeoutMs, std::vector<uint32_t>& out);
// One lookup that never blocks its caller: Start hands the name to a
// worker thread, Poll answers whether it has finished (kLookupTimedOut once
// the time limit passed without an answer). A worker that ends after the
// object is gone drops its result. Never consults or fills the failed-name
// set.
class QNameLookup {
public:
    enum State { kIdle, kPending, kFinished };
    QNameLookup();
    ~QNameLookup();
    QNameLookup(const QNameLookup&) = delete;
    QNameLookup& operator=(const QNameLookup&) = delete;

    // Starts a lookup of `host` (a lookup already running is abandoned).
    void Start(const std::string& host, int timeoutMs);
    State Poll();
    // Once finished: kLookupOk with Addresses() in the resolver's order, or
    // the failure.
    int Error() const { return m_error; }
    const std::vector<uint32_t>& Addresses() const { return m_addresses; }

private:
    struct Slot;
    std::shared_ptr<Slot> m_slot;
    uint64_t m_deadlineMs = 0;
    State m_state = kIdle;
    int m_error = kLookupOk;
    std::vector<uint32_t> m_addresses;
};

// The connections' resolution: an empty name gives 0; a name beginning with
// a digit is first read as a dotted address; a name in the failed-name set
// gives 0 at once; otherwise the first address of a lookup under the
// services' time limit. A "host not found" or "no data" failure adds the
// name to the failed-name set. Without services (net null): the default
// limit and no failed-name set. `error` (when given) receives the lookup
// error.
uint32_t ResolveHostName(const std::string& host, QNetServices* net, int* error = nullptr);

// Private or reserved: 0.x to 6.x, 10.x, 127.x, 192.168.x, 169.254.x and
// 172.16.x to 172.31.x.
bool IsPrivateAddress(uint32_t addressNet);
// The machine's local IPv4 address: the last public interface address, else
// the last one; 0 when there is none.
uint32_t ChooseLocalAddress();

// The machine's DNS servers (nameserver lines of /etc/resolv.conf).
std::vector<std::string> DnsServers();

}  // namespace lf
