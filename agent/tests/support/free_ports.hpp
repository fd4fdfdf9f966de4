#pragma once

#include <gtest/gtest.h>

#include <asio.hpp>
#include <cstdint>
#include <system_error>

namespace vx::test {

// A port base whose control port (TCP base+3) and video port (UDP base+4) are free now, so tests
// that run sessions side by side do not fight over the default ports.
inline std::uint16_t free_port_base() {
    asio::io_context io;
    for (int attempt = 0; attempt < 50; ++attempt) {
        asio::ip::tcp::acceptor tcp(io, {asio::ip::tcp::v4(), 0});
        const std::uint16_t control = tcp.local_endpoint().port();
        if (control < 4 || control > 65530)
            continue;
        asio::ip::udp::socket udp(io, asio::ip::udp::v4());
        std::error_code ec;
        udp.bind({asio::ip::udp::v4(), static_cast<std::uint16_t>(control + 1)}, ec);
        if (!ec)
            return static_cast<std::uint16_t>(control - 3);
    }
    ADD_FAILURE() << "no free port pair";
    return 0;
}

}  // namespace vx::test
