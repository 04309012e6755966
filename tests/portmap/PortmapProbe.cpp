// Test helper: plays the download controller around one CPortForwardEngine.
// It registers the two sinks, calls ChoosePortAndMap, hands every worker
// notification to OnNotification on its own main thread (as the window
// thread does) and prints what happened, one item a line:
//   PORT <n>            the port ChoosePortAndMap returned
//   ADDRESS <text>      the local address it used
//   NOTE <code> <detail> a notification, in the order handled
//   EVENT <code> <text> a statistics event
//   LOG <line>          an engine log line
//   SERVICE <type>      the gateway's connection service, when one was found
//   THREADS <n>         worker threads started
// Usage: portmap_probe [--interface NAME] [--search-delay MS] [--wait MS]
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

#include "engine/log/LogApi.h"
#include "portmap/PortForwardEngine.h"

using namespace lf;

namespace {

std::mutex g_printLock;

void PrintLine(const std::string& line) {
    std::lock_guard<std::mutex> guard(g_printLock);
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void LogSink(const char* line) {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    PrintLine("LOG " + text);
}

}  // namespace

int main(int argc, char** argv) {
    CPortForwardEngine engine;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const std::string value = argv[i + 1];
        if (option == "--interface") {
            engine.SetMulticastInterface(value);
        } else if (option == "--search-delay") {
            engine.SetSearchDelay(std::chrono::milliseconds(std::atoi(value.c_str())));
        } else if (option == "--wait") {
            engine.SetDiscoveryWait(std::chrono::milliseconds(std::atoi(value.c_str())));
        } else {
            std::fprintf(stderr, "unknown option %s\n", option.c_str());
            return 2;
        }
    }
    // A hard limit, so that a fault never leaves the helper running.
    alarm(240);

    EngineLog::Open();
    SetDebugOutputSink(&LogSink);

    std::mutex queueLock;
    std::condition_variable queued;
    std::deque<std::pair<int, long>> notifications;
    engine.SetNotificationSink([&](int code, long detail) {
        {
            std::lock_guard<std::mutex> guard(queueLock);
            notifications.emplace_back(code, detail);
        }
        queued.notify_one();
    });
    engine.SetEventSink([](const std::string& code, const std::string& text) {
        PrintLine("EVENT " + code + " " + text);
    });

    const int port = engine.ChoosePortAndMap();
    PrintLine("PORT " + std::to_string(port));
    PrintLine("ADDRESS " + engine.LocalAddress());

    // The window thread's part: handle notifications until both workers ended.
    for (;;) {
        std::unique_lock<std::mutex> lock(queueLock);
        queued.wait_for(lock, std::chrono::milliseconds(100),
                        [&] { return !notifications.empty(); });
        if (notifications.empty()) {
            if (!engine.Busy()) break;
            continue;
        }
        const auto [code, detail] = notifications.front();
        notifications.pop_front();
        lock.unlock();
        PrintLine("NOTE " + std::to_string(code) + " " + std::to_string(detail));
        engine.OnNotification(code, detail);
    }
    const std::string service = engine.GatewayServiceType();
    if (!service.empty()) PrintLine("SERVICE " + service);
    PrintLine("THREADS " + std::to_string(engine.ThreadsStarted()));
    SetDebugOutputSink(nullptr);
    EngineLog::Close();
    return 0;
}
