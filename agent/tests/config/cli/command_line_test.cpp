#include "config/command_line.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace vx {
namespace {

using ::testing::HasSubstr;
using Args = std::vector<std::string>;

TEST(CommandLine, DefaultsWithNoArguments) {
    const CommandLineResult r = parse_command_line({});
    ASSERT_TRUE(r.ok()) << r.error;
    const AgentConfig& c = r.config;
    EXPECT_EQ(c.port_base, 47998);
    EXPECT_EQ(c.width, 1920u);
    EXPECT_EQ(c.height, 1080u);
    EXPECT_EQ(c.fps, 60u);
    EXPECT_EQ(c.bitrate, 30'000'000u);
    EXPECT_EQ(c.codec, "h264");
    EXPECT_EQ(c.saas_host, "");
    EXPECT_EQ(c.saas_port, 443);
    EXPECT_EQ(c.control_udp_host, "");
    EXPECT_EQ(c.control_udp_port, 0);
    EXPECT_EQ(c.client_idle_timeout_sec, 10u);
    EXPECT_EQ(c.adapter, -1);
    EXPECT_FALSE(c.check_direct);
    EXPECT_FALSE(c.audio_parity_given);
    EXPECT_FALSE(c.hide_desktop);
    EXPECT_FALSE(c.launch_steam);
    EXPECT_TRUE(c.stun.empty() && c.force_direct.empty() && c.turn_url.empty());
    EXPECT_EQ(c.max_duration_sec, 0u);
}

struct OptionCase {
    Args args;
    std::function<bool(const AgentConfig&)> holds;
};

// Every option the agent knows, each with the field it must set.
TEST(CommandLine, EveryOptionSetsItsField) {
    const std::vector<OptionCase> cases = {
        {{"--port-base", "50000"}, [](const AgentConfig& c) { return c.port_base == 50000; }},
        {{"--port", "40000"}, [](const AgentConfig& c) { return c.port_base == 40000; }},
        // The highest base whose audio port (base+5) is still a port.
        {{"--port-base", "65530"}, [](const AgentConfig& c) { return c.port_base == 65530; }},
        {{"--width", "1280"}, [](const AgentConfig& c) { return c.width == 1280; }},
        {{"--height", "720"}, [](const AgentConfig& c) { return c.height == 720; }},
        {{"--fps", "144"}, [](const AgentConfig& c) { return c.fps == 144; }},
        {{"--bitrate", "4294967295"},
         [](const AgentConfig& c) { return c.bitrate == 4294967295u; }},
        {{"--codec", "hevc"}, [](const AgentConfig& c) { return c.codec == "hevc"; }},
        {{"--saas-host", "api.example"},
         [](const AgentConfig& c) { return c.saas_host == "api.example"; }},
        {{"--saas-port", "8443"}, [](const AgentConfig& c) { return c.saas_port == 8443; }},
        {{"--control-udp", "10.0.0.1:7000"},
         [](const AgentConfig& c) {
             return c.control_udp_host == "10.0.0.1" && c.control_udp_port == 7000;
         }},
        {{"--stun", "stun.example:19302"},
         [](const AgentConfig& c) { return c.stun == "stun.example:19302"; }},
        {{"--server-id", "abc"}, [](const AgentConfig& c) { return c.server_id == "abc"; }},
        {{"--agent-token", "tok"}, [](const AgentConfig& c) { return c.agent_token == "tok"; }},
        {{"--public-ip", "203.0.113.9"},
         [](const AgentConfig& c) { return c.public_ip == "203.0.113.9"; }},
        {{"--force-direct", "198.51.100.7"},
         [](const AgentConfig& c) { return c.force_direct == "198.51.100.7"; }},
        {{"--check-direct"}, [](const AgentConfig& c) { return c.check_direct; }},
        {{"--audio-parity"},
         [](const AgentConfig& c) { return c.audio_parity && c.audio_parity_given; }},
        {{"--no-audio-parity"},
         [](const AgentConfig& c) { return !c.audio_parity && c.audio_parity_given; }},
        {{"--adapter", "2"}, [](const AgentConfig& c) { return c.adapter == 2; }},
        {{"--adapter", "-1"}, [](const AgentConfig& c) { return c.adapter == -1; }},
        {{"--adapter-vendor", "nvidia"},
         [](const AgentConfig& c) { return c.adapter_vendor == "nvidia"; }},
        {{"--turn-url", "turn:1.2.3.4:3478"},
         [](const AgentConfig& c) { return c.turn_url == "turn:1.2.3.4:3478"; }},
        {{"--turn-user", "u"}, [](const AgentConfig& c) { return c.turn_user == "u"; }},
        {{"--turn-pass", "p"}, [](const AgentConfig& c) { return c.turn_pass == "p"; }},
        {{"--client-idle-timeout", "0"},
         [](const AgentConfig& c) { return c.client_idle_timeout_sec == 0; }},
        {{"--hide-desktop"}, [](const AgentConfig& c) { return c.hide_desktop; }},
        {{"--launch-steam"}, [](const AgentConfig& c) { return c.launch_steam; }},
        {{"--steam-app-id", "570"}, [](const AgentConfig& c) { return c.steam_app_id == "570"; }},
        {{"--steam-path", "/usr/games/steam"},
         [](const AgentConfig& c) { return c.steam_path == "/usr/games/steam"; }},
        {{"--verbose"}, [](const AgentConfig& c) { return c.verbose; }},
        {{"--version"}, [](const AgentConfig&) { return true; }},
        {{"-v"}, [](const AgentConfig&) { return true; }},
        {{"--help"}, [](const AgentConfig&) { return true; }},
        {{"-h"}, [](const AgentConfig&) { return true; }},
    };
    for (const OptionCase& c : cases) {
        const CommandLineResult r = parse_command_line(c.args);
        ASSERT_TRUE(r.ok()) << c.args[0] << ": " << r.error;
        EXPECT_TRUE(c.holds(r.config)) << c.args[0];
    }
}

TEST(CommandLine, ValueOptionTakesNextArgumentEvenIfItLooksLikeAnOption) {
    const CommandLineResult r = parse_command_line({"--saas-host", "--verbose", "--fps", "30"});
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(r.config.saas_host, "--verbose");
    EXPECT_FALSE(r.config.verbose);
    EXPECT_EQ(r.config.fps, 30u);
}

TEST(CommandLine, LaterOptionWins) {
    const CommandLineResult r =
        parse_command_line({"--audio-parity", "--no-audio-parity", "--fps", "30", "--fps", "90"});
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_FALSE(r.config.audio_parity);
    EXPECT_EQ(r.config.fps, 90u);
}

struct ErrorCase {
    Args args;
    std::string expected;  // part of the message
};

TEST(CommandLine, BadInputIsAnErrorNamingTheOption) {
    const std::vector<ErrorCase> cases = {
        {{"--port-base", "x"}, "--port-base: 'x' is not a whole number"},
        {{"--port-base", "70000"}, "--port-base: 70000 is out of range (1 to 65530)"},
        {{"--port-base", "65531"}, "--port-base: 65531 is out of range (1 to 65530)"},
        {{"--port", "65535"}, "--port: 65535 is out of range (1 to 65530)"},
        {{"--port-base", "0"}, "--port-base: 0 is out of range"},
        {{"--port-base", "-5"}, "--port-base: '-5' is not a whole number"},
        {{"--port-base", "+5"}, "--port-base: '+5' is not a whole number"},
        {{"--port-base", " 5"}, "--port-base: ' 5' is not a whole number"},
        {{"--port-base", "5 "}, "--port-base: '5 ' is not a whole number"},
        {{"--port-base", ""}, "--port-base: '' is not a whole number"},
        {{"--port", "65536"}, "--port: 65536 is out of range"},
        {{"--fps", "x"}, "--fps: 'x' is not a whole number"},
        {{"--fps", "60fps"}, "--fps: '60fps' is not a whole number"},
        {{"--fps", "99999999999999999999999"}, "--fps: 99999999999999999999999 is out of range"},
        {{"--width", "0"}, "--width: 0 is out of range"},
        {{"--height", "1e3"}, "--height: '1e3' is not a whole number"},
        {{"--bitrate", "4294967296"}, "--bitrate: 4294967296 is out of range (0 to 4294967295)"},
        {{"--bitrate", "-1"}, "--bitrate: '-1' is not a whole number"},
        {{"--saas-port", "0x1BB"}, "--saas-port: '0x1BB' is not a whole number"},
        {{"--client-idle-timeout", "-1"}, "--client-idle-timeout: '-1' is not a whole number"},
        {{"--adapter", "-2"}, "--adapter: -2 is out of range (-1 to 2147483647)"},
        {{"--adapter", "2147483648"}, "--adapter: 2147483648 is out of range"},
        {{"--adapter", "-"}, "--adapter: '-' is not a whole number"},
        {{"--control-udp", "host"}, "--control-udp: 'host' is not HOST:PORT"},
        {{"--control-udp", ":7000"}, "--control-udp: ':7000' is not HOST:PORT"},
        {{"--control-udp", "host:"}, "--control-udp: '' is not a whole number"},
        {{"--control-udp", "host:70000"}, "--control-udp: 70000 is out of range"},
        {{"--fps"}, "--fps needs a value"},
        {{"--saas-host"}, "--saas-host needs a value"},
        {{"--control-udp"}, "--control-udp needs a value"},
        {{"--verbos"}, "unknown option '--verbos'"},
        {{"--VERSION"}, "unknown option '--VERSION'"},
        {{"--fps=30"}, "unknown option '--fps=30'"},
        {{"stray"}, "unknown option 'stray'"},
    };
    for (const ErrorCase& c : cases) {
        const CommandLineResult r = parse_command_line(c.args);
        EXPECT_FALSE(r.ok()) << c.args[0];
        EXPECT_THAT(r.error, HasSubstr(c.expected));
    }
}

TEST(CommandLine, ParsingStopsAtTheFirstError) {
    const CommandLineResult r = parse_command_line({"--fps", "x", "--width", "y"});
    EXPECT_THAT(r.error, HasSubstr("--fps"));
    EXPECT_THAT(r.error, Not(HasSubstr("--width")));
}

TEST(CommandLine, LeadingZerosAreDecimal) {
    const CommandLineResult r = parse_command_line({"--fps", "030", "--adapter", "-0"});
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(r.config.fps, 30u);
    EXPECT_EQ(r.config.adapter, 0);
}

TEST(CommandLine, ControlUdpPortFollowsTheLastColon) {
    const CommandLineResult r = parse_command_line({"--control-udp", "::1:7000"});
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(r.config.control_udp_host, "::1");
    EXPECT_EQ(r.config.control_udp_port, 7000);
}

TEST(EarlyAction, VersionAndHelpAreFoundWhereverTheyStand) {
    EXPECT_EQ(find_early_action({}), EarlyAction::none);
    EXPECT_EQ(find_early_action({"--version"}), EarlyAction::version);
    EXPECT_EQ(find_early_action({"-v"}), EarlyAction::version);
    EXPECT_EQ(find_early_action({"--help"}), EarlyAction::help);
    EXPECT_EQ(find_early_action({"-h"}), EarlyAction::help);
    // Even behind a bad or unknown option: a user asking for help gets it.
    EXPECT_EQ(find_early_action({"--port-base", "x", "--help"}), EarlyAction::help);
    EXPECT_EQ(find_early_action({"--bogus", "-v"}), EarlyAction::version);
    EXPECT_EQ(find_early_action({"-h", "--version"}), EarlyAction::help);
}

TEST(EarlyAction, ValuesOfValueOptionsAreNotRequests) {
    EXPECT_EQ(find_early_action({"--saas-host", "-v"}), EarlyAction::none);
    EXPECT_EQ(find_early_action({"--agent-token", "--help", "--verbose"}), EarlyAction::none);
    EXPECT_EQ(find_early_action({"--check-direct", "-h"}), EarlyAction::help);
}

TEST(Usage, NamesEveryOptionAndTheDerivedPorts) {
    const std::string text = usage_text();
    for (const char* option : {"--port-base",
                               "--port ",
                               "--width",
                               "--height",
                               "--fps",
                               "--bitrate",
                               "--codec",
                               "--saas-host",
                               "--saas-port",
                               "--control-udp",
                               "--stun",
                               "--server-id",
                               "--agent-token",
                               "--public-ip",
                               "--force-direct",
                               "--check-direct",
                               "--audio-parity",
                               "--no-audio-parity",
                               "--adapter ",
                               "--adapter-vendor",
                               "--turn-url",
                               "--turn-user",
                               "--turn-pass",
                               "--client-idle-timeout",
                               "--hide-desktop",
                               "--launch-steam",
                               "--steam-app-id",
                               "--steam-path",
                               "--verbose",
                               "--version",
                               "-v,",
                               "--help",
                               "-h,"}) {
        EXPECT_THAT(text, HasSubstr(option));
    }
    for (const char* port :
         {"UDP P+2", "TCP P+3", "UDP P+4", "UDP P+5", "P, P+1 and P+2", "47998"}) {
        EXPECT_THAT(text, HasSubstr(port));
    }
}

// An 80-column console shows every line whole; one column stays free, as on the status screen.
TEST(Usage, FitsEightyColumns) {
    std::istringstream lines(usage_text());
    for (std::string line; std::getline(lines, line);) {
        EXPECT_LE(line.size(), 79u) << line;
        for (const char c : line) {
            ASSERT_GT(c, 0) << "columns are bytes only for ASCII: " << line;
        }
    }
}

TEST(CommandLine, ErrorTextIsTheErrorAndWhereTheOptionsAre) {
    EXPECT_EQ(command_line_error_text(parse_command_line({"--frames", "60"}).error),
              "velmora-agent: unknown option '--frames'\n"
              "Run velmora-agent --help to see the options.\n");
}

// An argument is outside text: its control characters never reach the console raw (an escape
// sequence could clear or retitle the terminal, a line end could forge a line of its own), and a
// long one is cut.
TEST(CommandLine, ErrorsShowTheArgumentDefusedAndCut) {
    const struct {
        Args args;
        std::string error;
    } cases[] = {
        {{"--fps", "\x1b]0;OWNED\x07"}, "--fps: '?]0;OWNED?' is not a whole number"},
        {{"--x\x1b[2J\r\n"}, "unknown option '--x?[2J\\r\\n'"},
        {{"--control-udp", "host\n\xc2\x9b"}, "--control-udp: 'host\\n?' is not HOST:PORT"},
        {{"--fps", std::string(100'000, '9')},
         "--fps: " + std::string(200, '9') + "... is out of range (0 to 4294967295)"},
        {{std::string(100'000, 'x')}, "unknown option '" + std::string(200, 'x') + "...'"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parse_command_line(c.args).error, c.error);
    }
}

TEST(Version, IsTheReleaseText) {
    EXPECT_EQ(kAgentVersion, "0.4.448");
}

}  // namespace
}  // namespace vx
