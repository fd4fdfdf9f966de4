#include "traversal/router/http/soap.hpp"

#include <optional>

#include "traversal/router/http/router_text.hpp"
#include "traversal/router/http/xml_text.hpp"
#include "util/outside_text.hpp"

namespace vx::network {
namespace {

// SOAP 1.1 section 4.1.1 and 5.1: the envelope and encoding namespaces, with their final slash.
constexpr std::string_view kEnvelopeNs = "http://schemas.xmlsoap.org/soap/envelope/";
constexpr std::string_view kEncodingNs = "http://schemas.xmlsoap.org/soap/encoding/";

// Up to 9 digits: no UPnP code is longer, and a longer one must not wrap into a real code.
constexpr std::uint64_t kMaxErrorCode = 999'999'999;

std::int32_t parse_error_code(const std::string& text) {
    const auto value = parse_decimal(text, kMaxErrorCode);
    return value ? static_cast<std::int32_t>(*value) : -1;
}

// An answer's texts are the router's words, and each may reach a failure text or a log line.
std::optional<std::string> router_words(std::string_view body, std::string_view element) {
    const auto text = find_xml_element_text(body, element);
    if (!text)
        return std::nullopt;
    return util::quote_outside_text(*text);
}

}  // namespace

std::string build_soap_envelope(std::string_view service_type, std::string_view action,
                                std::string_view arguments) {
    std::string body = "<?xml version=\"1.0\" encoding=\"utf-8\"?><s:Envelope xmlns:s=\"";
    body.append(kEnvelopeNs).append("\" s:encodingStyle=\"").append(kEncodingNs);
    body.append("\"><s:Body><u:").append(action).append(" xmlns:u=\"").append(service_type);
    body.append("\">").append(arguments).append("</u:").append(action);
    body.append("></s:Body></s:Envelope>");
    return body;
}

SoapResult parse_soap_response(std::string_view body, std::int32_t http_status) {
    SoapResult result;
    result.http_status = http_status;
    if (auto address = router_words(body, "NewExternalIPAddress"))
        result.external_address = std::move(*address);
    if (auto client = router_words(body, "NewInternalClient"))
        result.internal_client = std::move(*client);
    if (const auto code = find_xml_element_text(body, "errorCode"))
        result.error_code = parse_error_code(*code);
    if (auto description = router_words(body, "errorDescription"))
        result.error_description = std::move(*description);
    if (auto fault = router_words(body, "faultstring")) {
        if (result.error_description.empty())
            result.error_description = std::move(*fault);
        if (result.error_code == 0)
            result.error_code = -1;
    }
    result.ok = http_status == 200 && result.error_code == 0;
    return result;
}

std::string describe_upnp_error(const SoapResult& result) {
    if (result.error_code == 0)
        return "HTTP " + std::to_string(result.http_status);
    std::string text = "UPnP error " + std::to_string(result.error_code);
    if (!result.error_description.empty())
        text += " (" + result.error_description + ")";
    return text;
}

std::string build_add_port_mapping_body(std::uint16_t external_port, std::uint16_t internal_port,
                                        std::string_view lan_address, std::uint32_t lease_s) {
    std::string body = build_mapping_key_body(external_port);
    body.append("<NewInternalPort>").append(std::to_string(internal_port));
    body.append("</NewInternalPort><NewInternalClient>").append(lan_address);
    body.append("</NewInternalClient><NewEnabled>1</NewEnabled><NewPortMappingDescription>");
    body.append(kMappingDescription).append("</NewPortMappingDescription><NewLeaseDuration>");
    body.append(std::to_string(lease_s)).append("</NewLeaseDuration>");
    return body;
}

std::string build_mapping_key_body(std::uint16_t external_port) {
    return "<NewRemoteHost></NewRemoteHost><NewExternalPort>" + std::to_string(external_port) +
           "</NewExternalPort><NewProtocol>UDP</NewProtocol>";
}

}  // namespace vx::network
