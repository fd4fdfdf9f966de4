#pragma once

// One STUN Binding request (RFC 5389) from a UDP socket the caller owns: the server-reflexive
// address and port the server saw.

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>

namespace vx {
class UdpSender;
}

namespace vx::network {

struct StunServer {
    std::string host;
    std::uint16_t port = 0;
};

inline constexpr int kStunBindingTimeoutMs = 300;

// Hands STUN datagrams from a socket's own asynchronous reader to a binding request waiting on
// the same socket, so neither steals the other's datagram. The socket's owner calls `offer`
// first thing in its receive handler for every datagram and skips a datagram it accepted.
class StunResponseHandoff {
  public:
    struct Datagram {
        std::vector<std::uint8_t> bytes;
        asio::ip::udp::endpoint from;
    };

    // True when a binding request is waiting and the datagram is a STUN message (magic cookie
    // 0x2112A442, top two bits 0) of that request's transaction: it now belongs to the request
    // and the caller drops it. Any other datagram stays the caller's. Thread-safe.
    bool offer(const std::uint8_t* data, std::size_t size, const asio::ip::udp::endpoint& from);

    // The request's side: open before sending, wait, close when done.
    void begin(const std::array<std::uint8_t, 12>& transaction_id);
    std::optional<Datagram> wait_until(std::chrono::steady_clock::time_point deadline);
    void end();
    bool waiting() const;

  private:
    static constexpr std::size_t kMaxQueued = 16;
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    bool waiting_ = false;
    std::array<std::uint8_t, 12> transaction_id_{};
    std::deque<Datagram> queue_;
};

// What a received datagram means for a binding request with this transaction id.
enum class BindingVerdict {
    accepted,
    wrong_source,
    unauthenticated,  // cookie or transaction id differ
    not_success,      // an error response, or not a Binding success response at all
    no_mapping,       // no usable IPv4 mapped address, or a malformed attribute list
};
struct BindingAnswer {
    BindingVerdict verdict = BindingVerdict::no_mapping;
    bool cookie_ok = false;
    bool txid_ok = false;
    std::string address;
    std::uint16_t port = 0;
};
// Pure check of one datagram (at least 20 bytes expected) from the request's destination.
BindingAnswer check_binding_answer(const std::uint8_t* data, std::size_t size,
                                   const std::array<std::uint8_t, 12>& transaction_id);

// Sleeps until the socket `fd` is readable or `deadline` has passed (rounded up to whole
// milliseconds); false at the deadline.
bool wait_socket_readable(int fd, std::chrono::steady_clock::time_point deadline);

// Sends one Binding request from `socket` and waits up to `timeout_ms` for the answer. Without a
// hand-off the socket is read directly (in non-blocking mode for the wait, blocking again on
// return); with one, the datagrams come from the socket owner's reader through it. The mapped
// address and port are written only on success. Never retransmits.
bool stun_binding_request(asio::io_context& io, asio::ip::udp::socket& socket,
                          const std::string& host, std::uint16_t port, std::string& mapped_address,
                          std::uint16_t& mapped_port, int timeout_ms = kStunBindingTimeoutMs,
                          StunResponseHandoff* handoff = nullptr);

// The same on a socket whose probe listener is armed and feeds `handoff`: the request leaves on
// the socket's strand and the answer comes through the hand-off.
bool stun_binding_request(UdpSender& sender, const std::string& host, std::uint16_t port,
                          std::string& mapped_address, std::uint16_t& mapped_port,
                          StunResponseHandoff& handoff, int timeout_ms = kStunBindingTimeoutMs);

}  // namespace vx::network
