// The remote resource list: an XML document that can retire the release,
// switch P2P transfer on or off and add HTTP mirrors to the tasks.
//
//   <project>
//     <configs>
//       <expire-info><expired>true</expired><message/><url/></expire-info>
//       <p2p-switch>on</p2p-switch>
//     </configs>
//     <resources>
//       <resource id="..." task="SOURCE URL OF ONE ENTRY">
//         <cdn id=".." name=".." middle-dir="/dl/" file-name="a.cab" host-name=".." open="1">
//           <ip>10.0.0.1</ip> ...
//
// Parsing is separate from fetching: ParseExpiry and ParseResourceList take
// the document's bytes; CheckExpiry and UpdateSources fetch and apply.
#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/ReleaseTable.h"
#include "engine/core/EngineTypes.h"

namespace lfapp {

using lf::TaskDescription;
using lf::TaskHandle;

// Longest message or url text kept from "expire-info".
inline constexpr size_t kExpiryTextMax = 4095;

struct ExpiryInfo {
    bool retired = false;  // "expired" text is exactly "true"
    std::string message;   // shown to the user when retired
    std::string url;       // opened when retired
};

// Reads configs/expire-info of the document's first element, whatever its
// name. A document that does not parse is not retired.
ExpiryInfo ParseExpiry(std::string_view xml);

// CheckExpiry: fetches the list with a 2 second timeout (HttpGet) and reads
// expire-info. A failed fetch reports "not retired".
ExpiryInfo CheckExpiry(const std::string& listUrl, long timeoutSeconds = 2);

// What UpdateSources needs to know about the controller's entries.
struct SourceSelection {
    std::array<std::string, kReleaseEntryCount> urls;  // source URL of each entry
    std::array<bool, kReleaseEntryCount> complete{};   // entry already complete
    int repairIndex = -1;                              // entry under repair, or -1
};

struct MirrorSource {
    int entry = -1;         // release entry whose task gets the mirror
    std::string url;        // "http://" + ip + middle-dir + file-name
    std::string companion;  // host-name, or "null" when absent
};

struct ResourceListUpdate {
    // 0: at least one mirror; -2: not a "project" document, no p2p-switch, or
    // no mirror; -3: the parse ended with an exception.
    int result = -2;
    bool hasP2PSwitch = false;
    int p2pSwitch = 0;                  // 1 when the p2p-switch text is "on"
    std::vector<MirrorSource> mirrors;  // in document order
};

// Reads p2p-switch and the resources. A resource is used when its "id" is
// non-empty (the walk stops at the first one that is not), its "task" equals
// one entry's URL, and that entry is not complete or is the one under repair.
// Enabled "cdn" elements ("open" a non-zero integer, id, name, middle-dir and
// file-name non-empty) give one mirror per non-empty "ip". Texts holding line
// breaks or other control characters are skipped: the engine reads mirror
// texts line by line.
ResourceListUpdate ParseResourceList(std::string_view xml, const SourceSelection& selection);

// Receives what UpdateSources applies.
class SourceUpdateSink {
public:
    virtual ~SourceUpdateSink() = default;
    virtual void SetP2PSwitch(int value) = 0;
    virtual void ClearMirrors(int entry) = 0;
    virtual void AddMirror(int entry, const std::string& url, const std::string& companion) = 0;
};

// The sink the controller uses: stores the switch, passes it to
// SetP2PEnabled, and calls ClearTaskMirrors/AddTaskMirrors on the entry's
// task handle (a null handle is rejected by the engine).
class EngineSourceSink : public SourceUpdateSink {
public:
    EngineSourceSink(std::atomic<int>* p2pSwitch,
                     const std::array<TaskHandle, kReleaseEntryCount>& handles)
        : m_p2pSwitch(p2pSwitch), m_handles(handles) {}
    void SetP2PSwitch(int value) override;
    void ClearMirrors(int entry) override;
    void AddMirror(int entry, const std::string& url, const std::string& companion) override;

private:
    std::atomic<int>* m_p2pSwitch;
    std::array<TaskHandle, kReleaseEntryCount> m_handles;
};

// Applies a parsed list: the switch first (logged "启用P2P功能" or "禁用P2P功能"
// on channel 34), then the mirrors in order. Each task's mirrors are cleared
// once, before the first mirror it receives in this run, so a refresh
// replaces the previous set instead of piling up copies. Returns 0 when a
// mirror was handed over, else the update's result (-2 or -3).
int ApplyResourceList(const ResourceListUpdate& update, SourceUpdateSink& sink);

// UpdateSources: fetches the list without a timeout, parses and applies it.
// Returns 0 when at least one mirror was handed over, -1 when the fetch
// failed (logged "Seek res FAILED with XML content failed", channel 38), -2
// when the document is unusable or gave no mirror, -3 when the parse ended
// with an exception. Fetch or parse failures change nothing.
int UpdateSources(const std::string& listUrl, const SourceSelection& selection,
                  SourceUpdateSink& sink);

// Runs UpdateSources on a thread of its own at a lower scheduling priority
// (nice + 5 for that thread), as the controller's refresh does while it
// downloads; done (optional) receives the result on that thread. The thread
// owns copies of its inputs and a share of the sink; it is detached, so the
// caller never waits for a slow list server. Returns false when no thread
// could be started.
bool StartUpdateSources(std::string listUrl, SourceSelection selection,
                        std::shared_ptr<SourceUpdateSink> sink,
                        std::function<void(int)> done = nullptr);

}  // namespace lfapp
