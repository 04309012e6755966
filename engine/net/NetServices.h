// The network layer's engine-wide settings and shared state: the connect
// time limit, the name-lookup time limit, the set of names that failed and
// the proxy, and the maker of transport streams. The engine's core owns one
// (CLanternfishCore::Net()) and hands it to the connections and source
// addresses its tasks make; code that runs without the engine (tests, tools)
// makes its own or passes none, which means the defaults, no failed-name
// set and no transport streams.
//
// Task threads read it while the interface writes it: the limits and the
// factory are atomic or locked, the failed-name set has its own lock.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "engine/net/NetStream.h"
#include "engine/net/ProxyConfig.h"

namespace lf {

inline constexpr int kDefaultConnectTimeoutMs = 12000;
inline constexpr int kDefaultLookupTimeoutMs = 3000;

class QNetServices {
public:
    // Limit for a connect to complete (direct, or to the proxy before the
    // handshake's own steps).
    int ConnectTimeoutMs() const { return m_connectTimeoutMs.load(); }
    void SetConnectTimeoutMs(int ms) { m_connectTimeoutMs.store(ms); }
    // The time limit of every lookup.
    int LookupTimeoutMs() const { return m_lookupTimeoutMs.load(); }
    void SetLookupTimeoutMs(int ms) { m_lookupTimeoutMs.store(ms); }

    // Names that failed with "host not found" or "no data".
    void AddFailedName(const std::string& host);
    bool IsFailedName(const std::string& host) const;
    void ClearFailedNames();

    // The proxy every connection uses unless its caller passes its own
    // (type 0, the default: direct). Each call copies under a lock.
    QProxyConfig ProxyConfig() const;
    void SetProxyConfig(const QProxyConfig& config);

    // Set by the UDP stream service when it starts; none (the default) makes
    // every connect with a transport identity fail.
    void SetTransportStreamFactory(TransportStreamFactory factory);
    std::unique_ptr<QNetStream> MakeTransportStream(const QTransportId& identity) const;

private:
    std::atomic<int> m_connectTimeoutMs{kDefaultConnectTimeoutMs};
    std::atomic<int> m_lookupTimeoutMs{kDefaultLookupTimeoutMs};
    mutable std::mutex m_factoryLock;
    TransportStreamFactory m_factory;
    mutable std::mutex m_proxyLock;
    QProxyConfig m_proxy;
    mutable std::mutex m_failedLock;
    std::set<std::string> m_failedNames;
};

// The limits for code that may be handed no services.
inline int ConnectTimeoutMs(const QNetServices* net) {
    return net ? net->ConnectTimeoutMs() : kDefaultConnectTimeoutMs;
}
inline int LookupTimeoutMs(const QNetServices* net) {
    return net ? net->LookupTimeoutMs() : kDefaultLookupTimeoutMs;
}

}  // namespace lf
