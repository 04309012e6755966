#include "app/ReleaseResources.h"

#include <cctype>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>

#include "app/EmbeddedResources.h"

namespace lfapp {
namespace {

std::string Upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

bool SafeRelativePath(const std::string& file) {
    if (file.empty() || file.front() == '/') return false;
    size_t at = 0;
    while (at <= file.size()) {
        size_t slash = file.find('/', at);
        std::string part =
            file.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
        if (part == "..") return false;
        if (slash == std::string::npos) break;
        at = slash + 1;
    }
    return true;
}

bool ReadWholeFile(const std::string& path, std::string* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) return false;
    *out = text.str();
    return true;
}

std::unique_ptr<ReleaseResources>& LoadedRelease() {
    static std::unique_ptr<ReleaseResources> loaded;
    return loaded;
}

}  // namespace

std::optional<std::vector<ManifestEntry>> ParseResourceManifest(std::string_view text,
                                                                std::string* error) {
    std::vector<ManifestEntry> entries;
    std::istringstream in{std::string(text)};
    std::string line;
    int number = 0;
    auto fail = [&](const std::string& why) {
        if (error) *error = "line " + std::to_string(number) + ": " + why;
        return std::nullopt;
    };
    while (std::getline(in, line)) {
        ++number;
        size_t hash = line.find('#');
        if (hash != std::string::npos) line.resize(hash);
        std::istringstream fields(line);
        ManifestEntry entry;
        std::string id, extra;
        if (!(fields >> entry.type)) continue;  // blank or comment line
        if (!(fields >> id >> entry.file) || (fields >> extra))
            return fail("expected TYPE ID FILE");
        if (id.empty() || id.size() > 9 || id.find_first_not_of("0123456789") != std::string::npos)
            return fail("bad id '" + id + "'");
        entry.id = std::stoi(id);
        entry.type = Upper(entry.type);
        if (!SafeRelativePath(entry.file)) return fail("file must stay inside the folder");
        for (const ManifestEntry& e : entries)
            if (e.type == entry.type && e.id == entry.id) return fail("duplicate resource");
        entries.push_back(std::move(entry));
    }
    return entries;
}

const ReleaseResources& ReleaseResources::Embedded() {
    static const ReleaseResources embedded = [] {
        ReleaseResources set;
        for (size_t i = 0; i < kEmbeddedResourceCount; ++i) {
            const EmbeddedResource& r = kEmbeddedResources[i];
            set.Add(r.type, r.id, std::string(reinterpret_cast<const char*>(r.bytes), r.size));
        }
        return set;
    }();
    return embedded;
}

std::optional<ReleaseResources> ReleaseResources::LoadFolder(const std::string& folder,
                                                             std::string* error) {
    std::string manifestText;
    std::string manifestPath = folder + "/" + kResourceManifestName;
    if (!ReadWholeFile(manifestPath, &manifestText)) {
        if (error) *error = "cannot read " + manifestPath;
        return std::nullopt;
    }
    std::string why;
    auto manifest = ParseResourceManifest(manifestText, &why);
    if (!manifest) {
        if (error) *error = manifestPath + ": " + why;
        return std::nullopt;
    }
    ReleaseResources set;
    for (const ManifestEntry& e : *manifest) {
        std::string bytes;
        if (!ReadWholeFile(folder + "/" + e.file, &bytes)) {
            if (error) *error = "cannot read " + folder + "/" + e.file;
            return std::nullopt;
        }
        set.Add(e.type, e.id, std::move(bytes));
    }
    return set;
}

void ReleaseResources::Add(std::string_view type, int id, std::string bytes) {
    m_items[{Upper(type), id}] = std::move(bytes);
}

const std::string* ReleaseResources::Find(std::string_view type, int id) const {
    auto it = m_items.find({Upper(type), id});
    return it == m_items.end() ? nullptr : &it->second;
}

const ReleaseResources& ActiveRelease() {
    const auto& loaded = LoadedRelease();
    return loaded ? *loaded : ReleaseResources::Embedded();
}

bool UseReleaseFolder(const std::string& folder, std::string* error) {
    auto set = ReleaseResources::LoadFolder(folder, error);
    if (!set) return false;
    LoadedRelease() = std::make_unique<ReleaseResources>(std::move(*set));
    return true;
}

}  // namespace lfapp
