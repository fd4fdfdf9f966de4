#include "link/udp_sender.hpp"

#include <spdlog/spdlog.h>
#include <array>
#include <mutex>

#include "util/error_text.hpp"
#include "util/io/strand_call.hpp"
#include "util/rate_limited_log.hpp"

namespace vx {

struct UdpSender::State : std::enable_shared_from_this<UdpSender::State> {
    State(asio::io_context& io, util::NowFn now_fn)
        : socket(io), strand(asio::make_strand(io)), now(std::move(now_fn)) {}

    asio::ip::udp::socket socket;
    asio::strand<asio::io_context::executor_type> strand;
    std::array<std::uint8_t, 1500> buffer{};
    asio::ip::udp::endpoint sender;
    bool receiving = false;  // strand only
    util::NowFn now;

    mutable std::mutex mutex;  // guards everything below
    bool closed = false;
    std::optional<asio::ip::udp::endpoint> destination;
    std::optional<asio::ip::udp::endpoint> proven;
    std::optional<ProbeToken> token;
    // The router forwards this port to anyone: a flood of probes from ever-changing sources
    // must not wash the log away, so a new source is logged once a second at most.
    util::RateLimitedLog proof_lines{std::chrono::seconds(1)};

    // Held while the probe handler runs, so `close` can promise that none runs afterwards.
    std::mutex callback_mutex;
    std::function<void(const ProbeEvent&)> on_probe;  // guarded by callback_mutex
    DatagramFilter filter;                            // guarded by callback_mutex

