#include "link/control_server.hpp"

#include <poll.h>
#include <spdlog/spdlog.h>

#include <mutex>

#include "link/control_connection.hpp"
#include "util/error_text.hpp"
#include "util/rate_limited_log.hpp"

namespace vx {
namespace {

// The handshake loop looks at its exit conditions and time limits this often.
constexpr int kPollStepMs = 50;

std::string peer_text(const asio::ip::tcp::socket& socket) {
    std::error_code ec;
    const auto ep = socket.remote_endpoint(ec);
    if (ec) {
        return "unknown peer";
    }
    return ep.address().to_string() + ":" + std::to_string(ep.port());
}

// Anyone on the LAN can connect in a loop: a burst of connection lines per window is logged and
// the rest only counted, so what was logged before a flood is not rotated away.
constexpr std::chrono::seconds kConnectionLinesWindow{10};
constexpr std::uint64_t kConnectionLinesBurst = 32;

// The auth_failed line and the end of the connection. The line is a few bytes into a send
// buffer nothing else was written to, so the non-blocking send never falls short.
void send_refusal(asio::ip::tcp::socket& socket, AuthRefusal refusal) {
    const std::string line = make_auth_failed_line(refusal);
    std::error_code ignored;
    socket.non_blocking(true, ignored);
    socket.send(asio::buffer(line), 0, ignored);
    socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
}

constexpr const char* kSessionTakenWhy = " - the session has its launcher";

}  // namespace

namespace detail {

// The listening socket. Once the session has its launcher, the accept loop that refuses later
// connections shares it, so a handler still queued after `close` finds it alive and closed.
class ControlListener : public std::enable_shared_from_this<ControlListener> {
  public:
    ControlListener(asio::io_context& io, util::NowFn now) : acceptor(io), now_(std::move(now)) {}

    // The handshake's thread uses it directly until `refuse_all` starts.
    asio::ip::tcp::acceptor acceptor;

    // A line about one connection, unless a flood of them has used up this window's burst.
    template <typename... Args>
    void log(spdlog::level::level_enum level, fmt::format_string<Args...> format, Args&&... args) {
        if (!lines_.due(now_())) {
            return;
        }
        spdlog::log(
            level, "TcpControlServer: {}{}", fmt::format(format, std::forward<Args>(args)...),
            util::suppressed_note(lines_.take_suppressed(), "connection lines left out before it"));
    }

    // One warning, the auth_failed line and the end of the connection.
    void refuse(asio::ip::tcp::socket& socket, const std::string& peer, AuthRefusal refusal,
                const char* why = "") {
        log(spdlog::level::warn, "handshake from {} refused ({}){}", peer,
            auth_refusal_code(refusal), why);
        send_refusal(socket, refusal);
    }

    void refuse_all() {
        std::lock_guard lock(mutex_);
        if (!closed_) {
            accept_next();
        }
    }

    void close() {
        std::lock_guard lock(mutex_);
        closed_ = true;
        std::error_code ignored;
        acceptor.close(ignored);
    }

  private:
    void accept_next() {
        acceptor.async_accept(
            [self = shared_from_this()](const std::error_code& ec, asio::ip::tcp::socket socket) {
                std::lock_guard lock(self->mutex_);
                if (self->closed_) {
                    return;
                }
                if (ec) {
                    // Not a client that left (asio retries those): descriptors ran out, say.
                    // Later connections wait in the listen queue until the session ends.
                    spdlog::warn(
                        "TcpControlServer: accepting failed ({}) - later connections are not "
                        "answered until the session ends",
                        util::describe_error(ec));
                    return;
                }
                self->refuse(socket, peer_text(socket), TcpControlServer::kSessionTaken,
                             kSessionTakenWhy);
                self->accept_next();
            });
    }

