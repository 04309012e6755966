// The kernel's socket tables (/proc/net/tcp, tcp6, udp, udp6) as a set of
// local port numbers in use. The parser takes the bytes of a table in any
// pieces; reading the files is a separate step.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace portmap {

// Incremental parser of one or more socket tables. Each line after the
// header has the form
//   "  sl: LOCALHEX:PORTHEX REMOTEHEX:PORTHEX ST ..."
// where LOCALHEX is 8 (IPv4) or 32 (IPv6) hexadecimal digits and PORTHEX 4.
// Every well-formed line marks its local port as in use, whatever the
// socket's state. Lines that do not have this form (the header, damaged or
// over-long lines) are ignored.
class CSocketTableParser {
public:
    static constexpr size_t kMaxLine = 1024;

    CSocketTableParser();
    // Feeds the next bytes of a table.
    void Feed(const char* data, size_t size);
    // Ends the current table (a last line without a newline counts).
    void Finish();

    bool InUse(int port) const;
    // Number of distinct local ports seen.
    size_t Count() const { return m_list.size(); }
    // The distinct local ports, in the order first seen.
    const std::vector<int>& Ports() const { return m_list; }
    // Number of lines taken as socket entries.
    size_t Entries() const { return m_entries; }

private:
    void TakeLine();

    std::vector<bool> m_ports;
    std::string m_line;
    std::vector<int> m_list;
    bool m_overlong = false;
    size_t m_entries = 0;
};

// Parses one line; on success stores the local port and returns true.
bool ParseSocketTableLine(const char* line, size_t size, int* localPort);

// The tables the port test reads by default.
std::vector<std::string> DefaultSocketTablePaths();

// Reads every table that can be opened; a missing table adds nothing.
CSocketTableParser ReadSocketTables(const std::vector<std::string>& paths);

}  // namespace portmap
