#include <gtest/gtest.h>

#include "connector_test_support.hpp"
#include "log_capture.hpp"

namespace vx::network {
namespace {

using test::ConnectorRig;
using test::LogCapture;

TEST(ConnectorLifecycle, StopWithoutStartReturnsAndTwiceIsHarmless) {
    ConnectorRig rig;
    rig.connector.stop();
    rig.connector.stop();
    EXPECT_FALSE(rig.connector.running());
}

TEST(ConnectorLifecycle, SecondStartIsALoggedNoOp) {
    LogCapture log;
    ConnectorRig rig;
    rig.connector.start();
    EXPECT_TRUE(rig.connector.running());
    rig.connector.start();
    EXPECT_EQ(log.count("start() called while the connection thread runs"), 1u);
    rig.connector.stop();
    EXPECT_FALSE(rig.connector.running());
    EXPECT_TRUE(log.has("SaasConnector: stopped"));
    // After a stop it may be started again.
    rig.connector.start();
    rig.connector.stop();
}

TEST(ConnectorLifecycle, StopWakesTheTransportAndStopsTheBridge) {
    // Not started: the connection loop would install a transport of its own.
    ConnectorRig rig;
    auto transport = std::make_shared<test::FakeTransport>();
    auto bridge = std::make_shared<test::FakeBridge>(rig.connector.bridge_queue());
    rig.connector.set_transport(transport);
    rig.connector.set_control_bridge(bridge);
    rig.connector.stop();
    EXPECT_EQ(transport->wakes, 1);
    EXPECT_EQ(bridge->stops, 1);
}

TEST(ConnectorLifecycle, TlsOffLooksForNoCertificateFile) {
    LogCapture log;
    ConnectorRig rig;
    EXPECT_FALSE(log.has("cacert.pem"));
}

TEST(ConnectorLifecycle, TlsOnWithoutCacertWarnsOnceAndStillStarts) {
    LogCapture log;
    SaasConfig config = ConnectorRig::plain_config();
    config.tls = true;
    ConnectorRig rig(config);
    EXPECT_EQ(log.count("cacert.pem not found next to the executable"), 1u);
    rig.connector.start();
    rig.connector.stop();
}

// The host names are command-line text of any length: the lines the loop writes at every retry
// (the attempt and its failure, over the WebSocket or the UDP channel) stay short.
TEST(ConnectorLifecycle, RetryLinesStayShortWithAHugeHost) {
    const std::string huge(100'000, 'h');  // no name server is asked for a name this long
    SaasConfig websocket = ConnectorRig::plain_config();
    websocket.host = huge;
    SaasConfig udp = ConnectorRig::plain_config();
    udp.control_udp_host = huge;
    udp.control_udp_port = 9;
    udp.server_id = std::string(36, 's');
    udp.agent_token = "t";
    for (const auto& [config, attempt] :
         {std::pair{websocket, "SaasConnector: connecting to "},
          std::pair{udp, "SaasConnector: connecting over UDP to "}}) {
        LogCapture log;
        ConnectorRig rig(config);
        rig.connector.start();
        EXPECT_TRUE(log.wait_for("SaasConnector: disconnected, retry in"));
        rig.connector.stop();
        EXPECT_TRUE(log.has(attempt + huge.substr(0, 200) + "...:9")) << attempt;
        for (const auto& line : log.lines()) {
            EXPECT_LT(line.text.size(), 1000u) << line.text.substr(0, 400);
        }
    }
}

TEST(ConnectorLifecycle, ControlPortDoesNotWrap) {
    SaasConfig config = ConnectorRig::plain_config();
    EXPECT_EQ(ConnectorRig(config).connector.control_port(), 48001);
    config.register_payload.port_base = 65533;
    EXPECT_EQ(ConnectorRig(config).connector.control_port(), std::nullopt);
}

}  // namespace
}  // namespace vx::network
