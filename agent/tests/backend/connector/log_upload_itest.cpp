// The connector's log upload against the Python backends over loopback: the WebSocket test
// backend and the VXCP/1 server reassemble every upload, confirm it (or not) and search it for the
// secrets the test used. The connector's own log lines reach the diagnostics store through the
// logger's diagnostic sink, as in the agent.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <asio/io_context.hpp>
#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>

#include "backend/connector/saas_connector.hpp"
#include "backend/diagnostics/diagnostics.hpp"
#include "backend/diagnostics/log_report.hpp"
#include "backend/vxcp/peer_process.hpp"
#include "diag/diagnostic_sink.hpp"
#include "support/eventually.hpp"
#include "support/fake_clock.hpp"
#include "support/log_lines.hpp"
#include "support/log_uploads.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"
#include "util/base64.hpp"

namespace vx::test {
namespace {

using namespace vx::network;
using namespace std::chrono_literals;
using nlohmann::json;

constexpr const char* kServerId = "00000000-0000-4000-8000-0000000000ab";
constexpr const char* kAgentToken = "agent-token-Q7x9v2Lm";
constexpr const char* kSessionToken = "launcher-token-K3m8Zt";
constexpr const char* kTurnPass = "turn-pass-Z5w1Hq";

std::string session_key_b64() {
    std::vector<std::uint8_t> key(32);
    for (std::size_t i = 0; i < key.size(); ++i)
        key[i] = static_cast<std::uint8_t>(0xA0 + i);
    return util::base64_encode(key);
}

// Lines other components write that carry credentials, each in a form the agent logs or could.
void log_secret_lines() {
    const std::string key = session_key_b64();
    spdlog::info("Command line: velmora-agent --agent-token {} --turn-user alice --turn-pass {}",
                 kAgentToken, kTurnPass);
    spdlog::warn("HTTP request refused: agent-token: {} Authorization: Bearer {}", kAgentToken,
                 kSessionToken);
    spdlog::info(R"(order raw={{"encryption_key":"{}","turn":{{"credential":"{}"}}}})", key,
                 kTurnPass);
    spdlog::error(R"(launcher line: {{"type":"auth","session_token":"{}"}})", kSessionToken);
    spdlog::info("relay url turn:relay.test:3478?password={}&user=alice", kTurnPass);
    spdlog::info("relay url turn:alice:{}@relay.test:3478 and wss://alice:{}@relay.test/ws",
                 kTurnPass, kTurnPass);
    spdlog::info(R"(relay block {{"credentials":["{}",{{"x":"]"}}]}} Cookie: theme=dark; sid={})",
                 kTurnPass, kSessionToken);
}

// Numbered lines, long enough that a few thousand make an upload of several parts.
void log_lines(const std::string& tag, int n) {
    for (int i = 0; i < n; ++i)
        spdlog::info("{}-{} {}", tag, i, std::string(80, 'x'));
}

class LogUploadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // The connector's lines and the test's reach the store as the agent's do.
        spdlog::default_logger()->sinks().push_back(std::make_shared<diag::diagnostic_sink>());
    }
    void TearDown() override {
        if (connector_)
            connector_->stop();
    }

    std::unique_ptr<PeerProcess> backend(const std::string& peer, const std::string& steps,
                                         std::vector<std::string> extra = {}) {
        script_ = std::make_unique<ScriptFile>(steps);
        record_ = appdata_ + "/" + peer + ".jsonl";
        std::vector<std::string> args{"--script", script_->path(), "--record", record_,
                                      "--secret", kSessionToken,   "--secret", kTurnPass};
        if (peer == "vxcp_server.py") {
            args.insert(args.end(), {"--server-id", kServerId, "--agent-token", kAgentToken});
        } else {
            args.insert(args.end(), {"--token", kAgentToken});
        }
        args.insert(args.end(), extra.begin(), extra.end());
        return std::make_unique<PeerProcess>(peer, args);
    }

    void start(std::uint16_t ws_port, std::uint16_t udp_port = 0, FakeClock* clock = nullptr) {
        SaasConfig cfg;
        cfg.host = "127.0.0.1";
        cfg.port = ws_port;
        cfg.tls = false;
        cfg.server_id = kServerId;
        cfg.agent_token = kAgentToken;
        cfg.register_payload.agent_version = "0.4.448";
        cfg.register_payload.gpu_model = "Test GPU";
        if (udp_port != 0) {
            cfg.control_udp_host = "127.0.0.1";
            cfg.control_udp_port = udp_port;
        }
        connector_ = std::make_unique<SaasConnector>(io_, cfg);
        connector_->set_on_prepare_session([](const PrepareSessionParams&) {});
        if (clock != nullptr) {
            connector_->set_clocks(clock->fn(), util::wall_now_ms);
            // The connection sleeps until its next timer on this clock: moving it wakes the loop.
            clock->on_advance = [queue = connector_->outgoing_queue()] { queue->wake_drainer(); };
        }
        connector_->start();
    }

    std::vector<json> events() const { return read_record_file(record_); }
    std::size_t upload_count() const { return count_recorded_uploads(record_); }
    std::vector<json> uploads(const std::string& kind = "session") const {
        return recorded_uploads(events(), kind);
    }
    // The whole copies of one upload on one connection.
    static std::vector<json> copies(const std::vector<json>& ev, const std::string& upload_id,
                                    int conn) {
        std::vector<json> out;
        for (const json& u : recorded_uploads(ev))
            if (u["upload_id"] == upload_id && u["conn"] == conn)
                out.push_back(u);
        return out;
    }
    const Diagnostics& diagnostics() const {
        return dynamic_cast<const Diagnostics&>(*connector_->log_upload());
    }
    // Upload ids of the parts received on one connection, in order, each once.
    static std::vector<std::string> part_uploads(const std::vector<json>& ev, int conn) {
        std::vector<std::string> ids;
        for (const json& e : ev) {
            if (e.value("event", "") != "recv" || e.value("conn", 0) != conn ||
                e.value("type", "") != "diagnostic_log_part")
                continue;
            const std::string id = json::parse(e["text"].get<std::string>())["upload_id"];
            if (ids.empty() || ids.back() != id)
                ids.push_back(id);
        }
        return ids;
    }
    static std::vector<std::string> types(const std::vector<json>& ev, int conn) {
        std::vector<std::string> out;
        for (const json& e : ev)
            if (e.value("event", "") == "recv" && e.value("conn", 0) == conn)
                out.push_back(e.value("type", ""));
        return out;
    }

    TempDir appdata_dir_{"vx-upload-appdata"};  // the connector's state folder
    const std::string appdata_ = appdata_dir_.path().string();
    ScopedEnv local_appdata_{"LOCALAPPDATA", appdata_.c_str()};
    LogLines log_;     // outlives the connector, which logs until TearDown stops it
    FakeClock clock_;  // likewise, for a test that drives the connector's clock
    asio::io_context io_;
    std::unique_ptr<SaasConnector> connector_;
    std::unique_ptr<ScriptFile> script_;
    std::string record_;
};

