#include "util/io/udp_socket.hpp"

namespace vx::util {

bool disable_udp_connreset(asio::ip::udp::socket& socket) {
    return socket.is_open();
}

}  // namespace vx::util
