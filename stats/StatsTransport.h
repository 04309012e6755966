// HTTP POST of a form-encoded statistics batch (libcurl).
#pragma once

#include <chrono>
#include <string>

namespace lfstats {

struct PostResult {
    bool transferred = false;  // a complete answer arrived
    long status = 0;           // HTTP status of the answer
    std::string response;      // the answer's body
};

// POSTs body as "application/x-www-form-urlencoded" to url. The connection
// and the whole transfer are each limited to timeout. No signals are used, so
// any thread may call it.
PostResult PostForm(const std::string& url, const std::string& body,
                    std::chrono::milliseconds timeout);

}  // namespace lfstats
