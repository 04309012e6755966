// opentracker (HTTP and UDP on one port) started by a test with a whitelist
// of info hashes, stopped by its pid when the object goes away; and a
// scrape helper that tells what the tracker knows of a torrent.
#pragma once

#include <string>
#include <vector>

#include "tests/support/TestDirs.h"

namespace lftest {

class OpenTracker {
public:
    // Serves the whitelisted info hashes (40 hex digits each) on a free
    // port at `address`. `prefix` runs it through another command (for
    // example {"ip", "netns", "exec", "lab"} for a host of a test network).
    bool Start(const std::vector<std::string>& whitelist, const std::string& address = "127.0.0.1",
               const std::vector<std::string>& prefix = {});
    void Stop() { m_process.Stop(); }
    int Port() const { return m_port; }
    const std::string& Address() const { return m_address; }
    std::string HttpAnnounce() const;  // http://ADDRESS:PORT/announce
    std::string UdpAnnounce() const;   // udp://ADDRESS:PORT

    // What a scrape reports for one torrent; -1 when the torrent is unknown
    // or the scrape failed.
    struct Counts {
        int complete = -1;
        int incomplete = -1;
        int downloaded = -1;
    };
    Counts Scrape(const std::string& infoHashHex) const;

private:
    TempDir m_dir;
    ChildProcess m_process;
    std::string m_address;
    int m_port = 0;
};

// One HTTP/1.0 GET to address:port; the whole answer (head and body), empty
// when the connection failed.
std::string HttpGet(const std::string& address, int port, const std::string& target);
// True once something accepts TCP connections at address:port.
bool WaitForTcp(const std::string& address, int port, int milliseconds = 10000);

}  // namespace lftest
