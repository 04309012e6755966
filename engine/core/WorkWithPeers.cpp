#include "engine/core/WorkWithPeers.h"

#include "engine/net/TimeThread.h"

namespace {
// Splits a text into lines as the source text is split: CR, LF or CR LF.
std::vector<std::string> SplitLines(const char* text) {
    std::vector<std::string> out;
    if (text == nullptr) return out;
    const char* p = text;
    const char* line = p;
    while (*p != 0) {
        if (*p == '\r' || *p == '\n') {
            out.emplace_back(line, p);
            if (*p == '\r' && p[1] == '\n') ++p;
            ++p;
            line = p;
        } else {
            ++p;
        }
    }
    if (p > line) out.emplace_back(line, p);
    return out;
}
}  // namespace

void TWorkWithPeers::SetConnectionLimits(int32_t servers, int32_t peers) {
    QGuard guard(m_lock);
    m_serverLimit = servers;
    m_peerLimit = peers;
    m_pendingListChanged = false;
}

int32_t TWorkWithPeers::ServerLimit() {
    QGuard guard(m_lock);
    return m_serverLimit;
}

int32_t TWorkWithPeers::PeerLimit() {
    QGuard guard(m_lock);
    return m_peerLimit;
}

void TWorkWithPeers::AddMirrors(const char* addresses, const char* companions) {
    QGuard guard(m_lock);
    for (auto& line : SplitLines(addresses)) m_mirrors.push_back(std::move(line));
    for (auto& line : SplitLines(companions)) m_mirrorCompanions.push_back(std::move(line));
    m_mirrorMode = true;
}

void TWorkWithPeers::ClearMirrors() {
    QGuard guard(m_lock);
    m_mirrors.clear();
    m_mirrorCompanions.clear();
    m_mirrorMode = false;
}

void TWorkWithPeers::SourceRefresh() {
    // Entries become candidates once source addresses can be parsed into
    // source descriptions; the saved copy is made the first time.
    QGuard guard(m_lock);
    if (m_savedSourceList.empty()) m_savedSourceList = m_sourceList;
}

void TWorkWithPeers::LanDiscoveryPass() {
    // LAN discovery needs the shared listener and the multicast socket,
    // which run only with BitTorrent peers.
}

bool TWorkWithPeers::OnlyTrackersFor(uint32_t tickNowMs, uint32_t ms) {
    // Only trackers (or nothing) are active while no server or peer source is.
    if (m_activeCount != 0) {
        m_onlyTrackersValid = false;
        return false;
    }
    if (!m_onlyTrackersValid) {
        m_onlyTrackersValid = true;
        m_onlyTrackersSinceMs = tickNowMs;
        return false;
    }
    return tickNowMs - m_onlyTrackersSinceMs > ms;
}

void TWorkWithPeers::Reset(bool clearFileList, bool clearAll) {
    TBaseWork::Reset(clearFileList, clearAll);
    QGuard guard(m_lock);
    m_candidateCount = 0;
    m_activeCount = 0;
    m_onlyTrackersValid = false;
    m_serverLimit = kDefaultServerLimit;
}

void TWorkWithPeers::SourcePass() {
    const uint32_t now = TickCountMs();
    if (!m_secondStarted || now - m_lastSecondMs >= 1000) {
        m_secondStarted = true;
        m_lastSecondMs = now;
        PerSecondBookkeeping();
        m_passCounter = 0;
    }
    ++m_passCounter;
}
