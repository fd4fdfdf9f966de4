// The whole agent in the LAN host of a home network in namespaces (router_lab.hpp): its
// --check-direct report against each kind of router, the direct candidate of a session from the
// test backend (router mapping, STUN from coturn beyond the router, and the fall-back when the
// backend observes another address), and its firewall table.
#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "link/session_keys.hpp"
#include "support/line_client.hpp"
#include "support/temp_dir.hpp"
#include "support/test_backend_peer.hpp"
#include "traversal/router/fake_gateway.hpp"
#include "traversal/router/netns/router_lab.hpp"
#include "traversal/turn/coturn_process.hpp"

namespace vx::network {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using vx::test::LineClient;
using vx::test::NetnsLab;
using vx::test::NetnsProcess;
using vx::test::RouterConfig;
using vx::test::RouterLab;

constexpr const char* kToken = "launcher-secret-token";
constexpr const char* kWan = "100.128.0.2";
// coturn in the internet host: the primary server on 3478, the profile's on 3480 and 3482.
constexpr const char* kStunHost = "100.128.0.1";
constexpr const char* kSecondaries = "100.128.0.1:3480,100.128.0.1:3482";

// The report's own lines among the agent's output (log lines start with "[").
std::string report_lines(const std::string& output) {
    std::istringstream in(output);
    std::string text;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("Velmora direct path check", 0) == 0 || line.rfind("  ", 0) == 0)
            text += line + "\n";
    }
    return text;
}

std::string ok_report(const std::string& discover, const std::string& method) {
    return "Velmora direct path check\n" + discover +
           "  video: OK UDP 48002 -> 100.128.0.2:48002 via " + method +
           "\n  input: OK UDP 48000 -> 100.128.0.2:48000 via " + method +
           "\n  audio: OK UDP 48003 -> 100.128.0.2:48003 via " + method +
           "\n  result: direct video path available (STUN not needed)\n"
           "  input: direct (external port == internal)\n";
}

std::string failed_report(const std::string& discovery, const std::string& verdict,
                          const std::string& video, const std::string& others) {
    return "Velmora direct path check\n  discover: FAILED - " + discovery +
           "\n  cgnat_verdict: " + verdict + "\n  video: FAILED UDP 48002 - " + video +
           "\n  input: FAILED UDP 48000 - " + others + "\n  audio: FAILED UDP 48003 - " + others +
           "\n  result: direct path unavailable - STUN/TURN fallback\n"
           "  input: relay/TURN (not reachable on the internal port)\n";
}

