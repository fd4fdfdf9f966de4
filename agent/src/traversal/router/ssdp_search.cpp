#include "traversal/router/ssdp_search.hpp"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "traversal/router/http/socket_fd.hpp"
#include "util/error_text.hpp"

namespace vx::network {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::int64_t kMinWaitMs = 200;
constexpr auto kBurstInterval = std::chrono::milliseconds(500);
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
void read_answers(int fd, SsdpCandidates& candidates) {
    std::array<char, kDatagramSize> buffer{};
    for (int reads = 0; reads < kReadsPerWake; ++reads) {
        const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (got < 0 && errno != EINTR)
            return;
        if (got <= 0)
            continue;
        const std::string_view datagram(buffer.data(), static_cast<std::size_t>(got));
        if (const auto answer = parse_ssdp_response(datagram))
            candidates.offer(*answer, Clock::now());
    }
}

}  // namespace

std::vector<IgdCandidate> ssdp_discover(std::int64_t wait_ms, const RouterScope& scope,
                                        std::string& error) {
    SocketFd socket = open_search_socket(error);
    if (!socket.valid())
        return {};
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(std::max(wait_ms, kMinWaitMs));
    SsdpCandidates candidates;
    Clock::time_point next_burst = Clock::now();
    bool first_burst = true;
    while (!candidates.done(Clock::now())) {
        const Clock::time_point now = Clock::now();
        if (now >= deadline)
            break;
        if (now >= next_burst) {
            // Without a route for any search (no network yet) no answer can come: the wait
            // would only delay the agent's start.
            if (send_burst(socket.get(), scope) == 0 && first_burst)
                break;
            first_burst = false;
            next_burst = Clock::now() + kBurstInterval;
        }
        Clock::time_point wake = std::min(deadline, next_burst);
        if (const auto settled = candidates.settle_end())
            wake = std::min(wake, *settled);
        if (wait_socket(socket.get(), false, remaining_ms(wake) + 1))
            read_answers(socket.get(), candidates);
    }
    if (candidates.empty()) {
        error = "no SSDP response from an InternetGatewayDevice";
        return {};
    }
    return candidates.ranked();
}

}  // namespace vx::network
