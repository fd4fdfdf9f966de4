#include "traversal/firewall/firewall_rules.hpp"

#include <spdlog/spdlog.h>
#include <unistd.h>

#include <array>

#include "util/session_ports.hpp"

namespace vx::network {
namespace {

// "P+2-P+5" when the range does not wrap past 65535; a wrapped range is written as its two
// pieces, since nftables refuses a range whose end lies below its start.
std::string udp_ports(const FirewallPorts& ports) {
    if (ports.udp_first <= ports.udp_last)
        return std::to_string(ports.udp_first) + "-" + std::to_string(ports.udp_last);
    return "{ " + std::to_string(ports.udp_first) + "-65535, 0-" + std::to_string(ports.udp_last) +
           " }";
}

}  // namespace

FirewallPorts firewall_ports(std::uint16_t port_base) {
    const util::SessionPorts ports = util::session_ports(port_base);
    return {.tcp = static_cast<std::uint16_t>(ports.control),
            .udp_first = static_cast<std::uint16_t>(ports.input),
            .udp_last = static_cast<std::uint16_t>(ports.audio)};
}

std::string firewall_ruleset(const FirewallPorts& ports) {
    const std::string table = std::string("inet ") + kFirewallTable;
    return "table " + table + "\n" + "delete table " + table + "\n" + "table " + table +
           " {\n"
           "\tchain input {\n"
           "\t\ttype filter hook input priority filter; policy accept;\n"
           "\t\ttcp dport " +
           std::to_string(ports.tcp) +
           " accept comment \"Velmora Agent TCP\"\n"
           "\t\tudp dport " +
           udp_ports(ports) +
           " accept comment \"Velmora Agent UDP\"\n"
           "\t}\n"
           "}\n";
}

std::string find_nft() {
    for (const char* path : {"/usr/sbin/nft", "/sbin/nft", "/usr/bin/nft"}) {
        if (::access(path, X_OK) == 0)
            return path;
    }
    return platform::find_in_path("nft");
}

void setup_firewall_rules(std::uint16_t port_base, const ProcessRunner& run,
                          const std::string& nft_path) {
    const FirewallPorts ports = firewall_ports(port_base);
    std::string failure;
    if (nft_path.empty()) {
        failure = "nft is not installed";
    } else {
        const platform::ProcessOutcome outcome =
            run({nft_path, {"-f", "-"}, firewall_ruleset(ports)}, kFirewallCommandLimit,
                platform::OnTimeout::kill);
        if (!outcome.exited_ok())
            failure = "nft: " + outcome.describe();
    }
    spdlog::info("Firewall rules requested: TCP {} UDP {}-{}", ports.tcp, ports.udp_first,
                 ports.udp_last);
    if (!failure.empty()) {
        spdlog::warn(
            "Firewall rules were not added ({}) - where this host filters its input, allow TCP {} "
            "and UDP {}-{} by hand",
            failure, ports.tcp, ports.udp_first, ports.udp_last);
    }
}

}  // namespace vx::network
