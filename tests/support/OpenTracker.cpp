#include "tests/support/OpenTracker.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace lftest {

namespace {

int ConnectTo(const std::string& address, int port, int timeoutMs) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The integer after the bencoded key ("8:completei5e" gives 5), -1 when absent.
int Number(const std::string& body, const std::string& key) {
    const std::string name = std::to_string(key.size()) + ":" + key + "i";
    const size_t at = body.find(name);
    if (at == std::string::npos) return -1;
    size_t p = at + name.size();
    const size_t digits = p;
    int value = 0;
    while (p < body.size() && body[p] >= '0' && body[p] <= '9' && p - digits < 9) {
        value = value * 10 + (body[p] - '0');
        ++p;
    }
    if (p == digits || p >= body.size() || body[p] != 'e') return -1;
    return value;
}

}  // namespace

bool WaitForTcp(const std::string& address, int port, int milliseconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < end) {
        int fd = ConnectTo(address, port, 500);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

std::string HttpGet(const std::string& address, int port, const std::string& target) {
    int fd = ConnectTo(address, port, 5000);
    if (fd < 0) return {};
    const std::string request = "GET " + target + " HTTP/1.0\r\n\r\n";
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
        close(fd);
        return {};
    }
    std::string answer;
    char buffer[4096];
    for (;;) {
        ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0) break;
        answer.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return answer;
}

bool OpenTracker::Start(const std::vector<std::string>& whitelist, const std::string& address,
                        const std::vector<std::string>& prefix) {
    m_address = address;
    m_port = FreeTcpPort();
    std::string list;
    for (const std::string& h : whitelist) list += h + "\n";
    WriteFile(m_dir / "whitelist", list);
    // opentracker reads the list after it dropped to user nobody, inside
    // its folder (-d is its root).
    chmod(m_dir.Path().c_str(), 0755);
    chmod((m_dir / "whitelist").c_str(), 0644);
    std::vector<std::string> argv = prefix;
    const std::string port = std::to_string(m_port);
    for (const char* a : {"opentracker", "-i"}) argv.emplace_back(a);
    argv.insert(argv.end(), {address, "-p", port, "-P", port, "-d", m_dir.Path(), "-w", "whitelist",
                             "-u", "nobody"});
    if (!m_process.Start(argv, m_dir / "opentracker.log")) return false;
    return WaitForTcp(address, m_port);
}

std::string OpenTracker::HttpAnnounce() const {
    return "http://" + m_address + ":" + std::to_string(m_port) + "/announce";
}

std::string OpenTracker::UdpAnnounce() const {
    return "udp://" + m_address + ":" + std::to_string(m_port);
}

OpenTracker::Counts OpenTracker::Scrape(const std::string& infoHashHex) const {
    std::string escaped;
    for (size_t i = 0; i + 1 < infoHashHex.size(); i += 2)
        escaped += "%" + infoHashHex.substr(i, 2);
    const std::string answer = HttpGet(m_address, m_port, "/scrape?info_hash=" + escaped);
    Counts c;
    const size_t body = answer.find("\r\n\r\n");
    if (body == std::string::npos) return c;
    const std::string b = answer.substr(body + 4);
    c.complete = Number(b, "complete");
    c.incomplete = Number(b, "incomplete");
    c.downloaded = Number(b, "downloaded");
    return c;
}

}  // namespace lftest
