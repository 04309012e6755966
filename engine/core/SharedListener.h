// The engine-wide peer-to-peer services every task shares: one TCP
// listener on the listening port (8080 when the setting is 0) with the
// connections accepted but not yet claimed by a task, the reachable flag,
// and the LAN discovery socket with the announcements kept for the other
// tasks.
//
// Each task thread runs the incoming dispatch every 400 ms: accept, read
// and classify the pending connections, hand the ones that name the task to
// it, then the listener maintenance (open, reopen when the local address
// changed, close everything while P2P is off). The LAN pass of a task runs
// every 10 s. All of it happens under the task-list lock; the objects are
// owned by CLanternfishCore.
//
// The listener binds all addresses: the machine's chosen local address (or
// the local-address setting) is recorded as the listener's address, shown
// in the listener text, sent in LAN datagrams and compared with remote
// addresses for the reachable flag. Binding only the chosen address could
// leave the listener on an interface nobody reaches (a container bridge).
//
// Addresses are IPv4 in network byte order; ports in host order.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/net/Connection.h"
#include "engine/net/DatagramSocket.h"
#include "engine/net/IPFilter.h"
#include "engine/net/LanDiscovery.h"

namespace lf {

class TBaseWork;

using InfoHash20 = std::array<uint8_t, 20>;

// The multicast socket of LAN discovery (port 31576, group 233.65.31.78,
// shared with other engines on the host) and the announcements one task
// read for the others.
class QLanSocket {
public:
    // Opens, binds and joins the group; false (and closed) on failure.
    bool Open();
    void Close();
    bool IsOpen() const { return m_socket.IsOpen(); }
    // Counts the opens: a task announces itself again on a new socket.
    uint32_t Generation() const { return m_generation; }
    // Sends to the group; false on a failure (the socket is then closed).
    bool SendToGroup(const uint8_t* bytes, size_t size);
    // One waiting datagram: its size, 0 when none waits, -1 on a read
    // error (the socket is then closed).
    long Receive(uint8_t* buffer, size_t size, uint32_t* sender);
    lan::Announcements& Pending() { return m_pending; }

private:
    QDatagramSocket m_socket;
    uint32_t m_generation = 0;
    bool m_failureLogged = false;
    lan::Announcements m_pending;
};

class QSharedListener {
public:
    // The seconds between two checks of the local address.
    static constexpr uint32_t kAddressCheckSeconds = 180;

    QSharedListener();
    ~QSharedListener();

    // ---- run by task threads, under the task-list lock ----
    // The incoming dispatch for `task` whose info hash is `infoHash` (none
    // while the task has no metainfo): accepts, reads the pending
    // connections, offers those that name the task, closes the hopeless
    // ones, then runs the listener maintenance, which sets `listenerText`.
    void Dispatch(TBaseWork& task, const InfoHash20* infoHash, std::string* listenerText);
    // Listener maintenance alone.
    void Maintain(std::string* listenerText);
    // Closes the listener, its pending connections and the LAN socket, and
    // forgets the listener's values and the reachable flag (the last task
    // went, or the engine shuts down).
    void CloseAll();
    // A task leaves: its registered info hash is forgotten.
    void Forget(const TBaseWork* task);

    // ---- state (under the task-list lock) ----
    bool Listening() const { return m_listener.IsListening(); }
    uint32_t Address() const { return m_address; }
    uint16_t Port() const { return m_port; }
    const std::string& AddressText() const { return m_addressText; }
    // Set once a connection came from outside the listener's /24 network.
    // Read without the lock too (the tasks' connection-attempt budget).
    bool Reachable() const { return m_reachable.load(); }
    void ClearReachable() { m_reachable.store(false); }
    size_t PendingCount() const { return m_pending.size(); }
    // The engine-wide IP filter consulted for every accepted connection.
    CIPFilter& Filter() { return m_filter; }
    QLanSocket& Lan() { return m_lan; }
    // Seconds between two checks of the local address (tests shorten it,
    // here or by LANTERNFISH_ADDRESS_CHECK_SECONDS).
    void SetAddressCheckSeconds(uint32_t seconds) { m_addressCheckSeconds = seconds; }
    // The text shown while P2P is off.
    static constexpr const char* kDisabledText = "Service Disabled!";

private:
    struct Pending {
        std::unique_ptr<QConnection> connection;
        uint32_t acceptedMs = 0;
        bool headerAllowed = true;  // no header stripped yet
        bool disguised = false;
    };

    void AcceptNew();
    void ReadAndRoute(TBaseWork& task, const InfoHash20* infoHash);
    void TrimCrowd();
    bool OpenListener();
    void CloseListenerSide();
    // The address the listener is recorded with: the local-address setting,
    // else the machine's chosen local address.
    static uint32_t WantedAddress();
    bool RegisteredByOther(const TBaseWork& task, const uint8_t* hash) const;

    // ---- the UDP server's part of the listener (filled by the UDP
    // server; until then no UDP transport exists and these do nothing) ----
    // Tells the UDP server the listener's endpoint (its SetLocalEndpoint).
    void UdpServerSetLocalEndpoint(uint32_t address, uint16_t port);
    // Starts (when not running) and stops the accepting side of the UDP
    // transport on the listener's port, address and the machine id.
    void UdpTransportStartAccepting(uint32_t address, uint16_t port);
    void UdpTransportStopAccepting();
    // A connection waiting on the UDP transport's accepting side, or none.
    std::unique_ptr<QConnection> UdpTransportAccept();
    // The reachable flag was set: the UDP service is suspended when the
    // reachability-disables option is on.
    void UdpServiceReachable();

    QConnection m_listener;
    // The UDP transport's accepting side: a stream listener bound to the
    // listener's port as its virtual port, and the UDP service run it
    // belongs to.
    QConnection m_udpListener;
    uint32_t m_udpGeneration = 0;
    uint16_t m_udpPort = 0;
    uint32_t m_address = 0;
    uint16_t m_port = 0;
    std::string m_addressText;
    uint32_t m_lastAddressCheck = 0;
    uint32_t m_addressCheckSeconds = kAddressCheckSeconds;
    bool m_openFailureLogged = false;
    std::atomic<bool> m_reachable{false};
    std::vector<Pending> m_pending;
    std::vector<std::pair<const TBaseWork*, InfoHash20>> m_routes;
    CIPFilter m_filter;
    QLanSocket m_lan;
};

}  // namespace lf
