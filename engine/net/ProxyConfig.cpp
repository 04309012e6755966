#include "engine/net/ProxyConfig.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "common/Text.h"
#include "engine/log/LogApi.h"
#include "engine/net/NameResolve.h"
#include "engine/net/NetServices.h"

namespace lf {

namespace {

bool StartsWithNoCase(const std::string& text, const char* prefix, size_t* rest) {
    if (!lf::StartsWithNoCase(text, prefix)) return false;
    *rest = std::strlen(prefix);
    return true;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string PercentDecode(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() + 0 && HexValue(s[i + 1]) >= 0 &&
            HexValue(s[i + 2]) >= 0) {
            out.push_back(static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2])));
            i += 2;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

}  // namespace

bool QProxyConfig::Usable() const {
    return type >= kProxyHttp && type <= kProxySocks4a && address != 0 && address != 0xffffffffu &&
           port != 0;
}

int QProxyConfig::TimeoutMs() const {
    return timeoutSeconds < 0 ? 12000 : timeoutSeconds * 1000;
}

bool ParseProxyAddress(const std::string& text, QProxyConfig& out) {
    QProxyConfig c;
    c.timeoutSeconds = out.timeoutSeconds;
    if (text.empty() || text == "none") {
        out = c;
        return true;
    }
    struct Scheme {
        const char* prefix;
        int type;
        bool atProxy;
        uint16_t defaultPort;
    };
    static const Scheme kSchemes[] = {
        {"http://", kProxyHttp, false, 8080},     {"socks4a://", kProxySocks4a, true, 1080},
        {"socks4://", kProxySocks4, false, 1080}, {"socks5h://", kProxySocks5, true, 1080},
        {"socks5://", kProxySocks5, false, 1080},
    };
    size_t pos = 0;
    const Scheme* scheme = nullptr;
    for (const Scheme& s : kSchemes) {
        if (StartsWithNoCase(text, s.prefix, &pos)) {
            scheme = &s;
            break;
        }
    }
    if (!scheme) return false;
    c.type = scheme->type;
    c.resolveAtProxy = scheme->atProxy;
    std::string rest = text.substr(pos);
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    size_t at = rest.rfind('@');
    if (at != std::string::npos) {
        std::string cred = rest.substr(0, at);
        rest = rest.substr(at + 1);
        size_t colon = cred.find(':');
        c.user = PercentDecode(cred.substr(0, colon));
        if (colon != std::string::npos) c.password = PercentDecode(cred.substr(colon + 1));
        if (c.type == kProxySocks4 || c.type == kProxySocks4a) return false;
    }
    size_t colon = rest.rfind(':');
    std::string host = rest.substr(0, colon);
    unsigned long port = scheme->defaultPort;
    if (colon != std::string::npos) {
        std::string digits = rest.substr(colon + 1);
        if (digits.empty() || digits.size() > 5) return false;
        port = 0;
        for (char ch : digits) {
            if (ch < '0' || ch > '9') return false;
            port = port * 10 + static_cast<unsigned long>(ch - '0');
        }
    }
    if (port == 0 || port > 65535 || host.empty()) return false;
    c.port = static_cast<uint16_t>(port);
    c.address = ResolveHostName(host, nullptr);
    if (c.address == 0) return false;
    out = c;
    return true;
}

bool LoadProxyConfigFromEnvironment(QNetServices& net) {
    const char* text = std::getenv("LANTERNFISH_PROXY");
    if (!text) return true;
    QProxyConfig c;
    if (const char* t = std::getenv("LANTERNFISH_PROXY_TIMEOUT")) c.timeoutSeconds = std::atoi(t);
    if (!ParseProxyAddress(text, c)) {
        EngineLog::Printf(38, "Invalid proxy setting: %s", text);
        return false;
    }
    net.SetProxyConfig(c);
    return true;
}

}  // namespace lf
