#include "engine/sources/PeerId.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "common/Text.h"
#include "engine/log/LogApi.h"
#include "engine/net/NameResolve.h"
#include "engine/net/NetServices.h"

namespace lf {

namespace {

void NoEvent(const char*, const char*) {}

std::atomic<TSourceEventSink> g_eventSink{&NoEvent};
// Armed at start and after every successful lookup: the next failure is
// reported once.
std::atomic<bool> g_reportArmed{true};

bool StartsWithNoCase(const std::string& text, size_t at, const char* prefix) {
    return at <= text.size() && lf::StartsWithNoCase(std::string_view(text).substr(at), prefix);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

// Decimal port 1..65535 made of digits only.
bool ParsePort(const std::string& text, uint16_t& port) {
    if (text.empty() || text.size() > 5) return false;
    unsigned v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (v == 0 || v > 65535) return false;
    port = static_cast<uint16_t>(v);
    return true;
}

// "host[:port]" into its parts; the default port when there is no ':'.
bool SplitHostPort(const std::string& hostPart, uint16_t defaultPort, std::string& host,
                   uint16_t& port) {
    size_t colon = hostPart.find(':');
    host = hostPart.substr(0, colon);
    if (colon == std::string::npos) {
        port = defaultPort;
        return true;
    }
    return ParsePort(hostPart.substr(colon + 1), port);
}

void ReportLookupFailure(int error, const std::string& host) {
    if (!g_reportArmed.exchange(false)) return;
    char head[512];
    std::snprintf(head, sizeof(head), "ErrCode : (%lu) Host : (%s) ",
                  static_cast<unsigned long>(error), host.substr(0, 300).c_str());
    std::string text = head;
    std::vector<std::string> dns = DnsServers();
    if (dns.empty()) {
        text += ", no DNS";
    } else {
        for (size_t i = 0; i < dns.size(); ++i)
            text += (i == 0 ? ", DNS : (" : ", 备用 DNS : (") + dns[i] + ")";
    }
    g_eventSink.load()("11500106", text.c_str());
}

}  // namespace

const char* const TPeerId::kGuestPassword = "guest@lanternfish.invalid";

void SetSourceEventSink(TSourceEventSink sink) {
    g_eventSink.store(sink ? sink : &NoEvent);
}

void ResetSourceLookupReport() {
    g_reportArmed.store(true);
}

TPeerId::TPeerId(const std::string& text) : address(text) {}

std::string TPeerId::EncodeAddress(const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c <= 0x20 || c >= 0x80) {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

std::string TPeerId::DecodeAddress(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size() && out.size() < kMaxAddressBytes; ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size()) break;
            c = static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
            i += 2;
        }
        if (c == '\0') break;
        out.push_back(c);
    }
    return out;
}

std::string TPeerId::DecodeFileName(const std::string& text) {
    // The system's narrow encoding is UTF-8: no conversion after decoding.
    return DecodeAddress(text);
}

int TPeerId::Resolve(const std::string& host, std::vector<uint32_t>& addresses, QNetServices* net) {
    bool dotted = true;
    for (char c : host) dotted = dotted && ((c >= '0' && c <= '9') || c == '.');
    if (dotted) {
        uint32_t a = ParseDottedAddress(host);
        if (a == 0) {
            EngineLog::Printf(13, "无效 IP: %s", host.c_str());
            return 0;
        }
        addresses.push_back(a);
        return 1;
    }
    std::vector<uint32_t> found;
    int error = LookupHostTimed(host, LookupTimeoutMs(net), found);
    if (error == kLookupOk) {
        int added = 0;
        for (uint32_t a : found) {
            if (a == 0 || a == 0xffffffffu) continue;
            addresses.push_back(a);
            ++added;
        }
        g_reportArmed.store(true);
        return added;
    }
    if (net && (error == kLookupHostNotFound || error == kLookupNoData)) net->AddFailedName(host);
    ReportLookupFailure(error, host);
    EngineLog::Printf(13, "Invalid Host: %s", host.c_str());
    return -1;
}

TPeerId::~TPeerId() = default;

