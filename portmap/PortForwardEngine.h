// CPortForwardEngine: chooses the TCP listening port at start-up and asks a
// UPnP Internet gateway on the local network to forward it to this computer.
//
// How the download controller uses it
// ------------------------------------
// The controller owns one engine as a member and, during its start-up:
//
//   engine.SetEventSink(...);          // statistics: simple events
//   engine.SetNotificationSink(...);   // worker threads -> window thread
//   int port = engine.ChoosePortAndMap();
//   SetListenPort(port);               // 0: the engine's default port
//
// ChoosePortAndMap() returns at once after starting two worker threads,
// "DevInfo" (finds the gateway and reads its description) and "AddMap"
// (adds the mapping once discovery is done). The threads report progress as
// notifications (code, detail):
//
//   code 17  discovery progress  0 started, 1 finder ready, 5 search done,
//                                6 a device is being read, then a rising
//                                percentage while its properties are read
//   code 18  discovery finished  0 success, kEFail failure
//   code 33  mapping progress    0 started, 1 gateway's mapping service
//                                known, 2 mapping call made
//   code 34  mapping finished    0 success, kEFail failure
//
// Notifications are delivered through the NotificationSink, called on the
// worker thread that raised them. The controller posts them to its window
// thread (kNotificationName is the name of the window message used for that)
// and there calls OnNotification(code, detail). OnNotification must be
// called for code 18: it records the gateway and releases the mapping
// thread, which otherwise waits the full discovery wait (60 s) and gives up.
// Without a registered sink, notifications are handed to OnNotification
// directly on the worker thread.
//
// Results go to the statistics channel as simple events through the
// EventSink (code, text): "11390000" mapped, "11390001" public address,
// "11500105" every failure. The sink may be called from the caller's thread,
// the thread that runs OnNotification, and the "AddMap" thread (the timeout
// event); it must be safe to call from any of them. Texts are UTF-8 and the
// same texts are written to the engine log, channel 3 (except the timeout
// event, which is only sent).
//
// Sinks and settings are read by the worker threads: set them before
// ChoosePortAndMap and do not change them while Busy().
//
// The destructor stops both threads and waits for them (a few seconds at
// most while a network call is in progress). Workers stop delivering
// notifications once it has begun, and no sink is called after it returns.
// The mapping is not removed.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "portmap/DeviceRecord.h"

namespace portmap {
struct GatewayHandle;
}

class CPortForwardEngine {
public:
    static constexpr int kDiscoveryProgress = 17;
    static constexpr int kDiscoveryDone = 18;
    static constexpr int kMappingProgress = 33;
    static constexpr int kMappingDone = 34;
    // The failure detail of codes 18 and 34 (E_FAIL).
    static constexpr long kEFail = -2147467259L;
    static constexpr const char* kNotificationName =
        "LANTERNFISH_PORT_FORWARD_ENGINE_THREAD_NOTIFICATION-"
        "{7C29C80A_5712_40e8_A124_A82E4B2795A7}";
    static constexpr const char* kGatewayDeviceType =
        "urn:schemas-upnp-org:device:InternetGatewayDevice:1";
    static constexpr const char* kMappingDescription = "Lanternfish uPnP for P2SP upload/download";
    static constexpr int kDefaultDiscoveryWaitMs = 60000;
    static constexpr int kDefaultSearchDelayMs = 2000;
    // Environment settings read by the constructor.
    static constexpr const char* kMulticastInterfaceVariable = "LANTERNFISH_UPNP_MULTICAST_IF";

    using NotificationSink = std::function<void(int code, long detail)>;
    using EventSink = std::function<void(const std::string& code, const std::string& text)>;

    // The seven texts of a mapping request, in the order the gateway takes them.
    struct MappingRequest {
        std::string remoteHost;      // empty
        std::string externalPort;    // "%d" of the chosen port
        std::string internalPort;    // the same
        std::string protocol;        // "TCP"
        std::string internalClient;  // the local address
        std::string enabled;         // "Yes"
        std::string description;     // kMappingDescription
    };

