#pragma once

// SOAP 1.1 messages of the UPnP IGD actions the port mapper uses, and how an answer or a fault
// reads. Only UDP is ever mapped, for any remote host, always enabled, described as "Velmora".

#include <cstdint>
#include <string>
#include <string_view>

namespace vx::network {

inline constexpr std::string_view kMappingDescription = "Velmora";

// UPnP IGD error codes the mapper reacts to.
inline constexpr std::int32_t kUpnpNoSuchEntry = 714;    // NoSuchEntryInArray
inline constexpr std::int32_t kUpnpConflict = 718;       // ConflictInMappingEntry
inline constexpr std::int32_t kUpnpOnlyPermanent = 725;  // OnlyPermanentLeasesSupported

struct SoapResult {
    bool ok = false;
    std::int32_t http_status = 0;
    std::int32_t error_code = 0;  // 0 none; -1 a fault or error element without a usable code
    std::string error_description;
    std::string external_address;  // NewExternalIPAddress
    std::string internal_client;   // NewInternalClient (GetSpecificPortMappingEntry)
};

std::string build_soap_envelope(std::string_view service_type, std::string_view action,
                                std::string_view arguments);

SoapResult parse_soap_response(std::string_view body, std::int32_t http_status);

// "UPnP error <code>[ (<description>)]", or "HTTP <status>" when the router gave no code.
std::string describe_upnp_error(const SoapResult& result);

std::string build_add_port_mapping_body(std::uint16_t external_port, std::uint16_t internal_port,
                                        std::string_view lan_address, std::uint32_t lease_s);
// The arguments that name one UDP mapping: DeletePortMapping and GetSpecificPortMappingEntry.
std::string build_mapping_key_body(std::uint16_t external_port);

}  // namespace vx::network
