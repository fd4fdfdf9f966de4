#include "traversal/router/address_text.hpp"

#include "platform/lan_address.hpp"
#include "traversal/router/http/resolve.hpp"

namespace vx::network {

std::string_view address_class_name(util::AddressClass cls) {
    switch (cls) {
        case util::AddressClass::public_:
            return "public";
        case util::AddressClass::private_:
            return "private";
        case util::AddressClass::cgnat:
            return "cgnat";
        case util::AddressClass::loopback:
            return "loopback";
        case util::AddressClass::link_local:
            return "link-local";
        case util::AddressClass::multicast:
            return "multicast";
        case util::AddressClass::reserved:
            return "reserved";
        default:
            return "invalid";
    }
}

bool is_router_lan_address(const asio::ip::address& address, bool loopback_is_lan) {
    if (!address.is_v4())
        return false;
    switch (util::classify_ipv4(address.to_string())) {
        case util::AddressClass::private_:
        case util::AddressClass::link_local:
        case util::AddressClass::cgnat:
            return true;
        case util::AddressClass::loopback:
            return loopback_is_lan;
        default:
            return false;
    }
}

std::optional<std::string> lan_address_towards(const asio::ip::udp::endpoint& endpoint) {
    if (!endpoint.address().is_v4())
        return std::nullopt;
    return platform::lan_address_towards(endpoint.address().to_v4().to_bytes(), endpoint.port());
}

std::optional<std::string> lan_address_towards_host(const std::string& host, Deadline deadline) {
    asio::ip::tcp::endpoint resolved;
    std::string ignored;
    if (!resolve_with_timeout(host, kGatewayPort, deadline, resolved, ignored))
        return std::nullopt;
    return lan_address_towards(asio::ip::udp::endpoint(resolved.address(), resolved.port()));
}

}  // namespace vx::network