// The body of a session upload is one run of the store's lines, cleaned: from 200 lines before
// the session's start mark (taken as the order was accepted, just before its log line) on.
TEST_F(LogUploadTest, ASessionUploadFollowsItsEndCoveringItsLinesWith200OfContextPaced) {
    log_lines("before", 700);
    auto peer =
        backend("test_backend.py",
                R"([{"wait": "register"},
                            {"prepare_session": {"session_id": "sess-up", "encryption_key": ")" +
                    session_key_b64() + R"(", "turn": {"username": "alice", "credential": ")" +
                    kTurnPass + R"("}}}])");
    start(peer->port());
    ASSERT_TRUE(eventually([&] { return connector_->current_session_id() == "sess-up"; }, 10s));
    log_lines("during", 2000);
    log_secret_lines();
    connector_->send_session_ended("sess-up", "pipeline_ended", 12);
    ASSERT_TRUE(eventually([&] { return upload_count() == 1; }, 20s));
    ASSERT_TRUE(log_.wait_for("stored by the backend", 5s));

    const json up = uploads().at(0);
    EXPECT_EQ(up["session_id"], "sess-up");
    EXPECT_EQ(up["summary"], "session sess-up ended: pipeline_ended");
    EXPECT_EQ(up["app_version"], "0.4.448");
    EXPECT_GE(up["parts"].get<int>(), 4);
    const std::vector<std::string> lines = [&] {
        std::vector<std::string> out;
        std::istringstream in(up["content"].get<std::string>());
        for (std::string l; std::getline(in, l);)
            out.push_back(l);
        return out;
    }();
    EXPECT_EQ(lines.at(0).rfind("# Velmora Agent 0.4.448 (", 0), 0u) << lines.at(0);
    EXPECT_EQ(lines.at(2), "# session sess-up ended: pipeline_ended");
    // The store holds every line of this process so far, so line sequence numbers are indexes.
    std::vector<std::string> store;
    {
        auto& s = diag::diagnostics_store();
        std::lock_guard lock(s.mutex);
        ASSERT_EQ(s.ring.size(), s.total_lines);
        store.assign(s.ring.begin(), s.ring.end());
    }
    std::size_t mark = 0;
    while (mark < store.size() &&
           store[mark].find("SaasConnector: prepare_session id=sess-up") == std::string::npos)
        ++mark;
    ASSERT_LT(mark, store.size());
    const std::size_t from = mark - Diagnostics::kSessionContextLines;
    const std::size_t head = diag::DiagnosticsStore::kHeadLines;
    ASSERT_EQ(lines.at(3 + head),
              "[... " + std::to_string(from - head) +
                  " line(s) between the process start and this report omitted ...]");
    const std::size_t body = 4 + head;
    ASSERT_GT(lines.size(), body);
    for (std::size_t i = body; i < lines.size(); ++i)
        ASSERT_EQ(lines[i], clean_log_line(store.at(from + i - body))) << i;
    EXPECT_NE(up["content"].get<std::string>().find("during-1999 "), std::string::npos);
    EXPECT_NE(up["content"].get<std::string>().find("relay url turn:relay.test:3478?password="
                                                    "[REDACTED]&user=alice"),
              std::string::npos);

    // Paced at the backend: one part per 50 ms on the WebSocket. A single gap may shrink when
    // the backend is slow to read the part before it, the span cannot.
    const auto& t = up["part_t"];
    const double span = t.back().get<double>() - t.front().get<double>();
    EXPECT_GE(span, 0.05 * static_cast<double>(t.size() - 1) - 0.02);
    EXPECT_EQ(diagnostics().unconfirmed_uploads(), 0u);
    expect_clean_uploads(events());
}

