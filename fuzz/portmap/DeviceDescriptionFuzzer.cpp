// Device description reader: any bytes from a device on the network.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "portmap/DeviceRecord.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly `size` bytes, so that reads past the end are caught.
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    portmap::DeviceRecord record;
    const bool ok = portmap::ParseDeviceDescription(bytes.data(), bytes.size(), &record);
    // A root device always yields the child summary; no root device, none.
    if (ok == record.children.empty()) std::abort();
    return 0;
}
