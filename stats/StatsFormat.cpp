#include "stats/StatsFormat.h"

#include <cinttypes>
#include <cstdio>

namespace lfstats {

uint64_t DeltaCounter::Next(uint64_t current) {
    if (current == 0) return 0;
    uint64_t delta = current > m_previous ? current - m_previous : 0;
    m_previous = current;
    return delta;
}

UploadDeltas UploadDeltaState::Next(const UploadFigures& figures) {
    UploadDeltas d;
    d.time = m_time.Next(figures.totalTime);
    d.totalBytes = m_total.Next(figures.totalBytes);
    d.httpBytes = m_http.Next(figures.httpTotalBytes);
    d.p2pBytes = m_p2p.Next(figures.p2pTotalBytes);
    return d;
}

std::string JsonEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

namespace {

void AddMember(std::string& out, const char* key, std::string_view value) {
    out += ",\"";
    out += key;
    out += "\":\"";
    out += JsonEscape(value);
    out += '"';
}

void AddNumber(std::string& out, const char* key, uint64_t value) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%" PRIu64, value);
    AddMember(out, key, buf);
}

}  // namespace

std::string BuildUploadBody(const UploadIdentity& identity, const UploadFigures& f,
                            const UploadDeltas& d) {
    std::string out;
    out.reserve(512 + f.fileName.size() + f.url.size() + f.errorMessage.size());
    AddMember(out, "DVersion", "1.8");
    AddMember(out, "GameID", identity.gameId);
    AddMember(out, "AppVersion", identity.appVersion);
    AddMember(out, "GVersion", identity.gameVersion);
    AddMember(out, "Dchannel", identity.channel);
    AddMember(out, "Serverip", f.serverAddress);
    AddMember(out, "Httpresult", f.httpResult);
    AddNumber(out, "Totaltime", f.totalTime);
    AddNumber(out, "Intime", d.time);
    AddNumber(out, "Totalbytes", f.totalBytes);
    AddNumber(out, "Intotalbytes", d.totalBytes);
    AddNumber(out, "Averagespeed", f.averageSpeed);
    AddMember(out, "Progress", f.progress);
    AddNumber(out, "Httptotalbytes", f.httpTotalBytes);
    AddNumber(out, "Inhttptotalbytes", d.httpBytes);
    AddNumber(out, "Httpaveragespeed", f.httpAverageSpeed);
    AddNumber(out, "P2ptotalbytes", f.p2pTotalBytes);
    AddNumber(out, "Inp2ptotalbytes", d.p2pBytes);
    AddNumber(out, "P2paveragespeed", f.p2pAverageSpeed);
    AddNumber(out, "Corruptpakid", f.corruptPackageId);
    AddMember(out, "Filename", f.fileName);
    AddMember(out, "Url", f.url);
    AddMember(out, "Errormsg", f.errorMessage);
    return out;
}

std::string FormEncode(std::string_view bytes) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (unsigned char c : bytes) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
            out += static_cast<char>(c);
        } else if (c == ' ') {
            out += '_';
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

}  // namespace lfstats
