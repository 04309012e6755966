#include "app/ResourceList.h"

#include <sys/resource.h>
#include <tinyxml2.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "app/HttpGet.h"
#include "engine/core/EngineApi.h"
#include "engine/log/LogApi.h"

namespace lfapp {
using namespace lf;
namespace {

using tinyxml2::XMLDocument;
using tinyxml2::XMLElement;

constexpr int kLogChannelStatus = 34;
constexpr int kLogChannelResource = 38;

bool Parse(XMLDocument& doc, std::string_view xml) {
    return doc.Parse(xml.data(), xml.size()) == tinyxml2::XML_SUCCESS;
}

std::string Text(const XMLElement* e) {
    const char* t = e ? e->GetText() : nullptr;
    return t ? std::string(t) : std::string();
}

bool HasControl(std::string_view s) {
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7F) return true;
    return false;
}

std::string TrimBlanks(std::string s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return std::string();
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

bool NonEmptyAttribute(const XMLElement* e, const char* name) {
    const char* v = e->Attribute(name);
    return v && *v;
}

// Next sibling element, or nullptr at the end or at an element of another
// name (the walks stop there).
const XMLElement* NextSame(const XMLElement* e, const char* name) {
    const XMLElement* next = e->NextSiblingElement();
    return next && std::strcmp(next->Name(), name) == 0 ? next : nullptr;
}

bool CdnEnabled(const XMLElement* cdn) {
    int open = 0;
    if (cdn->QueryIntAttribute("open", &open) != tinyxml2::XML_SUCCESS || open == 0) return false;
    for (const char* a : {"id", "name", "middle-dir", "file-name"})
        if (!NonEmptyAttribute(cdn, a)) return false;
    return true;
}

void ParseResources(const XMLElement* resources, const SourceSelection& selection,
                    ResourceListUpdate* update) {
    if (!resources) return;
    for (const XMLElement* res = resources->FirstChildElement("resource"); res;
         res = NextSame(res, "resource")) {
        if (!NonEmptyAttribute(res, "id")) break;
        const char* task = res->Attribute("task");
        if (!task) continue;
        int entry = -1;
        for (int i = 0; i < kReleaseEntryCount; ++i)
            if (selection.urls[i] == task) {
                entry = i;
                break;
            }
        if (entry < 0) continue;
        if (selection.complete[entry] && entry != selection.repairIndex) continue;
        for (const XMLElement* cdn = res->FirstChildElement("cdn"); cdn;
             cdn = NextSame(cdn, "cdn")) {
            if (!CdnEnabled(cdn)) continue;
            std::string middle = cdn->Attribute("middle-dir");
            std::string file = cdn->Attribute("file-name");
            const char* host = cdn->Attribute("host-name");
            std::string companion = host ? host : "null";
            if (companion.empty()) companion = "null";
            if (HasControl(middle) || HasControl(file) || HasControl(companion)) continue;
            for (const XMLElement* ip = cdn->FirstChildElement("ip"); ip; ip = NextSame(ip, "ip")) {
                std::string address = TrimBlanks(Text(ip));
                if (address.empty() || HasControl(address)) continue;
                update->mirrors.push_back({entry, "http://" + address + middle + file, companion});
            }
        }
    }
}

}  // namespace

ExpiryInfo ParseExpiry(std::string_view xml) {
    ExpiryInfo info;
    XMLDocument doc;
    if (!Parse(doc, xml)) return info;
    const XMLElement* root = doc.FirstChildElement();
    const XMLElement* configs = root ? root->FirstChildElement("configs") : nullptr;
    const XMLElement* expire = configs ? configs->FirstChildElement("expire-info") : nullptr;
    const XMLElement* expired = expire ? expire->FirstChildElement("expired") : nullptr;
    if (!expired || Text(expired) != "true") return info;
    info.retired = true;
    info.message = Text(expire->FirstChildElement("message")).substr(0, kExpiryTextMax);
    info.url = Text(expire->FirstChildElement("url")).substr(0, kExpiryTextMax);
    return info;
}

ExpiryInfo CheckExpiry(const std::string& listUrl, long timeoutSeconds) {
    HttpResult got = HttpGet(listUrl, timeoutSeconds);
    if (!got.ok) return ExpiryInfo();
    return ParseExpiry(got.body);
}

ResourceListUpdate ParseResourceList(std::string_view xml, const SourceSelection& selection) {
    ResourceListUpdate update;
    try {
        XMLDocument doc;
        if (!Parse(doc, xml)) return update;
        const XMLElement* root = doc.FirstChildElement();
        if (!root || std::strcmp(root->Name(), "project") != 0) return update;
        const XMLElement* configs = root->FirstChildElement("configs");
        const XMLElement* p2p = configs ? configs->FirstChildElement("p2p-switch") : nullptr;
        if (!p2p) return update;
        update.hasP2PSwitch = true;
        update.p2pSwitch = Text(p2p) == "on" ? 1 : 0;
        ParseResources(root->FirstChildElement("resources"), selection, &update);
        update.result = update.mirrors.empty() ? -2 : 0;
    } catch (...) {
        update = ResourceListUpdate();
        update.result = -3;
    }
    return update;
}

int ApplyResourceList(const ResourceListUpdate& update, SourceUpdateSink& sink) {
    if (update.hasP2PSwitch) {
        sink.SetP2PSwitch(update.p2pSwitch);
        EngineLog::Write(kLogChannelStatus, update.p2pSwitch ? "启用P2P功能" : "禁用P2P功能");
    }
    std::array<bool, kReleaseEntryCount> cleared{};
    for (const MirrorSource& m : update.mirrors) {
        if (m.entry < 0 || m.entry >= kReleaseEntryCount) continue;
        if (!cleared[m.entry]) {
            sink.ClearMirrors(m.entry);
            cleared[m.entry] = true;
        }
        sink.AddMirror(m.entry, m.url, m.companion);
    }
    return update.mirrors.empty() ? (update.result == 0 ? -2 : update.result) : 0;
}

int UpdateSources(const std::string& listUrl, const SourceSelection& selection,
                  SourceUpdateSink& sink) {
    HttpResult got = HttpGet(listUrl, 0);
    if (!got.ok) {
        EngineLog::Write(kLogChannelResource, "Seek res FAILED with XML content failed");
        return -1;
    }
    return ApplyResourceList(ParseResourceList(got.body, selection), sink);
}

bool StartUpdateSources(std::string listUrl, SourceSelection selection,
                        std::shared_ptr<SourceUpdateSink> sink, std::function<void(int)> done) {
    if (!sink) return false;
    try {
        std::thread([listUrl = std::move(listUrl), selection = std::move(selection),
                     sink = std::move(sink), done = std::move(done)] {
            // Below normal: a thread's nice value is its own on Linux.
            pid_t tid = gettid();
            errno = 0;
            int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
            if (errno == 0) setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice + 5);
            int result = UpdateSources(listUrl, selection, *sink);
            if (done) done(result);
        }).detach();
    } catch (...) {
        return false;
    }
    return true;
}

void EngineSourceSink::SetP2PSwitch(int value) {
    if (m_p2pSwitch) m_p2pSwitch->store(value);
    lf::SetP2PEnabled(value);
}

void EngineSourceSink::ClearMirrors(int entry) {
    lf::ClearTaskMirrors(m_handles[entry]);
}

void EngineSourceSink::AddMirror(int entry, const std::string& url, const std::string& companion) {
    lf::AddTaskMirrors(m_handles[entry], url.c_str(), companion.c_str());
}

}  // namespace lfapp
