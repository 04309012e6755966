// Text formats of the statistics upload: the event body fragment with its
// delta figures, JSON string escaping and the form encoding of a batch.
// Pure functions on bytes; no I/O.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace lfstats {

// Identity strings every event body carries.
struct UploadIdentity {
    std::string gameId;
    std::string appVersion;
    std::string gameVersion;
    std::string channel;

    bool Complete() const { return !gameId.empty() && !appVersion.empty() && !gameVersion.empty(); }
};

// The figures of one report (ReportData's arguments without code and value).
struct UploadFigures {
    std::string serverAddress;
    std::string httpResult;
    uint32_t totalTime = 0;
    uint64_t totalBytes = 0;
    uint64_t averageSpeed = 0;
    std::string progress;
    uint64_t httpTotalBytes = 0;
    uint64_t httpAverageSpeed = 0;
    uint64_t p2pTotalBytes = 0;
    uint64_t p2pAverageSpeed = 0;
    uint32_t corruptPackageId = 0;
    std::string fileName;
    std::string url;
    std::string errorMessage;
};

// One running figure whose increase since the last non-zero report is sent.
// A zero value gives 0 and keeps the previous value; a non-zero value always
// becomes the new previous value, also when it is not larger.
class DeltaCounter {
public:
    uint64_t Next(uint64_t current);
    uint64_t Previous() const { return m_previous; }

private:
    uint64_t m_previous = 0;
};

struct UploadDeltas {
    uint64_t time = 0;
    uint64_t totalBytes = 0;
    uint64_t httpBytes = 0;
    uint64_t p2pBytes = 0;
};

// The four delta counters of the report function.
class UploadDeltaState {
public:
    UploadDeltas Next(const UploadFigures& figures);

private:
    DeltaCounter m_time;
    DeltaCounter m_total;
    DeltaCounter m_http;
    DeltaCounter m_p2p;
};

// Escapes a text for use between double quotes in JSON: quote, backslash and
// control bytes are escaped, every other byte passes unchanged.
std::string JsonEscape(std::string_view text);

// The body fragment: 23 members ",\"Key\":\"value\"" in their fixed order,
// without enclosing braces (the statistics component wraps it).
std::string BuildUploadBody(const UploadIdentity& identity, const UploadFigures& figures,
                            const UploadDeltas& deltas);

// Form encoding of a batch: ASCII letters and digits unchanged, a space as
// "_", every other byte as "%XX" with upper-case hex digits.
std::string FormEncode(std::string_view bytes);

}  // namespace lfstats
