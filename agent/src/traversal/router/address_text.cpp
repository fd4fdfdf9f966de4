#include "traversal/router/address_text.hpp"

#include <algorithm>

#include "traversal/router/http/resolve.hpp"

namespace vx::network {
namespace {

// An address of this PC: an interface of it holds the address, or the route towards the
// address starts from the address itself.
bool is_this_pc(const asio::ip::address_v4& address, const ThisPcAddresses& this_pc) {
    const auto bytes = address.to_bytes();
    const auto own = this_pc.interfaces();
    return std::find(own.begin(), own.end(), bytes) != own.end() ||
           this_pc.route_source(bytes, kGatewayPort) == address.to_string();
}

}  // namespace

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

bool is_router_lan_address(const asio::ip::address& address, bool gateway_on_loopback,
                           const ThisPcAddresses& this_pc) {
    if (!address.is_v4())
        return false;
    switch (util::classify_ipv4(address.to_string())) {
        case util::AddressClass::private_:
        case util::AddressClass::link_local:
        case util::AddressClass::cgnat:
            return !is_this_pc(address.to_v4(), this_pc);
        case util::AddressClass::loopback:
            return gateway_on_loopback;
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
