// The direct datagram path on loopback: only the backend's datagrams come through, and an
// over-long one is handed over cut to the buffer (Linux cuts silently where Windows errs).
#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>

#include "backend/vxcp/vxcp_path.hpp"
#include "backend/vxcp/vxcp_wire.hpp"

namespace vx::test {
namespace {

using namespace vx::network;

TEST(VxcpDirectPath, FiltersSourcesAndCutsOverlongDatagrams) {
    asio::io_context io;
    asio::ip::udp::socket backend(io,
                                  asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    asio::ip::udp::socket stranger(io,
                                   asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    VxcpEndpoint endpoint;
    std::string err;
    ASSERT_TRUE(vxcp_resolve("127.0.0.1", backend.local_endpoint().port(), endpoint, err)) << err;
    auto path = open_direct_path(endpoint, err);
    ASSERT_TRUE(path) << err;

    const Bytes hello(142, 1);
    path->send(hello);
    std::array<std::uint8_t, 2048> in{};
    asio::ip::udp::endpoint agent;
    ASSERT_EQ(backend.receive_from(asio::buffer(in), agent), hello.size());

    std::uint64_t dropped = 0;
    std::array<std::uint8_t, kVxcpReceiveBuffer> buffer{};
    EXPECT_EQ(path->receive(buffer.data(), buffer.size(), 0, dropped), 0u);  // nothing waiting

    stranger.send_to(asio::buffer(Bytes(40, 9)), agent);
    const Bytes big(3000, 7);
    backend.send_to(asio::buffer(big), agent);
    backend.send_to(asio::buffer(Bytes(50, 5)), agent);
    EXPECT_EQ(path->receive(buffer.data(), buffer.size(), 1000, dropped), kVxcpReceiveBuffer);
    EXPECT_EQ(dropped, 1u);  // the stranger's datagram
    EXPECT_EQ(buffer[2047], 7);
    EXPECT_EQ(path->receive(buffer.data(), buffer.size(), 1000, dropped), 50u);
    EXPECT_FALSE(path->is_relay());
}

}  // namespace
}  // namespace vx::test
