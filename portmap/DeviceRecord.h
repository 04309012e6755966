// The properties of a gateway device as texts, read from its UPnP device
// description (the XML document its discovery answer points to).
#pragma once

#include <cstddef>
#include <string>

namespace portmap {

struct DeviceRecord {
    // "No: Zero children", "Yes: One child" or "Yes: %d children". Empty
    // while no device was read; every device read fills it.
    std::string children;
    std::string description;  // modelDescription
    std::string friendlyName;
    std::string hasChildren;  // "Yes" or "No"
    std::string iconUrl;      // the "image/gif" 32 x 32 x 8 icon, when listed
    std::string manufacturer;
    std::string manufacturerUrl;
    std::string modelName;
    std::string modelNumber;
    std::string modelUrl;
    std::string parentDevice;  // "This is a topmost device"
    std::string presentationUrl;
    std::string rootDevice;  // "This is a topmost device"
    std::string serialNumber;
    std::string services;  // "No: Zero services", "Yes: One service" or "Yes: %d services"
    std::string type;      // deviceType
    std::string udn;
    std::string upc;
};

// Reads the root device of a device description. Properties of embedded
// devices are not taken; they only count as children. Returns false when
// the bytes hold no root device element; the record is filled as far as
// the document allows either way.
bool ParseDeviceDescription(const char* data, size_t size, DeviceRecord* record);

}  // namespace portmap