    std::mutex mutex_;  // the accept handler against `close`
    bool closed_ = false;
    util::NowFn now_;
    util::RateLimitedLog lines_{kConnectionLinesWindow, kConnectionLinesBurst};
};

}  // namespace detail

// A connection that has not sent its auth line yet.
struct TcpControlServer::Pending {
    asio::ip::tcp::socket socket;
    std::string peer;
    std::int64_t accepted_us = 0;
    std::string received;
    bool done = false;  // accepted, refused or gone: leaves the list at the end of the round
};

TcpControlServer::TcpControlServer(asio::io_context& io, util::NowFn now)
    : io_(io),
      now_(std::move(now)),
      listener_(std::make_shared<detail::ControlListener>(io, now_)) {}

TcpControlServer::~TcpControlServer() {
    stop();
}

bool TcpControlServer::listen(std::uint16_t port, std::string& error) {
    asio::ip::tcp::acceptor& acceptor = listener_->acceptor;
    std::error_code ec;
    const asio::ip::tcp::endpoint endpoint(asio::ip::tcp::v4(), port);
    acceptor.open(endpoint.protocol(), ec);
    if (!ec)
        acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec)
        acceptor.bind(endpoint, ec);
    if (!ec)
        acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (!ec)
        acceptor.non_blocking(true, ec);
    if (ec) {
        error = util::describe_error(ec);
        std::error_code ignored;
        acceptor.close(ignored);
        return false;
    }
    port_ = acceptor.local_endpoint(ec).port();
    spdlog::info("TcpControlServer: listening on TCP port {}", port_);
    return true;
}

HandshakeResult TcpControlServer::run_handshake(const std::function<bool()>& keep_waiting) {
    asio::ip::tcp::acceptor& acceptor = listener_->acceptor;
    std::vector<Pending> pending;
    std::vector<pollfd> fds;
    std::optional<HandshakeResult> decided;
    bool announced = false;  // what on_launcher_arrival_ was told last
    bool stalled = false;
    while (!decided && acceptor.is_open() && keep_waiting()) {
        // poll leaves out a negative descriptor: a stalled listener rests for one step.
        fds.assign(1, pollfd{stalled ? -1 : acceptor.native_handle(), POLLIN, 0});
        stalled = false;
        for (Pending& p : pending) {
            fds.push_back(pollfd{p.socket.native_handle(), POLLIN, 0});
        }
        if (::poll(fds.data(), fds.size(), kPollStepMs) < 0) {
            continue;  // a signal: look at the exit conditions again
        }
        // What arrived is read before the time limits are looked at: a line that came in time
        // is not lost to a late look at the clock.
        for (std::size_t i = 0; i < pending.size() && !decided; ++i) {
            if (fds[i + 1].revents != 0) {
                decided = decisive(read_from(pending[i]));
            }
        }
        const std::int64_t now = now_();
        for (Pending& p : pending) {
            if (!decided && !p.done && now - p.accepted_us >= kHandshakeTimeoutUs) {
                decided = decisive(refuse_pending(p, AuthRefusal::timed_out));
            }
        }
        std::erase_if(pending, [](const Pending& p) { return p.done; });
        if (!decided && fds[0].revents != 0) {
            decided = take_newcomers(pending, stalled);
        }
        const bool someone_waits = !pending.empty();
        if (!decided && on_launcher_arrival_ && someone_waits != announced) {
            announced = someone_waits;
            on_launcher_arrival_(someone_waits);
        }
    }
    if (decided && decided->ok) {
        // The newcomers still in the listen queue are answered once reading starts.
        for (Pending& p : pending) {
            if (!p.done) {
                listener_->refuse(p.socket, p.peer, kSessionTaken, kSessionTakenWhy);
            }
        }
        return *decided;
    }
    // Nobody will be admitted: whoever is connected learns why nobody answers.
    for (Pending& p : pending) {
        if (!p.done) {
            listener_->refuse(p.socket, p.peer, AuthRefusal::aborted);
        }
    }
    refuse_listen_queue();
    return decided ? *decided : HandshakeResult{false, AuthRefusal::aborted, {}};
}

std::optional<HandshakeResult> TcpControlServer::decisive(
    const std::optional<HandshakeResult>& verdict) const {
    // Without a token hash nobody can be admitted; the right token without keys gets nothing
    // either. Any other refusal leaves the way open for the launcher.
    if (verdict &&
        (verdict->ok || expected_sha256_.empty() || verdict->refusal == AuthRefusal::aborted)) {
        return verdict;
    }
    return std::nullopt;
}

