// Proxy handshakes as pure functions over bytes: the requests a connection
// sends to an HTTP tunnel (CONNECT), a SOCKS4/SOCKS4A or a SOCKS5 proxy, and
// the parsers of their replies. No I/O here: QConnection (Connection.h)
// drives the steps; the fuzz target and the tests call these directly.
//
// Every parser takes the bytes received so far (from the first byte of the
// reply) and answers whether the reply is complete, how long it is (the
// bytes after it belong to the target) and whether it lets the connection
// through. Feeding the same reply in any chunking gives the same answer once
// the last chunk is in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace lf {

// Proxy types as stored in the configuration.
enum ProxyType : int {
    kProxyNone = 0,
    kProxyHttp = 1,  // HTTP proxy: CONNECT tunnel, or plain forwarding
    kProxySocks4 = 2,
    kProxySocks5 = 3,
    kProxySocks4a = 4,
};

struct ProxyReply {
    enum Status {
        kNeedMore,   // incomplete: wait for more bytes
        kOk,         // complete and accepted; `length` bytes belong to the reply
        kRejected,   // a well-formed refusal; `code` holds the status
        kMalformed,  // not a reply of this protocol (or beyond the size limits)
    };
    Status status = kNeedMore;
    size_t length = 0;
    int code = 0;  // HTTP status, SOCKS4 result byte, SOCKS5 reply/method byte
};

// Longest HTTP reply header accepted before the reply counts as malformed,
// and the largest body that may come with a CONNECT reply.
constexpr size_t kMaxProxyHeaderBytes = 16384;
constexpr size_t kMaxProxyBodyBytes = 65536;

// HTTP proxy reply: waits for the header end (CR LF CR LF or LF LF). The
// first line is split into three blank-separated words of up to 50 bytes;
// the status (second word) must begin with "20". The length is the header
// plus the Content-Length body, and the parser waits until that body is in.
ProxyReply ParseHttpProxyReply(const uint8_t* data, size_t size);
// SOCKS4/SOCKS4A reply: 8 bytes, version byte 0, result 90 = granted.
ProxyReply ParseSocks4Reply(const uint8_t* data, size_t size);
// SOCKS5 method choice (2 bytes): the second byte must be 0 without
// credentials, 2 with.
ProxyReply ParseSocks5MethodReply(const uint8_t* data, size_t size, bool withCredentials);
// SOCKS5 user/password status (2 bytes): the second byte must be 0.
ProxyReply ParseSocks5AuthReply(const uint8_t* data, size_t size);
// SOCKS5 connect reply: reply byte 0, then address type 1 (10 bytes in all)
// or 3 (name length + 7); other types are refused as malformed.
ProxyReply ParseSocks5ConnectReply(const uint8_t* data, size_t size);

// The HTTP proxy request: method (empty = "CONNECT"), a blank, the target
// text (e.g. "host:port HTTP/1.1\r\n"), an optional
// "Proxy-Authorization: Basic ..." line when a user is set, an optional
// "Domain: " line, and the final CR LF.
std::string BuildHttpProxyRequest(const std::string& method, const std::string& targetText,
                                  const std::string& user, const std::string& password,
                                  const std::string& domain);
// Target text of an HTTP tunnel: host ":" port " HTTP/1.1" CR LF.
std::string HttpProxyTargetText(const std::string& host, uint16_t port);

// SOCKS4 connect to an IPv4 address (network order), empty user id: 9 bytes.
std::string BuildSocks4Request(uint32_t addressNet, uint16_t port);
// SOCKS4A connect by name: address 0.0.0.1, empty user id, the name and its
// zero. Empty when the name is empty or longer than 255 bytes.
std::string BuildSocks4aRequest(const std::string& host, uint16_t port);
// SOCKS5 greeting offering one method: 0 (none) or 2 (user/password).
std::string BuildSocks5Greeting(bool withCredentials);
// SOCKS5 user/password sub-negotiation. Empty when a field exceeds 255 bytes.
std::string BuildSocks5Auth(const std::string& user, const std::string& password);
// SOCKS5 connect by IPv4 address (10 bytes) or by name (empty when the name
// is empty or longer than 255 bytes).
std::string BuildSocks5ConnectAddress(uint32_t addressNet, uint16_t port);
std::string BuildSocks5ConnectName(const std::string& host, uint16_t port);

}  // namespace lf