bool TPeerId::Parse() {
    m_lookup.reset();
    resolving = false;
    if (!ParseText()) return false;
    if (kind != kSourceBitTorrent) {
        const std::string& host = details->hostName;
        bool dotted = true;  // an empty host counts as an invalid dotted address
        for (char c : host) dotted = dotted && ((c >= '0' && c <= '9') || c == '.');
        if (!dotted) {
            resolving = true;
            return true;
        }
        std::vector<uint32_t> found;
        if (Resolve(host, found, nullptr) <= 0) {  // a dotted address: no lookup
            ipv4 = 0xffffffffu;
            return false;
        }
        ipv4 = found[0];
    }
    parsed = true;
    return true;
}

TPeerId::ResolveState TPeerId::Resolution(QNetServices* net) {
    if (!resolving) return parsed ? kResolved : kResolveFailed;
    if (!m_lookup) {
        m_lookup = std::make_unique<QNameLookup>();
        m_lookup->Start(details->hostName, LookupTimeoutMs(net));
    }
    if (m_lookup->Poll() == QNameLookup::kPending) return kResolving;
    return FinishLookup(net);
}

TPeerId::ResolveState TPeerId::FinishLookup(QNetServices* net) {
    resolving = false;
    const int error = m_lookup->Error();
    std::vector<uint32_t> found;
    if (error == kLookupOk) {
        for (uint32_t a : m_lookup->Addresses())
            if (a != 0 && a != 0xffffffffu) found.push_back(a);
        g_reportArmed.store(true);
    } else {
        const std::string& host = details->hostName;
        if (net && (error == kLookupHostNotFound || error == kLookupNoData))
            net->AddFailedName(host);
        ReportLookupFailure(error, host);
        EngineLog::Printf(13, "Invalid Host: %s", host.c_str());
        lookupFailed = true;
    }
    m_lookup.reset();
    if (found.empty()) {
        ipv4 = 0xffffffffu;
        return kResolveFailed;
    }
    ipv4 = found[0];
    alternates.assign(found.begin() + 1, found.end());
    parsed = true;
    return kResolved;
}

bool TPeerId::ParseAndWait(QNetServices* net) {
    if (!Parse()) return false;
    ResolveState state;
    while ((state = Resolution(net)) == kResolving)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return state == kResolved;
}

bool TPeerId::ParseText() {
    kind = kSourceNone;
    ipv4 = 0xffffffffu;
    port = 0;
    alternates.clear();
    parsed = false;
    lookupFailed = false;
    trackerTransport = 0;

    for (char& c : address)
        if (c == '\\') c = '/';
    if (StartsWithNoCase(address, 0, "http://"))
        address = EncodeAddress(address);
    else
        address = DecodeAddress(address);

    bool ok;
    size_t schemeEnd;
    if (StartsWithNoCase(address, 0, "ftp://")) {
        schemeEnd = 6;
        ok = ParseFtp(schemeEnd);
    } else if (StartsWithNoCase(address, 0, "http://")) {
        schemeEnd = 7;
        ok = ParseHttp(schemeEnd);
    } else if (StartsWithNoCase(address, 0, "tracker://")) {
        schemeEnd = 10;
        ok = ParseTracker(schemeEnd);
    } else if (StartsWithNoCase(address, 0, "btnode://")) {
        schemeEnd = 9;
        ok = ParseNode(schemeEnd);
    } else {
        return false;
    }
    if (!ok) return false;
    if (kind == kSourceHttp || kind == kSourceFtp) {
        size_t slash = address.find('/', schemeEnd);
        if (slash != std::string::npos) {
            std::string name = address.substr(address.rfind('/') + 1);
            details->fileName = kind == kSourceHttp ? DecodeFileName(name) : name;
        }
    }
    return true;
}

bool TPeerId::ParseHttp(size_t start) {
    kind = kSourceHttp;
    if (!details) details = std::make_unique<TPeerDetails>();
    details->scheme = "http";
    size_t slash = address.find('/', start);
    std::string hostPart =
        address.substr(start, slash == std::string::npos ? slash : slash - start);
    details->path = slash == std::string::npos ? std::string("/") : address.substr(slash);
    details->query.clear();
    return SplitHostPort(hostPart, 80, details->hostName, port);
}

