// HTTP(S) GET of the resource list on libcurl (OpenSSL back end).
#pragma once

#include <string>

namespace lfapp {

struct HttpResult {
    bool ok = false;
    std::string body;
    std::string error;  // empty on success
    long status = 0;    // HTTP status, 0 when none was received
};

// Largest body HttpGet accepts; a longer answer fails the fetch.
inline constexpr size_t kHttpGetMaxBody = 8u << 20;

// GET url with redirects followed. timeoutSeconds > 0 bounds the whole
// transfer; 0 waits as long as the transfer lasts. For "https" URLs peer and
// host certificate checks are off (the resource list is public and signed by
// nobody). Only http and https are spoken, also across redirects.
//
// Success when the transfer ended without a libcurl error and the status is
// outside 400..599. Failures write "lanternfish: cannot fetch <url>: <reason>"
// (or the option that could not be set) to stderr; the error text is then
// "Failed to get <url>" or "Connection initializion failed\n".
HttpResult HttpGet(const std::string& url, long timeoutSeconds);

}  // namespace lfapp
