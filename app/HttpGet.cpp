#include "app/HttpGet.h"

#include <curl/curl.h>

#include <cstdio>
#include <mutex>

namespace lfapp {
namespace {

struct Sink {
    std::string* body;
    bool overflow = false;
};

size_t Append(char* data, size_t size, size_t count, void* user) {
    Sink* sink = static_cast<Sink*>(user);
    size_t bytes = size * count;
    if (sink->body->size() + bytes > kHttpGetMaxBody) {
        sink->overflow = true;
        return 0;  // makes libcurl end the transfer with a write error
    }
    sink->body->append(data, bytes);
    return bytes;
}

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

}  // namespace

HttpResult HttpGet(const std::string& url, long timeoutSeconds) {
    HttpResult result;
    GlobalInit();
    CURL* curl = curl_easy_init();
    if (!curl) {
        // A failed handle only fails this fetch; the download goes on.
        std::fprintf(stderr, "Failed to create CURL connection\n");
        result.error = "Connection initializion failed\n";
        return result;
    }
    char errorBuffer[CURL_ERROR_SIZE] = {0};
    Sink sink{&result.body};
    const char* failed = nullptr;

    if (curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer) != CURLE_OK) {
        std::fprintf(stderr, "Failed to set error buffer [%d]\n", 0);
        failed = "";
    } else if (curl_easy_setopt(curl, CURLOPT_URL, url.c_str()) != CURLE_OK) {
        failed = "Failed to set URL [%s]\n";
    } else if (curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L) != CURLE_OK) {
        failed = "Failed to set redirect option [%s]\n";
    } else if (curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Append) != CURLE_OK) {
        failed = "Failed to set writer [%s]\n";
    } else if (curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink) != CURLE_OK) {
        failed = "Failed to set write data [%s]\n";
    } else if (url.rfind("https", 0) == 0 &&
               curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L) != CURLE_OK) {
        failed = "Failed to set peer verification option [%s]\n";
    } else if (url.rfind("https", 0) == 0 &&
               curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L) != CURLE_OK) {
        failed = "Failed to set host verification option [%s]\n";
    }
    if (!failed) {
        // Not options of the original routine, so their failure is not fatal:
        // a whole-transfer timeout when asked, no signals (we run on worker
        // threads), and no protocols beyond http and https across redirects.
        if (timeoutSeconds > 0) curl_easy_setopt(curl, CURLOPT_TIMEOUT, timeoutSeconds);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    }
    if (failed) {
        if (*failed) std::fprintf(stderr, failed, errorBuffer);
        result.error = "Connection initializion failed\n";
        curl_easy_cleanup(curl);
        return result;
    }

    CURLcode code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
    if (code == CURLE_OK && !(result.status >= 400 && result.status <= 599)) {
        result.ok = true;
    } else {
        std::string why = errorBuffer[0]     ? errorBuffer
                          : sink.overflow    ? "answer too large"
                          : code != CURLE_OK ? curl_easy_strerror(code)
                                             : "HTTP status " + std::to_string(result.status);
        std::fprintf(stderr, "lanternfish: cannot fetch %s: %s\n", url.c_str(), why.c_str());
        result.error += "Failed to get ";
        result.error += url;
        result.body.clear();
    }
    curl_easy_cleanup(curl);
    return result;
}

}  // namespace lfapp