TEST_F(LogUploadTest, TheFirstAgentReportComesFiveSecondsAfterTheLinkIsUp) {
    FakeClock& clock = clock_;
    log_secret_lines();
    auto peer = backend("test_backend.py", R"([{"wait": "register"}])");
    start(peer->port(), 0, &clock);
    ASSERT_TRUE(eventually([&] { return connector_->connected(); }, 10s));
    // The boundary itself is the diagnostics unit test's, on an injected clock; here the report
    // must follow the last millisecond, not come before it.
    clock.advance_ms(4999);
    EXPECT_EQ(upload_count(), 0u);
    clock.advance_ms(1);
    // Parts leave one per 50 ms of the connector's clock.
    ASSERT_TRUE(eventually(
        [&] {
            clock.advance_ms(50);
            return upload_count() > 0;
        },
        10s));
    const json up = uploads("agent").at(0);
    EXPECT_EQ(up["summary"], "agent 0.4.448 started (Test GPU)");
    EXPECT_TRUE(up["session_id"].is_null());
    EXPECT_NE(up["content"].get<std::string>().find("\n# agent started\n"), std::string::npos);
    EXPECT_NE(up["content"].get<std::string>().find("--turn-pass [REDACTED]"), std::string::npos);
    expect_clean_uploads(events());
}

