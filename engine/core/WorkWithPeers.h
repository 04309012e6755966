// TWorkWithPeers: the layer of a work object that turns the task's source
// texts, mirrors and (later) tracker and LAN answers into candidates and
// connected sources, within the task's connection limits.
#pragma once

#include <cstdint>

#include "engine/core/BaseWork.h"

class TWorkWithPeers : public TBaseWork {
public:
    static constexpr int32_t kDefaultServerLimit = 49;

    void SetConnectionLimits(int32_t servers, int32_t peers) override;
    void Reset(bool clearFileList, bool clearAll) override;

    // Mirror pool (engine interface).
    void AddMirrors(const char* addresses, const char* companions);
    void ClearMirrors();

    int32_t ServerLimit();
    int32_t PeerLimit();

    // ---- called by the task thread ----
    // Source list to candidates and refresh of the candidates (every 15 s).
    void SourceRefresh();
    // One source pass: steps the active sources and runs the once-a-second
    // bookkeeping of the statistics layer.
    void SourcePass();
    // Once-a-second bookkeeping of the statistics layer.
    virtual void PerSecondBookkeeping() = 0;
    // LAN discovery pass (every 10 s).
    void LanDiscoveryPass();
    size_t CandidateCount() const { return m_candidateCount; }
    size_t ActiveSourceCount() const { return m_activeCount; }
    // True when for the last 60 s no active source other than trackers existed.
    bool OnlyTrackersFor(uint32_t tickNowMs, uint32_t ms);

protected:
    int32_t m_serverLimit = kDefaultServerLimit;
    int32_t m_peerLimit = 0;
    bool m_pendingListChanged = false;
    // Candidates and active sources are built with the source objects; until
    // a task has any, both stay empty.
    size_t m_candidateCount = 0;
    size_t m_activeCount = 0;
    uint32_t m_onlyTrackersSinceMs = 0;
    uint32_t m_lastSecondMs = 0;
    bool m_secondStarted = false;
    uint32_t m_passCounter = 0;
    bool m_onlyTrackersValid = false;
};
