// Proxy configuration: one record per connection (copied at connect time)
// and the engine-wide record (QNetServices::ProxyConfig, NetServices.h) that
// every connection given the services uses unless its caller passes its own.
//
// The engine-wide record starts empty (type 0: every connection direct).
// The application sets it with QNetServices::SetProxyConfig, or from a proxy
// address text with ParseProxyAddress / LoadProxyConfigFromEnvironment:
//   http://[user:password@]host:port      HTTP proxy, CONNECT tunnel
//   socks4://host:port                    SOCKS4 (names resolved here)
//   socks4a://host:port                   SOCKS4A (names resolved at the proxy)
//   socks5://[user:password@]host:port    SOCKS5 (names resolved here)
//   socks5h://[user:password@]host:port   SOCKS5, names resolved at the proxy
// The headless mode reads LANTERNFISH_PROXY (such a text, or "none") and
// LANTERNFISH_PROXY_TIMEOUT (seconds for each handshake step).
#pragma once

#include <cstdint>
#include <string>

#include "engine/net/ProxyProtocol.h"

namespace lf {

class QNetServices;

struct QProxyConfig {
    int type = kProxyNone;        // ProxyType
    uint32_t address = 0;         // proxy IPv4, network order
    uint16_t port = 0;            // proxy port
    int timeoutSeconds = -1;      // each handshake step; negative means 12
    bool resolveAtProxy = false;  // send host names to the proxy (types 1, 3, 4)
    bool plainHttp = false;       // type 1 without a tunnel: requests go to the proxy as they are
    std::string user;             // credentials (HTTP Basic, SOCKS5 user/password)
    std::string password;
    std::string domain;  // sent as a "Domain: " line to an HTTP proxy
    std::string method;  // request method for an HTTP proxy; empty means "CONNECT"

    // Type 1..4 with a valid address and a nonzero port.
    bool Usable() const;
    // The handshake step timeout in milliseconds (12 s when negative).
    int TimeoutMs() const;
};

// Reads a proxy address text (see above) into `out`. "none" or an empty
// text gives type 0. The proxy host must be a dotted IPv4 address or a name
// that resolves. User and password may be percent-encoded. False for an
// unknown scheme, a missing or invalid port, or a host that does not
// resolve; `out` is then unchanged.
bool ParseProxyAddress(const std::string& text, QProxyConfig& out);

// Sets the services' configuration from LANTERNFISH_PROXY and
// LANTERNFISH_PROXY_TIMEOUT. Answers true when the variable is unset (the
// configuration stays as it is) or was applied; false (logged, nothing
// changed) for an invalid text.
bool LoadProxyConfigFromEnvironment(QNetServices& net);

}  // namespace lf