// Uploads the backend confirmed stay confirmed; the others go again whole after a reconnect,
// oldest first, after the replayed messages.
TEST_F(LogUploadTest, UnconfirmedUploadsAreSentAgainWholeAfterAReconnectOldestFirst) {
    log_lines("busy", 600);
    log_secret_lines();
    auto peer = backend("test_backend.py", R"([{"wait": "register"}])");
    start(peer->port());
    ASSERT_TRUE(eventually([&] { return connector_->connected(); }, 10s));
    connector_->send_session_ended("s-a", "pipeline_ended", 1);
    ASSERT_TRUE(log_.wait_for("stored by the backend", 10s));
    ASSERT_EQ(peer->control(R"({"log_stored": "off"})"), "ok");
    connector_->send_session_ended("s-b", "client_lost", 2);
    connector_->send_session_ended("s-c", "pipeline_ended", 3);
    ASSERT_TRUE(eventually([&] { return upload_count() == 3; }, 20s));
    const std::vector<json> first = uploads();
    // (A slow run may have added the first agent report, unconfirmed as well.)
    ASSERT_GE(diagnostics().unconfirmed_uploads(), 2u);

    ASSERT_EQ(peer->control(R"({"log_stored": "on"})"), "ok");
    ASSERT_EQ(peer->control(R"({"hold": 0})"), "ok");
    ASSERT_TRUE(eventually([&] { return upload_count() == 5; }, 20s));
    ASSERT_TRUE(eventually([&] { return diagnostics().unconfirmed_uploads() == 0; }, 10s));
    const std::vector<json> ev = events();
    const std::string a = first[0]["upload_id"], b = first[1]["upload_id"],
                      c = first[2]["upload_id"];
    // The session uploads sent again; an agent report of a slow run may come among them.
    std::vector<std::string> resent = part_uploads(ev, 2);
    std::erase_if(resent, [&](const std::string& id) { return id != a && id != b && id != c; });
    EXPECT_EQ(resent, (std::vector<std::string>{b, c}));
    for (const std::string& id : {b, c}) {
        const auto again = copies(ev, id, 2);
        ASSERT_EQ(again.size(), 1u);
        EXPECT_EQ(again[0]["copy"], 2);
        EXPECT_EQ(again[0]["content"], copies(ev, id, 1).at(0)["content"]);
    }
    EXPECT_TRUE(copies(ev, a, 2).empty());
    const auto order = types(ev, 2);
    ASSERT_GE(order.size(), 4u);
    EXPECT_EQ(
        std::vector<std::string>(order.begin(), order.begin() + 4),
        (std::vector<std::string>{"register", "session_ended", "session_ended", "session_ended"}));
    expect_clean_uploads(ev, 5);
}

// Over VXCP/1 a part goes only while fewer than 16 fragments await delivery: at the backend, a
// part's first fragment never finds more than that (and the few single-fragment messages queued
// beside it) unacknowledged. An unconfirmed upload goes again after the channel is re-opened.
TEST_F(LogUploadTest, OverTheUdpChannelPartsArePacedByDeliveryAndReSentAfterAReconnect) {
    log_lines("udp", 2500);
    log_secret_lines();
    auto peer = backend("vxcp_server.py", R"([{"wait": "register"}])", {"--log-stored", "off"});
    start(9, peer->port());
    ASSERT_TRUE(eventually([&] { return connector_->transport_name() == "udp"; }, 10s));
    connector_->send_session_ended("s-u", "pipeline_ended", 4);
    ASSERT_TRUE(eventually([&] { return upload_count() == 1; }, 20s));
    const std::vector<json> ev = events();
    const json up = recorded_uploads(ev).at(0);
    EXPECT_GE(up["parts"].get<int>(), 4);
    int parts = 0;
    for (const json& e : ev) {
        if (e.value("event", "") == "recv" && e.value("type", "") == "diagnostic_log_part") {
            EXPECT_LT(e["unacked_before"].get<int>(), 16 + 4) << parts;
            ++parts;
        }
    }
    EXPECT_EQ(parts, up["parts"].get<int>());

    ASSERT_EQ(peer->control(R"({"log_stored": "on"})"), "ok");
    ASSERT_EQ(peer->control(R"({"close": 1000, "reason": "test"})"), "ok");
    ASSERT_TRUE(eventually([&] { return upload_count() == 2; }, 20s));
    ASSERT_TRUE(eventually([&] { return diagnostics().unconfirmed_uploads() == 0; }, 10s));
    const std::vector<json> all = events();
    const json again = recorded_uploads(all).at(1);
    EXPECT_EQ(again["conn"], 2);
    EXPECT_EQ(again["content"], up["content"]);
    expect_clean_uploads(all, 2);
}

}  // namespace
}  // namespace vx::test
