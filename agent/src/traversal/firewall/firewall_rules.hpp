#pragma once

// The agent's inbound allow rules for the launcher's control connection and the media and input
// ports, renewed at every start. On Linux they are the agent's own nftables table, replaced in
// one transaction, so a start with another port base leaves exactly one pair of rules. They
// matter only where the host filters its input, and cannot override another table's drop.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/process_launch.hpp"

namespace vx::network {

struct FirewallPorts {
    std::uint16_t tcp = 0;        // P+3, the launcher's control connection
    std::uint16_t udp_first = 0;  // P+2, input
    std::uint16_t udp_last = 0;   // P+5, audio (video P+4 and P+3 lie between)
};

inline constexpr const char* kFirewallTable = "velmora_agent";
inline constexpr std::chrono::milliseconds kFirewallCommandLimit{5000};

// The ports from the port base, each modulo 65536.
FirewallPorts firewall_ports(std::uint16_t port_base);

// The nftables script that replaces the table "inet velmora_agent" (made empty first, so the
// delete never fails on a first start) with an input chain holding the two rules.
std::string firewall_ruleset(const FirewallPorts& ports);

// Starts a program and waits for it within a bound (platform::run_process).
using ProcessRunner = std::function<platform::ProcessOutcome(
    const platform::ProcessRequest&, std::chrono::milliseconds, platform::OnTimeout)>;

// nft by absolute path; empty when it is not installed.
std::string find_nft();

// Runs the script through `nft -f -` (at most 5 s, then killed and reaped) and logs what was
// requested, with one warning when nft is missing or did not apply it.
void setup_firewall_rules(std::uint16_t port_base, const ProcessRunner& run = platform::run_process,
                          const std::string& nft_path = find_nft());

}  // namespace vx::network
