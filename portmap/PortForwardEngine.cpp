#include "portmap/PortForwardEngine.h"

#include <arpa/inet.h>
#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/miniwget.h>
#include <miniupnpc/upnpcommands.h>
#include <netdb.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>

#include "engine/log/LogApi.h"
#include "portmap/PortChoice.h"
#include "portmap/SocketTable.h"

namespace portmap {

// The gateway found by discovery: its control addresses and service types.
struct GatewayHandle {
    UPNPUrls urls{};
    IGDdatas data{};
    GatewayHandle() = default;
    GatewayHandle(const GatewayHandle&) = delete;
    GatewayHandle& operator=(const GatewayHandle&) = delete;
    ~GatewayHandle() { FreeUPNPUrls(&urls); }
};

}  // namespace portmap

namespace {

constexpr int kLogChannel = 3;
constexpr const char* kEventMapped = "11390000";
constexpr const char* kEventPublic = "11390001";
constexpr const char* kEventFailed = "11500105";

// Names the calling thread (cut to the 15 characters the system keeps) and
// lowers its priority a little.
void PrepareWorkerThread(const char* name) {
    char shortName[16];
    std::snprintf(shortName, sizeof shortName, "%s", name);
    pthread_setname_np(pthread_self(), shortName);
    const pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    if (errno == 0 && nice < 19) setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice + 1);
}

}  // namespace

CPortForwardEngine::CPortForwardEngine() : m_socketTablePaths(portmap::DefaultSocketTablePaths()) {
    if (const char* iface = std::getenv(kMulticastInterfaceVariable)) m_multicastInterface = iface;
    // Seeded with the current time when the component is made.
    m_random = [generator = std::minstd_rand(static_cast<unsigned>(std::time(nullptr)))]() mutable {
        return static_cast<unsigned>(generator());
    };
    m_localAddressSource = &CPortForwardEngine::ResolveOwnAddress;
}

CPortForwardEngine::~CPortForwardEngine() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stop = true;
    }
    m_changed.notify_all();
    if (m_discovery.joinable()) m_discovery.join();
    if (m_mapping.joinable()) m_mapping.join();
}

void CPortForwardEngine::SetNotificationSink(NotificationSink sink) {
    m_notificationSink = std::move(sink);
}
void CPortForwardEngine::SetEventSink(EventSink sink) {
    m_eventSink = std::move(sink);
}
void CPortForwardEngine::SetDiscoveryWait(std::chrono::milliseconds wait) {
    m_discoveryWait = wait;
}
void CPortForwardEngine::SetSearchDelay(std::chrono::milliseconds delay) {
    m_searchDelay = delay;
}
void CPortForwardEngine::SetMulticastInterface(const std::string& interfaceNameOrAddress) {
    m_multicastInterface = interfaceNameOrAddress;
}
void CPortForwardEngine::SetSocketTablePaths(std::vector<std::string> paths) {
    m_socketTablePaths = std::move(paths);
}
void CPortForwardEngine::SetRandomSource(std::function<unsigned()> source) {
    m_random = std::move(source);
}
void CPortForwardEngine::SetLocalAddressSource(std::function<std::string()> source) {
    m_localAddressSource = std::move(source);
}

portmap::DeviceRecord CPortForwardEngine::Device() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_device;
}

std::string CPortForwardEngine::GatewayServiceType() const {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_gateway) return {};
    return m_gateway->data.first.servicetype;
}

bool CPortForwardEngine::Busy() const {
    return m_discoveryRunning.load() || m_mappingRunning.load();
}

std::string CPortForwardEngine::ResolveOwnAddress() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return {};
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &result) != 0 || result == nullptr) return {};
    std::string text;
    for (addrinfo* ai = result; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET) continue;
        char buffer[INET_ADDRSTRLEN] = {};
        const auto* sin = reinterpret_cast<const sockaddr_in*>(ai->ai_addr);
        if (inet_ntop(AF_INET, &sin->sin_addr, buffer, sizeof buffer) != nullptr) text = buffer;
        break;
    }
    freeaddrinfo(result);
    return text;
}

void CPortForwardEngine::SendEvent(const char* code, const std::string& text, bool log) {
    if (log) lf::EngineLog::Write(kLogChannel, text.c_str());
    if (m_eventSink) m_eventSink(code, text);
}

void CPortForwardEngine::Post(int code, long detail) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_stop) return;
    }
    if (m_notificationSink) {
        m_notificationSink(code, detail);
    } else {
        OnNotification(code, detail);
    }
}

