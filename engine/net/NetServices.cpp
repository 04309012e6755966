#include "engine/net/NetServices.h"

namespace lf {

QProxyConfig QNetServices::ProxyConfig() const {
    std::lock_guard<std::mutex> g(m_proxyLock);
    return m_proxy;
}

void QNetServices::SetProxyConfig(const QProxyConfig& config) {
    std::lock_guard<std::mutex> g(m_proxyLock);
    m_proxy = config;
}

void QNetServices::AddFailedName(const std::string& host) {
    std::lock_guard<std::mutex> g(m_failedLock);
    m_failedNames.insert(host);
}

bool QNetServices::IsFailedName(const std::string& host) const {
    std::lock_guard<std::mutex> g(m_failedLock);
    return m_failedNames.count(host) != 0;
}

void QNetServices::ClearFailedNames() {
    std::lock_guard<std::mutex> g(m_failedLock);
    m_failedNames.clear();
}

void QNetServices::SetTransportStreamFactory(TransportStreamFactory factory) {
    std::lock_guard<std::mutex> g(m_factoryLock);
    m_factory = std::move(factory);
}

std::unique_ptr<QNetStream> QNetServices::MakeTransportStream(const QTransportId& identity) const {
    TransportStreamFactory f;
    {
        std::lock_guard<std::mutex> g(m_factoryLock);
        f = m_factory;
    }
    if (!f) return nullptr;
    return f(identity);
}

}  // namespace lf
