#pragma once

// How the NAT in front of this PC hands out external ports, measured with STUN from one local
// port toward two secondary servers.

#include <cstdint>
#include <string>
#include <vector>

#include <asio/io_context.hpp>

#include "traversal/stun/stun_binding.hpp"
#include "util/natwave_profile.hpp"

namespace vx::network {

// The secondary STUN servers used for the mapping profile. The ports are fixed; the host names
// are deployment values. VX_STUN_SECONDARY ("host:port,host:port,...") replaces the whole list,
// which is how tests point the probe at their own servers.
inline constexpr const char* kSecondaryStunEnv = "VX_STUN_SECONDARY";
std::vector<StunServer> default_secondary_stun_servers();
// The list from the environment when set and well-formed, else the default list.
std::vector<StunServer> secondary_stun_servers();
// Parses "host:port,host:port"; entries without a valid port are skipped.
std::vector<StunServer> parse_stun_server_list(const std::string& text);
// The list without entries whose host and port equal the primary server's.
std::vector<StunServer> without_primary(std::vector<StunServer> servers,
                                        const std::string& primary_host,
                                        std::uint16_t primary_port);

// Kind and delta from two samples of the mapping of one local port (pure):
// different or missing addresses: unknown; equal ports: eim; a distance up to 32: pdm-seq with
// that delta; up to 2048: pdm-pba; beyond: pdm-rand. Delta is 1 except for pdm-seq.
struct MappingClass {
    std::uint8_t kind = 0;
    std::uint8_t delta = 1;
};
MappingClass classify_mapping(const std::string& ip1, std::uint16_t port1, const std::string& ip2,
                              std::uint16_t port2);

// Fills `profile` (always written). False only when the primary mapping is missing; otherwise
// true, with conf 1 ("exact-only") when fewer than two secondary samples were had, or conf 2 and
// the measured kind. `timeout_ms` bounds each server's answer.
bool probe_mapping_profile(asio::io_context& io, const std::string& primary_address,
                           std::uint16_t primary_port, const std::vector<StunServer>& secondaries,
                           natwave::Profile& profile, int timeout_ms = kStunBindingTimeoutMs);

}  // namespace vx::network
