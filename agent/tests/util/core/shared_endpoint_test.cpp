#include "util/shared_endpoint.hpp"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include "util/io/udp_socket.hpp"
#include "util/session_failure.hpp"

namespace vx::util {
namespace {

TEST(SharedEndpoint, ValidOnlyWhenSetWithHostAndPort) {
    SharedEndpoint ep;
    EXPECT_FALSE(ep.valid());
    EXPECT_FALSE(ep.get().has_value());
    ep.set("", 5000);
    EXPECT_FALSE(ep.valid());
    ep.set("127.0.0.1", 0);
    EXPECT_FALSE(ep.valid());
    ep.set("127.0.0.1", 48002);
    ASSERT_TRUE(ep.get().has_value());
    EXPECT_EQ(ep.get()->host, "127.0.0.1");
    EXPECT_EQ(ep.get()->port, 48002);
    ep.clear();
    EXPECT_FALSE(ep.valid());
}

TEST(SessionFailure, Names) {
    EXPECT_EQ(session_failure_name(SessionFailure::capture_init_failed), "capture_init_failed");
    EXPECT_EQ(session_failure_name(SessionFailure::encoder_init_failed), "encoder_init_failed");
    EXPECT_EQ(session_failure_name(SessionFailure::video_socket_failed), "video_socket_failed");
    EXPECT_EQ(session_failure_name(SessionFailure::handshake_failed), "handshake_failed");
    EXPECT_EQ(session_failure_name(SessionFailure::session_setup_failed), "session_setup_failed");
    EXPECT_EQ(session_failure_name(static_cast<SessionFailure>(99)), "session_setup_failed");
}

TEST(UdpSocket, ConnResetSwitchTellsWhetherTheSocketIsOpen) {
    asio::io_context io;
    asio::ip::udp::socket socket(io);
    EXPECT_FALSE(disable_udp_connreset(socket));
    socket.open(asio::ip::udp::v4());
    EXPECT_TRUE(disable_udp_connreset(socket));
}

}  // namespace
}  // namespace vx::util