    CPortForwardEngine();
    ~CPortForwardEngine();
    CPortForwardEngine(const CPortForwardEngine&) = delete;
    CPortForwardEngine& operator=(const CPortForwardEngine&) = delete;

    // Sinks; set them before ChoosePortAndMap. Defaults: events go nowhere,
    // notifications go straight to OnNotification.
    void SetNotificationSink(NotificationSink sink);
    void SetEventSink(EventSink sink);

    // Settings.
    // How long the mapping thread waits for the discovery (60000 ms).
    void SetDiscoveryWait(std::chrono::milliseconds wait);
    // How long one discovery search listens for answers (2000 ms). The
    // discovery repeats its search until a gateway answers or the mapping
    // thread stopped waiting.
    void SetSearchDelay(std::chrono::milliseconds delay);
    // Interface (name or IPv4 address) the search is sent from; empty: the
    // system's choice. Default: $LANTERNFISH_UPNP_MULTICAST_IF.
    void SetMulticastInterface(const std::string& interfaceNameOrAddress);
    // Socket tables of the port test (default /proc/net/tcp, tcp6, udp, udp6).
    void SetSocketTablePaths(std::vector<std::string> paths);
    // Random number for the port choice (default: rand() seeded with the time).
    void SetRandomSource(std::function<unsigned()> source);
    // Local address lookup (default: first IPv4 address of the host name);
    // empty text means none.
    void SetLocalAddressSource(std::function<std::string()> source);

    // The start-up entry: returns the port for SetListenPort, 0 when none.
    int ChoosePortAndMap();
    // Only the port choice (steps before any network work): port or 0. On 0
    // the "no port" event has been sent.
    int ChoosePort();
    // The controller's handler for worker notifications (window thread).
    void OnNotification(int code, long detail);

    // State, for the controller and for tests.
    bool GatewayFound() const { return m_gatewayFound.load(); }
    portmap::DeviceRecord Device() const;  // the record copied at code 18
    const MappingRequest& Request() const { return m_request; }
    const std::string& LocalAddress() const { return m_localAddress; }
    // Service type of the gateway's connection service once discovery found
    // one (for example "urn:schemas-upnp-org:service:WANIPConnection:2").
    std::string GatewayServiceType() const;
    // True while a worker thread runs.
    bool Busy() const;
    // Number of worker threads started since construction.
    int ThreadsStarted() const { return m_threadsStarted.load(); }

    // The first IPv4 address the host name resolves to, or empty.
    static std::string ResolveOwnAddress();

private:
    void SendEvent(const char* code, const std::string& text, bool log);
    void Post(int code, long detail);
    void Reset();
    void DiscoveryThread();
    void MappingThread(MappingRequest request);
    bool WaitDiscoveryDone();

    NotificationSink m_notificationSink;
    EventSink m_eventSink;
    std::chrono::milliseconds m_discoveryWait{kDefaultDiscoveryWaitMs};
    std::chrono::milliseconds m_searchDelay{kDefaultSearchDelayMs};
    std::string m_multicastInterface;
    std::vector<std::string> m_socketTablePaths;
    std::function<unsigned()> m_random;
    std::function<std::string()> m_localAddressSource;

    MappingRequest m_request;
    std::string m_localAddress;
    std::atomic<bool> m_gatewayFound{false};
    std::atomic<int> m_threadsStarted{0};

    // Discovery-done event (manual reset) and the stop request.
    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_discoveryDone = false;
    bool m_mappingGaveUp = false;
    bool m_stop = false;
    // Filled by the discovery thread, read under m_lock.
    portmap::DeviceRecord m_found;
    portmap::DeviceRecord m_device;  // the controller's copy
    std::unique_ptr<portmap::GatewayHandle> m_gateway;

    std::thread m_discovery;
    std::thread m_mapping;
    std::atomic<bool> m_discoveryRunning{false};
    std::atomic<bool> m_mappingRunning{false};
};
