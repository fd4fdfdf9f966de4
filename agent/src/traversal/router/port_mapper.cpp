#include "traversal/router/port_mapper.hpp"

#include <spdlog/spdlog.h>

#include <algorithm>

namespace vx::network {
namespace {

constexpr std::uint32_t kMaxLeaseS = 600;
constexpr std::int64_t kMaxRenewIntervalUs = 240'000'000;

std::uint32_t effective_lease(std::uint32_t lease_s) {
    return lease_s == 0 ? kMaxLeaseS : std::min(lease_s, kMaxLeaseS);
}

DirectPortMapperOptions clamped(DirectPortMapperOptions options) {
    options.attempts = std::clamp(options.attempts, 1, 5);
    return options;
}

}  // namespace

DirectPortMapper::DirectPortMapper(const DirectPortMapperOptions& options)
    : DirectPortMapper(options, network_port_mapper_steps(), util::steady_now_us) {}

DirectPortMapper::DirectPortMapper(const DirectPortMapperOptions& options,
                                   std::shared_ptr<PortMapperSteps> steps, util::NowFn now)
    : options_(clamped(options)), steps_(std::move(steps)), now_(std::move(now)) {}

DirectPortMapper::~DirectPortMapper() {
    std::vector<PortMapping> rows;
    {
        std::lock_guard lock(mutex_);
        rows.swap(mappings_);
    }
    // A mapping that cannot be deleted now lives on until its lease runs out.
    for (const auto& row : rows) {
        std::string ignored;
        release_mapping(row, ignored, false);
    }
}

bool DirectPortMapper::map_port(std::uint16_t internal_port, std::uint16_t& external_port,
                                std::string& external_ip, std::uint32_t lease_s,
                                std::string& method) {
    std::lock_guard lock(mutex_);
    if (internal_port == 0) {
        last_error_ = "internal port 0";
        return false;
    }
    // A port already mapped keeps its row: nothing is sent and its lease is not touched.
    const PortMapping* row = find_locked(internal_port);
    if (row == nullptr)
        row = map_new_locked(internal_port, effective_lease(lease_s));
    if (row == nullptr)
        return false;
    external_port = row->external_port;
    external_ip = row->external_ip;
    method = row->method;
    return true;
}

std::vector<std::string> DirectPortMapper::attempt_order() const {
    std::vector<std::string> order;
    for (const std::string& method :
         {method_, std::string("upnp"), std::string("natpmp"), std::string("pcp")}) {
        if (!method.empty() && std::find(order.begin(), order.end(), method) == order.end())
            order.push_back(method);
    }
    return order;
}

const PortMapping* DirectPortMapper::map_new_locked(std::uint16_t internal_port,
                                                    std::uint32_t lease_s) {
    std::string ignored;
    discover_locked(false, ignored);
    if (discovery_.wan_unroutable) {
        last_error_ = discovery_.discovery_error;
        return nullptr;
    }
    std::string summary;
    for (const auto& method : attempt_order()) {
        PortMapping made;
        if (map_port_locked(method, internal_port, lease_s, made, summary))
            return &adopt(std::move(made));
    }
    last_error_ = summary.empty() ? "no port-mapping protocol answered" : summary;
    return nullptr;
}

const PortMapping& DirectPortMapper::adopt(PortMapping made) {
    schedule_renewal(made);
    mappings_.push_back(std::move(made));
    const PortMapping& row = mappings_.back();
    method_ = row.method;
    wan_address_ = row.external_ip;
    last_error_.clear();
    spdlog::info("DirectPortMapper: mapped UDP {} -> {}:{} via {}", row.internal_port,
                 row.external_ip, row.external_port, row.method);
    return row;
}

void DirectPortMapper::release(std::uint16_t internal_port) {
    std::lock_guard lock(mutex_);
    const auto it = std::find_if(mappings_.begin(), mappings_.end(), [&](const PortMapping& row) {
        return row.internal_port == internal_port;
    });
    if (it == mappings_.end())
        return;
    const PortMapping row = *it;
    mappings_.erase(it);
    std::string error;
    release_mapping(row, error, true);
}

bool DirectPortMapper::renew(std::uint16_t internal_port, std::uint32_t lease_s) {
    std::lock_guard lock(mutex_);
    PortMapping* row = find_locked(internal_port);
    if (row == nullptr) {
        last_error_ = "no mapping for internal port " + std::to_string(internal_port);
        return false;
    }
    return renew_row(*row, effective_lease(lease_s));
}

bool DirectPortMapper::discover(std::string& wan_address, std::string& error) {
    std::lock_guard lock(mutex_);
    if (!discover_locked(true, error))
        return false;
    wan_address = wan_address_;
    error.clear();
    return true;
}

std::string DirectPortMapper::discovery_method() const {
    std::lock_guard lock(mutex_);
    return method_;
}

std::string DirectPortMapper::last_error() const {
    std::lock_guard lock(mutex_);
    return last_error_;
}

std::optional<PortMapping> DirectPortMapper::mapping(std::uint16_t internal_port) const {
    std::lock_guard lock(mutex_);
    for (const auto& row : mappings_) {
        if (row.internal_port == internal_port)
            return row;
    }
    return std::nullopt;
}

void DirectPortMapper::schedule_renewal(PortMapping& row) const {
    // Half the grant leaves a whole second half for a renewal that needs its retries; a
    // permanent UPnP lease is refreshed like the longest one.
    const std::int64_t half_us = static_cast<std::int64_t>(row.granted_lifetime_s) * 500'000;
    const std::int64_t wait_us =
        row.granted_lifetime_s == 0 ? kMaxRenewIntervalUs : std::min(half_us, kMaxRenewIntervalUs);
    row.renew_due_us = now_() + wait_us;
}

const std::string& DirectPortMapper::ensure_gateway() {
    if (gateway_.empty())
        gateway_ = steps_->default_gateway();
    return gateway_;
}

PortMapping* DirectPortMapper::find_locked(std::uint16_t internal_port) {
    for (auto& row : mappings_) {
        if (row.internal_port == internal_port)
            return &row;
    }
    return nullptr;
}

}  // namespace vx::network
