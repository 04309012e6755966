#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/sources/HttpProtocol.h"

using namespace lf;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    http::ResponseHead head;
    if (!http::ParseResponseHead(reinterpret_cast<const char*>(data), size, &head)) return 0;
    if (head.blockBytes > size) __builtin_trap();
    int64_t v = 0;
    http::ResourceSize(head, &v);
    http::ContentRangeStart(head);
    std::string name;
    http::DispositionFileName(head, &name);
    std::string location;
    if (head.Find("Location", &location)) http::AbsoluteLocation(location, "h", 8080);
    return 0;
}
