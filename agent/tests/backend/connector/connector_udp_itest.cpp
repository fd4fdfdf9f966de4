// The connector's UDP-first connection loop against the Python VXCP/1 server (and the Python
// WebSocket backend for the fallback), over loopback with real clocks.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <asio/io_context.hpp>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <thread>

#include "backend/connector/saas_connector.hpp"
#include "backend/diagnostics/part_pacing.hpp"
#include "backend/messages/messages.hpp"
#include "backend/vxcp/peer_process.hpp"
#include "connector_test_support.hpp"
#include "status/status_board.hpp"
#include "support/eventually.hpp"
#include "support/log_lines.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"
#include "support/test_backend_peer.hpp"
#include "traversal/turn/coturn_process.hpp"
#include "util/base64.hpp"

namespace vx::test {
namespace {

using namespace vx::network;
using namespace std::chrono_literals;
using nlohmann::json;

constexpr const char* kServerId = "00000000-0000-4000-8000-0000000000aa";
constexpr const char* kAgentToken = "connector-itest-token";

class ConnectorUdpTest : public ::testing::Test {
  protected:
    void SetUp() override { status_board().clear_problem(ProblemKind::duplicate_agent); }
    void TearDown() override {
        if (connector_) {
            connector_->stop();
        }
        scripts_.clear();
    }

    std::unique_ptr<PeerProcess> server(
        const std::string& steps, std::vector<std::string> extra = {},
        ScriptFile::Scope scope = ScriptFile::Scope::every_connection) {
        scripts_.push_back(std::make_unique<ScriptFile>(steps, scope));
        std::vector<std::string> args{"--script", scripts_.back()->path(), "--server-id",
                                      kServerId,  "--agent-token",         kAgentToken};
        args.insert(args.end(), extra.begin(), extra.end());
        return std::make_unique<PeerProcess>("vxcp_server.py", args);
    }

    void start(std::uint16_t udp_port, std::uint16_t ws_port = 9,
               const VxcpLoopTimings& timings = {}) {
        SaasConfig cfg;
        cfg.host = "127.0.0.1";
        cfg.port = ws_port;
        cfg.tls = false;
        cfg.server_id = kServerId;
        cfg.agent_token = kAgentToken;
        cfg.control_udp_host = "127.0.0.1";
        cfg.control_udp_port = udp_port;
        connector_ = std::make_unique<SaasConnector>(io_, cfg);
        connector_->set_vxcp_timings(timings);
        if (upload_) {
            connector_->set_log_upload(upload_);
        }
        connector_->start();
    }

    // Connection `n` (its direct socket is the proxy's flow `n`) goes dark once it has answered
    // ten of its 150 pings; it must move to the relay and answer every ping, in order.
    void expect_move_without_loss(const PeerProcess& peer, const PeerProcess& proxy, int n) {
        ASSERT_TRUE(eventually(
            [&] {
                const json c = conn(peer, n);
                return c.is_object() && c["pongs_in_order"].get<int>() >= 10;
            },
            10s))
            << conn(peer, n).dump();
        // Only the direct flow goes dark; the relay reaches the backend through one of its own.
        ASSERT_EQ(proxy.control(R"({"blackhole": "both", "flow": )" + std::to_string(n) + "}"),
                  "ok");
        ASSERT_TRUE(eventually([&] { return connector_->transport_name() == "udp-relay"; }, 15s))
            << conn(peer, n).dump();
        ASSERT_TRUE(eventually(
            [&] {
                return log_.count(
                           "SaasConnector: the backend stopped answering on the direct UDP path "
                           "- the control channel moved to relay r1 without reconnecting (nothing "
                           "lost); new connections use the relay for the next 30 min") == 1;
            },
            5s));
        ASSERT_TRUE(eventually([&] { return conn(peer, n)["pongs_in_order"] == 150; }, 15s))
            << conn(peer, n).dump();
        const json st = json::parse(peer.control(R"({"stats": true})"));
        EXPECT_EQ(st["count"], n);  // the connection lived on through the move
        EXPECT_EQ(conn(peer, n)["pongs_out_of_order"], 0);
        EXPECT_TRUE(st["violations"].empty()) << st["violations"].dump();
    }

