#include "portmap/DeviceRecord.h"

#include <cstdio>
#include <string_view>
#include <vector>

namespace portmap {

namespace {

constexpr size_t kMaxDepth = 64;
constexpr size_t kMaxText = 4096;

std::string DecodeEntities(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '&') {
            out.push_back(text[i]);
            continue;
        }
        struct Entity {
            std::string_view name;
            char value;
        };
        static constexpr Entity kEntities[] = {
            {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
        bool done = false;
        for (const Entity& e : kEntities) {
            if (text.substr(i, e.name.size()) == e.name) {
                out.push_back(e.value);
                i += e.name.size() - 1;
                done = true;
                break;
            }
        }
        if (!done) out.push_back('&');
    }
    return out;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() &&
           (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n')) {
        s.remove_prefix(1);
    }
    while (!s.empty() &&
           (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n')) {
        s.remove_suffix(1);
    }
    return s;
}

// Element name without a namespace prefix.
std::string_view LocalName(std::string_view tag) {
    size_t end = 0;
    while (end < tag.size() && tag[end] != ' ' && tag[end] != '\t' && tag[end] != '\r' &&
           tag[end] != '\n' && tag[end] != '/') {
        ++end;
    }
    std::string_view name = tag.substr(0, end);
    const size_t colon = name.rfind(':');
    if (colon != std::string_view::npos) name.remove_prefix(colon + 1);
    return name;
}

bool PathIs(const std::vector<std::string_view>& path,
            std::initializer_list<std::string_view> expected) {
    if (path.size() != expected.size()) return false;
    size_t i = 0;
    for (std::string_view e : expected) {
        if (path[i++] != e) return false;
    }
    return true;
}

std::string CountText(int n, const char* one, const char* many, const char* zero) {
    if (n == 0) return zero;
    if (n == 1) return one;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, many, n);
    return buffer;
}

struct Icon {
    std::string mimetype, width, height, depth, url;
};

}  // namespace

bool ParseDeviceDescription(const char* data, size_t size, DeviceRecord* record) {
    const std::string_view doc(data, size);
    std::vector<std::string_view> path;
    bool sawRoot = false;
    int children = 0;
    int services = 0;
    Icon icon;
    std::string chosenIcon;
    size_t i = 0;
    while (i < doc.size()) {
        const size_t open = doc.find('<', i);
        // Text between the previous tag and this one.
        const std::string_view text =
            doc.substr(i, (open == std::string_view::npos ? doc.size() : open) - i);
        if (!path.empty() && !Trim(text).empty()) {
            const std::string value = DecodeEntities(Trim(text).substr(0, kMaxText));
            if (path.size() == 3 && path[0] == "root" && path[1] == "device") {
                const std::string_view name = path[2];
                if (name == "friendlyName")
                    record->friendlyName = value;
                else if (name == "modelDescription")
                    record->description = value;
                else if (name == "manufacturer")
                    record->manufacturer = value;
                else if (name == "manufacturerURL")
                    record->manufacturerUrl = value;
                else if (name == "modelName")
                    record->modelName = value;
                else if (name == "modelNumber")
                    record->modelNumber = value;
                else if (name == "modelURL")
                    record->modelUrl = value;
                else if (name == "presentationURL")
                    record->presentationUrl = value;
                else if (name == "serialNumber")
                    record->serialNumber = value;
                else if (name == "deviceType")
                    record->type = value;
                else if (name == "UDN")
                    record->udn = value;
                else if (name == "UPC")
                    record->upc = value;
            } else if (path.size() == 5 && PathIs({path[0], path[1], path[2], path[3]},
                                                  {"root", "device", "iconList", "icon"})) {
                const std::string_view name = path[4];
                if (name == "mimetype")
                    icon.mimetype = value;
                else if (name == "width")
                    icon.width = value;
                else if (name == "height")
                    icon.height = value;
                else if (name == "depth")
                    icon.depth = value;
                else if (name == "url")
                    icon.url = value;
            }
        }
        if (open == std::string_view::npos) break;
        // Comments, declarations and processing instructions.
        if (doc.compare(open, 4, "<!--") == 0) {
            const size_t end = doc.find("-->", open + 4);
            if (end == std::string_view::npos) break;
            i = end + 3;
            continue;
        }
        const size_t close = doc.find('>', open + 1);
        if (close == std::string_view::npos) break;
        std::string_view tag = doc.substr(open + 1, close - open - 1);
        i = close + 1;
        if (tag.empty() || tag[0] == '?' || tag[0] == '!') continue;
        if (tag[0] == '/') {
            const std::string_view name = LocalName(tag.substr(1));
            // Pop up to and including the matching element, if it is open.
            for (size_t k = path.size(); k > 0; --k) {
                if (path[k - 1] == name) {
                    if (path.size() == 4 && PathIs(path, {"root", "device", "iconList", "icon"})) {
                        if (chosenIcon.empty() && icon.mimetype == "image/gif" &&
                            icon.width == "32" && icon.height == "32" && icon.depth == "8") {
                            chosenIcon = icon.url;
                        }
                        icon = Icon{};
                    }
                    path.resize(k - 1);
                    break;
                }
            }
            continue;
        }
        const bool selfClosing = tag.back() == '/';
        const std::string_view name = LocalName(tag);
        if (name.empty()) continue;
        if (path.size() == 1 && path[0] == "root" && name == "device") sawRoot = true;
        if (path.size() == 3 && PathIs(path, {"root", "device", "deviceList"}) &&
            name == "device") {
            ++children;
        }
        if (path.size() == 3 && PathIs(path, {"root", "device", "serviceList"}) &&
            name == "service") {
            ++services;
        }
        if (!selfClosing && path.size() < kMaxDepth) path.push_back(name);
    }
    if (!sawRoot) return false;
    record->children =
        CountText(children, "Yes: One child", "Yes: %d children", "No: Zero children");
    record->hasChildren = children > 0 ? "Yes" : "No";
    record->services =
        CountText(services, "Yes: One service", "Yes: %d services", "No: Zero services");
    record->iconUrl = chosenIcon;
    record->parentDevice = "This is a topmost device";
    record->rootDevice = "This is a topmost device";
    return true;
}

}  // namespace portmap
