#pragma once

// Asks the home router to forward UDP ports to this PC: UPnP IGD first, then NAT-PMP, then PCP.
// Learns the router's WAN address and refuses to map when it is not public, keeps a table of the
// mappings it made, renews and deletes them, and deletes what is left when destroyed. Every
// operation is synchronous and holds the one mutex for its whole length, network included.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "traversal/router/port_mapper_steps.hpp"
#include "util/clock.hpp"

namespace vx::network {

// One mapping, one row per internal port.
struct PortMapping {
    std::string external_ip;
    std::uint16_t external_port = 0;
    std::string method;  // "upnp", "natpmp" or "pcp"
    std::uint16_t internal_port = 0;
    // UPnP: where the mapping was made; renewal and deletion go there, whatever a later
    // discovery finds.
    std::string control_url;
    std::string service_type;
    asio::ip::tcp::endpoint control_endpoint;
    std::string internal_client;  // UPnP: NewInternalClient; PCP: the client address sent
    std::string gateway;          // NAT-PMP and PCP
    PcpNonce nonce{};             // PCP: repeated by renewal and deletion
    // What the router granted (UPnP: what was asked, 0 = permanent). A gateway may grant less
    // than asked, so renewal follows the grant, not a fixed period.
    std::uint32_t granted_lifetime_s = 0;
    std::int64_t renew_due_us = 0;  // steady clock: half the grant, at most 240 s after mapping
};

struct DiscoveryRecord {
    bool discovered = false;      // a pass has run
    bool discovery_ok = false;    // the last pass found a public WAN address
    bool wan_unroutable = false;  // the last pass found a WAN address that is not public
    std::int64_t discovery_time_us = 0;
    std::string discovery_error;
};

class DirectPortMapper {
  public:
    explicit DirectPortMapper(const DirectPortMapperOptions& options);
    DirectPortMapper(const DirectPortMapperOptions& options, std::shared_ptr<PortMapperSteps> steps,
                     util::NowFn now);
    ~DirectPortMapper();
    DirectPortMapper(const DirectPortMapper&) = delete;
    DirectPortMapper& operator=(const DirectPortMapper&) = delete;

    // Maps one UDP port, the external port equal to the internal one where the protocol lets
    // the agent choose. A port already mapped returns its row without asking the router.
    bool map_port(std::uint16_t internal_port, std::uint16_t& external_port,
                  std::string& external_ip, std::uint32_t lease_s, std::string& method);
    // Removes the row and deletes its mapping; an unknown port is ignored.
    void release(std::uint16_t internal_port);
    // Refreshes an existing mapping's lease with its own method and, for UPnP, its own service.
    bool renew(std::uint16_t internal_port, std::uint32_t lease_s);
    // A forced discovery pass; the WAN address on success.
    bool discover(std::string& wan_address, std::string& error);

    std::string discovery_method() const;
    std::string last_error() const;
    std::optional<PortMapping> mapping(std::uint16_t internal_port) const;

  private:
    // A discovery pass with the mutex held: forced, or reusing the last pass's outcome.
    bool discover_locked(bool force, std::string& error);
    bool discovery_cached(std::string& error) const;
    void start_pass();
    bool upnp_discovery(std::string& summary, std::string& candidate, std::string& error);
    bool natpmp_discovery(std::string& summary, std::string& candidate, std::string& error);
    // The NAT-PMP address request; fills the natpmp_* record on an answer.
    bool ask_natpmp_wan(std::string& error);
    bool fail_discovery(const std::string& summary, const std::string& candidate,
                        std::string& error);
    std::vector<std::string> attempt_order() const;
    const PortMapping* map_new_locked(std::uint16_t internal_port, std::uint32_t lease_s);
    const PortMapping& adopt(PortMapping made);
    bool map_port_locked(const std::string& method, std::uint16_t internal_port,
                         std::uint32_t lease_s, PortMapping& row, std::string& summary);
    bool map_upnp(std::uint16_t internal_port, std::uint32_t lease_s, PortMapping& row,
                  std::string& summary);
    bool map_natpmp(std::uint16_t internal_port, std::uint32_t lease_s, PortMapping& row,
                    std::string& summary);
    bool map_pcp(std::uint16_t internal_port, std::uint32_t lease_s, PortMapping& row,
                 std::string& summary);
    bool renew_row(PortMapping& row, std::uint32_t lease_s);
    bool renew_upnp(PortMapping& row, std::uint32_t lease_s);
    bool renew_natpmp(PortMapping& row, std::uint32_t lease_s);
    bool renew_pcp(PortMapping& row, std::uint32_t lease_s);
    bool release_mapping(const PortMapping& row, std::string& error, bool log_failure);
    std::string pcp_client(const PortMapping& row);
    void schedule_renewal(PortMapping& row) const;
    const std::string& ensure_gateway();
    PortMapping* find_locked(std::uint16_t internal_port);

    DirectPortMapperOptions options_;
    std::shared_ptr<PortMapperSteps> steps_;
    util::NowFn now_;

    mutable std::mutex mutex_;
    std::vector<PortMapping> mappings_;
    DiscoveryRecord discovery_;
    std::string wan_address_;
    std::string method_;
    std::string last_error_;
    std::string gateway_;
    IgdInfo igd_;
    bool natpmp_ok_ = false;
    std::string natpmp_gateway_;
    std::string natpmp_wan_;
    bool pcp_allowed_ = true;
    bool natpmp_tried_ = false;
};

}  // namespace vx::network
