// A set of closed IPv4 ranges consulted before a source address is
// admitted. Ranges are in host byte order and kept by their end.
#pragma once

#include <cstdint>
#include <map>

namespace lf {

class CIPFilter {
public:
    static constexpr int kAccessThreshold = 127;

    // Adds [start, end] (host byte order); start above end is ignored.
    void AddRange(uint32_t start, uint32_t end);
    void Clear() { m_ranges.clear(); }
    bool Empty() const { return m_ranges.empty(); }
    // addressAsStored: an IPv4 address in network byte order (in_addr.s_addr).
    bool IsFiltered(uint32_t addressAsStored) const;

private:
    std::map<uint32_t, uint32_t> m_ranges;  // end -> start
};

}  // namespace lf
