#include "platform/default_gateway.hpp"

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace vx::platform {
namespace {

// Any globally routed address picks the default route; no datagram goes to it.
constexpr std::array<std::uint8_t, 4> kPublicProbe = {8, 8, 8, 8};
constexpr int kReplyWaitMs = 1000;

struct RouteRequest {
    nlmsghdr header;
    rtmsg route;
    std::array<char, 64> attributes;
};

class NetlinkSocket {
  public:
    NetlinkSocket() : fd_(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE)) {}
    ~NetlinkSocket() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    NetlinkSocket(const NetlinkSocket&) = delete;
    NetlinkSocket& operator=(const NetlinkSocket&) = delete;
    int fd() const { return fd_; }

  private:
    int fd_;
};

// RTM_GETROUTE for one destination: what `ip route get` asks.
RouteRequest build_request() {
    RouteRequest request{};
    request.header.nlmsg_type = RTM_GETROUTE;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.header.nlmsg_seq = 1;
    request.route.rtm_family = AF_INET;
    request.route.rtm_dst_len = 32;
    auto* attribute = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(&request) +
                                                NLMSG_ALIGN(NLMSG_LENGTH(sizeof(rtmsg))));
    attribute->rta_type = RTA_DST;
    attribute->rta_len = RTA_LENGTH(kPublicProbe.size());
    std::memcpy(RTA_DATA(attribute), kPublicProbe.data(), kPublicProbe.size());
    request.header.nlmsg_len = NLMSG_ALIGN(NLMSG_LENGTH(sizeof(rtmsg))) + attribute->rta_len;
    return request;
}

// The netlink macros compare a message's unsigned length with the signed bytes left; clang warns
// about it inside NLMSG_OK even though the macro checks the remainder is positive first.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-compare"
// The RTA_GATEWAY of the first route in the reply, rendered; empty when there is none.
std::string gateway_of(const char* data, int size) {
    for (auto* header = reinterpret_cast<const nlmsghdr*>(data); NLMSG_OK(header, size);
         header = NLMSG_NEXT(header, size)) {
        if (header->nlmsg_type != RTM_NEWROUTE)
            continue;  // NLMSG_ERROR: no route towards the internet
        const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(header));
        int length = static_cast<int>(RTM_PAYLOAD(header));
        for (auto* attribute = RTM_RTA(route); RTA_OK(attribute, length);
             attribute = RTA_NEXT(attribute, length)) {
            if (attribute->rta_type != RTA_GATEWAY || RTA_PAYLOAD(attribute) != 4)
                continue;
            std::array<char, INET_ADDRSTRLEN> text{};
            if (::inet_ntop(AF_INET, RTA_DATA(attribute), text.data(), text.size()) == nullptr)
                return {};
            const std::string gateway(text.data());
            return gateway == "0.0.0.0" ? std::string() : gateway;
        }
    }
    return {};
}
#pragma GCC diagnostic pop

}  // namespace

std::string default_gateway() {
    NetlinkSocket socket;
    if (socket.fd() < 0)
        return {};
    RouteRequest request = build_request();
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(socket.fd(), &request, request.header.nlmsg_len, 0,
                 reinterpret_cast<sockaddr*>(&kernel), sizeof(kernel)) < 0)
        return {};
    pollfd entry{socket.fd(), POLLIN, 0};
    if (::poll(&entry, 1, kReplyWaitMs) <= 0)
        return {};
    std::array<char, 8192> reply{};
    const ssize_t got = ::recv(socket.fd(), reply.data(), reply.size(), 0);
    if (got <= 0)
        return {};
    return gateway_of(reply.data(), static_cast<int>(got));
}

}  // namespace vx::platform
