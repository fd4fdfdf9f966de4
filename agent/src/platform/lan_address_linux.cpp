#include "platform/lan_address.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace vx::platform {

std::optional<std::string> lan_address_towards(const std::array<std::uint8_t, 4>& address,
                                               std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return std::nullopt;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    std::memcpy(&peer.sin_addr, address.data(), address.size());
    sockaddr_in local{};
    socklen_t size = sizeof(local);
    const bool named = ::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof(peer)) == 0 &&
                       ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) == 0;
    ::close(fd);
    std::array<char, INET_ADDRSTRLEN> text{};
    if (!named || ::inet_ntop(AF_INET, &local.sin_addr, text.data(), text.size()) == nullptr)
        return std::nullopt;
    return std::string(text.data());
}

}  // namespace vx::platform
