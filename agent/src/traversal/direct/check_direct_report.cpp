#include "traversal/direct/check_direct_report.hpp"

#include <string>

#include "platform/console.hpp"
#include "traversal/direct/media_ports.hpp"

namespace vx::network {
namespace {

constexpr std::uint32_t kReportLeaseS = 120;

std::string cgnat_verdict(const std::string& error) {
    if (error.find("CGNAT") != std::string::npos)
        return "cgnat/private - a mapping cannot help";
    if (error.find("not globally routable") != std::string::npos)
        return "router WAN is not globally routable";
    return "unknown (no IGD/NAT-PMP/PCP router answered)";
}

void report_discovery(DirectPortMapper& mapper, const ReportWriter& write) {
    std::string wan;
    std::string error;
    if (mapper.discover(wan, error)) {
        write("  discover: OK via " + mapper.discovery_method() + ", router WAN " + wan + "\n");
        write("  cgnat_verdict: public (a mapping is reachable)\n");
        return;
    }
    write("  discover: FAILED - " + error + "\n");
    write("  cgnat_verdict: " + cgnat_verdict(error) + "\n");
}

struct Verdicts {
    bool video = false;
    bool input = false;
};

void report_port(DirectPortMapper& mapper, const MediaPort& media, Verdicts& verdicts,
                 const ReportWriter& write) {
    const std::string name(media.name);
    const std::string port = std::to_string(media.port);
    if (media.port > kMaxUdpPort) {
        write("  " + name + ": port " + port + " out of range\n");
        return;
    }
    std::uint16_t external_port = 0;
    std::string external_ip;
    std::string method;
    if (!mapper.map_port(static_cast<std::uint16_t>(media.port), external_port, external_ip,
                         kReportLeaseS, method)) {
        write("  " + name + ": FAILED UDP " + port + " - " + mapper.last_error() + "\n");
        return;
    }
    std::string line = "  " + name + ": OK UDP " + port + " -> " + external_ip + ":" +
                       std::to_string(external_port) + " via " + method;
    if (media.kind == MediaKind::input && external_port != media.port) {
        line +=
            " (external != internal; the launcher dials " + port + ", so input stays on the relay)";
    }
    write(line + "\n");
    if (media.kind == MediaKind::video)
        verdicts.video = true;
    if (media.kind == MediaKind::input && external_port == media.port)
        verdicts.input = true;
}

}  // namespace

int check_direct_report(std::uint16_t port_base, DirectPortMapper& mapper,
                        const ReportWriter& write) {
    write("Velmora direct path check\n");
    report_discovery(mapper, write);
    Verdicts verdicts;
    const auto ports = media_ports(port_base);
    for (const MediaPort& media : ports)
        report_port(mapper, media, verdicts, write);
    for (const MediaPort& media : ports) {
        if (media.port <= kMaxUdpPort)
            mapper.release(static_cast<std::uint16_t>(media.port));
    }
    write(std::string("  result: ") +
          (verdicts.video ? "direct video path available (STUN not needed)"
                          : "direct path unavailable - STUN/TURN fallback") +
          "\n");
    write(std::string("  input: ") +
          (verdicts.input ? "direct (external port == internal)"
                          : "relay/TURN (not reachable on the internal port)") +
          "\n");
    return verdicts.video ? 0 : 1;
}

int check_direct_report(const AgentConfig& config) {
    DirectPortMapper mapper(DirectPortMapperOptions{});
    // One write per line, so the mapper's log lines on the same console fall between lines.
    return check_direct_report(config.port_base, mapper,
                               [](std::string_view line) { platform::write_console(line); });
}

}  // namespace vx::network