class DirectAgentLab : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string reason = RouterLab::unavailable_reason();
        if (reason.empty() && !vx::test::coturn_available())
            reason = "coturn is not installed";
        if (!reason.empty())
            GTEST_SKIP() << reason;
    }
    void TearDown() override {
        if (HasFailure() && agent_)
            std::cerr << "agent output:\n" << agent_->output();
    }

    void build(const std::string& tag, const RouterConfig& config) {
        lab_ = std::make_unique<RouterLab>(tag, config);
        ASSERT_TRUE(lab_->ready) << "lab set-up failed: " << lab_->daemon_output();
    }

    // The agent in the LAN host, its console log collected.
    std::unique_ptr<NetnsProcess> start_agent(const std::vector<std::string>& args) {
        std::vector<std::string> command{"/usr/bin/env", "LOCALAPPDATA=" + state_.path().string(),
                                         std::string("VX_STUN_SECONDARY=") + kSecondaries,
                                         "VX_CONSOLE_LOG=1", VX_AGENT_BINARY};
        command.insert(command.end(), args.begin(), args.end());
        return std::make_unique<NetnsProcess>(lab_->lan, command);
    }

    // --check-direct: its exit code and report; nothing may be left in the router's table.
    std::pair<std::optional<int>, std::string> check_direct() {
        agent_ = start_agent({"--check-direct"});
        const std::optional<int> code = agent_->wait_exit(30s);
        EXPECT_EQ(lab_->nat_rules().find("dport"), std::string::npos) << lab_->nat_rules();
        return {code, report_lines(agent_->output())};
    }

    // Three coturn STUN servers in the internet host, beyond the router's NAT.
    void start_stun_servers() {
        for (std::uint16_t port : {3478, 3480, 3482}) {
            vx::test::CoturnProcess::Options options;
            options.listen_ip = kStunHost;
            options.port = port;
            options.netns = lab_->internet;
            options.long_term = false;
            options.extra = {"--stun-only"};
            stun_.push_back(std::make_unique<vx::test::CoturnProcess>(options));
            ASSERT_TRUE(NetnsLab::in_netns(lab_->internet, [&] {
                return stun_.back()->wait_ready();
            })) << stun_.back()->log();
        }
    }

    // The test backend in the LAN host, and the agent connected to it.
    void start_backend_and_agent(const std::string& observed, std::vector<std::string> args = {}) {
        const std::string script =
            R"({"connections": {"*": [{"wait": "register"}, {"observed_ip": ")" + observed +
            R"("}]}})";
        const std::string control_file = (state_.path() / "control").string();
        backend_ = NetnsLab::in_netns(lab_->lan, [&] {
            return std::make_unique<vx::test::TestBackendPeer>(
                std::vector<std::string>{"--control-port-file", control_file}, script);
        });
        std::ifstream(control_file) >> control_port_;
        args.insert(args.begin(),
                    {"--verbose", "--saas-host", "127.0.0.1", "--saas-port",
                     std::to_string(backend_->port()), "--agent-token", "tok", "--server-id",
                     std::string(36, 'x'), "--stun", std::string(kStunHost) + ":3478"});
        agent_ = start_agent(args);
        ASSERT_TRUE(backend_->wait_for([&] { return !received("register").empty(); }, 15s))
            << agent_->output();
    }

    void step(const json& value) {
        const std::string answer = NetnsLab::in_netns(lab_->lan, [&] {
            LineClient control(control_port_);
            control.send(value.dump() + "\n");
            return control.line();
        });
        ASSERT_EQ(answer, "ok") << value.dump();
    }

    std::vector<json> received(const std::string& type, const std::string& session = "") const {
        std::vector<json> out;
        for (const auto& e : backend_->events("recv", type)) {
            json message = json::parse(e["text"].get<std::string>());
            if (session.empty() || message.value("session_id", "") == session)
                out.push_back(std::move(message));
        }
        return out;
    }

    // Orders a session and lets a launcher in the LAN host pass the handshake; the launcher's
    // connection is held until the session ends.
    std::unique_ptr<LineClient> start_session(const std::string& id) {
        step({{"prepare_session",
               {{"session_id", id},
                {"max_duration_sec", 0},
                {"session_token_sha256", token_sha256_hex(kToken)}}}});
        auto launcher = NetnsLab::in_netns(lab_->lan, [] {
            return std::make_unique<LineClient>(48001, std::chrono::milliseconds(10s));
        });
        launcher->send(R"({"type":"auth","session_token":")" + std::string(kToken) + "\"}\n");
        EXPECT_NE(launcher->line().find("session_ready"), std::string::npos);
        return launcher;
    }

    // The messages of a type for a session once `count` have arrived: the agent sends each
    // kind when its step is done, in no order a test may count on.
    std::vector<json> arrived(const std::string& type, const std::string& session,
                              std::size_t count) {
        EXPECT_TRUE(
            backend_->wait_for([&] { return received(type, session).size() >= count; }, 15s))
            << type << "\n"
            << agent_->output();
        return received(type, session);
    }

    // The session's direct candidates once `count` have arrived.
    std::vector<json> candidates(const std::string& id, std::size_t count) {
        std::vector<json> out;
        for (auto& m : arrived("ice_candidate", id, count))
            out.push_back(m["candidate"]);
        return out;
    }

    void end_session(const std::string& id) {
        step({{"terminate_session", id}});
        arrived("session_ended", id, 1);
    }

    bool mapped(const std::string& port) const {
        return lab_->nat_rules().find("dport " + port) != std::string::npos;
    }

    vx::test::TempDir state_{"vx-direct-agent"};
    std::unique_ptr<RouterLab> lab_;
    std::vector<std::unique_ptr<vx::test::CoturnProcess>> stun_;
    std::unique_ptr<vx::test::TestBackendPeer> backend_;
    std::uint16_t control_port_ = 0;
    std::unique_ptr<NetnsProcess> agent_;
};

const json kExactProfile = {{"base", 48002}, {"conf", 2},    {"delta", 1},
                            {"kind", "eim"}, {"max", 48002}, {"min", 48002}};

