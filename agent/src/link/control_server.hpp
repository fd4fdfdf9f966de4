#pragma once

#include <asio.hpp>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "link/control_protocol.hpp"
#include "link/session_keys.hpp"
#include "util/clock.hpp"

namespace vx {

struct HandshakeResult {
    bool ok = false;
    AuthRefusal refusal = AuthRefusal::aborted;
    std::string peer;  // "address:port" of the connection that decided it; empty when none came
};

namespace detail {
struct ControlConnection;
}

// The launcher's control server on TCP port_base+3. The handshake runs synchronously on the
// caller's thread (it comes before the I/O pool is needed); afterwards the accepted connection is
// read on the shared I/O context.
class TcpControlServer {
  public:
    // A launcher has this long from its accepted connection to its complete auth line.
    static constexpr std::int64_t kHandshakeTimeoutUs = 10'000'000;

    explicit TcpControlServer(asio::io_context& io, util::NowFn now = util::steady_now_us);
    ~TcpControlServer();
    TcpControlServer(const TcpControlServer&) = delete;
    TcpControlServer& operator=(const TcpControlServer&) = delete;

    // Binds 0.0.0.0:port; port 0 picks a free one (tests). False with `error` filled on failure.
    bool listen(std::uint16_t port, std::string& error);
    std::uint16_t port() const { return port_; }

    void set_expected_token_sha256(std::string hex) { expected_sha256_ = std::move(hex); }
    // The keys handed over on success; without them an accepted token still gets SESSION_ABORTED.
    void set_keys(const std::optional<SessionKeys>& keys) { keys_ = keys; }

    // Waits for a launcher and runs its handshake until one connection decides it (accepted or
    // refused) or `keep_waiting` turns false. A connection that leaves before sending a line
    // does not decide anything.
    HandshakeResult run_handshake(const std::function<bool()>& keep_waiting);

    // Called on the handshake's thread when a launcher's connection is taken (true), and again
    // (false) when it leaves without deciding anything. Set before `run_handshake`.
    void set_on_launcher_arrival(std::function<void(bool arrived)> fn) {
        on_launcher_arrival_ = std::move(fn);
    }

    // Handlers for the authenticated connection; set before `start_reading`. They run on the
    // I/O pool and must not call `stop`.
    void set_on_end_session(std::function<void()> fn) { on_end_session_ = std::move(fn); }
    void set_on_disconnected(std::function<void()> fn) { on_disconnected_ = std::move(fn); }
    void set_on_line(std::function<void(const LauncherLine&)> fn) { on_line_ = std::move(fn); }

    // Starts reading the authenticated connection (no effect without one).
    void start_reading();

    // Steady time of the launcher's last line (or of its authentication); 0 before.
    std::int64_t last_activity_us() const;
    std::uint64_t lines_received() const;
    bool launcher_connected() const;

    // Closes the listener and the connection. No handler runs once it has returned. Idempotent.
    void stop();

  private:
    std::optional<HandshakeResult> handshake_one(asio::ip::tcp::socket socket,
                                                 const std::function<bool()>& keep_waiting);
    HandshakeResult finish_handshake(asio::ip::tcp::socket& socket, const std::string& peer,
                                     const std::string& line, std::string rest);
    HandshakeResult abort_waiting_clients();
    void refuse(asio::ip::tcp::socket& socket, const std::string& peer, AuthRefusal refusal);

    asio::io_context& io_;
    util::NowFn now_;
    asio::ip::tcp::acceptor acceptor_;
    std::uint16_t port_ = 0;
    std::string expected_sha256_;
    std::optional<SessionKeys> keys_;
    std::function<void(bool)> on_launcher_arrival_;
    std::function<void()> on_end_session_;
    std::function<void()> on_disconnected_;
    std::function<void(const LauncherLine&)> on_line_;
    std::shared_ptr<detail::ControlConnection> connection_;
    std::string pending_rest_;  // bytes that arrived behind the auth line
};

}  // namespace vx
