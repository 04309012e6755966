// TPeerId: the description of one source of a task, made from its address
// text:
//   "http://host[:port]/path"                         HTTP server (kind 2)
//   "ftp://[user[:password]@]host[:port]/path"        FTP server (kind 4)
//   "tracker://" + announce address                   tracker (kind 8), e.g.
//       "tracker://udp://t.example:6969", "tracker://http://t/announce?x=1"
//   "btnode://a.b.c.d:port"                           BitTorrent peer (kind 1)
// Parse() normalises the text (HTTP addresses are percent-encoded, others
// percent-decoded; '\' becomes '/'), splits it into its parts and resolves
// the host under a time limit (3 s by default, QNetServices in NetServices.h).
// SameSource() decides whether two descriptions name the same source.
//
// A task keeps its sources as TPeerId objects (reference-counted, used on the
// task thread only). The fields are public: the task and the source objects
// keep the retry and penalty state in them.
//
// Addresses are IPv4 in network byte order; ports in host order.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/base/RefObject.h"

namespace lf {

class QNameLookup;
class QNetServices;

// Source kinds (bit values, combined into masks).
enum TSourceKind : int {
    kSourceNone = 0,
    kSourceBitTorrent = 1,
    kSourceHttp = 2,
    kSourceFtp = 4,
    kSourceTracker = 8,
};

// Statistics events of the sources (event code, text), e.g. "11500106" for
// the first failed name lookup. The application connects the statistics
// upload here; the default drops the events.
using TSourceEventSink = void (*)(const char* code, const char* text);
void SetSourceEventSink(TSourceEventSink sink);

// Extra fields of HTTP, FTP and tracker sources.
struct TPeerDetails {
    bool wholeDocument = false;  // fetch the whole document into `body`
    bool redirected = false;
    bool done = false;
    int redirectCount = 0;
    int64_t reportedSize = -1;  // size the server reported; -1 unknown
    std::string hostName;
    std::string referer;
    std::string user;
    std::string password;
    std::string scheme;  // "http", "ftp", or the tracker's scheme ("udp", "http", "tcp")
    std::string path;    // "/" when the address has none
    std::string query;   // trackers: the text after '?'
    std::string body;    // whole-document contents
    std::string fileName;
    std::string lastRedirect;
};

class TPeerId : public TRefObject {
public:
    // Retry marks: sources from the release's list, redirect targets (and
    // list sources after their first successful HTTP response), others.
    static constexpr int kRetryListed = 29;
    static constexpr int kRetryRedirect = 28;
    static constexpr int kRetryDefault = 1;
    // Priority groups of the task's candidates beside the server groups
    // (28, 29): BitTorrent peers (at least 19) and LAN peers.
    static constexpr int kRetryPeer = 19;
    static constexpr int kRetryLan = 35;
    // Longest address text kept after decoding.
    static constexpr size_t kMaxAddressBytes = 4096;
    // The FTP password used when the address names no user.
    static const char* const kGuestPassword;

    explicit TPeerId(const std::string& address = std::string());

    // Normalises `address` and fills the fields; never looks a name up. A
    // dotted host address is taken at once (parsed set); a host name leaves
    // the source `resolving` until Resolution finishes. False for another
    // prefix, an invalid dotted address or port, or a tracker scheme other
    // than http, tcp or udp.
    bool Parse();
    // Parse without the host: normalises the text and fills kind, port, the
    // details and (kind 1) the address.
    bool ParseText();

