#include "engine/net/NameResolve.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "engine/net/NetServices.h"

namespace lf {

namespace {

// One lookup in flight: shared by the caller and its worker, so that a
// worker finishing after the caller gave up writes into an object nobody
// reads any more and frees it.
struct LookupSlot {
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    int error = kLookupOk;
    std::vector<uint32_t> addresses;
};

int MapLookupError(int rc) {
    switch (rc) {
        case EAI_NONAME:
            return kLookupHostNotFound;
#ifdef EAI_NODATA
        case EAI_NODATA:
            return kLookupNoData;
#endif
#ifdef EAI_ADDRFAMILY
        case EAI_ADDRFAMILY:
            return kLookupNoData;
#endif
        default:
            return kLookupTryAgain;
    }
}

void RunLookup(const std::string& host, const std::shared_ptr<LookupSlot>& slot) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    int rc = getaddrinfo(host.c_str(), nullptr, &hints, &res);
    std::vector<uint32_t> found;
    int error = kLookupOk;
    if (rc != 0) {
        error = MapLookupError(rc);
    } else {
        for (addrinfo* p = res; p; p = p->ai_next) {
            if (p->ai_family != AF_INET || p->ai_addrlen < sizeof(sockaddr_in)) continue;
            uint32_t a = reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
            bool seen = false;
            for (uint32_t f : found) seen = seen || f == a;
            if (!seen) found.push_back(a);
        }
        freeaddrinfo(res);
        if (found.empty()) error = kLookupNoData;
    }
    std::lock_guard<std::mutex> g(slot->lock);
    slot->error = error;
    slot->addresses = std::move(found);
    slot->finished = true;
    slot->done.notify_all();
}

uint64_t NowMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

}  // namespace

uint32_t ParseDottedAddress(const std::string& text) {
    uint32_t octets[4] = {0, 0, 0, 0};
    size_t i = 0;
    int count = 0;
    bool anyDigit = false;
    while (count < 4) {
        uint32_t v = 0;
        size_t start = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            v = v * 10 + static_cast<uint32_t>(text[i] - '0');
            if (v > 255) return 0;
            ++i;
        }
        if (i > start) anyDigit = true;
        octets[count++] = v;
        if (i < text.size() && text[i] == '.')
            ++i;
        else
            break;
    }
    if (!anyDigit) return 0;
    uint32_t host = (octets[0] << 24) | (octets[1] << 16) | (octets[2] << 8) | octets[3];
    if (host == 0) return 0;
    return htonl(host);
}

std::string DottedAddress(uint32_t addressNet) {
    char buf[INET_ADDRSTRLEN] = {0};
    in_addr a{};
    a.s_addr = addressNet;
    inet_ntop(AF_INET, &a, buf, sizeof(buf));
    return buf;
}

int LookupHostTimed(const std::string& host, int timeoutMs, std::vector<uint32_t>& out) {
    out.clear();
    if (host.empty()) return kLookupHostNotFound;
    auto slot = std::make_shared<LookupSlot>();
    try {
        std::thread([host, slot] { RunLookup(host, slot); }).detach();
    } catch (...) {
        return kLookupTryAgain;
    }
    std::unique_lock<std::mutex> g(slot->lock);
    if (!slot->done.wait_for(g, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs),
                             [&] { return slot->finished; }))
        return kLookupTimedOut;
    out = slot->addresses;
    return slot->error;
}

struct QNameLookup::Slot : LookupSlot {};

QNameLookup::QNameLookup() = default;
QNameLookup::~QNameLookup() = default;

void QNameLookup::Start(const std::string& host, int timeoutMs) {
    m_addresses.clear();
    m_error = kLookupOk;
    m_state = kPending;
    m_deadlineMs = NowMs() + static_cast<uint64_t>(timeoutMs < 0 ? 0 : timeoutMs);
    m_slot = std::make_shared<Slot>();
    if (host.empty()) {
        m_slot.reset();
        m_error = kLookupHostNotFound;
        m_state = kFinished;
        return;
    }
    try {
        std::shared_ptr<LookupSlot> slot = m_slot;
        std::thread([host, slot] { RunLookup(host, slot); }).detach();
    } catch (...) {
        m_slot.reset();
        m_error = kLookupTryAgain;
        m_state = kFinished;
    }
}

QNameLookup::State QNameLookup::Poll() {
    if (m_state != kPending) return m_state;
    {
        std::lock_guard<std::mutex> g(m_slot->lock);
        if (m_slot->finished) {
            m_error = m_slot->error;
            m_addresses = m_slot->addresses;
            m_state = kFinished;
        }
    }
    if (m_state == kPending && NowMs() >= m_deadlineMs) {
        m_error = kLookupTimedOut;
        m_state = kFinished;
    }
    if (m_state == kFinished) m_slot.reset();
    return m_state;
}

uint32_t ResolveHostName(const std::string& host, QNetServices* net, int* error) {
    if (error) *error = kLookupOk;
    if (host.empty()) {
        if (error) *error = kLookupHostNotFound;
        return 0;
    }
    if (host[0] >= '0' && host[0] <= '9') {
        bool dotted = true;
        for (char c : host) dotted = dotted && ((c >= '0' && c <= '9') || c == '.');
        uint32_t a = dotted ? ParseDottedAddress(host) : 0;
        if (a) return a;
    }
    if (net && net->IsFailedName(host)) {
        if (error) *error = kLookupHostNotFound;
        return 0;
    }
    std::vector<uint32_t> found;
    int rc = LookupHostTimed(host, LookupTimeoutMs(net), found);
    if (error) *error = rc;
    if (net && (rc == kLookupHostNotFound || rc == kLookupNoData)) net->AddFailedName(host);
    if (rc != kLookupOk || found.empty()) return 0;
    return found.front();
}

bool IsPrivateAddress(uint32_t addressNet) {
    uint32_t h = ntohl(addressNet);
    uint32_t a = h >> 24, b = (h >> 16) & 0xff;
    if (a <= 6 || a == 10 || a == 127) return true;
    if (a == 192 && b == 168) return true;
    if (a == 169 && b == 254) return true;
    if (a == 172 && b >= 16 && b <= 31) return true;
    return false;
}

uint32_t ChooseLocalAddress() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return 0;
    uint32_t lastPublic = 0, last = 0;
    for (ifaddrs* p = list; p; p = p->ifa_next) {
        if (!p->ifa_addr || p->ifa_addr->sa_family != AF_INET) continue;
        uint32_t a = reinterpret_cast<sockaddr_in*>(p->ifa_addr)->sin_addr.s_addr;
        if (a == 0) continue;
        last = a;
        if (!IsPrivateAddress(a)) lastPublic = a;
    }
    freeifaddrs(list);
    return lastPublic ? lastPublic : last;
}

std::vector<std::string> DnsServers() {
    std::vector<std::string> out;
    std::ifstream in("/etc/resolv.conf");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string key, value;
        if (words >> key >> value && key == "nameserver") out.push_back(value);
    }
    return out;
}

}  // namespace lf
