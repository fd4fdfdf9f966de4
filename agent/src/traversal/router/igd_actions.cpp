#include "traversal/router/igd_actions.hpp"

#include "traversal/router/http/http_client.hpp"

namespace vx::network {

SoapResult soap_call(const UpnpService& service, std::string_view action,
                     std::string_view arguments, std::int64_t timeout_ms, std::string& error) {
    const std::string body = build_soap_envelope(service.service_type, action, arguments);
    const std::string soap_action = service.service_type + "#" + std::string(action);
    const HttpResult http = http_request_to(
        service.endpoint, {"POST", service.control_url, soap_action, body, timeout_ms});
    if (!http.ok) {
        error = http.error;
        return {};
    }
    SoapResult result = parse_soap_response(http.body, http.status);
    if (!result.ok)
        error = describe_upnp_error(result);
    return result;
}

SoapResult upnp_get_external_ip_address(const UpnpService& service, std::int64_t timeout_ms,
                                        std::string& error) {
    return soap_call(service, "GetExternalIPAddress", "", timeout_ms, error);
}

SoapResult upnp_add_port_mapping_action(const UpnpService& service, std::uint16_t external_port,
                                        std::uint16_t internal_port, std::string_view lan_address,
                                        std::uint32_t lease_s, std::int64_t timeout_ms,
                                        std::string& error) {
    return soap_call(
        service, "AddPortMapping",
        build_add_port_mapping_body(external_port, internal_port, lan_address, lease_s), timeout_ms,
        error);
}

SoapResult upnp_delete_port_mapping_action(const UpnpService& service, std::uint16_t external_port,
                                           std::int64_t timeout_ms, std::string& error) {
    return soap_call(service, "DeletePortMapping", build_mapping_key_body(external_port),
                     timeout_ms, error);
}

SoapResult upnp_get_specific_port_mapping_entry(const UpnpService& service,
                                                std::uint16_t external_port,
                                                std::int64_t timeout_ms, std::string& error) {
    return soap_call(service, "GetSpecificPortMappingEntry", build_mapping_key_body(external_port),
                     timeout_ms, error);
}

}  // namespace vx::network
