#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "config/agent_config.hpp"

namespace vx {

inline constexpr std::string_view kAgentVersion = "0.4.448";

// Outcome of reading the command line: the configuration, or the one error that stopped the
// reading. The error text names the option it is about.
struct CommandLineResult {
    AgentConfig config;
    std::string error;  // empty when the command line was accepted

    bool ok() const { return error.empty(); }
};

// A command line the agent cannot run with. Thrown by the session driver so that it ends the
// program through the fatal path with the parser's message (never a bare conversion error).
class CommandLineError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Reads the options after the program name. Options are matched exactly; a value option takes the
// next argument whatever it looks like; numbers are whole decimal numbers inside the field's range.
CommandLineResult parse_command_line(const std::vector<std::string>& args);

// "--version"/"-v" and "--help"/"-h" are answered before anything else starts (no log, no
// single-instance check). The first of them on the command line wins; values of value options
// are skipped, so "--saas-host -v" is a host name, not a version request.
enum class EarlyAction { none, version, help };
EarlyAction find_early_action(const std::vector<std::string>& args);

// The text "--help" prints: every option with its meaning and the ports the base fixes; every
// line fits an 80-column console.
std::string usage_text();

// What the console shows for a command line the agent cannot run with: the parser's error and
// where the options are explained, nothing else.
std::string command_line_error_text(std::string_view error);

}  // namespace vx
