#include "platform/local_addresses.hpp"

#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

namespace vx::platform {

std::vector<std::array<std::uint8_t, 4>> local_ipv4_addresses() {
    std::vector<std::array<std::uint8_t, 4>> addresses;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return addresses;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        std::array<std::uint8_t, 4> bytes{};
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        std::memcpy(bytes.data(), &address->sin_addr, bytes.size());
        addresses.push_back(bytes);
    }
    ::freeifaddrs(list);
    return addresses;
}

}  // namespace vx::platform
