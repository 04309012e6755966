// Resource-list documents and the selection shared by the parser tests and
// the HTTPS tests.
#pragma once

#include <string>
#include <vector>

#include "app/ResourceList.h"

namespace lfapptest {

// Records what UpdateSources hands to the engine.
class RecordingSink : public lfapp::SourceUpdateSink {
public:
    void SetP2PSwitch(int value) override { calls.push_back("p2p " + std::to_string(value)); }
    void ClearMirrors(int entry) override { calls.push_back("clear " + std::to_string(entry)); }
    void AddMirror(int entry, const std::string& url, const std::string& companion) override {
        calls.push_back("add " + std::to_string(entry) + " " + url + " " + companion);
    }
    std::vector<std::string> calls;
};

inline lfapp::SourceSelection EightUrls() {
    lfapp::SourceSelection s;
    for (int i = 0; i < lfapp::kReleaseEntryCount; ++i)
        s.urls[i] = "http://dl.test/qarrd160107/file" + std::to_string(i);
    return s;
}

// A list that retires nothing, turns P2P on and gives entry 1 two mirrors
// from one cdn, entry 3 one mirror with no host name; disabled cdns and a
// resource for an unknown task contribute nothing.
inline const char kFullList[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<project>
  <configs>
    <expire-info><expired>false</expired><message>m</message><url>u</url></expire-info>
    <p2p-switch>on</p2p-switch>
  </configs>
  <resources>
    <resource id="r1" task="http://dl.test/qarrd160107/file1">
      <cdn id="c1" name="edge" middle-dir="/dl/" file-name="a.cab" host-name="cdn.test" open="1">
        <ip>10.0.0.1</ip>
        <ip>10.0.0.2:8080</ip>
      </cdn>
      <cdn id="c2" name="closed" middle-dir="/dl/" file-name="a.cab" open="0"><ip>10.9.9.9</ip></cdn>
      <cdn id="c3" name="no dir" file-name="a.cab" open="1"><ip>10.9.9.8</ip></cdn>
    </resource>
    <resource id="r9" task="http://elsewhere.test/file9">
      <cdn id="c" name="n" middle-dir="/x/" file-name="y" open="1"><ip>10.9.9.7</ip></cdn>
    </resource>
    <resource id="r3" task="http://dl.test/qarrd160107/file3">
      <cdn id="c4" name="edge" middle-dir="/files/" file-name="Qarrd21040Data02.cab" open="2">
        <ip>127.0.0.5</ip>
      </cdn>
    </resource>
  </resources>
</project>
)";

}  // namespace lfapptest
