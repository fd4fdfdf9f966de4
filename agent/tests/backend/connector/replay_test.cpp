#include <gtest/gtest.h>

#include "connector_test_support.hpp"
#include "log_capture.hpp"

namespace vx::network {
namespace {

using nlohmann::json;

std::vector<std::string> types(const std::vector<std::string>& texts) {
    std::vector<std::string> out;
    for (const std::string& text : texts) {
        const json m = json::parse(text);
        std::string t = m.at("type").get<std::string>();
        if (m.contains("session_id")) {
            t += ":" + m.at("session_id").get<std::string>();
        }
        out.push_back(t);
    }
    return out;
}

struct ReplayRig : test::ConnectorRig {
    std::vector<std::string> reconnect() {
        connector.resend_after_reconnect();
        return types(connector.take_outgoing());
    }
};

TEST(Replay, StaleMessagesAreDroppedAndRegisterComesFirst) {
    test::LogCapture log;
    ReplayRig rig;
    rig.connector.send_heartbeat();
    rig.connector.send_error("E", "m", "");
    rig.connector.send_ice_candidate("s", "1.2.3.4", "host", 5, std::nullopt);
    EXPECT_EQ(rig.reconnect(), std::vector<std::string>{"register"});
    EXPECT_TRUE(log.has("SaasConnector: discarding 3 stale queued messages on reconnect"));
    EXPECT_TRUE(log.has("SaasConnector: sent register (gpu= vram=0MB port_base=47998)"));
    log.clear();
    EXPECT_EQ(rig.reconnect(), std::vector<std::string>{"register"});
    EXPECT_FALSE(log.has("stale"));
}

TEST(Replay, SessionReadyUntilTheSessionEnds) {
    test::LogCapture log;
    ReplayRig rig;
    rig.connector.send_session_ready("s-1", "1.2.3.4", 1, 2, 3);
    EXPECT_EQ(rig.reconnect(), (std::vector<std::string>{"register", "session_ready:s-1"}));
    EXPECT_TRUE(log.has("re-sending cached session_ready after reconnect"));
    rig.connector.send_session_ended("s-1", "pipeline_ended", 60);
    EXPECT_EQ(rig.reconnect(), (std::vector<std::string>{"register", "session_ended:s-1"}));
    EXPECT_TRUE(log.has("re-sending cached terminal message after reconnect (key=s-1)"));
    // The terminal message stays cached for every later reconnect.
    EXPECT_EQ(rig.reconnect(), (std::vector<std::string>{"register", "session_ended:s-1"}));
    rig.connector.send_session_ready("s-2", "1.2.3.4", 1, 2, 3);
    rig.connector.clear_cached_session_ready();
    EXPECT_EQ(rig.reconnect(), (std::vector<std::string>{"register", "session_ended:s-1"}));
}

TEST(Replay, ErrorAndEndOfOneSessionAreBothKeptEndFirst) {
    ReplayRig rig;
    rig.connector.send_error("ENCODER_INIT_FAILED", "x", "s-1");
    rig.connector.send_session_ended("s-1", "pipeline_ended", 0);
    rig.connector.send_error("DXGI_INIT_FAILED", "no session", "");
    EXPECT_EQ(rig.reconnect(),
              (std::vector<std::string>{"register", "session_ended:s-1", "error:s-1"}));
    EXPECT_EQ(rig.connector.outgoing().terminal_cache().count("s-1#err"), 1u);
}

TEST(Replay, TerminalCacheEvictsTheSmallestKey) {
    ReplayRig ascending;
    for (char c = 'a'; c <= 'i'; ++c) {
        ascending.connector.send_session_ended(std::string(1, c), "r", 1);
    }
    std::string keys;
    for (const auto& [key, text] : ascending.connector.outgoing().terminal_cache()) {
        keys += key;
    }
    EXPECT_EQ(keys, "bcdefghi");

    ReplayRig descending;
    for (char c = 'i'; c >= 'a'; --c) {
        descending.connector.send_session_ended(std::string(1, c), "r", 1);
    }
    keys.clear();
    for (const auto& [key, text] : descending.connector.outgoing().terminal_cache()) {
        keys += key;
    }
    EXPECT_EQ(keys, "acdefghi");

    // Replacing a cached key evicts nothing.
    descending.connector.send_session_ended("a", "again", 2);
    EXPECT_EQ(descending.connector.outgoing().terminal_cache().size(), 8u);
    EXPECT_NE(descending.connector.outgoing().terminal_cache().at("a").find("again"),
              std::string::npos);
}

TEST(Replay, LogUploadHooksRunInTheirPlaces) {
    ReplayRig rig;
    auto upload = std::make_shared<test::FakeLogUpload>();
    rig.connector.set_log_upload(upload);
    rig.connector.send_heartbeat();
    rig.connector.send_session_ended("s-1", "client_lost", 5);
    rig.connector.resend_after_reconnect();
    EXPECT_EQ(upload->calls,
              (std::vector<std::string>{"report", "upload s-1 client_lost", "requeue"}));
}

TEST(Replay, DrainTakesEverythingInOrder) {
    ReplayRig rig;
    rig.connector.enqueue_text("one");
    rig.connector.enqueue_message(json{{"type", "two"}});
    EXPECT_EQ(rig.connector.take_outgoing(),
              (std::vector<std::string>{"one", R"({"type":"two"})"}));
    EXPECT_TRUE(rig.connector.take_outgoing().empty());
}

// What a connection took but could not send goes back ahead of later messages, and a
// reconnect counts it among the stale drops instead of losing it unlogged.
TEST(Replay, ReturnedMessagesLeadTheQueueAndCountAsStale) {
    ReplayRig rig;
    rig.connector.enqueue_text("a");
    rig.connector.enqueue_text("b");
    auto taken = rig.connector.take_outgoing();
    rig.connector.enqueue_text("c");
    rig.connector.outgoing_queue()->return_front(std::move(taken));
    rig.connector.outgoing_queue()->return_front({});
    EXPECT_EQ(rig.connector.outgoing().size(), 3u);
    rig.connector.outgoing_queue()->return_front(rig.connector.take_outgoing());
    EXPECT_EQ(rig.connector.resend_after_reconnect(), 3u);
    rig.connector.outgoing_queue()->return_front({"x", "y"});
    const auto queued = rig.connector.take_outgoing();
    ASSERT_EQ(queued.size(), 3u);
    EXPECT_EQ(queued[0], "x");
    EXPECT_EQ(queued[1], "y");
    EXPECT_NE(queued[2].find(R"("type":"register")"), std::string::npos);
}

}  // namespace
}  // namespace vx::network

