#include "traversal/router/gateway_exchange.hpp"

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

constexpr std::int64_t kMinWaitMs = 50;
constexpr std::size_t kAnswerBuffer = 512;  // the largest answer used is PCP's 60 bytes + options

std::string with_error(const char* prefix) {
    return prefix + util::describe_error(last_socket_error());
}

SocketFd open_connected(const asio::ip::udp::endpoint& gateway, std::string& error) {
    std::error_code ec;
    SocketFd socket = open_socket(gateway.protocol().family(), SOCK_DGRAM, ec);
    if (!socket.valid()) {
        error = "UDP socket: " + util::describe_error(ec);
        return socket;
    }
    if (gateway.address().is_v6()) {
        const int off = 0;
        ::setsockopt(socket.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off));
    }
    const asio::ip::udp::endpoint any(gateway.protocol(), 0);
    if (::bind(socket.get(), any.data(), any.size()) != 0) {
        error = with_error("UDP bind: ");
        return {};
    }
    if (::connect(socket.get(), gateway.data(), gateway.size()) != 0) {
        error = with_error("UDP connect: ");
        return {};
    }
    return socket;
}

// An answer to an earlier attempt, or a stale one, must not be taken for this attempt's.
void drain(int fd) {
    std::array<std::uint8_t, kAnswerBuffer> scratch{};
    for (int i = 0; i < 64 && ::recv(fd, scratch.data(), scratch.size(), 0) >= 0; ++i) {
    }
}

enum class Sent { ok, refused, failed };

Sent send_request(int fd, ByteView request, Clock::time_point until, std::string& error) {
    for (;;) {
        if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) >= 0)
            return Sent::ok;
        if (errno == ECONNREFUSED)
            return Sent::refused;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            error = with_error("UDP send: ");
            return Sent::failed;
        }
        if (errno != EINTR && !wait_socket(fd, true, remaining_ms(until))) {
            error = "UDP send timeout";
            return Sent::failed;
        }
    }
}

enum class Heard { answer, refused, silence };

Heard await_answer(int fd, Clock::time_point until, std::vector<std::uint8_t>& response) {
    std::array<std::uint8_t, kAnswerBuffer> buffer{};
    while (remaining_ms(until) > 0) {
        if (!wait_socket(fd, false, remaining_ms(until)))
            continue;
        const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (got > 0) {
            response.assign(buffer.begin(), buffer.begin() + got);
            return Heard::answer;
        }
        // ICMP port unreachable on a connected socket: nothing listens on the gateway's port.
        if (got < 0 && errno == ECONNREFUSED)
            return Heard::refused;
    }
    return Heard::silence;
}

}  // namespace

GatewaySettings gateway_settings(const DirectPortMapperOptions& options, std::uint16_t port) {
    return {std::max(options.gateway_timeout_ms, kMinWaitMs), std::clamp(options.attempts, 1, 5),
            port};
}

bool gateway_udp_exchange(const asio::ip::udp::endpoint& gateway, ByteView request,
                          const GatewaySettings& settings, std::vector<std::uint8_t>& response,
                          std::string& error) {
    SocketFd socket = open_connected(gateway, error);
    if (!socket.valid())
        return false;
    const std::int64_t wait_ms = std::max(settings.wait_ms, kMinWaitMs);
    for (int attempt = 0; attempt < std::clamp(settings.attempts, 1, 5); ++attempt) {
        const Clock::time_point until = Clock::now() + std::chrono::milliseconds(wait_ms);
        drain(socket.get());
        const Sent sent = send_request(socket.get(), request, until, error);
        Heard heard = Heard::refused;
        if (sent == Sent::failed)
            return false;
        if (sent == Sent::ok)
            heard = await_answer(socket.get(), until, response);
        if (heard == Heard::answer)
            return true;
        if (heard == Heard::refused) {
            error = "gateway refused the request";
            return false;
        }
    }
    error = "no response from gateway";
    return false;
}

}  // namespace vx::network
