// Response heads as they arrive: the bytes are fed to the incremental
// scanner in chunks (the first input byte picks the chunk size, the second
// a cap), and the result must match one scan of the whole buffer; the head
// found is then split and its values read.
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/sources/HttpProtocol.h"

using namespace lf;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size < 2) return 0;
    const size_t chunk = static_cast<size_t>(bytes[0]) + 1;
    const size_t limit = bytes[1] < 128 ? http::kMaxHeadBytes : static_cast<size_t>(bytes[1]);
    const char* data = reinterpret_cast<const char*>(bytes + 2);
    size -= 2;

    http::HeadScanner whole(limit);
    const http::HeadScanner::State once = whole.Scan(data, size);
    http::HeadScanner scanner(limit);
    http::HeadScanner::State state = http::HeadScanner::kNeedMore;
    size_t have = 0;
    while (state == http::HeadScanner::kNeedMore && have < size) {
        have = have + chunk < size ? have + chunk : size;
        state = scanner.Scan(data, have);
    }
    if (size > 0 && state != once) __builtin_trap();
    if (state != http::HeadScanner::kComplete) return 0;
    if (scanner.HeadBytes() != whole.HeadBytes()) __builtin_trap();
    if (scanner.HeadBytes() > size || scanner.HeadBytes() > limit) __builtin_trap();

    http::ResponseHead head;
    http::SplitResponseHead(data, scanner.HeadBytes(), &head);
    if (head.blockBytes != scanner.HeadBytes()) __builtin_trap();
    int64_t v = 0;
    http::ResourceSize(head, &v);
    http::ContentRangeStart(head);
    std::string name;
    http::DispositionFileName(head, &name);
    std::string location;
    if (head.Find("Location", &location)) http::AbsoluteLocation(location, "h", 8080);
    return 0;
}
