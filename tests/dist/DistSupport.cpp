#include "tests/dist/DistSupport.h"

#include <filesystem>
#include <regex>

namespace lfdisttest {

std::set<std::string> NamedOptions(const std::string& source) {
    std::string text;
    for (size_t i = 0; i < source.size(); ++i) {
        if (source[i] == '\\' && i + 1 < source.size() && source[i + 1] == '-') continue;
        text += source[i];
    }
    static const std::regex name(R"((?:^|[^A-Za-z0-9-])(--[a-z][a-z-]*[a-z]|LANTERNFISH_[A-Z_]+))");
    std::set<std::string> names;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), name);
         it != std::sregex_iterator(); ++it) {
        names.insert((*it)[1].str());
    }
    return names;
}

std::pair<int, int> PngSize(const std::string& bytes) {
    if (bytes.size() < 24 || bytes.compare(1, 3, "PNG") != 0) return {0, 0};
    auto word = [&](size_t at) {
        int v = 0;
        for (size_t i = 0; i < 4; ++i) v = v * 256 + static_cast<unsigned char>(bytes[at + i]);
        return v;
    };
    return {word(16), word(20)};
}

std::set<std::string> FilesUnder(const std::string& root) {
    std::set<std::string> files;
    std::error_code ec;
    for (auto& e : std::filesystem::recursive_directory_iterator(root, ec)) {
        if (!e.is_directory()) {
            files.insert(std::filesystem::relative(e.path(), root).string());
        }
    }
    return files;
}

}  // namespace lfdisttest
