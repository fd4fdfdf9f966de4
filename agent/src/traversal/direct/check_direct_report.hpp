#pragma once

// "--check-direct": whether the home router forwards the agent's media ports, without a backend
// and without a session. The media ports are mapped as a session would map them, reported on
// standard output, and released again.

#include <cstdint>
#include <functional>
#include <string_view>

#include "config/agent_config.hpp"
#include "traversal/router/port_mapper.hpp"

namespace vx::network {

// Takes one whole line of the report, "\n" included.
using ReportWriter = std::function<void(std::string_view line)>;

// The report with `mapper`; 0 when the router mapped the video port, else 1. Nothing the report
// mapped is left on the router.
int check_direct_report(std::uint16_t port_base, DirectPortMapper& mapper,
                        const ReportWriter& write);

// The report on standard output with a mapper of its own, made with the driver's options.
int check_direct_report(const AgentConfig& config);

}  // namespace vx::network
