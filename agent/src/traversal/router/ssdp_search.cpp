#include "traversal/router/ssdp_search.hpp"

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>

#include "traversal/router/http/socket_fd.hpp"
#include "traversal/router/igd_search.hpp"
#include "util/error_text.hpp"

namespace vx::network {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMulticastTtl = 2;  // the gateway is at most a hop or two away
constexpr std::size_t kDatagramSize = 4096;
constexpr int kReadsPerWake = 64;  // a flood of datagrams must not hold the search past its end

SocketFd open_search_socket(std::string& error) {
    std::error_code ec;
    SocketFd socket = open_socket(AF_INET, SOCK_DGRAM, ec);
    if (!socket.valid()) {
        error = "SSDP socket: " + util::describe_error(ec);
        return socket;
    }
    sockaddr_in any{};
    any.sin_family = AF_INET;
    if (::bind(socket.get(), reinterpret_cast<sockaddr*>(&any), sizeof(any)) != 0) {
        error = "SSDP bind: " + util::describe_error(last_socket_error());
        return {};
    }
    const int ttl = kMulticastTtl;
    const int on = 1;
    ::setsockopt(socket.get(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl));
    ::setsockopt(socket.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof(on));
    return socket;
}

// Send errors are ignored: an unreachable broadcast must not stop the multicast search. Returns
// how many searches left.
int send_burst(int fd, const RouterScope& scope) {
    int sent = 0;
    for (const auto target : kSsdpSearchTargets) {
        const std::string message = build_msearch(target);
        for (const auto& destination : scope.ssdp_destinations) {
            if (::sendto(fd, message.data(), message.size(), MSG_NOSIGNAL, destination.data(),
                         destination.size()) >= 0) {
                ++sent;
            }
        }
    }
    return sent;
}

// Reads every datagram waiting; a datagram longer than the buffer is read cut, as any other.
void read_answers(int fd, IgdSearch& search) {
    std::array<char, kDatagramSize> buffer{};
    for (int reads = 0; reads < kReadsPerWake; ++reads) {
        const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (got < 0 && errno != EINTR)
            return;
        if (got <= 0)
            continue;
        const std::string_view datagram(buffer.data(), static_cast<std::size_t>(got));
        if (const auto answer = parse_ssdp_response(datagram))
            search.offer(*answer);
    }
}

}  // namespace

bool search_igd(std::int64_t wait_ms, const RouterScope& scope, const GatewayTry& try_gateway,
                std::string& error) {
    SocketFd socket = open_search_socket(error);
    if (!socket.valid())
        return false;
    IgdSearch search(Clock::now(), std::chrono::milliseconds(wait_ms));
    // Bounded by the search: listening ends at its wait, and at most two tries follow, each
    // within the description budget. Answers that arrived during a try are read before the
    // search may end.
    for (;;) {
        read_answers(socket.get(), search);
        const Clock::time_point now = Clock::now();
        if (search.finished(now))
            break;
        if (search.burst_due(now)) {
            search.burst_sent(now, send_burst(socket.get(), scope));
        } else if (const auto candidate = search.next_attempt(now)) {
            std::string failure;
            if (try_gateway(*candidate, search.budget_left_ms(now), failure))
                search.attempt_succeeded();
            else
                search.attempt_failed(std::move(failure));
        } else if (!search.finished(now)) {
            wait_socket(socket.get(), false, remaining_ms(search.wake()) + 1);
        }
    }
    error = search.error();
    return error.empty();
}

}  // namespace vx::network
