#include "link/control_server.hpp"

#include <poll.h>
#include <spdlog/spdlog.h>

#include "link/control_connection.hpp"
#include "util/error_text.hpp"

namespace vx {
namespace {

// The handshake loops look at their exit conditions this often.
constexpr int kPollStepMs = 50;

bool wait_readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, kPollStepMs) > 0;
}

std::string peer_text(const asio::ip::tcp::socket& socket) {
    std::error_code ec;
    const auto ep = socket.remote_endpoint(ec);
    if (ec) {
        return "unknown peer";
    }
    return ep.address().to_string() + ":" + std::to_string(ep.port());
}

void write_line(asio::ip::tcp::socket& socket, const std::string& line) {
    std::error_code ec;
    socket.non_blocking(false, ec);
    asio::write(socket, asio::buffer(line), ec);
}

}  // namespace

TcpControlServer::TcpControlServer(asio::io_context& io, util::NowFn now)
    : io_(io), now_(std::move(now)), acceptor_(io) {}

TcpControlServer::~TcpControlServer() {
    stop();
}

bool TcpControlServer::listen(std::uint16_t port, std::string& error) {
    std::error_code ec;
    const asio::ip::tcp::endpoint endpoint(asio::ip::tcp::v4(), port);
    acceptor_.open(endpoint.protocol(), ec);
    if (!ec)
        acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec)
        acceptor_.bind(endpoint, ec);
    if (!ec)
        acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    if (!ec)
        acceptor_.non_blocking(true, ec);
    if (ec) {
        error = util::describe_error(ec);
        std::error_code ignored;
        acceptor_.close(ignored);
        return false;
    }
    port_ = acceptor_.local_endpoint(ec).port();
    spdlog::info("TcpControlServer: listening on TCP port {}", port_);
    return true;
}

HandshakeResult TcpControlServer::run_handshake(const std::function<bool()>& keep_waiting) {
    while (acceptor_.is_open() && keep_waiting()) {
        if (!wait_readable(acceptor_.native_handle())) {
            continue;
        }
        std::error_code ec;
        asio::ip::tcp::socket socket(io_);
        acceptor_.accept(socket, ec);
        if (ec) {
            continue;  // would block, or the client left before we took it
        }
        if (on_launcher_arrival_) {
            on_launcher_arrival_(true);
        }
        if (auto result = handshake_one(std::move(socket), keep_waiting)) {
            return *result;
        }
        if (on_launcher_arrival_) {
            on_launcher_arrival_(false);
        }
    }
    return abort_waiting_clients();
}

HandshakeResult TcpControlServer::abort_waiting_clients() {
    // Launchers already connected but not yet taken learn why nobody will answer them.
    HandshakeResult result{false, AuthRefusal::aborted, {}};
    for (;;) {
        std::error_code ec;
        asio::ip::tcp::socket socket(io_);
        acceptor_.accept(socket, ec);
        if (ec) {
            return result;
        }
        result.peer = peer_text(socket);
        refuse(socket, result.peer, AuthRefusal::aborted);
    }
}

std::optional<HandshakeResult> TcpControlServer::handshake_one(
    asio::ip::tcp::socket socket, const std::function<bool()>& keep_waiting) {
    const std::string peer = peer_text(socket);
    spdlog::info("TcpControlServer: launcher connection from {} - waiting for auth", peer);
    const std::int64_t accepted_us = now_();
    std::error_code ec;
    socket.non_blocking(true, ec);
    std::string received;
    char chunk[4096];
    for (;;) {
        if (!keep_waiting()) {
            refuse(socket, peer, AuthRefusal::aborted);
            return HandshakeResult{false, AuthRefusal::aborted, peer};
        }
        if (now_() - accepted_us >= kHandshakeTimeoutUs) {
            refuse(socket, peer, AuthRefusal::timed_out);
            return HandshakeResult{false, AuthRefusal::timed_out, peer};
        }
        if (!wait_readable(socket.native_handle())) {
            continue;
        }
        const std::size_t n = socket.read_some(asio::buffer(chunk), ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again) {
            continue;
        }
        if (ec) {
            spdlog::info("TcpControlServer: {} left before authenticating ({})", peer,
                         ec == asio::error::eof ? std::string("EOF") : util::describe_error(ec));
            return std::nullopt;
        }
        received.append(chunk, n);
        const auto newline = received.find('\n');
        if (newline == std::string::npos) {
            if (received.size() > kMaxAuthLineBytes) {
                refuse(socket, peer, AuthRefusal::malformed);
                return HandshakeResult{false, AuthRefusal::malformed, peer};
            }
            continue;
        }
        std::string line = received.substr(0, newline);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        auto result = finish_handshake(socket, peer, line, received.substr(newline + 1));
        wipe_string(line);
        wipe_string(received);
        return result;
    }
}

HandshakeResult TcpControlServer::finish_handshake(asio::ip::tcp::socket& socket,
                                                   const std::string& peer, const std::string& line,
                                                   std::string rest) {
    const AuthDecision decision = decide_auth(line, expected_sha256_, keys_.has_value());
    if (!decision.accepted) {
        if (decision.refusal == AuthRefusal::rejected && expected_sha256_.empty()) {
            spdlog::error(kNoTokenHashSecurityLine);
        }
        refuse(socket, peer, decision.refusal);
        return {false, decision.refusal, peer};
    }
    std::string ready = make_session_ready_line(*keys_);
    write_line(socket, ready);
    wipe_string(ready);
    spdlog::info("TcpControlServer: launcher {} authenticated - session keys handed over", peer);
    connection_ = std::make_shared<detail::ControlConnection>(std::move(socket), now_, peer);
    connection_->last_activity_us = now_();
    pending_rest_ = std::move(rest);
    return {true, AuthRefusal::aborted, peer};
}

void TcpControlServer::refuse(asio::ip::tcp::socket& socket, const std::string& peer,
                              AuthRefusal refusal) {
    spdlog::warn("TcpControlServer: handshake from {} refused ({})", peer,
                 auth_refusal_code(refusal));
    write_line(socket, make_auth_failed_line(refusal));
    std::error_code ignored;
    socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
}

void TcpControlServer::start_reading() {
    if (!connection_) {
        return;
    }
    detail::ControlConnection::Callbacks callbacks{on_end_session_, on_disconnected_, on_line_};
    connection_->start(std::move(callbacks), std::move(pending_rest_));
}

std::int64_t TcpControlServer::last_activity_us() const {
    return connection_ ? connection_->last_activity_us.load() : 0;
}

std::uint64_t TcpControlServer::lines_received() const {
    return connection_ ? connection_->lines.load() : 0;
}

bool TcpControlServer::launcher_connected() const {
    return connection_ && connection_->open.load();
}

void TcpControlServer::stop() {
    std::error_code ignored;
    acceptor_.close(ignored);
    if (connection_) {
        connection_->stop();
    }
}

}  // namespace vx
