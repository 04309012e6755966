// Bytes of tracker replies for the tracker tests: compact entries, bencoded
// strings, gzip bodies, and the text form of a peer entry.
#pragma once

#include <arpa/inet.h>
#include <zlib.h>

#include <cstdint>
#include <string>

#include "engine/sources/TrackerProtocol.h"

namespace trackertest {

// A 6-byte compact entry: the address as stored, the port big-endian.
inline std::string Compact(const char* dotted, uint16_t port) {
    uint32_t a = inet_addr(dotted);
    std::string e(reinterpret_cast<const char*>(&a), 4);
    e.push_back(static_cast<char>(port >> 8));
    e.push_back(static_cast<char>(port & 0xff));
    return e;
}

// A bencoded string.
inline std::string Str(const std::string& s) {
    return std::to_string(s.size()) + ":" + s;
}

inline std::string Gzip(const std::string& in) {
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string out(in.size() + 128, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// The transaction id of a UDP request (bytes 12 to 15, little-endian).
inline uint32_t TxOf(const std::string& request) {
    uint32_t t = 0;
    for (int i = 0; i < 4; ++i)
        t |= static_cast<uint32_t>(static_cast<uint8_t>(request[12 + i])) << (8 * i);
    return t;
}

// UDP replies: connect (action 0) and announce (action 1, interval 1800,
// one leecher, two seeders, then the entries).
inline std::string ConnectReply(uint32_t tx, const std::string& connectionId) {
    std::string d("\0\0\0\0", 4);
    for (int i = 0; i < 4; ++i) d.push_back(static_cast<char>(tx >> (8 * i)));
    return d + connectionId;
}

inline std::string AnnounceReply(uint32_t tx, const std::string& entries) {
    std::string d("\0\0\0\x01", 4);
    for (int i = 0; i < 4; ++i) d.push_back(static_cast<char>(tx >> (8 * i)));
    return d + std::string("\0\0\x07\x08\0\0\0\x01\0\0\0\x02", 12) + entries;
}

// "a.b.c.d:port"
inline std::string PeerText(const lf::tracker::PeerEntry& p) {
    in_addr a{};
    a.s_addr = p.ipv4;
    return std::string(inet_ntoa(a)) + ":" + std::to_string(p.port);
}

}  // namespace trackertest
