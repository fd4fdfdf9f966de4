#include "util/io/udp_socket.hpp"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>

namespace vx::util {
namespace {

TEST(UdpSocket, ConnResetSwitchTellsWhetherTheSocketIsOpen) {
    asio::io_context io;
    asio::ip::udp::socket socket(io);
    EXPECT_FALSE(disable_udp_connreset(socket));
    socket.open(asio::ip::udp::v4());
    EXPECT_TRUE(disable_udp_connreset(socket));
}

}  // namespace
}  // namespace vx::util
