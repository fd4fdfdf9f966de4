#include "traversal/direct/stun_server.hpp"

#include <gtest/gtest.h>

#include "support/log_lines.hpp"

namespace vx::network {
namespace {

// "--stun" read the way std::stoi reads the port: what is kept and what is said.
TEST(ParseStunServer, Table) {
    const StunServer fallback = default_stun_server();
    struct Case {
        const char* text;
        std::string host;
        std::uint16_t port;
        const char* line;  // the log line, or nullptr
    };
    const Case cases[] = {
        {"", fallback.host, 3478, nullptr},
        {"stun.example.net", "stun.example.net", 3478, nullptr},
        {"stun.example.net:19302", "stun.example.net", 19302, nullptr},
        {"127.0.0.1:3479", "127.0.0.1", 3479, nullptr},
        {"h:19302x", "h", 19302, nullptr},
        {"h: +19302", "h", 19302, nullptr},
        {"h:65535", "h", 65535, nullptr},
        {"h:0", "h", 3478, "--stun port 0 out of range - using 3478"},
        {"h:70000", "h", 3478, "--stun port 70000 out of range - using 3478"},
        {"h:-1", "h", 3478, "--stun port -1 out of range - using 3478"},
        {"h:abc", "h", 3478, "--stun has a non-numeric port in 'h:abc' - using 3478"},
        {"h:", "h", 3478, "--stun has a non-numeric port in 'h:' - using 3478"},
        {"h:2147483648", "h", 3478, "--stun has a non-numeric port in 'h:2147483648' - using 3478"},
        {"h:2147483647", "h", 3478, "--stun port 2147483647 out of range - using 3478"},
        {"h:1:2", "h", 1, nullptr},  // the host ends at the first colon
        // Command-line text reaches the log defused.
        {"h:\x1b[2J\n", "h", 3478, "--stun has a non-numeric port in 'h:?[2J\\n' - using 3478"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        vx::test::LogLines logs;
        const StunServer server = parse_stun_server(c.text);
        EXPECT_EQ(server.host, c.host);
        EXPECT_EQ(server.port, c.port);
        if (c.line != nullptr) {
            EXPECT_EQ(logs.lines(), std::vector<std::string>{c.line});
        } else {
            EXPECT_TRUE(logs.lines().empty());
        }
    }
}

}  // namespace
}  // namespace vx::network
