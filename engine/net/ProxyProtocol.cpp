#include "engine/net/ProxyProtocol.h"

#include <cstring>

#include "common/Base64.h"
#include "common/Text.h"
#include "engine/net/HttpHead.h"

namespace lf {

namespace {

ProxyReply Need() {
    return ProxyReply{ProxyReply::kNeedMore, 0, 0};
}
ProxyReply Ok(size_t length) {
    return ProxyReply{ProxyReply::kOk, length, 0};
}
ProxyReply Rejected(int code) {
    return ProxyReply{ProxyReply::kRejected, 0, code};
}
ProxyReply Malformed() {
    return ProxyReply{ProxyReply::kMalformed, 0, 0};
}

void AppendPort(std::string& out, uint16_t port) {
    out.push_back(static_cast<char>(port >> 8));
    out.push_back(static_cast<char>(port & 0xff));
}

void AppendAddress(std::string& out, uint32_t addressNet) {
    // The address is in network order: its bytes in memory are the octets.
    char b[4];
    std::memcpy(b, &addressNet, 4);
    out.append(b, 4);
}

}  // namespace

ProxyReply ParseHttpProxyReply(const uint8_t* data, size_t size) {
    const char* p = reinterpret_cast<const char*>(data);
    http::HeadScanner scanner(kMaxProxyHeaderBytes);
    switch (scanner.Scan(p, size)) {
        case http::HeadScanner::kNeedMore:
            return Need();
        case http::HeadScanner::kTooLong:
            return Malformed();
        case http::HeadScanner::kComplete:
            break;
    }
    const size_t headerLen = scanner.HeadBytes();

    // First line: three blank-separated words of up to 50 bytes each.
    std::string words[3];
    size_t i = 0;
    for (int w = 0; w < 3; ++w) {
        while (i < headerLen && p[i] == ' ') ++i;
        while (i < headerLen && p[i] != ' ' && p[i] != '\r' && p[i] != '\n') {
            if (words[w].size() < 50) words[w].push_back(p[i]);
            ++i;
        }
        if (i < headerLen && (p[i] == '\r' || p[i] == '\n')) break;
    }
    const std::string& status = words[1];
    bool numeric = status.size() == 3;
    for (char c : status) numeric = numeric && c >= '0' && c <= '9';
    if (status.compare(0, 2, "20") != 0 || status.size() < 2) {
        if (numeric) return Rejected(std::stoi(status));
        return Malformed();
    }

    // A body announced by "\nContent-Length:" before the header end belongs
    // to the reply as well.
    static const char kName[] = "\ncontent-length:";
    const size_t nameLen = sizeof(kName) - 1;
    size_t body = 0;
    for (size_t k = 0; k + nameLen <= headerLen; ++k) {
        size_t m = 0;
        while (m < nameLen && AsciiLower(p[k + m]) == kName[m]) ++m;
        if (m != nameLen) continue;
        size_t v = k + nameLen;
        while (v < headerLen && (p[v] == ' ' || p[v] == '\t')) ++v;
        bool any = false;
        while (v < headerLen && p[v] >= '0' && p[v] <= '9') {
            body = body * 10 + static_cast<size_t>(p[v] - '0');
            if (body > kMaxProxyBodyBytes) return Malformed();
            any = true;
            ++v;
        }
        if (!any) return Malformed();
        break;
    }
    size_t total = headerLen + body;
    if (size < total) return Need();
    ProxyReply r = Ok(total);
    r.code = numeric ? std::stoi(status) : 200;
    return r;
}

ProxyReply ParseSocks4Reply(const uint8_t* data, size_t size) {
    if (size >= 1 && data[0] != 0) return Malformed();
    if (size >= 2 && data[1] != 90) {
        // 91..93 are the protocol's refusals; anything else is not SOCKS4.
        if (data[1] >= 91 && data[1] <= 93) return Rejected(data[1]);
        return Malformed();
    }
    if (size < 8) return Need();
    ProxyReply r = Ok(8);
    r.code = 90;
    return r;
}

ProxyReply ParseSocks5MethodReply(const uint8_t* data, size_t size, bool withCredentials) {
    if (size < 2) return Need();
    uint8_t want = withCredentials ? 2 : 0;
    if (data[1] != want) {
        if (data[1] == 0xff || data[1] <= 2) return Rejected(data[1]);
        return Malformed();
    }
    return Ok(2);
}

ProxyReply ParseSocks5AuthReply(const uint8_t* data, size_t size) {
    if (size < 2) return Need();
    if (data[1] != 0) return Rejected(data[1]);
    return Ok(2);
}

ProxyReply ParseSocks5ConnectReply(const uint8_t* data, size_t size) {
    if (size >= 2 && data[1] != 0) {
        // 1..8 are the protocol's refusals.
        if (data[1] <= 8) return Rejected(data[1]);
        return Malformed();
    }
    if (size < 5) return Need();
    size_t length;
    if (data[3] == 3)
        length = static_cast<size_t>(data[4]) + 7;
    else if (data[3] == 1)
        length = 10;
    else
        return Malformed();
    if (size < length) return Need();
    return Ok(length);
}

std::string HttpProxyTargetText(const std::string& host, uint16_t port) {
    return host + ":" + std::to_string(port) + " HTTP/1.1\r\n";
}

std::string BuildHttpProxyRequest(const std::string& method, const std::string& targetText,
                                  const std::string& user, const std::string& password,
                                  const std::string& domain) {
    std::string out = method.empty() ? std::string("CONNECT") : method;
    out += " ";
    out += targetText;
    if (!user.empty()) {
        out += "Proxy-Authorization: Basic ";
        out += EncodeBase64(user + ":" + password);
        out += "\r\n";
    }
    if (!domain.empty()) {
        out += "Domain: ";
        out += domain;
        out += "\r\n";
    }
    out += "\r\n";
    return out;
}

std::string BuildSocks4Request(uint32_t addressNet, uint16_t port) {
    std::string out;
    out.push_back(4);
    out.push_back(1);
    AppendPort(out, port);
    AppendAddress(out, addressNet);
    out.push_back(0);  // empty user id
    return out;
}

std::string BuildSocks4aRequest(const std::string& host, uint16_t port) {
    if (host.empty() || host.size() > 255 || host.find('\0') != std::string::npos) return {};
    std::string out;
    out.push_back(4);
    out.push_back(1);
    AppendPort(out, port);
    out.append("\0\0\0\1", 4);
    out.push_back(0);  // empty user id
    out += host;
    out.push_back(0);
    return out;
}

std::string BuildSocks5Greeting(bool withCredentials) {
    std::string out;
    out.push_back(5);
    out.push_back(1);
    out.push_back(withCredentials ? 2 : 0);
    return out;
}

std::string BuildSocks5Auth(const std::string& user, const std::string& password) {
    if (user.size() > 255 || password.size() > 255) return {};
    std::string out;
    out.push_back(1);
    out.push_back(static_cast<char>(user.size()));
    out += user;
    out.push_back(static_cast<char>(password.size()));
    out += password;
    return out;
}

std::string BuildSocks5ConnectAddress(uint32_t addressNet, uint16_t port) {
    std::string out("\5\1\0\1", 4);
    AppendAddress(out, addressNet);
    AppendPort(out, port);
    return out;
}

std::string BuildSocks5ConnectName(const std::string& host, uint16_t port) {
    if (host.empty() || host.size() > 255) return {};
    std::string out("\5\1\0\3", 4);
    out.push_back(static_cast<char>(host.size()));
    out += host;
    AppendPort(out, port);
    return out;
}

}  // namespace lf
