#include "stats/MachineIdentity.h"

#include <cstdio>
#include <cstring>

namespace lfstats {

std::string ComputeMachId(const MacAddress& m, uint32_t serial) {
    const uint8_t s0 = serial & 0xff;
    const uint8_t s1 = (serial >> 8) & 0xff;
    const uint8_t s2 = (serial >> 16) & 0xff;
    const uint8_t s3 = (serial >> 24) & 0xff;
    const uint8_t bytes[8] = {static_cast<uint8_t>(m[0] + s2),
                              m[1],
                              static_cast<uint8_t>(m[2] + s3),
                              static_cast<uint8_t>(m[3] + s0),
                              m[4],
                              static_cast<uint8_t>(m[5] + s2),
                              s0,
                              s1};
    char out[17];
    for (int i = 0; i < 8; ++i) std::snprintf(out + 2 * i, 3, "%02X", bytes[i]);
    return std::string(out, 16);
}

std::string FormatMachineCode(std::string_view machId) {
    if (machId.size() < 16) return {};
    std::string code = "0x";
    code += machId.substr(0, 8);
    code += ", 0x";
    code += machId.substr(8, 8);
    return code;
}

std::string FormatMacList(const std::vector<MacAddress>& macs) {
    std::string out;
    for (const MacAddress& m : macs) {
        char buf[18];
        std::snprintf(buf, sizeof buf, "%02x-%02x-%02x-%02x-%02x-%02x", m[0], m[1], m[2], m[3],
                      m[4], m[5]);
        if (!out.empty()) out += ';';
        out += buf;
    }
    return out;
}

char LanguageDigit(unsigned codePage) {
    switch (codePage) {
        case 936:
        case 950:
        case 10002:
        case 10008:
        case 20000:
        case 20002:
        case 20936:
        case 50227:
        case 50229:
        case 50935:
        case 50936:
        case 51936:
        case 51950:
        case 52936:
        case 54936:
            return '0';
        case 1252:
            return '1';
        default:
            return '2';
    }
}

std::string FormatOsCode(std::string_view version, unsigned servicePackMajor, bool native64,
                         unsigned codePage) {
    std::string out;
    if (version.empty()) {
        out = "999";
    } else {
        size_t dot = version.find('.');
        std::string_view major = version.substr(0, dot);
        std::string_view minor;
        if (dot != std::string_view::npos) {
            minor = version.substr(dot + 1);
            minor = minor.substr(0, minor.find('.'));
        }
        out.append(major).append(minor);
        out += std::to_string(servicePackMajor);
    }
    out += native64 ? "64" : "32";
    out += LanguageDigit(codePage);
    return out;
}

bool ParseMacAddress(std::string_view text, MacAddress* out) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
    if (text.size() != 17) return false;
    MacAddress mac{};
    for (int i = 0; i < 6; ++i) {
        if (i > 0 && text[3 * i - 1] != ':') return false;
        unsigned v = 0;
        for (int k = 0; k < 2; ++k) {
            char c = text[3 * i + k];
            v <<= 4;
            if (c >= '0' && c <= '9')
                v |= static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f')
                v |= static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                v |= static_cast<unsigned>(c - 'A' + 10);
            else
                return false;
        }
        mac[i] = static_cast<uint8_t>(v);
    }
    *out = mac;
    return true;
}

int CopyText(const std::string& text, char* buffer, size_t size) {
    const int length = static_cast<int>(text.size());
    if (buffer == nullptr) return length;
    if (size < text.size() + 1) return 0;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return length;
}

}  // namespace lfstats
