// Identity values that the statistics component adds to every event and the
// machine code that message boxes show. Pure functions of their inputs; the
// system readers live in SystemInventory.h.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lfstats {

using MacAddress = std::array<uint8_t, 6>;

// 16 upper-case hex digits from the first adapter's MAC m0..m5 and the volume
// serial s (s0 = lowest byte): m0+s2, m1, m2+s3, m3+s0, m4, m5+s2, s0, s1,
// each sum modulo 256.
std::string ComputeMachId(const MacAddress& mac, uint32_t volumeSerial);

// "0x" + first 8 digits + ", 0x" + last 8 digits; empty when the id is
// shorter than 16 digits.
std::string FormatMachineCode(std::string_view machId);

// Every adapter as "%02x-%02x-%02x-%02x-%02x-%02x", joined with ";".
std::string FormatMacList(const std::vector<MacAddress>& macs);

// Language digit of an ANSI code page: '0' Chinese, '1' 1252, '2' other.
char LanguageDigit(unsigned codePage);

// One operating-system entry: the first two dot-separated parts of the
// version and the service-pack major number concatenated ("999" when the
// version is empty), then "64" or "32", then the language digit.
std::string FormatOsCode(std::string_view version, unsigned servicePackMajor, bool native64,
                         unsigned codePage);

// Parses "aa:bb:cc:dd:ee:ff" (as in /sys/class/net/*/address); false for
// anything else.
bool ParseMacAddress(std::string_view text, MacAddress* out);

// The text-getter convention: without a buffer the length; with a buffer the
// text and its terminator copied and the length returned, or 0 when the
// buffer is too small.
int CopyText(const std::string& text, char* buffer, size_t size);

}  // namespace lfstats