    static json conn(const PeerProcess& p, int n) {
        const json st = json::parse(p.control(R"({"stats": true})"), nullptr, false);
        return st.is_object() ? st["connections"].value(std::to_string(n), json()) : json();
    }

    TempDir appdata_dir_{"vx-vxcp-appdata"};  // the connector's state folder
    const std::string appdata_ = appdata_dir_.path().string();
    ScopedEnv local_appdata_{"LOCALAPPDATA", appdata_.c_str()};
    LogLines log_;  // outlives the connector, which logs until TearDown stops it
    asio::io_context io_;
    std::unique_ptr<SaasConnector> connector_;
    std::shared_ptr<LogUpload> upload_;  // set before start()
    std::vector<std::unique_ptr<ScriptFile>> scripts_;
};

TEST_F(ConnectorUdpTest, RegistersOverUdpAnswersPingsAndSendsHeartbeats) {
    auto peer = server(R"([{"wait": "register"}, {"pings": 20, "interval": 0.01}])");
    start(peer->port());
    ASSERT_TRUE(eventually(
        [&] {
            const json c = conn(*peer, 1);
            return c.is_object() && c["pongs_in_order"] == 20 &&
                   std::find(c["messages"].begin(), c["messages"].end(), "heartbeat") !=
                       c["messages"].end();
        },
        10s))
        << conn(*peer, 1).dump();
    const json c = conn(*peer, 1);
    EXPECT_EQ(c["messages"][0], "register");
    EXPECT_EQ(c["pongs_out_of_order"], 0);
    EXPECT_TRUE(connector_->connected());
    EXPECT_EQ(connector_->transport_name(), "udp");
    const json st = json::parse(peer->control(R"({"stats": true})"));
    EXPECT_TRUE(st["violations"].empty()) << st["violations"].dump();
}

// A log upload that does one thing at the first reconnect replay, on the connection thread.
class OnFirstReplayLogUpload : public LogUpload {
  public:
    explicit OnFirstReplayLogUpload(std::function<void()> act) : act_(std::move(act)) {}
    void note_session_start(const std::string&) override {}
    void on_log_stored(const std::string&) override {}
    void upload_session_log(const std::string&, const std::string&) override {}
    void report_agent_log() override {}
    void note_back_to_waiting(const std::string&) override {}
    void set_pacing(std::shared_ptr<PartPacing>) override {}
    bool send_next_paced_part() override { return false; }
    void requeue_unconfirmed() override {
        if (!done_.exchange(true)) {
            act_();
        }
    }

