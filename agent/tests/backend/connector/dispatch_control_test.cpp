#include <gtest/gtest.h>

#include "connector_test_support.hpp"
#include "log_capture.hpp"

namespace vx::network {
namespace {

struct BridgeRig : test::ConnectorRig {
    explicit BridgeRig(bool reachable = true)
        : bridge(std::make_shared<test::FakeBridge>(connector.bridge_queue(), reachable)) {
        connector.set_control_bridge(bridge);
    }
    std::shared_ptr<test::FakeBridge> bridge;
};

TEST(ControlDispatch, OpenAndCloseDriveTheBridge) {
    BridgeRig rig;
    rig.connector.handle_message(R"({"type":"control_open"})");
    EXPECT_EQ(rig.bridge->opens, std::vector<std::uint16_t>{48001});
    EXPECT_TRUE(rig.bridge->is_socket_open());
    rig.connector.handle_message(R"({"type":"control_open"})");
    EXPECT_EQ(rig.bridge->opens.size(), 2u);
    rig.connector.handle_message(R"({"type":"control_close"})");
    EXPECT_FALSE(rig.bridge->is_socket_open());
}

TEST(ControlDispatch, DataBeforeOpenOpensTheBridgeAndQueuesTheBytes) {
    BridgeRig rig;
    rig.clock.advance_ms(5);
    rig.connector.handle_message(R"({"type":"control_data","data":"AAEC"})");
    EXPECT_EQ(rig.bridge->opens, std::vector<std::uint16_t>{48001});
    auto chunk = rig.connector.bridge_queue()->wait_pop();
    ASSERT_TRUE(chunk);
    EXPECT_EQ(*chunk, (std::vector<std::uint8_t>{0, 1, 2}));
    EXPECT_EQ(rig.connector.control_data_received(), 1u);
    EXPECT_EQ(rig.connector.last_control_data_us(), rig.clock.now_us());
}

TEST(ControlDispatch, UndecodablePayloadIsDroppedWithoutStamp) {
    test::LogCapture log;
    BridgeRig rig;
    rig.connector.handle_message(R"({"type":"control_data","data":"%%%"})");
    rig.connector.handle_message(R"({"type":"control_data"})");
    // A byte outside the alphabet is refused, never relayed as other bytes.
    rig.connector.handle_message("{\"type\":\"control_data\",\"data\":\"aGVsbG\xC3\xBF\"}");
    EXPECT_TRUE(log.has("dropped (8 encoded bytes)"));
    EXPECT_TRUE(
        log.has("control_data with an empty/undecodable payload dropped (3 encoded "
                "bytes)"));
    EXPECT_TRUE(log.has("dropped (0 encoded bytes)"));
    EXPECT_EQ(rig.connector.control_data_received(), 3u);
    EXPECT_EQ(rig.connector.last_control_data_us(), 0);
    EXPECT_EQ(rig.connector.bridge_queue()->size(), 0u);
}

TEST(ControlDispatch, UnreachablePortDropsEachChunkWithItsReason) {
    BridgeRig rig(false);
    rig.connector.handle_message(R"({"type":"control_data","data":"AAEC"})");
    rig.connector.handle_message(R"({"type":"control_data","data":"AAEC"})");
    // Each chunk tries to connect again (once for the closed socket, once for the closed queue).
    EXPECT_EQ(rig.bridge->opens.size(), 4u);
    EXPECT_EQ(rig.bridge->drops,
              (std::vector<std::string>{"local control port 48001 not reachable",
                                        "local control port 48001 not reachable"}));
    EXPECT_EQ(rig.connector.bridge_queue()->drops(), 2u);
}

TEST(ControlDispatch, FullQueueDropsWithItsReason) {
    BridgeRig rig;
    for (int i = 0; i < 65; ++i) {
        rig.connector.handle_message(R"({"type":"control_data","data":"AA=="})");
    }
    EXPECT_EQ(rig.connector.bridge_queue()->size(), 64u);
    EXPECT_EQ(rig.bridge->drops, std::vector<std::string>{"write queue full"});
}

TEST(ControlDispatch, PortBaseWithoutRoomForTheControlPortNeverWraps) {
    test::LogCapture log;
    SaasConfig config = test::ConnectorRig::plain_config();
    config.register_payload.port_base = 65534;
    test::ConnectorRig rig(config);
    auto bridge = std::make_shared<test::FakeBridge>(rig.connector.bridge_queue());
    rig.connector.set_control_bridge(bridge);
    rig.connector.handle_message(R"({"type":"control_open"})");
    EXPECT_TRUE(bridge->opens.empty());
    EXPECT_TRUE(log.has("port_base 65534 leaves no room for the control port"));
}

TEST(ControlDispatch, WithoutABridgeNothingBreaks) {
    test::ConnectorRig rig;
    EXPECT_NO_THROW(rig.connector.handle_message(R"({"type":"control_open"})"));
    EXPECT_NO_THROW(rig.connector.handle_message(R"({"type":"control_data","data":"AA=="})"));
    EXPECT_NO_THROW(rig.connector.handle_message(R"({"type":"control_close"})"));
    EXPECT_EQ(rig.connector.bridge_queue()->drops(), 1u);
}

}  // namespace
}  // namespace vx::network
