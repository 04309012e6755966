#include "engine/net/IPFilter.h"

#include <arpa/inet.h>

namespace lf {

void CIPFilter::AddRange(uint32_t start, uint32_t end) {
    if (start > end) return;
    m_ranges[end] = start;
}

bool CIPFilter::IsFiltered(uint32_t addressAsStored) const {
    if (m_ranges.empty()) return false;
    const uint32_t address = ntohl(addressAsStored);
    auto it = m_ranges.lower_bound(address);  // first end not below the address
    return it != m_ranges.end() && it->second <= address;
}

}  // namespace lf
