// TWorkWithPeers: the layer of a work object that decides which sources a
// task talks to. It keeps the candidate list of source addresses gathered
// from the task's source text, the mirror pool and redirects, opens
// connections to the best candidates within the task's limits, drives the
// connected source objects once per pass, and penalises and retires
// sources that fail or are slow.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/core/BaseWork.h"

namespace lf {

class ITrackerHost;
class TPeerId;
class TPeerObject;
class TPeerHost;

class TWorkWithPeers : public TBaseWork {
public:
    static constexpr int32_t kDefaultServerLimit = 49;

    ~TWorkWithPeers() override;

    void SetConnectionLimits(int32_t servers, int32_t peers) override;
    void Reset(bool clearFileList, bool clearAll) override;

    // Mirror pool (engine interface).
    void AddMirrors(const char* addresses, const char* companions) override;
    void ClearMirrors() override;

    int32_t ServerLimit();
    int32_t PeerLimit();

    // ---- candidates ----
    // Adds a copy of r unless a candidate already names the same source.
    bool AddCandidate(TPeerId* r, bool fromPeer, bool takePeerId);
    // With keep: adds max(1, amount) to the penalty of every candidate at the
    // same address; otherwise removes them.
    void PenalizeCandidate(TPeerId* r, bool keep, int amount);
    // A candidate for an address and port of a kind (peers from trackers and
    // the local network): an existing one with the same address, port and
    // kind, or a new one (kind 1: resolved, one connection, group at least
    // 19, the peer-id field `peerId` or else the address form: bytes 14-17
    // the address, 18-19 the port big-endian). At the front with toFront or
    // for a server, else at the end. Refused (nullptr): BitTorrent peers at
    // 127.0.0.1 and peers carrying the task's own peer id.
    TPeerId* AddPeerAddress(uint32_t ipv4, uint16_t port, int kind, bool toFront, int group,
                            const uint8_t* peerId = nullptr);
    // The task's BitTorrent peer id (made once; bytes 8 to 19 are the first
    // 12 bytes of the process identifier).
    const std::array<uint8_t, 20>& TaskPeerId();
    size_t CandidateCount() const { return m_candidates.size(); }
    const std::vector<TPeerId*>& Candidates() const { return m_candidates; }

    // ---- called by the task thread ----
    // Source list to candidates and refresh of the candidates (every 15 s).
    void SourceRefresh();
    // One pass over the active sources; runs the once-a-second bookkeeping.
    void SourcePass();
    virtual void PerSecondBookkeeping() = 0;
    // LAN discovery (every 10 s): announce the task on the local network,
    // add the peers found there.
    void LanDiscoveryPass();
    // ---- incoming connections (run from the source pass every 400 ms) ----
    // The received bytes are a handshake for this task's info hash.
    bool IsHandshakeForTask(const QConnection& connection) override;
    // The listener's address " : " port, or "Service Disabled!" while P2P
    // is off (empty before the first dispatch).
    std::string ListenerText();
    size_t ActiveSourceCount() const { return m_active.size(); }
    // Active BitTorrent sources whose handshake is done.
    size_t ConnectedBitTorrentPeers() const;
    const std::vector<TPeerObject*>& ActiveSources() const { return m_active; }
    // True when for more than ms no active source other than trackers existed.
    bool OnlyTrackersFor(uint32_t tickNowMs, uint32_t ms);

    // Per-second connection work (servers, then peers).
    void ConnectionWork();
    // The peers' part of it: connections to BitTorrent candidates within
    // the peer limit and the attempt budget while P2P is on; two
    // BitTorrent sources dropped while it is off. Runs also once the task
    // is complete (a seeding task reaches its leechers).
    void PeerConnectionWork();
    // Peers added since the last pass that were never tried are connected
    // on this pass rather than at the next clock second.
    void ConnectFreshPeers();
    // New connection attempts to peers the task may start now.
    int ConnectionAttemptBudget();
    // Incoming BitTorrent connections.
    bool AcceptIncoming(std::unique_ptr<QConnection>& connection, bool disguised) override;
    // Between the per-second steps: more connections to servers that have
    // told their size and carry no penalty, up to the server limit. Other
    // candidates wait for the per-second step.
    void TopUpServerConnections();
    // Closes server connections beyond the server limit.
    void TrimServerConnections();
    // Drops n sources of the kinds in mask, worst first (gently: only slow ones).
    void DropSources(int mask, int n, bool gentle, int penalty);
    // Server candidates with too many failed pieces are banned (every 4 s).
    void BanServers();
    // Ranks the active sources, best first.
    void SortActive();

