#include <gtest/gtest.h>

#include <stdexcept>

#include "connector_test_support.hpp"
#include "log_capture.hpp"

namespace vx::network {
namespace {

std::string prepare(const std::string& id, const std::string& extra = "") {
    return R"({"type":"prepare_session","session_id":")" + id + R"(","session_token_sha256":"ab")" +
           extra + "}";
}

std::string terminate(const std::string& id) {
    return R"({"type":"terminate_session","session_id":")" + id + R"("})";
}

struct SessionRig : test::ConnectorRig {
    SessionRig() {
        connector.set_on_prepare_session(
            [this](const PrepareSessionParams& p) { prepared.push_back(p.session_id); });
        connector.set_on_session_terminated([this](const std::string& id, const std::string& r) {
            terminated.push_back(id + "/" + r);
        });
        connector.set_control_bridge(bridge);
        connector.set_log_upload(upload);
    }
    std::vector<std::string> prepared;
    std::vector<std::string> terminated;
    std::shared_ptr<test::FakeBridge> bridge =
        std::make_shared<test::FakeBridge>(connector.bridge_queue());
    std::shared_ptr<test::FakeLogUpload> upload = std::make_shared<test::FakeLogUpload>();
};

TEST(PrepareSessionDispatch, DuplicateIdIsIgnoredAndChangesNothing) {
    test::LogCapture log;
    SessionRig rig;
    rig.connector.handle_message(prepare("s-1"));
    rig.connector.handle_message(prepare("s-2"));
    rig.connector.handle_message(prepare("s-1"));
    EXPECT_EQ(rig.prepared, (std::vector<std::string>{"s-1", "s-2"}));
    EXPECT_EQ(rig.connector.current_session_id(), "s-2");
    EXPECT_EQ(log.count("prepare_session s-1 ignored - this session was already handled"), 1u);
    EXPECT_EQ(rig.upload->calls, (std::vector<std::string>{"start s-1", "start s-2"}));
}

TEST(PrepareSessionDispatch, TerminatedIdIsNotStartedLater) {
    SessionRig rig;
    rig.connector.handle_message(terminate("s-9"));
    rig.connector.handle_message(prepare("s-9"));
    EXPECT_TRUE(rig.prepared.empty());
    EXPECT_EQ(rig.terminated, std::vector<std::string>{"s-9/saas_terminated"});
}

TEST(PrepareSessionDispatch, EmptyIdIsNotDeduplicated) {
    SessionRig rig;
    rig.connector.handle_message(prepare("s-1"));
    rig.connector.handle_message(prepare(""));
    rig.connector.handle_message(prepare(""));
    EXPECT_EQ(rig.prepared, (std::vector<std::string>{"s-1", "", ""}));
    EXPECT_EQ(rig.connector.current_session_id(), "");
    // No session start is noted for an empty id.
    EXPECT_EQ(rig.upload->calls, std::vector<std::string>{"start s-1"});
}

TEST(PrepareSessionDispatch, The33rdIdPushesTheOldestOut) {
    SessionRig rig;
    for (int i = 0; i <= 32; ++i) {
        rig.connector.handle_message(prepare("id-" + std::to_string(i)));
    }
    ASSERT_EQ(rig.prepared.size(), 33u);
    rig.connector.handle_message(prepare("id-1"));  // still remembered
    EXPECT_EQ(rig.prepared.size(), 33u);
    rig.connector.handle_message(prepare("id-0"));  // forgotten: a late copy is accepted
    EXPECT_EQ(rig.prepared.size(), 34u);
    EXPECT_EQ(rig.prepared.back(), "id-0");
}

TEST(PrepareSessionDispatch, EachAcceptedOrderStartsFromAClosedBridge) {
    SessionRig rig;
    rig.connector.handle_message(R"({"type":"control_data","data":"aGk="})");
    ASSERT_NE(rig.connector.last_control_data_us(), 0);
    rig.connector.bridge_queue()->close();
    rig.connector.bridge_queue()->push({1});  // a drop to be reset
    const int stops = rig.bridge->stops;
    rig.connector.handle_message(prepare("s-1"));
    EXPECT_EQ(rig.bridge->stops, stops + 1);
    EXPECT_EQ(rig.connector.last_control_data_us(), 0);
    EXPECT_EQ(rig.connector.bridge_queue()->drops(), 0u);
}

TEST(PrepareSessionDispatch, MalformedOrderIsDroppedBeforeItChangesState) {
    test::LogCapture log;
    SessionRig rig;
    rig.connector.handle_message(prepare("s-1"));
    const int stops = rig.bridge->stops;
    rig.connector.handle_message(prepare("s-2", R"(,"constraints":{"max_fps":"60"})"));
    EXPECT_EQ(rig.prepared, std::vector<std::string>{"s-1"});
    EXPECT_EQ(rig.connector.current_session_id(), "s-1");
    EXPECT_EQ(rig.bridge->stops, stops);
    EXPECT_EQ(log.count("SaasConnector: error processing prepare_session: key 'max_fps' must be "
                        "a number, not string raw={\"type\":\"prepare_session\""),
              1u);
    // Its id stays handled: a corrected copy with the same id is ignored.
    rig.connector.handle_message(prepare("s-2"));
    EXPECT_EQ(rig.prepared, std::vector<std::string>{"s-1"});
}

// The driver refused the order, but another session may be running: only the driver's waiting
// loop, which knows, may tell the log upload that the agent waits again.
TEST(PrepareSessionDispatch, AnOrderTheDriverRefusesLeavesTheSessionMarkToTheDriver) {
    test::LogCapture log;
    SessionRig rig;
    rig.connector.set_on_prepare_session([](const PrepareSessionParams& p) {
        if (p.session_id == "s-2") {
            throw std::runtime_error("no room");
        }
    });
    rig.connector.handle_message(prepare("s-1"));
    rig.connector.handle_message(prepare("s-2"));
    EXPECT_EQ(rig.upload->calls, (std::vector<std::string>{"start s-1", "start s-2"}));
    EXPECT_EQ(log.count("SaasConnector: error processing prepare_session: no room raw="), 1u);
}

TEST(PrepareSessionDispatch, TheLoggedExcerptNeverShowsTheSessionKey) {
    test::LogCapture log;
    SessionRig rig;
    rig.connector.handle_message(
        R"({"type":"prepare_session","encryption_key":"c2VjcmV0","session_id":"s-1",)"
        R"("max_fps_bad":1,"constraints":{"max_fps":"x"}})");
    EXPECT_TRUE(log.has(R"(raw={"type":"prepare_session","encryption_key":"[REDACTED]")"));
    EXPECT_FALSE(log.has("c2VjcmV0"));
}

TEST(PrepareSessionDispatch, LimitBeyond32BitsIsRefusedNotTurnedIntoNoLimit) {
    test::LogCapture log;
    SessionRig rig;
    rig.connector.handle_message(prepare("s-1", R"(,"max_duration_sec":4294967296)"));
    EXPECT_TRUE(rig.prepared.empty());
    EXPECT_TRUE(log.has("error processing prepare_session"));
}

TEST(PrepareSessionDispatch, FractionalFpsIsCutAndTheOrderIsLogged) {
    test::LogCapture log;
    SessionRig rig;
    PrepareSessionParams got;
    rig.connector.set_on_prepare_session([&](const PrepareSessionParams& p) { got = p; });
    rig.connector.handle_message(prepare("s-1", R"(,"constraints":{"max_fps":59.9})"));
    EXPECT_EQ(got.max_fps, 59);
    EXPECT_TRUE(
        log.has("SaasConnector: prepare_session id=s-1 codec=h264 res=1920x1080 fps=59 "
                "bitrate=15000kbps hide_desktop=false launch_steam=false "
                "steam_app_id=<none>"));
}

TEST(PrepareSessionDispatch, WithoutHandlerNothingHappens) {
    test::LogCapture log;
    test::ConnectorRig rig;
    rig.connector.handle_message(prepare("s-1"));
    EXPECT_EQ(rig.connector.current_session_id(), "");
    EXPECT_EQ(log.lines().size(), 0u);
}

TEST(PrepareSessionDispatch, ThrowingHandlerIsLoggedAndTheConnectionLives) {
    test::LogCapture log;
    test::ConnectorRig rig;
    rig.connector.set_on_prepare_session(
        [](const PrepareSessionParams&) { throw std::runtime_error("driver busy"); });
    EXPECT_NO_THROW(rig.connector.handle_message(prepare("s-1")));
    EXPECT_TRUE(log.has("error processing prepare_session: driver busy"));
}

TEST(TerminateSessionDispatch, EveryOrderReachesTheDriver) {
    SessionRig rig;
    rig.connector.handle_message(prepare("s-1"));
    rig.connector.handle_message(R"({"type":"terminate_session","session_id":"s-1","reason":"x"})");
    rig.connector.handle_message(terminate("s-1"));
    rig.connector.handle_message(R"({"type":"terminate_session"})");
    EXPECT_EQ(rig.terminated,
              (std::vector<std::string>{"s-1/x", "s-1/saas_terminated", "/saas_terminated"}));
    // The current session id is the driver's business here.
    EXPECT_EQ(rig.connector.current_session_id(), "s-1");
}

// The reason only goes into a log line: a backend that sends it as null or a number still ends
// the session, where dropping the order left the session streaming after the backend ended it.
TEST(TerminateSessionDispatch, AReasonOfAnotherTypeStillEndsTheSession) {
    test::LogCapture log;
    SessionRig rig;
    for (const char* reason : {"null", "5", "true", R"({"code":7})", "[]"}) {
        rig.connector.handle_message(
            std::string(R"({"type":"terminate_session","session_id":"s-1","reason":)") + reason +
            "}");
    }
    EXPECT_EQ(rig.terminated, std::vector<std::string>(5, "s-1/saas_terminated"));
    EXPECT_EQ(log.count("terminate_session s-1 has a reason that is not a string"), 5u);
}

TEST(TerminateSessionDispatch, AFailingDriverCallbackCostsOnlyThatMessage) {
    test::LogCapture log;
    test::ConnectorRig rig;
    rig.connector.set_on_session_terminated(
        [](const std::string&, const std::string&) { throw std::runtime_error("busy"); });
    rig.connector.set_on_observed_ip([](std::string) { throw 42; });
    EXPECT_NO_THROW(rig.connector.handle_message(terminate("s-1")));
    EXPECT_NO_THROW(
        rig.connector.handle_message(R"({"type":"observed_ip","public_ip":"8.8.8.8"})"));
    EXPECT_TRUE(log.has("error handling a 'terminate_session' message: busy"));
    EXPECT_TRUE(log.has("error handling a 'observed_ip' message: unknown exception"));
}

TEST(ObservedIpDispatch, EmptyAddressIsIgnored) {
    test::LogCapture log;
    test::ConnectorRig rig;
    std::vector<std::string> seen;
    rig.connector.set_on_observed_ip([&](std::string ip) { seen.push_back(ip); });
    rig.connector.handle_message(R"({"type":"observed_ip","public_ip":""})");
    rig.connector.handle_message(R"({"type":"observed_ip","public_ip":"198.51.100.9"})");
    EXPECT_EQ(seen, std::vector<std::string>{"198.51.100.9"});
    EXPECT_TRUE(log.has("observed_ip without public_ip"));
    EXPECT_TRUE(log.has("SaasConnector: backend observed public IP 198.51.100.9"));
}

TEST(LogStoredDispatch, ConfirmsTheUpload) {
    SessionRig rig;
    rig.connector.handle_message(R"({"type":"diagnostic_log_stored","upload_id":"0011aabb"})");
    EXPECT_EQ(rig.upload->calls, std::vector<std::string>{"stored 0011aabb"});
}

}  // namespace
}  // namespace vx::network