std::optional<HandshakeResult> TcpControlServer::take_newcomers(std::vector<Pending>& pending,
                                                                bool& stalled) {
    asio::ip::tcp::acceptor& acceptor = listener_->acceptor;
    for (std::size_t n = 0; n < kMaxPendingLaunchers; ++n) {
        std::error_code ec;
        asio::ip::tcp::socket socket(io_);
        acceptor.accept(socket, ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again ||
            ec == asio::error::connection_aborted) {
            return std::nullopt;  // nobody else waits, or the client left before we took it
        }
        if (ec) {
            stalled = true;
            if (accept_failures_.due(now_())) {
                spdlog::warn(
                    "TcpControlServer: cannot take a waiting connection ({}) - trying "
                    "again shortly",
                    util::describe_error(ec));
            }
            return std::nullopt;
        }
        std::optional<HandshakeResult> decided;
        if (pending.size() >= kMaxPendingLaunchers) {
            // The oldest has had the longest to send its line.
            decided = decisive(refuse_pending(pending.front(), AuthRefusal::timed_out));
            pending.erase(pending.begin());
        }
        socket.non_blocking(true, ec);
        std::string peer = peer_text(socket);
        listener_->log(spdlog::level::info, "launcher connection from {} - waiting for auth", peer);
        pending.push_back(Pending{std::move(socket), std::move(peer), now_(), {}});
        if (decided) {
            return decided;
        }
    }
    return std::nullopt;
}

void TcpControlServer::refuse_listen_queue() {
    for (std::size_t n = 0; n < kMaxPendingLaunchers; ++n) {
        std::error_code ec;
        asio::ip::tcp::socket socket(io_);
        listener_->acceptor.accept(socket, ec);
        if (ec) {
            return;
        }
        listener_->refuse(socket, peer_text(socket), AuthRefusal::aborted);
    }
}

std::optional<HandshakeResult> TcpControlServer::read_from(Pending& p) {
    char chunk[4096];
    std::error_code ec;
    const std::size_t n = p.socket.read_some(asio::buffer(chunk), ec);
    if (ec == asio::error::would_block || ec == asio::error::try_again) {
        return std::nullopt;
    }
    if (ec) {
        listener_->log(spdlog::level::info, "{} left before authenticating ({})", p.peer,
                       ec == asio::error::eof ? std::string("EOF") : util::describe_error(ec));
        p.socket.close(ec);
        p.done = true;
        return std::nullopt;
    }
    p.received.append(chunk, n);
    const auto newline = p.received.find('\n');
    if (newline == std::string::npos) {
        if (partial_line_too_long(p.received, kMaxAuthLineBytes)) {
            return refuse_pending(p, AuthRefusal::malformed);
        }
        return std::nullopt;
    }
    std::string line = p.received.substr(0, newline);
    std::string rest = p.received.substr(newline + 1);
    wipe_string(p.received);
    std::optional<HandshakeResult> result;
    if (trim_line(line, kMaxAuthLineBytes)) {
        result = judge(p, line, std::move(rest));
    } else {
        result = refuse_pending(p, AuthRefusal::malformed);
    }
    wipe_string(line);
    return result;
}

HandshakeResult TcpControlServer::judge(Pending& p, const std::string& line, std::string rest) {
    const AuthDecision decision = decide_auth(line, expected_sha256_, keys_.has_value());
    if (!decision.accepted) {
        if (decision.refusal == AuthRefusal::rejected && expected_sha256_.empty()) {
            spdlog::error(kNoTokenHashSecurityLine);
        }
        return refuse_pending(p, decision.refusal);
    }
    std::string ready = make_session_ready_line(*keys_);
    std::error_code ec;
    p.socket.non_blocking(false, ec);
    asio::write(p.socket, asio::buffer(ready), ec);
    wipe_string(ready);
    spdlog::info("TcpControlServer: launcher {} authenticated - session keys handed over", p.peer);
    connection_ = std::make_shared<detail::ControlConnection>(std::move(p.socket), now_, p.peer);
    connection_->last_activity_us = now_();
    pending_rest_ = std::move(rest);
    p.done = true;
    return {true, AuthRefusal::aborted, p.peer};
}

HandshakeResult TcpControlServer::refuse_pending(Pending& p, AuthRefusal refusal) {
    listener_->refuse(p.socket, p.peer, refusal);
    p.done = true;
    return {false, refusal, p.peer};
}

void TcpControlServer::start_reading() {
    if (!connection_) {
        return;
    }
    detail::ControlConnection::Callbacks callbacks{on_end_session_, on_disconnected_, on_line_};
    connection_->start(std::move(callbacks), std::move(pending_rest_));
    listener_->refuse_all();
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
    listener_->close();
    if (connection_) {
        connection_->stop();
    }
}

}  // namespace vx
