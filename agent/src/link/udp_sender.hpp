#pragma once

#include <asio.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "link/probe.hpp"
#include "util/clock.hpp"

namespace vx {

struct ProbeEvent {
    ProbeKind kind = ProbeKind::legacy;
    asio::ip::udp::endpoint from;
};

// A media socket (video: port_base+4) on the shared I/O context. It answers the launcher's
// probes and remembers where they came from; media itself is someone else's business.
class UdpSender {
  public:
    explicit UdpSender(asio::io_context& io, util::NowFn now = util::steady_now_us);
    ~UdpSender();
    UdpSender(const UdpSender&) = delete;
    UdpSender& operator=(const UdpSender&) = delete;

    // Binds 0.0.0.0:port (0 picks a free port). False with `error` filled on failure.
    bool bind(std::uint16_t port, std::string& error);
    std::uint16_t local_port() const;
    bool is_open() const;

    // The bound socket and its context, for synchronous use (STUN) before the listener is armed.
    asio::ip::udp::socket& socket();
    asio::io_context& io() { return io_; }

    // Where media would go. Only IPv4 literals and ports 1..65535 are taken.
    bool set_destination(const std::string& host, std::uint16_t port);
    std::optional<asio::ip::udp::endpoint> destination() const;

    // When set, a probe that carries a token must carry this one.
    void set_probe_token(std::optional<ProbeToken> token);
    // Runs on the I/O pool for every accepted probe; must not call `close`.
    void set_on_probe(std::function<void(const ProbeEvent&)> fn);

    // Offered every datagram the listener receives, before the probe logic, on the I/O pool.
    // True means the datagram belonged to someone else (a STUN answer for a binding request
    // waiting on this socket) and the listener leaves it alone. Must not call `close`.
    using DatagramFilter = std::function<bool(const std::uint8_t* data, std::size_t size,
                                              const asio::ip::udp::endpoint& from)>;
    void set_datagram_filter(DatagramFilter fn);

    // One datagram from this socket. Once the listener is armed it leaves on the socket's strand,
    // so it never meets the listener working on the socket's state. Not from the I/O pool's
    // handlers. False with `ec` set when the send failed or the socket is closed.
    bool send_to(const std::uint8_t* data, std::size_t size, const asio::ip::udp::endpoint& to,
                 std::error_code& ec);

    // Listens for probes (again, after synchronous use of the socket). No effect while armed.
    void arm_probe_listener();
    // The source of the last accepted probe.
    std::optional<asio::ip::udp::endpoint> proven_endpoint() const;

    // Closes the socket; no handler runs once it has returned. Idempotent. Once the listener was
    // armed, the socket itself is closed on the I/O pool, which must still run then.
    void close();

    struct State;

  private:
    asio::io_context& io_;
    std::shared_ptr<State> state_;
    bool armed_ = false;  // owner's thread only
};

}  // namespace vx