// One miniupnpd router seen three ways: whole, with its SSDP answers dropped (NAT-PMP and PCP
// left), and with NAT-PMP dropped too (PCP left).
TEST_F(DirectAgentLab, CheckDirectAgainstUpnpNatPmpAndPcp) {
    build("cu", {});
    struct Stage {
        const char* drop;  // what the router's input drops from now on, or nullptr
        std::string discovery;
        const char* method;
    };
    const std::string reachable = "\n  cgnat_verdict: public (a mapping is reachable)\n";
    const Stage stages[] = {
        {nullptr, "  discover: OK via upnp, router WAN 100.128.0.2" + reachable, "upnp"},
        {"udp dport 1900 drop", "  discover: OK via natpmp, router WAN 100.128.0.2" + reachable,
         "natpmp"},
        {"udp dport 5351 @ih,0,8 0 drop",  // NAT-PMP's version byte is 0, PCP's 2
         "  discover: FAILED - UPnP: no SSDP response from an InternetGatewayDevice; NAT-PMP: no "
         "response from gateway; \n  cgnat_verdict: unknown (no IGD/NAT-PMP/PCP router "
         "answered)\n",
         "pcp"},
    };
    int table = 0;
    for (const Stage& stage : stages) {
        SCOPED_TRACE(stage.method);
        if (stage.drop != nullptr) {
            ASSERT_TRUE(lab_->load_rules(
                lab_->router, "table inet drop" + std::to_string(++table) +
                                  " { chain input { type filter hook input priority 0; " +
                                  stage.drop + "; } } "));
        }
        const auto [code, report] = check_direct();
        EXPECT_EQ(code, 0);
        EXPECT_EQ(report, ok_report(stage.discovery, stage.method));
    }
}

// The mapper's own log lines come out between the report's lines, in the order of events, also
// through a pipe.
TEST_F(DirectAgentLab, CheckDirectInterleavesTheMappersLinesInOrder) {
    build("co", {});
    const auto [code, report] = check_direct();
    EXPECT_EQ(code, 0);
    const std::string output = agent_->output();
    std::size_t at = 0;
    for (const char* event : {
             "Velmora direct path check\n",
             "DirectPortMapper: UPnP IGD found, WAN address 100.128.0.2",
             "  discover: OK via upnp",
             "DirectPortMapper: mapped UDP 48002 -> 100.128.0.2:48002 via upnp",
             "  video: OK UDP 48002",
             "DirectPortMapper: mapped UDP 48000 -> 100.128.0.2:48000 via upnp",
             "  input: OK UDP 48000",
             "DirectPortMapper: mapped UDP 48003 -> 100.128.0.2:48003 via upnp",
             "  audio: OK UDP 48003",
             "DirectPortMapper: released UDP 48002 via upnp",
             "DirectPortMapper: released UDP 48000 via upnp",
             "DirectPortMapper: released UDP 48003 via upnp",
             "  result: direct video path available",
         }) {
        const std::size_t found = output.find(event, at);
        ASSERT_NE(found, std::string::npos) << "not after what came before: " << event << "\n"
                                            << output;
        at = found;
    }
}

// No daemon (the gateway answers ICMP): the report, then a session whose candidate comes from
// STUN with the NAT profile, then a router with a carrier-grade WAN address (a fake IGD).
TEST_F(DirectAgentLab, WithoutAUsableRouter) {
    RouterConfig config;
    config.daemon = false;
    build("nr", config);
    start_stun_servers();
    auto [code, report] = check_direct();
    EXPECT_EQ(code, 1);
    const std::string nothing = "UPnP: not discovered; NAT-PMP: unavailable at discovery; ";
    EXPECT_EQ(report, failed_report("UPnP: no SSDP response from an InternetGatewayDevice; "
                                    "NAT-PMP: gateway refused the request; ",
                                    "unknown (no IGD/NAT-PMP/PCP router answered)",
                                    nothing + "PCP map: gateway refused the request; ",
                                    nothing + "PCP: not attempted; "));

    start_backend_and_agent(kWan);
    auto launcher = start_session("stun-1");
    const auto sent = candidates("stun-1", 2);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], (json{{"ip", kWan}, {"kind", "srflx"}, {"port", 48002}}));
    EXPECT_EQ(sent[1],
              (json{{"ip", kWan}, {"kind", "srflx"}, {"nat", kExactProfile}, {"port", 48002}}));
    EXPECT_TRUE(agent_->wait_for("STUN: Wave1 profile eim published for 100.128.0.2:48002"));
    end_session("stun-1");
    EXPECT_EQ(agent_->stop(), 0);

    auto gateway = NetnsLab::in_netns(lab_->router, [] {
        return std::make_unique<test::FakeGateway>(test::carrier_grade_lan_router());
    });
    std::tie(code, report) = check_direct();
    EXPECT_EQ(code, 1);
    const std::string cgnat =
        "router WAN address 100.64.12.34 is cgnat (CGNAT/upstream NAT) - a port mapping cannot "
        "make it reachable";
    EXPECT_EQ(report, failed_report(cgnat, "cgnat/private - a mapping cannot help", cgnat, cgnat));
    EXPECT_EQ(gateway->counters().adds.load(), 0);
}