    enum ResolveState { kResolved, kResolving, kResolveFailed };
    // One step of the host name's lookup, never blocking: starts it, or
    // looks whether it has finished. kResolved fills the address and the
    // alternates (parsed set); kResolveFailed sets lookupFailed (a "host not
    // found" or "no data" failure enters the failed-name set; the first
    // failure since start or since the last success is reported as event
    // "11500106"). Without a name being resolved it answers the state of the
    // last Parse. `net` gives the time limit and the failed-name set (none:
    // the default limit, no set).
    ResolveState Resolution(QNetServices* net);
    // Parse, then waits for the lookup (tools and tests): the old
    // synchronous behaviour.
    bool ParseAndWait(QNetServices* net = nullptr);
    // The same source: the same object, or the same kind and, for kind 1 the
    // same address and port or the same (nonzero) peer id, for kind 8 the
    // same address, port and transport, for kinds 2 and 4 the same address
    // text ignoring case.
    bool SameSource(const TPeerId& other) const;
    // The simpler test used when penalising or removing a source: kind 1
    // pairs by address and port, other pairs by address text ignoring case;
    // either way the IPv4 addresses must be equal.
    bool SameAddress(const TPeerId& other) const;
    // Adds max(1, seconds) to the waiting time.
    void Penalise(int seconds);
    // A first successful HTTP response lowers the retry mark 29 to 28.
    void OnFirstSuccess();

    // Resolves a host: a text of digits and dots is read as a dotted address
    // (1 when valid, else 0 and a log line); otherwise a timed lookup that
    // appends every address and answers their count, or -1 when it failed
    // (a "host not found" or "no data" failure enters the failed-name set;
    // the first failure since start or since the last success is reported
    // as event "11500106"). `net` as for Resolution.
    static int Resolve(const std::string& host, std::vector<uint32_t>& addresses,
                       QNetServices* net);
    // HTTP encoding: every byte at or below 0x20 or at or above 0x80 becomes
    // '%' and two lower-case hex digits.
    static std::string EncodeAddress(const std::string& text);
    // Percent-decoding: "%XY" becomes that byte (a non-hex digit counts as
    // 0); a '%' with fewer than two bytes after it, or a decoded zero byte,
    // ends the text; at most kMaxAddressBytes bytes.
    static std::string DecodeAddress(const std::string& text);
    static std::string DecodeFileName(const std::string& text);

    // Fields.
    std::string address;          // address text (normalised by Parse)
    int kind = kSourceNone;       // TSourceKind
    uint32_t ipv4 = 0xffffffffu;  // resolved address; 0xffffffff none
    uint16_t port = 0;
    std::vector<uint32_t> alternates;  // further addresses of the lookup
    bool parsed = false;
    bool resolving = false;  // the host name is being looked up
    bool lookupFailed = false;
    int waitingSeconds = 0;  // penalty time before the next use
    int retryMark = kRetryDefault;
    int priorityMark = 0;                   // 1 for whole-document sources from the list
    int useCount = 0;                       // source objects using this source
    int requestCount = 0;                   // requests made to the source
    uint8_t peerId[20] = {0};               // BitTorrent peer id
    int trackerTransport = 0;               // kind 8: 1 HTTP ("http", "tcp"), 0 UDP
    std::unique_ptr<TPeerDetails> details;  // kinds 2, 4 and 8

    // Candidate state kept by the task (retryMark is the priority group:
    // 28 or 29 for server and tracker addresses, 19 and up for peers).
    int failures = 0;
    int connectionsMade = 0;
    int allowedConnections = 1;
    int piecesHashed = 0;
    int failedPieces = 0;
    int64_t deliveredBytes = 0;  // payload stored from this source, all connections
    int64_t lastConnectTime = 0;
    bool metadataSource = false;
    bool givenUp = false;
    bool fromMirrorPool = false;

protected:
    ~TPeerId() override;

private:
    bool ParseHttp(size_t start);
    bool ParseFtp(size_t start);
    bool ParseTracker(size_t start);
    bool ParseNode(size_t start);
    // Takes a finished lookup's answer (Resolve's rules for addresses).
    ResolveState FinishLookup(QNetServices* net);

    std::unique_ptr<QNameLookup> m_lookup;
};

// Re-arms the "11500106" report (as a successful lookup does); for tests.
void ResetSourceLookupReport();

}  // namespace lf
