// The statistics configuration: an INI text naming the submit addresses and
// the keyword lists, read with the same profile rules as every INI file of
// the program (lf::IniDocument: case-insensitive names, the first section
// and key of a name win, values trimmed and stripped of one pair of
// enclosing quotes); its lines may also end at a lone "\r" and '#' starts a
// comment. Parsing is pure; reading a file is a thin wrapper.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/Ini.h"

namespace lfstats {

// File name under which the controller writes the shipped configuration
// into its data folder.
inline constexpr const char kConfigurationFileName[] = "dataupload.lfconf";
// Configuration path used when none was set (relative: the working folder).
inline constexpr const char kDefaultConfigurationPath[] = "Serverlist.ini";

inline constexpr const char kSectionSingle[] = "SubmitEventDownload";
inline constexpr const char kSectionSeveral[] = "SubmitEventDownloadSeveral";
inline constexpr const char kKeySubmitUrl[] = "SubmitUrl";
inline constexpr const char kKeyInputKeywords[] = "InputDataKeyWord";
inline constexpr const char kKeySubmitKeywords[] = "SubmitDataKeyWord";
// Keyword lists are read into a buffer of 256 characters.
inline constexpr size_t kKeywordListLimit = 255;

class IniDocument {
public:
    static IniDocument Parse(std::string_view text);
    // Reads and parses a file; false when it cannot be read.
    static bool Load(const std::string& path, IniDocument* out);

    // The value of a key, or fallback when the section or key is missing.
    std::string Get(std::string_view section, std::string_view key,
                    std::string_view fallback = {}) const;

private:
    lf::IniDocument m_doc;
};

// Splits a ";"-separated keyword list (empty items dropped) after cutting it
// to kKeywordListLimit characters.
std::vector<std::string> SplitKeywords(std::string_view list);

// "SubmitUrl", then "SubmitUrl1", "SubmitUrl2"... up to the first empty value.
// Only the non-empty addresses are returned, in order.
std::vector<std::string> ReadSubmitUrls(const IniDocument& ini, std::string_view section);

// The server accepted a batch when its answer contains "\"error\":0".
bool IsAcceptedResponse(std::string_view response);

// The configuration the program ships, with the statistics server given as
// "http://host:port" (no trailing slash).
std::string BuildConfigurationText(std::string_view server);

// Environment variable that replaces the built-in statistics server, so that
// tests and people with their own receiver can point the program at it.
inline constexpr const char kServerEnvironment[] = "LANTERNFISH_STATS_SERVER";
// $LANTERNFISH_STATS_SERVER when set and not empty, else builtIn.
std::string StatisticsServer(std::string_view builtIn);

// Writes text to path through a temporary file and a rename; false on failure.
bool WriteConfigurationFile(const std::string& path, std::string_view text);

}  // namespace lfstats