bool TPeerId::ParseFtp(size_t start) {
    kind = kSourceFtp;
    if (!details) details = std::make_unique<TPeerDetails>();
    details->scheme = "ftp";
    details->query.clear();
    std::string rest = address.substr(start);
    size_t at = rest.find('@');
    if (at == std::string::npos) {
        details->user = "anonymous";
        details->password = kGuestPassword;
    } else {
        std::string cred = rest.substr(0, at);
        size_t colon = cred.find(':');
        details->user = cred.substr(0, colon);
        details->password = colon == std::string::npos ? std::string() : cred.substr(colon + 1);
        rest = rest.substr(at + 1);
    }
    size_t slash = rest.find('/');
    std::string hostPart = rest.substr(0, slash);
    details->path = slash == std::string::npos ? std::string("/") : rest.substr(slash);
    return SplitHostPort(hostPart, 21, details->hostName, port);
}

bool TPeerId::ParseTracker(size_t start) {
    kind = kSourceTracker;
    if (!details) details = std::make_unique<TPeerDetails>();
    details->hostName.clear();
    details->path.clear();
    details->query.clear();
    port = 0;
    size_t sep = address.find("://", start);
    if (sep == std::string::npos) return false;
    details->scheme = address.substr(start, sep - start);
    if (StartsWithNoCase(details->scheme, 0, "http") || StartsWithNoCase(details->scheme, 0, "tcp"))
        trackerTransport = 1;
    else if (StartsWithNoCase(details->scheme, 0, "udp"))
        trackerTransport = 0;
    else
        return false;
    std::string rest = address.substr(sep + 3);
    size_t slash = rest.find('/');
    if (slash == std::string::npos) {
        details->path = "/";
        return SplitHostPort(rest, 80, details->hostName, port);
    }
    if (!SplitHostPort(rest.substr(0, slash), 80, details->hostName, port)) return false;
    std::string pathQuery = rest.substr(slash);
    size_t q = pathQuery.find('?');
    details->path = pathQuery.substr(0, q);
    if (q != std::string::npos) details->query = pathQuery.substr(q + 1);
    return true;
}

bool TPeerId::ParseNode(size_t start) {
    kind = kSourceBitTorrent;
    std::string rest = address.substr(start);
    size_t colon = rest.find(':');
    std::string host = rest.substr(0, colon);
    bool dotted = !host.empty();
    for (char c : host) dotted = dotted && ((c >= '0' && c <= '9') || c == '.');
    uint32_t a = dotted ? ParseDottedAddress(host) : 0;
    if (a == 0) return false;
    ipv4 = a;
    if (colon == std::string::npos) return false;
    return ParsePort(rest.substr(colon + 1), port);
}

bool TPeerId::SameSource(const TPeerId& other) const {
    if (this == &other) return true;
    if (kind != other.kind) return false;
    static const uint8_t kNoId[20] = {0};
    switch (kind) {
        case kSourceBitTorrent:
            if (ipv4 == other.ipv4 && port == other.port) return true;
            return std::memcmp(peerId, kNoId, 20) != 0 &&
                   std::memcmp(peerId, other.peerId, 20) == 0;
        case kSourceTracker:
            return ipv4 == other.ipv4 && port == other.port &&
                   trackerTransport == other.trackerTransport;
        case kSourceHttp:
        case kSourceFtp:
            return EqualNoCase(address, other.address);
        default:
            return false;
    }
}

bool TPeerId::SameAddress(const TPeerId& other) const {
    if (ipv4 != other.ipv4) return false;
    if (kind == kSourceBitTorrent && other.kind == kSourceBitTorrent) return port == other.port;
    return EqualNoCase(address, other.address);
}

void TPeerId::Penalise(int seconds) {
    waitingSeconds += seconds < 1 ? 1 : seconds;
}

void TPeerId::OnFirstSuccess() {
    if (retryMark == kRetryListed) retryMark = kRetryRedirect;
}

}  // namespace lf
