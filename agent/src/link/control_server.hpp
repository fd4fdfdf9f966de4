#pragma once

#include <asio.hpp>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "link/control_protocol.hpp"
#include "link/session_keys.hpp"
#include "util/clock.hpp"
#include "util/rate_limited_log.hpp"

namespace vx {

struct HandshakeResult {
    bool ok = false;
    AuthRefusal refusal = AuthRefusal::aborted;
    std::string peer;  // "address:port" of the connection that decided it; empty when none came
};

namespace detail {
struct ControlConnection;
class ControlListener;
}  // namespace detail

// The launcher's control server on TCP port_base+3. The port is open to the whole LAN, so any
// device may connect: each connection is judged on its own, and only the launcher with the
// session's token takes the session. The handshake runs synchronously on the caller's thread
// (it comes before the I/O pool is needed), serving every connection that has not sent its auth
// line yet side by side; afterwards the accepted connection is read on the shared I/O context,
// and later connections are refused there.
class TcpControlServer {
  public:
    // A connection has this long from being accepted to its complete auth line.
    static constexpr std::int64_t kHandshakeTimeoutUs = 10'000'000;
    // Connections waiting for their auth line at once; the next one pushes the oldest out
    // (HANDSHAKE_TIMEOUT: it had the longest to speak). A launcher sends its line right after
    // connecting, so only a flood of this many in that moment could push it out; each waiting
    // connection costs a descriptor and at most 16 KiB.
    static constexpr std::size_t kMaxPendingLaunchers = 64;
    // What a connection hears while the session has its launcher: it is not let in, and its
    // token is not looked at.
    static constexpr AuthRefusal kSessionTaken = AuthRefusal::rejected;

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

    // Waits for the launcher and runs the handshakes of all connections until one is accepted,
    // a refusal decides the session, or `keep_waiting` turns false. A refusal decides only when
    // no later launcher could do better: without a token hash every refusal does (nobody can be
    // admitted), and so does the right token when there are no keys to hand over. Any other
    // refusal, and a connection that leaves before its line, decides nothing.
    HandshakeResult run_handshake(const std::function<bool()>& keep_waiting);

    // Called on the handshake's thread with true when a connection is taken while none was
    // waiting, and with false when none waits any more and nothing was decided. Set before
    // `run_handshake`.
    void set_on_launcher_arrival(std::function<void(bool arrived)> fn) {
        on_launcher_arrival_ = std::move(fn);
    }

    // Handlers for the authenticated connection; set before `start_reading`. They run on the
    // I/O pool and must not call `stop`.
    void set_on_end_session(std::function<void()> fn) { on_end_session_ = std::move(fn); }
    void set_on_disconnected(std::function<void()> fn) { on_disconnected_ = std::move(fn); }
    void set_on_line(std::function<void(const LauncherLine&)> fn) { on_line_ = std::move(fn); }

    // Starts reading the authenticated connection, and refusing every later connection
    // (`kSessionTaken`) on the I/O context (no effect without an authenticated connection).
    void start_reading();

    // Steady time of the launcher's last line (or of its authentication); 0 before.
    std::int64_t last_activity_us() const;
    std::uint64_t lines_received() const;
    bool launcher_connected() const;

    // Closes the listener and the connection. No handler runs once it has returned. Idempotent.
    void stop();

  private:
    struct Pending;
    // The verdict when it ends the wait for the launcher; nothing for one that leaves it open.
    std::optional<HandshakeResult> decisive(const std::optional<HandshakeResult>& verdict) const;
    // Sets `stalled` when the listener cannot hand over a waiting connection (descriptors ran
    // out, say): it stays readable, so the next round rests instead of asking again at once.
    std::optional<HandshakeResult> take_newcomers(std::vector<Pending>& pending, bool& stalled);
    std::optional<HandshakeResult> read_from(Pending& p);
    HandshakeResult judge(Pending& p, const std::string& line, std::string rest);
    HandshakeResult refuse_pending(Pending& p, AuthRefusal refusal);
    void refuse_listen_queue();

    asio::io_context& io_;
    util::NowFn now_;
    std::shared_ptr<detail::ControlListener> listener_;
    std::uint16_t port_ = 0;
    std::string expected_sha256_;
    std::optional<SessionKeys> keys_;
    std::function<void(bool)> on_launcher_arrival_;
    std::function<void()> on_end_session_;
    std::function<void()> on_disconnected_;
    std::function<void(const LauncherLine&)> on_line_;
    std::shared_ptr<detail::ControlConnection> connection_;
    std::string pending_rest_;  // bytes that arrived behind the auth line
    util::RateLimitedLog accept_failures_{std::chrono::seconds(10)};
};

}  // namespace vx