// Behind a UPnP router: the firewall table, the router candidate with its mappings held for the
// session, the fall-back to STUN when the backend observes another address, and the table
// replaced by a start with another port base.
TEST_F(DirectAgentLab, SessionsBehindAUpnpRouter) {
    build("ss", {});
    start_stun_servers();
    start_backend_and_agent(kWan);
    ASSERT_TRUE(agent_->wait_for("Direct path: router WAN address is 100.128.0.2 (via upnp)"));
    const auto registers = received("register");
    ASSERT_FALSE(registers.empty());
    EXPECT_EQ(registers[0].value("public_ip", ""), kWan);
    const auto table = [&] {
        return vx::test::capture("/usr/sbin/ip netns exec " + lab_->lan +
                                 " /usr/sbin/nft list table inet velmora_agent 2>&1");
    };
    EXPECT_NE(table().find("tcp dport 48001 accept comment \"Velmora Agent TCP\""),
              std::string::npos)
        << table();
    EXPECT_NE(table().find("udp dport 48000-48003 accept comment \"Velmora Agent UDP\""),
              std::string::npos)
        << table();

    {
        auto launcher = start_session("up-1");
        const auto sent = candidates("up-1", 1);
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ(sent[0],
                  (json{{"ip", kWan}, {"kind", "srflx"}, {"nat", kExactProfile}, {"port", 48002}}));
        const auto ready = arrived("session_ready", "up-1", 1);
        ASSERT_FALSE(ready.empty());
        EXPECT_EQ(ready[0].value("public_ip", ""), kWan);
        for (const char* port : {"48002", "48000", "48003"})
            EXPECT_TRUE(mapped(port)) << port << "\n" << lab_->nat_rules();
        end_session("up-1");
        EXPECT_FALSE(mapped("")) << lab_->nat_rules();
        EXPECT_EQ(received("ice_candidate", "up-1").size(), 1u);
    }

    step({{"send", {{"type", "observed_ip"}, {"public_ip", "100.128.0.99"}}}});
    ASSERT_TRUE(agent_->wait_for("backend observed public IP 100.128.0.99"));
    {
        auto launcher = start_session("up-2");
        const auto sent = candidates("up-2", 2);
        EXPECT_TRUE(
            agent_->wait_for("Direct path: router WAN 100.128.0.2 != backend observed "
                             "100.128.0.99 - upstream NAT/CGNAT; releasing router "
                             "mappings and falling back to STUN srflx"));
        EXPECT_FALSE(mapped("")) << lab_->nat_rules();  // released at once, during the session
        ASSERT_EQ(sent.size(), 2u);
        EXPECT_EQ(sent[0], (json{{"ip", kWan}, {"kind", "srflx"}, {"port", 48002}}));
        EXPECT_EQ(sent[1]["nat"], kExactProfile);
        end_session("up-2");
    }
    EXPECT_EQ(agent_->stop(), 0);

    agent_ = start_agent({"--verbose", "--port-base", "40000"});  // standalone: rules only
    ASSERT_TRUE(agent_->wait_for("Firewall rules requested: TCP 40003 UDP 40002-40005"));
    const std::string replaced = table();
    EXPECT_NE(replaced.find("tcp dport 40003 accept"), std::string::npos) << replaced;
    EXPECT_NE(replaced.find("udp dport 40002-40005 accept"), std::string::npos) << replaced;
    EXPECT_EQ(replaced.find("48001"), std::string::npos) << replaced;
    std::size_t rules = 0;
    for (auto at = replaced.find("accept comment"); at != std::string::npos;
         at = replaced.find("accept comment", at + 1)) {
        ++rules;
    }
    EXPECT_EQ(rules, 2u) << replaced;
    EXPECT_EQ(agent_->stop(), 0);
}

}  // namespace
}  // namespace vx::network
