#include "traversal/router/igd_discovery.hpp"

#include <algorithm>

#include "traversal/router/device_description.hpp"
#include "traversal/router/http/http_client.hpp"
#include "traversal/router/http/resolve.hpp"
#include "traversal/router/http/router_text.hpp"
#include "traversal/router/ssdp_search.hpp"
#include "util/address.hpp"

namespace vx::network {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::int64_t kMinRequestTimeoutMs = 150;

struct Attempt {
    const RouterScope& scope;
    std::int64_t timeout_ms;
    IgdInfo info;
    std::string error;

    bool fail(std::string text) {
        error = std::move(text);
        return false;
    }
    Deadline deadline() const { return Clock::now() + std::chrono::milliseconds(timeout_ms); }
    bool scope_admits(const asio::ip::address& address) const {
        return is_router_lan_address(address, scope.gateway_on_loopback, ThisPcAddresses{});
    }
};

// The description's LOCATION: a LAN host, resolved once.
bool locate_description(const IgdCandidate& candidate, Attempt& attempt,
                        asio::ip::tcp::endpoint& endpoint) {
    const ParsedUrl location = parse_url(candidate.location);
    if (!location.valid)
        return attempt.fail("SSDP response has an invalid LOCATION");
    std::string error;
    if (!resolve_with_timeout(location.host, location.port, attempt.deadline(), endpoint, error))
        return attempt.fail("SSDP LOCATION resolve: " + error);
    if (!attempt.scope_admits(endpoint.address()))
        return attempt.fail("SSDP LOCATION is not a LAN address");
    return true;
}

bool fetch_service(const IgdCandidate& candidate, const asio::ip::tcp::endpoint& endpoint,
                   Attempt& attempt, DeviceService& service) {
    const HttpResult fetched =
        http_request_to(endpoint, {"GET", candidate.location, "", "", attempt.timeout_ms});
    if (!fetched.ok)
        return attempt.fail("description fetch failed: " + fetched.error);
    if (fetched.status != 200)
        return attempt.fail("description fetch failed: HTTP " + std::to_string(fetched.status));
    const auto chosen = find_wan_connection_service(parse_device_description(fetched.body));
    if (!chosen)
        return attempt.fail("description has no WANIPConnection/WANPPPConnection service");
    if (!chosen->service_type.starts_with("urn:") || has_unsafe_header_bytes(chosen->service_type))
        return attempt.fail("description has an invalid serviceType");
    service = *chosen;
    return true;
}

bool locate_control(const IgdCandidate& candidate, const DeviceService& service, Attempt& attempt) {
    IgdInfo& info = attempt.info;
    info.control_url = resolve_url(candidate.location, service.control_url);
    info.service_type = service.service_type;
    const ParsedUrl control = parse_url(info.control_url);
    if (!control.valid)
        return attempt.fail("router description has an invalid controlURL");
    std::string ignored;
    if (!resolve_with_timeout(control.host, control.port, attempt.deadline(), info.control_endpoint,
                              ignored) ||
        !attempt.scope_admits(info.control_endpoint.address()))
        return attempt.fail("controlURL is not a LAN address");
    const auto lan = lan_address_towards(
        asio::ip::udp::endpoint(info.control_endpoint.address(), info.control_endpoint.port()));
    if (!lan)
        return attempt.fail("could not determine the LAN address towards the router");
    info.lan_address = *lan;
    return true;
}

bool ask_wan_address(Attempt& attempt) {
    std::string error;
    const SoapResult answer =
        upnp_get_external_ip_address(attempt.info.service(), attempt.timeout_ms, error);
    if (!answer.ok)
        return attempt.fail("GetExternalIPAddress: " + error);
    if (!util::parse_ipv4(answer.external_address))
        return attempt.fail("GetExternalIPAddress returned '" + answer.external_address + "'");
    attempt.info.wan_address = answer.external_address;
    attempt.info.found = true;
    return true;
}

bool try_candidate(const IgdCandidate& candidate, Attempt& attempt) {
    asio::ip::tcp::endpoint description;
    DeviceService service;
    return locate_description(candidate, attempt, description) &&
           fetch_service(candidate, description, attempt, service) &&
           locate_control(candidate, service, attempt) && ask_wan_address(attempt);
}

}  // namespace

IgdInfo discover_igd(const DirectPortMapperOptions& options, const RouterScope& scope,
                     std::string& error) {
    IgdInfo found;
    const GatewayTry try_gateway = [&](const IgdCandidate& candidate, std::int64_t budget_left_ms,
                                       std::string& failure) {
        Attempt attempt{
            scope,
            std::min(std::max(budget_left_ms, kMinRequestTimeoutMs), options.request_timeout_ms),
            {},
            {}};
        if (!try_candidate(candidate, attempt)) {
            failure = attempt.error;
            return false;
        }
        found = attempt.info;
        return true;
    };
    if (!search_igd(options.ssdp_wait_ms, scope, try_gateway, error))
        return {};
    return found;
}

}  // namespace vx::network
