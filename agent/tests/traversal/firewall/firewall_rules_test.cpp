#include "traversal/firewall/firewall_rules.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "support/log_lines.hpp"

namespace vx::network {
namespace {

std::string ruleset(std::uint16_t base) {
    return firewall_ruleset(firewall_ports(base));
}

// The whole script, as nft reads it: the table is made (so the delete cannot fail), deleted with
// whatever an earlier start put in it, and made again, in one transaction.
TEST(FirewallRules, ScriptForTheDefaultPortBase) {
    EXPECT_EQ(ruleset(47998),
              "table inet velmora_agent\n"
              "delete table inet velmora_agent\n"
              "table inet velmora_agent {\n"
              "\tchain input {\n"
              "\t\ttype filter hook input priority filter; policy accept;\n"
              "\t\ttcp dport 48001 accept comment \"Velmora Agent TCP\"\n"
              "\t\tudp dport 48000-48003 accept comment \"Velmora Agent UDP\"\n"
              "\t}\n"
              "}\n");
}

TEST(FirewallRules, PortsAtTheTopOfTheRange) {
    const std::string top = ruleset(65530);
    EXPECT_NE(top.find("\t\ttcp dport 65533 accept comment \"Velmora Agent TCP\"\n"),
              std::string::npos)
        << top;
    EXPECT_NE(top.find("\t\tudp dport 65532-65535 accept comment \"Velmora Agent UDP\"\n"),
              std::string::npos)
        << top;
    // Past 65535 the ports wrap; nft takes a wrapped range only as its two pieces.
    const FirewallPorts wrapped = firewall_ports(65533);
    EXPECT_EQ(wrapped.tcp, 0);
    EXPECT_EQ(wrapped.udp_first, 65535);
    EXPECT_EQ(wrapped.udp_last, 2);
    EXPECT_NE(firewall_ruleset(wrapped).find("\t\tudp dport { 65535-65535, 0-2 } accept"),
              std::string::npos);
}

struct NftRun {
    platform::ProcessRequest request;
    std::chrono::milliseconds wait{0};
    platform::OnTimeout on_timeout = platform::OnTimeout::leave_running;
};

// What the agent starts, and what it says for each way nft can end, or when there is none.
TEST(FirewallRules, RunsNftOnceAndSaysWhenTheRulesWereNotAdded) {
    const std::string by_hand =
        ") - where this host filters its input, allow TCP 48001 and UDP 48000-48003 by hand";
    struct Case {
        const char* nft;  // empty: not installed
        platform::ProcessState state;
        int status;
        const char* reason;  // nullptr: no warning
    };
    const Case cases[] = {
        {"/usr/sbin/nft", platform::ProcessState::exited, 0, nullptr},
        {"/usr/sbin/nft", platform::ProcessState::exited, 1, "nft: exit status 1"},
        {"/usr/sbin/nft", platform::ProcessState::killed, 0, "nft: killed after the wait"},
        {"", platform::ProcessState::not_started, 0, "nft is not installed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason != nullptr ? c.reason : "applied");
        vx::test::LogLines logs;
        std::vector<NftRun> runs;
        setup_firewall_rules(
            47998,
            [&](const platform::ProcessRequest& request, std::chrono::milliseconds wait,
                platform::OnTimeout on_timeout) {
                runs.push_back({request, wait, on_timeout});
                platform::ProcessOutcome outcome;
                outcome.state = c.state;
                outcome.status = c.status;
                return outcome;
            },
            c.nft);
        std::vector<std::string> expected{"Firewall rules requested: TCP 48001 UDP 48000-48003"};
        if (c.reason != nullptr)
            expected.push_back("Firewall rules were not added (" + std::string(c.reason) + by_hand);
        EXPECT_EQ(logs.lines(), expected);
        if (*c.nft == '\0') {
            EXPECT_TRUE(runs.empty());
            continue;
        }
        ASSERT_EQ(runs.size(), 1u);
        EXPECT_EQ(runs[0].request.path, "/usr/sbin/nft");
        EXPECT_EQ(runs[0].request.args, (std::vector<std::string>{"-f", "-"}));
        EXPECT_EQ(runs[0].request.stdin_text, ruleset(47998));
        EXPECT_EQ(runs[0].wait, std::chrono::milliseconds(5000));
        EXPECT_EQ(runs[0].on_timeout, platform::OnTimeout::kill);
    }
}

}  // namespace
}  // namespace vx::network