  private:
    std::function<void()> act_;
    std::atomic<bool> done_{false};
};

// The first reconnect replay fails: the connection ends like any other, the agent lives on.
TEST_F(ConnectorUdpTest, AnErrorWhileConnectedEndsOnlyThatConnection) {
    auto peer = server(R"([{"wait": "register"}])");
    upload_ = std::make_shared<OnFirstReplayLogUpload>(
        [] { throw std::runtime_error("upload store unreadable"); });
    start(peer->port());
    ASSERT_TRUE(eventually([&] { return conn(*peer, 2).is_object(); }, 10s));
    const json first = conn(*peer, 1);
    EXPECT_EQ(first["agent_close"], 1000) << first.dump();
    EXPECT_EQ(first["messages"][0], "register");
    ASSERT_TRUE(eventually([&] { return connector_->connected(); }, 5s));
}

TEST_F(ConnectorUdpTest, CloseCode4009OverUdpReportsTheDuplicateAgentAndWaits) {
    auto peer = server(R"([{"wait": "register"}, {"close": 4009, "reason": "replaced"}])");
    start(peer->port());
    ASSERT_TRUE(eventually(
        [] {
            return status_board()
                .snapshot()
                .problems[static_cast<std::size_t>(ProblemKind::duplicate_agent)];
        },
        5s));
    // The next attempt waits 30 s instead of the 1 s back-off.
    ASSERT_TRUE(eventually(
        [&] { return log_.count("SaasConnector: disconnected, retry in 30000ms") == 1; }, 5s));
    EXPECT_EQ(log_.count("(replaced) and replaced this one - two agents must not share one "
                         "server token; waiting 30 s before reconnecting"),
              1);
    EXPECT_TRUE(conn(*peer, 2).is_null());
    EXPECT_FALSE(connector_->connected());
}

TEST_F(ConnectorUdpTest, ARefusedPongClosesTheConnectionWith1011) {
    const std::string record = appdata_ + "/record.jsonl";
    auto peer = server(R"([{"wait": "register"}])", {"--record", record});
    // What the dispatcher does when the channel refuses an app pong, done on the connection
    // thread at the reconnect replay (the connector exists before its thread starts).
    upload_ = std::make_shared<OnFirstReplayLogUpload>(
        [this] { connector_->transport()->abort_connection("pong refused"); });
    start(peer->port());
    const auto agent_close = [&] {
        std::ifstream in(record);
        std::string line;
        while (std::getline(in, line)) {
            const json e = json::parse(line, nullptr, false);
            if (e.is_object() && e.value("event", "") == "agent_close" && e["conn"] == 1) {
                return e;
            }
        }
        return json();
    };
    ASSERT_TRUE(eventually([&] { return agent_close().is_object(); }, 10s));
    EXPECT_EQ(agent_close()["code"], 1011);
    EXPECT_EQ(agent_close()["reason"], "pong refused");
    // What was queued before the abort still went out, and the loop connects again.
    EXPECT_EQ(conn(*peer, 1)["messages"][0], "register");
    ASSERT_TRUE(eventually([&] { return conn(*peer, 2).is_object(); }, 10s));
}

TEST_F(ConnectorUdpTest, FallsBackToTheWebSocketAfterThreeFailedUdpAttempts) {
    // A VXCP/1 server that knows another token never answers with a WELCOME.
    const ScriptFile script("[]");
    PeerProcess deaf("vxcp_server.py", {"--script", script.path(), "--agent-token", "other"});
    TestBackendPeer ws({}, R"({"connections":{"*":[{"wait":"register"}]}})");
    // A shorter handshake time-out: the count of failures, not their length, is under test.
    start(deaf.port(), ws.port(), VxcpLoopTimings{1000, 1000, 6000});
    ASSERT_TRUE(ws.wait_for([&] { return !ws.events("recv", "register").empty(); }, 20s));
    EXPECT_EQ(connector_->transport_name(), "ws");
    EXPECT_EQ(log_.count("SaasConnector: UDP control channel unavailable: no WELCOME from "
                         "127.0.0.1:" +
                         std::to_string(deaf.port()) + " within 1000 ms"),
              3);
    EXPECT_EQ(log_.count("SaasConnector: 3 UDP attempts in a row failed (direct and relay) - "
                         "using the WebSocket and retrying UDP in 60 s"),
              1);
    const json st = json::parse(deaf.control(R"({"stats": true})"));
    EXPECT_EQ(st["count"], 0);
}

// A log upload that keeps the pacing the connection loop gave it last.
class PacingSpy : public FakeLogUpload {
  public:
    void set_pacing(std::shared_ptr<PartPacing> pacing) override { pacing_.set(std::move(pacing)); }
    std::shared_ptr<PartPacing> pacing() const { return pacing_.get(); }