int CPortForwardEngine::ChoosePort() {
    // One reading of the socket tables serves the whole scan.
    const portmap::CSocketTableParser table = portmap::ReadSocketTables(m_socketTablePaths);
    const int port =
        portmap::ChooseListenPort(m_random(), [&table](int p) { return table.InUse(p); });
    if (port == 0) SendEvent(kEventFailed, "没有可用的端口，uPnP失败", true);
    return port;
}

void CPortForwardEngine::Reset() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_discoveryDone = false;
    m_mappingGaveUp = false;
    m_found = portmap::DeviceRecord{};
    m_device = portmap::DeviceRecord{};
    m_gateway.reset();
    m_gatewayFound = false;
}

int CPortForwardEngine::ChoosePortAndMap() {
    const int port = ChoosePort();
    if (port == 0) return 0;

    m_localAddress = m_localAddressSource ? m_localAddressSource() : std::string();
    if (m_localAddress.empty()) {
        SendEvent(kEventFailed, "无法获取本地ip，uPnP失败", true);
        return 0;
    }
    if (!portmap::IsPrivateIPv4(m_localAddress)) {
        SendEvent(kEventPublic, "无需uPnP：本机直通外网" + m_localAddress, true);
        return port;
    }

    // Only one discovery thread per component.
    bool started = false;
    if (!m_discoveryRunning.load()) {
        if (m_discovery.joinable()) m_discovery.join();
        Reset();
        try {
            m_discoveryRunning = true;
            m_discovery = std::thread([this] { DiscoveryThread(); });
            ++m_threadsStarted;
            started = true;
        } catch (...) {
            m_discoveryRunning = false;
        }
    }
    if (!started) {
        SendEvent(kEventFailed, "IGD设备信息线程创建失败", true);
        return 0;
    }
    lf::EngineLog::Write(kLogChannel, "IGD设备信息线程已创建");

    char portText[16];
    std::snprintf(portText, sizeof portText, "%d", port);
    m_request =
        MappingRequest{"", portText, portText, "TCP", m_localAddress, "Yes", kMappingDescription};
    started = false;
    if (!m_mappingRunning.load()) {
        if (m_mapping.joinable()) m_mapping.join();
        try {
            m_mappingRunning = true;
            m_mapping = std::thread([this, request = m_request] { MappingThread(request); });
            ++m_threadsStarted;
            started = true;
        } catch (...) {
            m_mappingRunning = false;
        }
    }
    if (!started) {
        SendEvent(kEventFailed, "uPnP线程创建失败", true);
        return 0;
    }
    lf::EngineLog::Write(kLogChannel, "uPnP线程已创建");
    return port;
}

void CPortForwardEngine::DiscoveryThread() {
    PrepareWorkerThread("DevInfo");
    Post(kDiscoveryProgress, 0);
    const char* const deviceTypes[] = {kGatewayDeviceType, nullptr};
    const std::string iface = m_multicastInterface;
    const int delayMs = static_cast<int>(std::max<long long>(m_searchDelay.count(), 1));
    Post(kDiscoveryProgress, 1);

    // Search until a gateway answers. Without an answer the search goes on
    // while the mapping thread still waits for it, so that a router that is
    // slow to answer is found; it ends when the mapping thread gave up.
    const auto giveUp = std::chrono::steady_clock::now() + m_discoveryWait + 2 * m_searchDelay;
    UPNPDev* devices = nullptr;
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_stop || m_mappingGaveUp) break;
        }
        if (std::chrono::steady_clock::now() >= giveUp) break;
        const auto roundStart = std::chrono::steady_clock::now();
        int error = 0;
        devices = upnpDiscoverDevices(deviceTypes, delayMs, iface.empty() ? nullptr : iface.c_str(),
                                      "", UPNP_LOCAL_PORT_ANY, 0, 2, &error, 0);
        if (devices != nullptr) break;
        // A search that failed at once (no route yet) is not repeated faster
        // than one per search delay.
        std::unique_lock<std::mutex> lock(m_lock);
        m_changed.wait_until(lock, roundStart + m_searchDelay,
                             [this] { return m_stop || m_mappingGaveUp; });
    }
    Post(kDiscoveryProgress, 5);

    bool lastStepOk = true;
    for (UPNPDev* device = devices; device != nullptr; device = device->pNext) {
        Post(kDiscoveryProgress, 6);
        int size = 0;
        int status = 0;
        char* body =
            static_cast<char*>(miniwget(device->descURL, &size, device->scope_id, &status));
        Post(kDiscoveryProgress, 30);
        portmap::DeviceRecord record;
        lastStepOk = body != nullptr && status == 200 && size > 0 &&
                     portmap::ParseDeviceDescription(body, static_cast<size_t>(size), &record);
        std::free(body);
        Post(kDiscoveryProgress, 70);
        if (lastStepOk) {
            // Later devices overwrite earlier ones.
            std::lock_guard<std::mutex> guard(m_lock);
            m_found = record;
        }
        Post(kDiscoveryProgress, 100);
    }

    if (devices != nullptr) {
        auto gateway = std::make_unique<portmap::GatewayHandle>();
        char lanAddress[64] = {};
        const int igd = UPNP_GetValidIGD(devices, &gateway->urls, &gateway->data, lanAddress,
                                         sizeof lanAddress);
        if (igd == 1 || igd == 2) {
            std::lock_guard<std::mutex> guard(m_lock);
            m_gateway = std::move(gateway);
        } else if (igd == 0) {
            // Nothing was allocated.
            std::memset(&gateway->urls, 0, sizeof gateway->urls);
        }
        freeUPNPDevlist(devices);
    }
    Post(kDiscoveryDone, lastStepOk ? 0 : kEFail);
    m_discoveryRunning = false;
}

