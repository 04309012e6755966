// Feeds arbitrary bytes to the proxy reply parsers. The first byte picks
// the parser; the rest is the reply as received so far.
#include <cstddef>
#include <cstdint>

#include "engine/net/ProxyProtocol.h"

using namespace lf;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t* reply = data + 1;
    size_t n = size - 1;
    ProxyReply r;
    switch (data[0] % 6) {
        case 0:
            r = ParseHttpProxyReply(reply, n);
            break;
        case 1:
            r = ParseSocks4Reply(reply, n);
            break;
        case 2:
            r = ParseSocks5MethodReply(reply, n, false);
            break;
        case 3:
            r = ParseSocks5MethodReply(reply, n, true);
            break;
        case 4:
            r = ParseSocks5AuthReply(reply, n);
            break;
        default:
            r = ParseSocks5ConnectReply(reply, n);
            break;
    }
    // A complete reply never claims more bytes than were given, nor none.
    if (r.status == ProxyReply::kOk && (r.length == 0 || r.length > n)) __builtin_trap();
    // An accepted reply is accepted the same way when more bytes follow it.
    if (r.status == ProxyReply::kOk && data[0] % 6 == 0) {
        ProxyReply again = ParseHttpProxyReply(reply, r.length);
        if (again.status != ProxyReply::kOk || again.length != r.length) __builtin_trap();
    }
    return 0;
}
