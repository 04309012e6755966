// Socket table parser: any bytes, fed whole and in pieces. The first byte
// chooses the piece size; both ways must give the same ports.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "portmap/SocketTable.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t piece = static_cast<size_t>(data[0]) + 1;
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    const size_t length = size - 1;

    portmap::CSocketTableParser whole;
    whole.Feed(bytes, length);
    whole.Finish();

    portmap::CSocketTableParser pieces;
    for (size_t at = 0; at < length; at += piece) {
        const size_t n = length - at < piece ? length - at : piece;
        pieces.Feed(bytes + at, n);
    }
    pieces.Finish();

    if (whole.Entries() != pieces.Entries() || whole.Ports() != pieces.Ports()) std::abort();
    for (int port : whole.Ports()) {
        if (port < 0 || port > 65535 || !whole.InUse(port)) std::abort();
    }
    return 0;
}