bool CPortForwardEngine::WaitDiscoveryDone() {
    std::unique_lock<std::mutex> lock(m_lock);
    const bool signalled =
        m_changed.wait_for(lock, m_discoveryWait, [this] { return m_discoveryDone || m_stop; });
    if (!signalled) {
        m_mappingGaveUp = true;
        m_changed.notify_all();
    }
    return signalled;
}

void CPortForwardEngine::MappingThread(MappingRequest request) {
    PrepareWorkerThread("AddMap");
    if (!WaitDiscoveryDone()) {
        SendEvent(kEventFailed, "uPnP失败，获取IGD设备超时", false);
        m_mappingRunning = false;
        return;
    }
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_stop) {
            m_mappingRunning = false;
            return;
        }
    }
    Post(kMappingProgress, 0);
    std::string controlUrl;
    std::string serviceType;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_gateway && m_gateway->urls.controlURL != nullptr) {
            controlUrl = m_gateway->urls.controlURL;
            serviceType = m_gateway->data.first.servicetype;
        }
    }
    if (controlUrl.empty() || serviceType.empty()) {
        Post(kMappingDone, kEFail);
        m_mappingRunning = false;
        return;
    }
    Post(kMappingProgress, 1);
    // The gateway's AddPortMapping always adds an enabled mapping; a request
    // that is not enabled is not sent. Lease "0": the mapping stays.
    int result = UPNPCOMMAND_UNKNOWN_ERROR;
    if (request.enabled == "Yes") {
        result = UPNP_AddPortMapping(
            controlUrl.c_str(), serviceType.c_str(), request.externalPort.c_str(),
            request.internalPort.c_str(), request.internalClient.c_str(),
            request.description.c_str(), request.protocol.c_str(),
            request.remoteHost.empty() ? nullptr : request.remoteHost.c_str(), "0");
    }
    Post(kMappingProgress, 2);
    Post(kMappingDone, result == UPNPCOMMAND_SUCCESS ? 0 : kEFail);
    m_mappingRunning = false;
}

void CPortForwardEngine::OnNotification(int code, long detail) {
    if (code == kDiscoveryDone) {
        if (detail >= 0) {
            std::string logLine;
            {
                std::lock_guard<std::mutex> guard(m_lock);
                m_device = m_found;
                if (m_device.children.empty()) {
                    m_gatewayFound = false;
                    logLine = "NAT device ^Not^ found..";
                } else {
                    m_gatewayFound = true;
                    logLine = "NAT Device found : Name : <" + m_device.friendlyName + ">";
                }
            }
            lf::EngineLog::Write(kLogChannel, logLine.c_str());
        }
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_discoveryDone = true;
        }
        m_changed.notify_all();
    } else if (code == kMappingDone) {
        if (detail >= 0) {
            SendEvent(kEventMapped, "uPnP成功", true);
        } else if (m_gatewayFound.load()) {
            SendEvent(kEventFailed, "IGD设备已找到，但是uPnP依然失败", true);
        } else {
            SendEvent(kEventFailed, "uPnP失败，因为没有IGD设备信息", true);
        }
    }
}
