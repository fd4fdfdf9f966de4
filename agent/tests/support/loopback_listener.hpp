#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

namespace vx::test {

// A TCP socket listening on 127.0.0.1 at a free port; returns the descriptor (-1 on failure)
// and the port.
inline int listen_on_loopback(int backlog, std::uint16_t& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        port = 0;
        return fd;
    }
    port = ntohs(a.sin_port);
    return fd;
}

}  // namespace vx::test
