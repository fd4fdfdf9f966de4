#include "link/pong.hpp"

#include <gtest/gtest.h>

#include "connector_test_support.hpp"
#include "log_capture.hpp"

namespace vx::network {
namespace {

std::string pong_for(const char* message) {
    return make_pong(ping_timestamp_text(nlohmann::json::parse(message)));
}

TEST(PingPong, EchoesOnlyPositiveIntegerTimestamps) {
    EXPECT_EQ(pong_for(R"({"type":"ping","ts":1})"), R"({"type":"pong","ts":1})");
    EXPECT_EQ(pong_for(R"({"type":"ping","ts":9223372036854775807})"),
              R"({"type":"pong","ts":9223372036854775807})");
    EXPECT_EQ(pong_for(R"({"type":"ping","ts":1733560000123})"),
              R"({"type":"pong","ts":1733560000123})");
    for (const char* no_ts : {
             R"({"type":"ping","ts":9223372036854775808})",   // 2^63
             R"({"type":"ping","ts":18446744073709551615})",  // 2^64 - 1
             R"({"type":"ping","ts":0})",
             R"({"type":"ping","ts":-1})",
             R"({"type":"ping","ts":1.5})",
             R"({"type":"ping","ts":5.0})",
             R"({"type":"ping","ts":"5"})",
             R"({"type":"ping","ts":true})",
             R"({"type":"ping","ts":null})",
             R"({"type":"ping"})",
             R"([1,2])",
             R"(7)",
         }) {
        EXPECT_EQ(pong_for(no_ts), R"({"type":"pong"})") << no_ts;
    }
}

struct PingRig : test::ConnectorRig {
    PingRig() { connector.set_transport(transport); }
    std::shared_ptr<test::FakeTransport> transport = std::make_shared<test::FakeTransport>();
};

TEST(PingDispatch, PongGoesToTheControlLaneAndMovesLiveness) {
    test::LogCapture log;
    PingRig rig;
    rig.connector.reset_connection_liveness(rig.clock.now_us());
    rig.clock.advance_ms(250);
    rig.connector.handle_message(R"({"type":"ping","ts":42})");
    rig.connector.handle_message(R"({"type":"ping","ts":"x"})");
    EXPECT_EQ(rig.transport->sent,
              (std::vector<std::string>{R"({"type":"pong","ts":42})", R"({"type":"pong"})"}));
    EXPECT_EQ(rig.connector.last_heard_us(), rig.clock.now_us());
    EXPECT_TRUE(rig.connector.app_pings_arriving());
    EXPECT_EQ(rig.connector.app_pings(), 2u);
    // Nothing goes to the data queue.
    EXPECT_EQ(rig.connector.take_outgoing().size(), 0u);
    // One log line per minute; the second ping is counted as suppressed.
    EXPECT_EQ(log.count("app ping received"), 1u);
    rig.clock.advance_ms(60'000);
    rig.connector.handle_message(R"({"type":"ping"})");
    EXPECT_EQ(log.count("(#3 on this connection) - app pong queued on the control lane (3 seen, "
                        "1 suppressed in the last window)"),
              1u);

    rig.connector.reset_connection_liveness(rig.clock.now_us());
    EXPECT_FALSE(rig.connector.app_pings_arriving());
    EXPECT_EQ(rig.connector.app_pings(), 0u);
}

TEST(PingDispatch, RefusedPongEndsTheConnection) {
    test::LogCapture log;
    PingRig rig;
    rig.connector.reset_connection_liveness(rig.clock.now_us());
    rig.transport->refuse = true;
    rig.connector.handle_message(R"({"type":"ping","ts":1})");
    EXPECT_EQ(rig.transport->aborts, std::vector<std::string>{"pong refused"});
    EXPECT_TRUE(log.has("app pong REFUSED by the control lane"));
    EXPECT_TRUE(
        log.has("the app pong could not be queued (control lane refused: 7 dropped, "
                "closed=true)"));
}

TEST(PingDispatch, NoTransportCountsAsRefusedWithoutCrashing) {
    test::LogCapture log;
    test::ConnectorRig rig;
    rig.connector.handle_message(R"({"type":"ping","ts":1})");
    EXPECT_TRUE(log.has("the app pong could not be queued"));
}

}  // namespace
}  // namespace vx::network