namespace vx::network {
namespace {

TEST(Senders, IceCandidateIsQueuedAndLoggedOnlyWhenComplete) {
    test::LogCapture log;
    test::ConnectorRig rig;
    natwave::Profile profile;
    profile.kind = 2;
    profile.base = 40000;
    rig.connector.send_ice_candidate("s-1", "198.51.99.7", "srflx", 48002, profile);
    rig.connector.send_ice_candidate("s-1", "198.51.99.7", "relay", 3478, std::nullopt);
    rig.connector.send_ice_candidate("s-1", "198.51.99.7", "host", 0, std::nullopt);
    rig.connector.send_ice_candidate("", "198.51.99.7", "host", 1, std::nullopt);
    EXPECT_EQ(rig.connector.take_outgoing().size(), 2u);
    EXPECT_TRUE(
        log.has("SaasConnector: published ICE candidate 198.51.99.7:48002 (srflx nat=adm)"));
    EXPECT_TRUE(
        log.has("SaasConnector: published ICE candidate 198.51.99.7:3478 (relay nat=none)"));
    EXPECT_EQ(log.count("published ICE candidate"), 2u);
}

TEST(Senders, HeartbeatIsQueuedWithItsDebugLine) {
    test::LogCapture log;
    test::ConnectorRig rig;
    rig.connector.send_heartbeat();
    EXPECT_EQ(rig.connector.take_outgoing(),
              std::vector<std::string>{R"({"cpu_pct":0.0,"gpu_pct":0.0,"ram_mb_free":0.0,)"
                                       R"("status":"online","type":"heartbeat"})"});
    EXPECT_EQ(log.count("SaasConnector: queueing heartbeat", SPDLOG_LEVEL_DEBUG), 1u);
}

}  // namespace
}  // namespace vx::network