  private:
    Seam<PartPacing> pacing_;
};

// The UDP channel's pacing looks at its fragments in flight only; once the channel is gone and
// the WebSocket carries the link, parts must again be one per 50 ms, not as fast as they come.
TEST_F(ConnectorUdpTest, AfterTheUdpChannelTheWebSocketPacesLogPartsByTimeAgain) {
    auto peer = server(R"([{"wait": "register"}])");
    TestBackendPeer ws({}, R"({"connections":{"*":[{"wait":"register"}]}})");
    auto upload = std::make_shared<PacingSpy>();
    upload_ = upload;
    start(peer->port(), ws.port(), VxcpLoopTimings{1000, 1000, 6000});
    ASSERT_TRUE(eventually([&] { return connector_->transport_name() == "udp"; }, 10s));
    // The channel ends and its backend is gone: UDP attempts fail until the WebSocket takes over.
    ASSERT_EQ(peer->control(R"({"close": 1000, "reason": "test"})"), "ok");
    ASSERT_EQ(peer->control(R"({"quit": true})"), "ok");
    ASSERT_TRUE(ws.wait_for([&] { return !ws.events("recv", "register").empty(); }, 20s));
    ASSERT_EQ(connector_->transport_name(), "ws");

    const std::shared_ptr<PartPacing> pacing = upload->pacing();
    ASSERT_NE(pacing, nullptr);
    const std::int64_t t = 1'000'000;
    ASSERT_TRUE(pacing->may_release(t));
    pacing->released(t);
    EXPECT_FALSE(pacing->may_release(t + WebSocketPacing::kIntervalUs - 1));
    EXPECT_TRUE(pacing->may_release(t + WebSocketPacing::kIntervalUs));
}

// Relayed launcher bytes in 8 KiB chunks grow past a small backend message limit once encoded:
// each is cut into several control_data messages that fit, and the byte stream arrives whole.
TEST_F(ConnectorUdpTest, OversizeControlDataArrivesCutToTheLimitAndInOrder) {
    const std::string record = appdata_ + "/record.jsonl";
    auto peer = server(R"([{"wait": "register"}])", {"--record", record, "--max-message", "4000"});
    start(peer->port());
    ASSERT_TRUE(eventually([&] { return connector_->connected(); }, 5s));
    std::vector<std::uint8_t> sent;
    for (int chunk = 0; chunk < 3; ++chunk) {
        std::vector<std::uint8_t> bytes(8192);
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<std::uint8_t>(i * 31 + static_cast<std::size_t>(chunk));
        }
        connector_->enqueue_message(build_control_data("s1", bytes));
        sent.insert(sent.end(), bytes.begin(), bytes.end());
    }
    std::vector<std::uint8_t> got;
    std::vector<std::size_t> sizes;
    const auto read_record = [&] {
        got.clear();
        sizes.clear();
        std::ifstream in(record);
        std::string line;
        while (std::getline(in, line)) {
            const json e = json::parse(line, nullptr, false);
            if (e.is_object() && e.value("event", "") == "recv" &&
                e.value("type", "") == "control_data") {
                const std::string text = e["text"].get<std::string>();
                const json m = json::parse(text);
                EXPECT_EQ(m["session_id"], "s1");
                EXPECT_TRUE(e["canonical"].get<bool>()) << text;
                const auto bytes = util::base64_decode(m["data"].get<std::string>());
                EXPECT_TRUE(bytes.has_value());
                if (bytes) {
                    got.insert(got.end(), bytes->begin(), bytes->end());
                }
                sizes.push_back(text.size());
            }
        }
        return got.size() >= sent.size();
    };
    ASSERT_TRUE(eventually(read_record, 5s)) << got.size();
    EXPECT_EQ(got, sent);
    EXPECT_GT(sizes.size(), 3u);
    for (std::size_t size : sizes) {
        EXPECT_LE(size, 4000u);
    }
    EXPECT_EQ(log_.count("larger than the channel's message limit"), 0);
    EXPECT_TRUE(conn(*peer, 2).is_null());  // the same connection throughout
}

TEST_F(ConnectorUdpTest, UnreadableSavedStateIsIgnoredAndRewritten) {
    std::filesystem::create_directories(std::filesystem::path(appdata_) / "Velmora");
    const auto file = std::filesystem::path(appdata_) / "Velmora" / "control-path.txt";
    std::ofstream(file) << "vxcp-path v1 0 18000000x\n";
    auto peer = server(R"([{"wait": "register"}])");
    start(peer->port());
    ASSERT_TRUE(eventually([&] { return connector_->connected(); }, 5s));
    connector_->stop();
    // A direct connection ended: the state is saved, no hold, length as read before (30 min).
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "vxcp-path v1 0 1800000");
}

