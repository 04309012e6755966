// Helpers of the installation and package tests: the option names a
// program's --help lists and a manual page documents, and PNG sizes.
#pragma once

#include <set>
#include <string>

namespace lfdisttest {

// "--name" options and LANTERNFISH_* variables named in a text. Manual
// pages write "\-" for a hyphen; it is read as one.
std::set<std::string> NamedOptions(const std::string& text);
// Width and height from a PNG's header; {0, 0} when it is not one.
std::pair<int, int> PngSize(const std::string& bytes);
// The files under a folder, relative to it, sorted.
std::set<std::string> FilesUnder(const std::string& root);

}  // namespace lfdisttest
