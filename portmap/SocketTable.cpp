#include "portmap/SocketTable.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace portmap {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

}  // namespace

bool ParseSocketTableLine(const char* line, size_t size, int* localPort) {
    size_t i = 0;
    while (i < size && IsSpace(line[i])) ++i;
    // Slot number and its colon.
    const size_t slotStart = i;
    while (i < size && line[i] >= '0' && line[i] <= '9') ++i;
    if (i == slotStart || i >= size || line[i] != ':') return false;
    ++i;
    if (i >= size || !IsSpace(line[i])) return false;
    while (i < size && IsSpace(line[i])) ++i;
    // Local address: 8 or 32 hexadecimal digits.
    const size_t addrStart = i;
    while (i < size && HexValue(line[i]) >= 0) ++i;
    const size_t addrLength = i - addrStart;
    if (addrLength != 8 && addrLength != 32) return false;
    if (i >= size || line[i] != ':') return false;
    ++i;
    int port = 0;
    for (int digit = 0; digit < 4; ++digit, ++i) {
        if (i >= size) return false;
        const int v = HexValue(line[i]);
        if (v < 0) return false;
        port = port * 16 + v;
    }
    // The local address ends at a blank (the remote address follows).
    if (i >= size || !IsSpace(line[i])) return false;
    *localPort = port;
    return true;
}

CSocketTableParser::CSocketTableParser() : m_ports(65536, false) {}

void CSocketTableParser::TakeLine() {
    int port = 0;
    if (!m_overlong && ParseSocketTableLine(m_line.data(), m_line.size(), &port)) {
        ++m_entries;
        if (!m_ports[port]) {
            m_ports[port] = true;
            m_list.push_back(port);
        }
    }
    m_line.clear();
    m_overlong = false;
}

void CSocketTableParser::Feed(const char* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        const char c = data[i];
        if (c == '\n') {
            TakeLine();
        } else if (m_line.size() < kMaxLine) {
            m_line.push_back(c);
        } else {
            m_overlong = true;
        }
    }
}

void CSocketTableParser::Finish() {
    if (!m_line.empty() || m_overlong) TakeLine();
}

bool CSocketTableParser::InUse(int port) const {
    if (port < 0 || port > 65535) return false;
    return m_ports[port];
}

std::vector<std::string> DefaultSocketTablePaths() {
    return {"/proc/net/tcp", "/proc/net/tcp6", "/proc/net/udp", "/proc/net/udp6"};
}

CSocketTableParser ReadSocketTables(const std::vector<std::string>& paths) {
    CSocketTableParser parser;
    for (const std::string& path : paths) {
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        char buffer[16384];
        for (;;) {
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            parser.Feed(buffer, static_cast<size_t>(n));
        }
        close(fd);
        parser.Finish();
    }
    return parser;
}

}  // namespace portmap