    // Test hooks: candidate and pool sizes.
    size_t IdleCount() const { return m_idle.size(); }

protected:
    virtual bool IsDownloadComplete() = 0;
    // The announce address of the task's torrent (empty without one).
    virtual std::string AnnounceAddress() = 0;
    // What tracker sources of this task use to reach it.
    virtual ITrackerHost* TrackerHost() = 0;
    virtual int32_t TaskDownloadRate() = 0;
    virtual void OnSourceStepped(TPeerObject* s) = 0;
    virtual void OnSourceRemoved(TPeerObject* s) = 0;
    // The interface through which the task's sources reach it.
    virtual TPeerHost* Host() = 0;

    void SortCandidates();
    bool Eligible(TPeerId* r);
    int OpenConnections(TPeerId* r, int need, int already, bool immediate);
    TPeerObject* CreateSource(int kind);
    void Recycle(TPeerObject* s);
    void PenalizeEnded(TPeerObject* s, int amount);
    void RefreshCandidates();
    // One step of every candidate's name lookup; never waits for one.
    void ResolveNames();
    void ExpandHostNames();
    void LoadSavedList(bool immediate);
    void RandomMirrors(int n, bool immediate);
    // Parses one source text; adds it (or connects it at once). Sets 20216
    // when it does not parse.
    TPeerId* ParseSource(const std::string& text, int group);
    void NoteParseError();
    void RemoveActive(size_t index, int penalty);
    // A BitTorrent source of the task is connected to the address and port,
    // or talks to this address with this peer id.
    bool PeerAlreadyConnected(const TPeerId* r) const;
    // The engine-wide half-open limit.
    virtual int32_t HalfOpenLimit();

    int32_t m_serverLimit = kDefaultServerLimit;
    int32_t m_peerLimit = 0;
    bool m_pendingListChanged = false;
    std::vector<TPeerId*> m_candidates;
    std::vector<TPeerObject*> m_active;
    std::vector<TPeerObject*> m_idle;
    int32_t m_connectionCounter = 0;
    int32_t m_idleSeconds = 0;    // seconds in a row in which nothing was opened
    int32_t m_lowThroughput = 0;  // seconds in a row with servers below 1 KiB/s
    bool m_candidatesAdded = false;
    bool m_freshPeers = false;  // a BitTorrent candidate was added since the last pass
    bool m_savedListMade = false;
    uint32_t m_onlyTrackersSinceMs = 0;
    bool m_onlyTrackersValid = false;
    uint32_t m_lastSecondMs = 0;
    bool m_secondStarted = false;
    uint32_t m_passCounter = 0;
    uint32_t m_lastConnectionSecond = 0;
    uint32_t m_topUpPausedSecond = 0;  // a top-up found no work in this second
    uint32_t m_lastMirrorSecond = 0;
    uint32_t m_lastTrimSecond = 0;
    uint32_t m_lastBanSecond = 0;
    bool m_comeBack = false;
    bool m_namesPending = false;  // a candidate's host name is being looked up
    int m_divisorForPass = 6;     // d1, set from the throughput
    std::array<uint8_t, 20> m_peerId{};
    // Addresses spared the failure penalty once.
    std::vector<uint32_t> m_forgiven;
    int m_uploadDivisor = 18;
    bool m_uploadQueued = false;  // a source queued upload output in this pass  // d2: slow peers'
                                  // uploads every d2-th pass
    bool m_peerIdMade = false;

    // The task's info hash (false while it has none).
    bool TaskInfoHash(std::array<uint8_t, 20>* out);
    // Offers the task the incoming connections that name it, then the
    // listener maintenance (under the task-list lock).
    void IncomingDispatch();
    uint32_t m_lastDispatchMs = 0;
    bool m_dispatchStarted = false;
    // The LAN socket generation this task announced itself on (0: none).
    uint32_t m_lanGeneration = 0;
};

}  // namespace lf
