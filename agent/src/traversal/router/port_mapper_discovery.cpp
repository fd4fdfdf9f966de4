// The mapper's discovery pass: the router's WAN address by UPnP, then by NAT-PMP.
#include <spdlog/spdlog.h>

#include <algorithm>

#include "traversal/router/port_mapper.hpp"
#include "util/address.hpp"

namespace vx::network {
namespace {

constexpr std::int64_t kMinFailureCacheMs = 1000;

std::string class_of(const std::string& address) {
    return std::string(address_class_name(util::classify_ipv4(address)));
}

}  // namespace

bool DirectPortMapper::discovery_cached(std::string& error) const {
    if (discovery_.discovery_ok)
        return true;
    error = discovery_.discovery_error;
    return false;
}

bool DirectPortMapper::discover_locked(bool force, std::string& error) {
    if (!force && discovery_.discovered) {
        // A success holds until a forced pass; a failure is reused for the cache time.
        const std::int64_t cache_us =
            std::max(options_.failure_cache_ms, kMinFailureCacheMs) * 1000;
        if (discovery_.discovery_ok || now_() - discovery_.discovery_time_us < cache_us)
            return discovery_cached(error);
    }
    start_pass();
    std::string summary;
    std::string candidate;
    if (options_.enable_upnp && upnp_discovery(summary, candidate, error))
        return true;
    if (options_.enable_natpmp && !gateway_.empty() && natpmp_discovery(summary, candidate, error))
        return true;
    return fail_discovery(summary, candidate, error);
}

void DirectPortMapper::start_pass() {
    discovery_.discovered = true;
    discovery_.discovery_time_us = now_();
    discovery_.discovery_ok = false;
    discovery_.wan_unroutable = false;
    pcp_allowed_ = true;
    natpmp_tried_ = false;
    last_error_.clear();
    ensure_gateway();
}

bool DirectPortMapper::upnp_discovery(std::string& summary, std::string& candidate,
                                      std::string& error) {
    std::string failure;
    IgdInfo found = steps_->discover_igd(options_, failure);
    if (!found.found) {
        summary += "UPnP: " + failure + "; ";
        return false;
    }
    igd_ = std::move(found);
    if (!util::is_public_ipv4(igd_.wan_address)) {
        candidate = igd_.wan_address;
        summary += "UPnP WAN " + candidate + " is " + class_of(candidate) + "; ";
        return false;
    }
    wan_address_ = igd_.wan_address;
    method_ = "upnp";
    discovery_.discovery_ok = true;
    error.clear();
    spdlog::info("DirectPortMapper: UPnP IGD found, WAN address {}:{}", igd_.wan_address,
                 igd_.lan_address);
    return true;
}

bool DirectPortMapper::natpmp_discovery(std::string& summary, std::string& candidate,
                                        std::string& error) {
    std::string failure;
    if (!ask_natpmp_wan(failure)) {
        summary += "NAT-PMP: " + failure + "; ";
        return false;
    }
    const std::string address = natpmp_wan_;
    if (!util::is_public_ipv4(address)) {
        candidate = address;
        summary += "NAT-PMP WAN " + address + " is " + class_of(address) + "; ";
        return false;
    }
    wan_address_ = address;
    method_ = "natpmp";
    discovery_.discovery_ok = true;
    error.clear();
    spdlog::info("DirectPortMapper: NAT-PMP gateway {} reports WAN address {}", gateway_, address);
    return true;
}

bool DirectPortMapper::ask_natpmp_wan(std::string& error) {
    natpmp_tried_ = true;
    std::string address;
    if (!steps_->natpmp_external_address(gateway_, options_, address, error))
        return false;
    natpmp_ok_ = true;
    natpmp_gateway_ = gateway_;
    natpmp_wan_ = address;
    return true;
}

bool DirectPortMapper::fail_discovery(const std::string& summary, const std::string& candidate,
                                      std::string& error) {
    if (candidate.empty()) {
        discovery_.discovery_error =
            summary.empty() ? "no UPnP IGD / NAT-PMP gateway responded" : summary;
    } else {
        discovery_.wan_unroutable = true;
        const std::string cls = class_of(candidate);
        const char* suffix = (cls == "private" || cls == "cgnat") ? " (CGNAT/upstream NAT)"
                                                                  : " (not globally routable)";
        discovery_.discovery_error = "router WAN address " + candidate + " is " + cls + suffix +
                                     " - a port mapping cannot make it reachable";
    }
    last_error_ = discovery_.discovery_error;
    error = discovery_.discovery_error;
    spdlog::warn("DirectPortMapper: no automatic port mapping ({})", discovery_.discovery_error);
    return false;
}

}  // namespace vx::network
