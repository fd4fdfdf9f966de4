#include "driver/session_relay_step.hpp"

#include <gtest/gtest.h>

#include "link/qos_flow_worker.hpp"
#include "traversal/turn/session_relay.hpp"

namespace vx {
namespace {

SessionConfig with_options(std::string turn, std::string url, std::string user, std::string pass) {
    SessionConfig s;
    s.session_id = "s-1";
    s.turn = std::move(turn);
    s.agent.turn_url = std::move(url);
    s.agent.turn_user = std::move(user);
    s.agent.turn_pass = std::move(pass);
    return s;
}

TEST(SessionRelayStep, CredentialsFromTheOrderElseFromTheOptions) {
    const std::string order = R"({"urls":"turn:10.0.0.1:3478","username":"u","credential":"p"})";
    EXPECT_EQ(session_turn_credentials(with_options(order, "turn:h", "a", "b")), order);
    EXPECT_EQ(session_turn_credentials(with_options("", "turn:h:3478", "a", "b\"c")),
              R"({"iceServers":[{"password":"b\"c","urls":"turn:h:3478","username":"a"}]})");
    // Incomplete options supply nothing; a password that is not UTF-8 neither (and no throw).
    EXPECT_EQ(session_turn_credentials(with_options("", "turn:h", "a", "")), "");
    EXPECT_EQ(session_turn_credentials(with_options("", "turn:h", "a", "\xff\xfe")), "");
}

TEST(SessionRelayStep, LauncherAddressForThePermission) {
    const asio::ip::udp::endpoint media(asio::ip::make_address("203.0.113.9"), 5000);
    EXPECT_EQ(launcher_relay_peer("198.51.100.4:51000", media), "198.51.100.4");
    EXPECT_EQ(launcher_relay_peer("192.168.1.20:51000", std::nullopt), "192.168.1.20");
    // The backend's control tunnel connects from loopback: the launcher's address is unknown
    // there, so the media destination the backend relayed counts.
    EXPECT_EQ(launcher_relay_peer("127.0.0.1:40000", media), "203.0.113.9");
    EXPECT_EQ(launcher_relay_peer("127.0.0.1:40000", std::nullopt), "");
    EXPECT_EQ(launcher_relay_peer("", std::nullopt), "");
    EXPECT_EQ(launcher_relay_peer("unknown peer", std::nullopt), "");
    EXPECT_EQ(launcher_relay_peer("::1:5", std::nullopt), "");
}

TEST(SessionRelayStep, TheRelaySocketIsMarkedUnlessQosIsOff) {
    SessionConfig s;
    EXPECT_EQ(relay_qos_traffic_type(s), static_cast<std::uint8_t>(QosTrafficType::audio_video));
    s.agent.qos = false;
    EXPECT_EQ(relay_qos_traffic_type(s), static_cast<std::uint8_t>(QosTrafficType::none));
}

TEST(SessionRelayStep, NoCredentialsOrBadOnesLeaveTheSessionDirectOnly) {
    EXPECT_EQ(start_session_relay(with_options("", "", "", ""), "", nullptr), nullptr);
    EXPECT_EQ(start_session_relay(with_options("not json", "", "", ""), "", nullptr), nullptr);
    const std::string tls = R"({"urls":"turns:10.0.0.1:5349","username":"u","credential":"p"})";
    EXPECT_EQ(start_session_relay(with_options(tls, "", "", ""), "", nullptr), nullptr);
    std::unique_ptr<network::SessionRelay> none;
    stop_session_relay(none);  // harmless without a relay
    EXPECT_EQ(none, nullptr);
}

}  // namespace
}  // namespace vx
