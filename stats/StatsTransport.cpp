#include "stats/StatsTransport.h"

#include <curl/curl.h>

#include <mutex>

namespace lfstats {

namespace {

constexpr size_t kResponseLimit = 1 << 20;

size_t Collect(char* data, size_t size, size_t count, void* user) {
    auto* out = static_cast<std::string*>(user);
    const size_t n = size * count;
    if (out->size() + n > kResponseLimit) return 0;  // aborts an endless answer
    out->append(data, n);
    return n;
}

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

PostResult PostForm(const std::string& url, const std::string& body,
                    std::chrono::milliseconds timeout) {
    GlobalInit();
    PostResult result;
    CURL* curl = curl_easy_init();
    if (curl == nullptr) return result;
    const long ms = static_cast<long>(timeout.count());
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, ms);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, ms);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &result.response);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    // An "Expect: 100-continue" round would cost a second on servers that
    // ignore it; the batches are small.
    curl_slist* headers = curl_slist_append(nullptr, "Expect:");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    CURLcode rc = curl_easy_perform(curl);
    if (rc == CURLE_OK) {
        result.transferred = true;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return result;
}

}  // namespace lfstats
