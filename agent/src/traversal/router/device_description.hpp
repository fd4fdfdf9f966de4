#pragma once

// The gateway's device description: the services it offers and the WAN connection service the
// port mapper drives.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vx::network {

struct DeviceService {
    std::string service_type;
    std::string service_id;
    std::string control_url;
    std::string scpd_url;
};

struct DeviceDescription {
    std::string friendly_name;            // the last friendlyName of the document
    std::vector<DeviceService> services;  // in document order
};

// A forgiving reader: element names in any letter case and with any namespace prefix, values in
// CDATA sections or with entities; a document cut short keeps what it had.
DeviceDescription parse_device_description(std::string_view xml);

// The WANIPConnection service (version 2 first), else WANPPPConnection, among those with a
// control URL; the first of equal rank wins.
std::optional<DeviceService> find_wan_connection_service(const DeviceDescription& description);

}  // namespace vx::network
