#include "engine/core/SharedListener.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdlib>

#include "engine/base/TimeThread.h"
#include "engine/core/BaseWork.h"
#include "engine/core/EngineSettings.h"
#include "engine/core/LanternfishCore.h"
#include "engine/log/LogApi.h"
#include "engine/net/NameResolve.h"
#include "engine/net/PendingConnection.h"
#include "engine/net/UdpServer.h"

namespace lf {

namespace {

bool IsZero(const InfoHash20& h) {
    return std::all_of(h.begin(), h.end(), [](uint8_t b) { return b == 0; });
}

uint16_t ListeningPortSetting() {
    const int32_t p = CLanternfishCore::Instance().listenPort.load();
    return p > 0 && p <= 65535 ? static_cast<uint16_t>(p) : 8080;
}

}  // namespace

// ---- LAN socket ----

bool QLanSocket::Open() {
    m_socket.Close();
    m_socket.SetReuseAddress(true);
    // With a local address set, the group is joined and sent to on that
    // address's interface only (a loopback address keeps discovery on lo).
    const uint32_t local = CLanternfishCore::Instance().localAddress.load();
    if (!m_socket.Open(lan::kPort, 0) || !m_socket.JoinGroup(lan::GroupAddress(), local)) {
        // Tried again at every maintenance: said once until it works.
        if (!m_failureLogged) {
            EngineLog::Printf(38, "LAN discovery socket not opened : Last Error(%d)",
                              m_socket.LastError());
            m_failureLogged = true;
        }
        m_socket.Close();
        return false;
    }
    m_failureLogged = false;
    ++m_generation;
    return true;
}

void QLanSocket::Close() {
    m_socket.Close();
    m_pending.Clear();
}

bool QLanSocket::SendToGroup(const uint8_t* bytes, size_t size) {
    if (!m_socket.IsOpen()) return false;
    if (m_socket.Send(bytes, size, lan::GroupAddress(), lan::kPort) < 0 || !m_socket.IsOpen()) {
        Close();
        return false;
    }
    return true;
}

long QLanSocket::Receive(uint8_t* buffer, size_t size, uint32_t* sender) {
    const long n = m_socket.Receive(buffer, size);
    if (n < 0) {
        Close();
        return -1;
    }
    if (n > 0 && sender != nullptr) *sender = m_socket.SenderAddress();
    return n;
}

// ---- listener ----

// LANTERNFISH_ADDRESS_CHECK_SECONDS shortens the address check (tests that
// move the local address of a running engine).
QSharedListener::QSharedListener()
    : m_addressCheckSeconds(static_cast<uint32_t>(SecondsFromEnvironment(
          "LANTERNFISH_ADDRESS_CHECK_SECONDS", 0, kAddressCheckSeconds, kAddressCheckSeconds))) {}

QSharedListener::~QSharedListener() {
    CloseAll();
}

uint32_t QSharedListener::WantedAddress() {
    const uint32_t setting = CLanternfishCore::Instance().localAddress.load();
    return setting != 0 ? setting : ChooseLocalAddress();
}

bool QSharedListener::OpenListener() {
    const uint16_t port = ListeningPortSetting();
    if (!m_listener.Listen(port)) {
        if (!m_openFailureLogged) {
            EngineLog::Printf(38, "listener on port %u not opened : Last Error(%d)",
                              static_cast<unsigned>(port), m_listener.LastError());
            m_openFailureLogged = true;
        }
        m_listener.Close();
        return false;
    }
    m_openFailureLogged = false;
    m_address = WantedAddress();
    m_port = m_listener.LocalPort();
    m_addressText = DottedAddress(m_address);
    m_lastAddressCheck = CachedSeconds();
    EngineLog::Printf(22, "listening on %s : %u", m_addressText.c_str(),
                      static_cast<unsigned>(m_port));
    return true;
}

void QSharedListener::CloseListenerSide() {
    m_listener.Close();
    UdpTransportStopAccepting();
    m_pending.clear();
    m_address = 0;
    m_port = 0;
    m_addressText.clear();
}

void QSharedListener::CloseAll() {
    CloseListenerSide();
    m_lan.Close();
    m_routes.clear();
    m_reachable.store(false);
}

void QSharedListener::Forget(const TBaseWork* task) {
    m_routes.erase(std::remove_if(m_routes.begin(), m_routes.end(),
                                  [task](const auto& r) { return r.first == task; }),
                   m_routes.end());
}

bool QSharedListener::RegisteredByOther(const TBaseWork& task, const uint8_t* hash) const {
    const CLanternfishCore& core = CLanternfishCore::Instance();
    for (const auto& r : m_routes) {
        if (r.first == &task || !std::equal(r.second.begin(), r.second.end(), hash)) continue;
        if (std::find(core.tasks.begin(), core.tasks.end(), r.first) != core.tasks.end())
            return true;
    }
    for (const auto& h : core.infoHashes)
        if (std::equal(h.begin(), h.end(), hash)) return true;
    return false;
}

void QSharedListener::AcceptNew() {
    for (int i = 0; i < incoming::kAcceptsPerPass; ++i) {
        std::unique_ptr<QConnection> c;
        bool fromTcp = false;
        if (m_listener.IsListening()) {
            c = m_listener.Accept();
            fromTcp = c != nullptr;
        }
        if (!c) c = UdpTransportAccept();
        if (!c) break;
        const uint32_t remote = c->TargetAddress();
        if (fromTcp && !m_reachable.load()) {
            // The /24 network: the address in network order with its last
            // byte ignored.
            const uint32_t mask = htonl(0xffffff00u);
            if ((remote & mask) != (m_address & mask)) {
                m_reachable.store(true);
                EngineLog::Printf(22, "reachable from outside: incoming connection from %s",
                                  DottedAddress(remote).c_str());
                UdpServiceReachable();
            }
        }
        if (m_filter.IsFiltered(remote)) {
            c->Close();
            continue;
        }
        Pending p;
        p.connection = std::move(c);
        p.acceptedMs = TickCountMs();
        m_pending.push_back(std::move(p));
    }
}

void QSharedListener::ReadAndRoute(TBaseWork& task, const InfoHash20* infoHash) {
    const incoming::HashLookup lookup = [&](const uint8_t* hash) {
        if (infoHash != nullptr && std::equal(infoHash->begin(), infoHash->end(), hash))
            return incoming::Owner::kThisTask;
        return RegisteredByOther(task, hash) ? incoming::Owner::kOtherTask
                                             : incoming::Owner::kNobody;
    };
    const uint32_t now = TickCountMs();
    for (size_t i = 0; i < m_pending.size();) {
        Pending& p = m_pending[i];
        QConnection& c = *p.connection;
        if (c.ReceivedSize() < incoming::kReadCap &&
            c.ReceiveData(std::min(incoming::kReadChunk, incoming::kReadCap - c.ReceivedSize())) <
                0) {
            m_pending.erase(m_pending.begin() + static_cast<long>(i));
            continue;
        }
        const incoming::Decision d = incoming::Classify(
            c.ReceivedData(), c.ReceivedSize(), p.headerAllowed, now - p.acceptedMs, lookup);
        if (d.verdict == incoming::Verdict::kClose) {
            m_pending.erase(m_pending.begin() + static_cast<long>(i));
            continue;
        }
        if (d.stripBytes > 0) {
            c.ConsumeReceived(d.stripBytes);
            p.disguised = true;
        }
        if (d.headerSettled) p.headerAllowed = false;
        if (d.verdict == incoming::Verdict::kOffer && task.IsHandshakeForTask(c)) {
            std::unique_ptr<QConnection> taken = std::move(p.connection);
            const bool disguised = p.disguised;
            m_pending.erase(m_pending.begin() + static_cast<long>(i));
            if (!task.AcceptIncoming(taken, disguised) && taken) taken->Close();
            continue;
        }
        ++i;
    }
}

void QSharedListener::TrimCrowd() {
    const size_t count = m_pending.size();
    if (count <= incoming::kCrowded) return;
    const uint32_t now = TickCountMs();
    m_pending.erase(std::remove_if(m_pending.begin(), m_pending.end(),
                                   [&](const Pending& p) {
                                       return incoming::TrimWhenCrowded(
                                           count, now - p.acceptedMs, p.connection->ReceivedSize());
                                   }),
                    m_pending.end());
}

void QSharedListener::Dispatch(TBaseWork& task, const InfoHash20* infoHash,
                               std::string* listenerText) {
    if (infoHash != nullptr && !IsZero(*infoHash)) {
        auto it = std::find_if(m_routes.begin(), m_routes.end(),
                               [&task](const auto& r) { return r.first == &task; });
        if (it == m_routes.end()) {
            m_routes.emplace_back(&task, *infoHash);
        } else {
            it->second = *infoHash;
        }
    } else {
        infoHash = nullptr;
    }
    if (CLanternfishCore::Instance().p2pEnabled.load() != 0) {
        AcceptNew();
        ReadAndRoute(task, infoHash);
        TrimCrowd();
    }
    Maintain(listenerText);
}

void QSharedListener::Maintain(std::string* listenerText) {
    if (CLanternfishCore::Instance().p2pEnabled.load() == 0) {
        if (m_listener.IsListening() || m_lan.IsOpen() || !m_pending.empty()) {
            CloseListenerSide();
            m_lan.Close();
            EngineLog::Printf(22, "P2P off: listener and LAN discovery closed");
        }
        if (listenerText != nullptr) *listenerText = kDisabledText;
        return;
    }
    const uint32_t now = CachedSeconds();
    if (m_listener.IsListening() && now - m_lastAddressCheck >= m_addressCheckSeconds) {
        m_lastAddressCheck = now;
        const uint32_t wanted = WantedAddress();
        if (wanted != m_address) {
            EngineLog::Printf(22, "local address changed from %s to %s: listener reopened",
                              m_addressText.c_str(), DottedAddress(wanted).c_str());
            CloseListenerSide();
        }
    }
    if (!m_listener.IsListening() && OpenListener()) UdpTransportStopAccepting();
    if (m_listener.IsListening()) {
        UdpServerSetLocalEndpoint(m_address, m_port);
        UdpTransportStartAccepting(m_address, m_port);
        if (listenerText != nullptr) *listenerText = m_addressText + " : " + std::to_string(m_port);
    }
    if (!m_lan.IsOpen()) m_lan.Open();
}

// ---- the UDP server's part ----

// The UDP server moves its socket to the listener's port (and reports the
// listener's address to the rendezvous service).
void QSharedListener::UdpServerSetLocalEndpoint(uint32_t address, uint16_t port) {
    if (QUInternalServer* server = CLanternfishCore::Instance().udpServer)
        server->SetLocalEndpoint(address, port);
}

// The streams' accepting side: a stream listener on the listener's port as
// virtual port, under the machine id. It belongs to one run of the UDP
// service; after a restart of the service it is opened again.

void QSharedListener::UdpTransportStartAccepting(uint32_t address, uint16_t port) {
    CLanternfishCore& core = CLanternfishCore::Instance();
    const uint32_t generation = core.UdpGeneration();
    if (m_udpListener.IsListening() && m_udpGeneration == generation && m_udpPort == port) return;
    if (!core.UdpTransportOn()) return;
    m_udpListener.Close();
    QTransportId id;
    const std::array<uint8_t, 8> seed = core.MachineId();
    std::copy(seed.begin(), seed.end(), id.bytes);
    id.bytes[8] = 'U';
    id.bytes[9] = 'D';
    id.bytes[10] = 'P';
    m_udpListener.SetNetServices(&core.Net());
    if (!m_udpListener.Listen(port, &address, &id)) {
        m_udpListener.Close();
        return;
    }
    m_udpGeneration = generation;
    m_udpPort = port;
    EngineLog::Printf(22, "UDP streams accepted on virtual port %u", static_cast<unsigned>(port));
}

void QSharedListener::UdpTransportStopAccepting() {
    m_udpListener.Close();
    m_udpPort = 0;
}

std::unique_ptr<QConnection> QSharedListener::UdpTransportAccept() {
    if (!m_udpListener.IsListening()) return nullptr;
    std::unique_ptr<QConnection> c = m_udpListener.Accept();
    if (c)
        EngineLog::Printf(22, "incoming UDP stream from %s : %u",
                          DottedAddress(c->TargetAddress()).c_str(),
                          static_cast<unsigned>(c->TargetPort()));
    return c;
}

// Reached from outside: the engine needs no hole punching, so the UDP
// service suspends (reachability switches the UDP transport off).
void QSharedListener::UdpServiceReachable() {
    if (QUInternalServer* server = CLanternfishCore::Instance().udpServer)
        server->SetSuspended(true);
}

}  // namespace lf