    void receive();
    void on_datagram(std::size_t size);
    bool taken_by_filter(std::size_t size);
    bool accept_probe(const Probe& probe);
    void log_proof_locked(ProbeKind kind);
};

void UdpSender::State::receive() {
    if (receiving) {
        return;
    }
    {
        std::lock_guard lock(mutex);
        if (closed)
            return;
    }
    receiving = true;
    socket.async_receive_from(
        asio::buffer(buffer), sender,
        asio::bind_executor(strand,
                            [self = shared_from_this()](const std::error_code& ec, std::size_t n) {
                                self->receiving = false;
                                {
                                    std::lock_guard lock(self->mutex);
                                    if (self->closed)
                                        return;
                                }
                                if (!ec) {
                                    self->on_datagram(n);
                                } else if (ec == asio::error::operation_aborted) {
                                    return;
                                }
                                self->receive();
                            }));
}

bool UdpSender::State::accept_probe(const Probe& probe) {
    std::lock_guard lock(mutex);
    if (probe.token && token && *probe.token != *token) {
        return false;
    }
    if (!proven || *proven != sender) {
        log_proof_locked(probe.kind);
    }
    proven = sender;
    return true;
}

void UdpSender::State::log_proof_locked(ProbeKind kind) {
    if (!proof_lines.due(now())) {
        return;
    }
    const std::uint64_t left_out = proof_lines.take_suppressed();
    const std::string unlogged =
        left_out == 0 ? std::string()
                      : " (the source changed " + std::to_string(left_out) + " times before it)";
    spdlog::info("UdpSender: {} probe from {}:{} proved the path{}", probe_kind_name(kind),
                 sender.address().to_string(), sender.port(), unlogged);
}

bool UdpSender::State::taken_by_filter(std::size_t size) {
    std::lock_guard lock(callback_mutex);
    return filter && filter(buffer.data(), size, sender);
}

void UdpSender::State::on_datagram(std::size_t size) {
    if (taken_by_filter(size)) {
        return;
    }
    const auto probe = parse_probe(std::span<const std::uint8_t>(buffer.data(), size));
    if (!probe || !accept_probe(*probe)) {
        return;
    }
    if (probe->kind == ProbeKind::check) {
        std::error_code ec;
        socket.send_to(asio::buffer(buffer.data(), size), sender, 0, ec);
    }
    std::lock_guard lock(callback_mutex);
    if (on_probe) {
        on_probe(ProbeEvent{probe->kind, sender});
    }
}

UdpSender::UdpSender(asio::io_context& io, util::NowFn now)
    : io_(io), state_(std::make_shared<State>(io, std::move(now))) {}

UdpSender::~UdpSender() {
    close();
}

bool UdpSender::bind(std::uint16_t port, std::string& error) {
    std::error_code ec;
    const asio::ip::udp::endpoint endpoint(asio::ip::udp::v4(), port);
    state_->socket.open(endpoint.protocol(), ec);
    if (!ec)
        state_->socket.bind(endpoint, ec);
    if (ec) {
        error = util::describe_error(ec);
        std::error_code ignored;
        state_->socket.close(ignored);
        return false;
    }
    spdlog::info("UdpSender: bound UDP port {}", local_port());
    return true;
}

std::uint16_t UdpSender::local_port() const {
    std::error_code ec;
    const auto ep = state_->socket.local_endpoint(ec);
    return ec ? 0 : ep.port();
}

bool UdpSender::is_open() const {
    std::lock_guard lock(state_->mutex);
    return !state_->closed && state_->socket.is_open();
}

asio::ip::udp::socket& UdpSender::socket() {
    return state_->socket;
}

bool UdpSender::set_destination(const std::string& host, std::uint16_t port) {
    std::error_code ec;
    const auto address = asio::ip::make_address_v4(host, ec);
    if (ec || port == 0) {
        spdlog::warn("UdpSender: destination {}:{} ignored (not an IPv4 address and port)", host,
                     port);
        return false;
    }
    std::lock_guard lock(state_->mutex);
    state_->destination = asio::ip::udp::endpoint(address, port);
    return true;
}

std::optional<asio::ip::udp::endpoint> UdpSender::destination() const {
    std::lock_guard lock(state_->mutex);
    return state_->destination;
}

void UdpSender::set_probe_token(std::optional<ProbeToken> token) {
    std::lock_guard lock(state_->mutex);
    state_->token = token;
}

void UdpSender::set_on_probe(std::function<void(const ProbeEvent&)> fn) {
    std::lock_guard lock(state_->callback_mutex);
    state_->on_probe = std::move(fn);
}

void UdpSender::set_datagram_filter(DatagramFilter fn) {
    std::lock_guard lock(state_->callback_mutex);
    state_->filter = std::move(fn);
}

bool UdpSender::send_to(const std::uint8_t* data, std::size_t size,
                        const asio::ip::udp::endpoint& to, std::error_code& ec) {
    ec = asio::error::bad_descriptor;
    auto send = [&] {
        std::lock_guard lock(state_->mutex);
        if (!state_->closed) {
            ec.clear();
            state_->socket.send_to(asio::buffer(data, size), to, 0, ec);
        }
    };
    if (!armed_) {
        send();
    } else {
        call_on_strand(state_->strand, send);
    }
    return !ec;
}

void UdpSender::arm_probe_listener() {
    armed_ = true;
    asio::post(state_->strand, [self = state_] { self->receive(); });
}

std::optional<asio::ip::udp::endpoint> UdpSender::proven_endpoint() const {
    std::lock_guard lock(state_->mutex);
    return state_->proven;
}

void UdpSender::close() {
    {
        std::lock_guard callback_lock(state_->callback_mutex);
        std::lock_guard lock(state_->mutex);
        if (state_->closed)
            return;
        state_->closed = true;
        state_->on_probe = nullptr;
        state_->filter = nullptr;
    }
    // Shutting down wakes a pending receive without touching the socket's state under it; the
    // socket itself is closed on the strand, where the receive handler runs.
    std::error_code ignored;
    if (!armed_) {
        // No asynchronous operation ever touched the socket: close it here, so the port is free
        // at once even when no I/O thread runs.
        state_->socket.close(ignored);
        return;
    }
    state_->socket.shutdown(asio::socket_base::shutdown_both, ignored);
    call_on_strand(state_->strand, [self = state_] {
        std::error_code ec;
        self->socket.close(ec);
    });
}

}  // namespace vx