// The relay list of one coturn node that can carry the control channel.
json coturn_relay_list(const CoturnProcess& turn) {
    return {{"type", "relay_list"},
            {"relays",
             json::array({{{"id", "r1"},
                           {"host", "127.0.0.1"},
                           {"port", turn.port()},
                           {"control",
                            {{"username", "vxuser"}, {"credential", "vxpass"}, {"ttl", 3600}}}}})}};
}

TEST_F(ConnectorUdpTest, StalledDirectPathMovesToTheRelayAndEngagesTheHold) {
    if (!coturn_available()) {
        GTEST_SKIP() << "coturn (/usr/bin/turnserver) is not installed";
    }
    CoturnProcess turn(CoturnProcess::Options{});
    ASSERT_TRUE(turn.wait_ready()) << turn.log();
    const json relay_list = coturn_relay_list(turn);
    // Pings keep coming while the path is dark, through the move and after it.
    auto peer = server(R"([{"wait": "register"}, {"send": )" + relay_list.dump() +
                       R"(}, {"pings": 150, "interval": 0.04}])");
    PeerProcess proxy("udp_proxy.py",
                      {"--target", "127.0.0.1:" + std::to_string(peer->port()), "--seed", "5"});
    // A 2 s stall threshold instead of 6 s: the move, not the wait for it, is under test.
    start(proxy.port(), 9, VxcpLoopTimings{3000, 5000, 2000});
    expect_move_without_loss(*peer, proxy, 1);
    // The hold is engaged for 30 min and saved; the next one would last 60 min.
    std::ifstream in(std::filesystem::path(appdata_) / "Velmora" / "control-path.txt");
    std::string tag, version;
    long long hold_end = 0, length = 0;
    in >> tag >> version >> hold_end >> length;
    EXPECT_EQ(tag, "vxcp-path");
    EXPECT_GT(hold_end, 0);
    EXPECT_EQ(length, 3'600'000);
    connector_->stop();  // while the relay still runs
}

// The relay the first connection learned must serve every later connection as well: the second
// connection's stalled direct path moves to it too, instead of ending for want of credentials.
TEST_F(ConnectorUdpTest, ALaterConnectionMovesToTheRelayAsWellAsTheFirst) {
    if (!coturn_available()) {
        GTEST_SKIP() << "coturn (/usr/bin/turnserver) is not installed";
    }
    CoturnProcess turn(CoturnProcess::Options{});
    ASSERT_TRUE(turn.wait_ready()) << turn.log();
    const json script = {{"1",
                          {{{"wait", "register"}},
                           {{"send", coturn_relay_list(turn)}},
                           {{"sleep", 0.5}},
                           {{"close", 1000}, {"reason", "again"}}}},
                         {"2", {{{"wait", "register"}}, {{"pings", 150}, {"interval", 0.04}}}}};
    auto peer = server(script.dump(), {}, ScriptFile::Scope::per_connection);
    PeerProcess proxy("udp_proxy.py",
                      {"--target", "127.0.0.1:" + std::to_string(peer->port()), "--seed", "9"});
    start(proxy.port(), 9, VxcpLoopTimings{3000, 5000, 2000});
    expect_move_without_loss(*peer, proxy, 2);
    EXPECT_EQ(log_.count("could not move to a relay"), 0);
    connector_->stop();
}

}  // namespace
}  // namespace vx::test
