#pragma once

#include <asio.hpp>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "driver/session_config.hpp"
#include "driver/session_orders.hpp"
#include "driver/setup_failure_reporter.hpp"
#include "link/control_server.hpp"
#include "link/presence_watchdog.hpp"
#include "link/session_keys.hpp"
#include "util/clock.hpp"

namespace vx {

class UdpSender;
class IoPool;

namespace network {
class SaasConnector;
class ControlBridge;
class DirectPortMapper;
class ObservedAddress;
class SessionDirectPath;
}  // namespace network

// Why a session ended; the backend hears "client_lost" for the watchdog, else "pipeline_ended".
enum class SessionEnd : std::uint8_t {
    none,
    terminated,     // the backend's terminate_session, or a stop
    end_session,    // the launcher asked
    launcher_gone,  // the launcher's control connection closed
    max_duration,
    client_lost,  // the presence watchdog
};

struct SessionResult {
    bool started = false;  // the launcher authenticated
    bool setup_failed = false;
    std::string failure;  // why the set-up failed, as logged
    SessionEnd end = SessionEnd::none;
    std::uint32_t duration_sec = 0;
};

// Runs one session from set-up to teardown on the driver's thread. The backend's handlers and
// the I/O pool reach it only through `request_end` and `on_client_candidate`.
class SessionRunner {
  public:
    struct Deps {
        asio::io_context& io;
        std::atomic<bool>& running;
        SessionOrders& orders;
        network::SaasConnector* connector = nullptr;       // none standalone
        network::ControlBridge* bridge = nullptr;          // none standalone
        std::function<std::string()> public_address = {};  // none: an empty address
        util::NowFn now = util::steady_now_us;
        network::DirectPortMapper* mapper = nullptr;         // none standalone
        const network::ObservedAddress* observed = nullptr;  // none standalone
    };

    explicit SessionRunner(Deps deps);
    ~SessionRunner();

    // Takes its own copy of the order so the master key can be wiped when the session ends.
    SessionResult run(SessionConfig session);

    // The backend relayed the launcher's address: the open video sender sends there. Safe from
    // any thread at any time, teardown included.
    void on_client_candidate(const std::string& host, std::uint16_t port);

  private:
    struct Live;
    bool set_up(const SessionConfig& s, Live& live, SessionResult& result);
    bool open_sockets(const SessionConfig& s, Live& live);
    std::unique_ptr<network::SessionDirectPath> start_direct_path(const SessionConfig& s,
                                                                  UdpSender& video) const;
    bool handshake(const SessionConfig& s, Live& live);
    void go_live(const SessionConfig& s, Live& live);
    bool keep_waiting(const Live& live) const;
    void serve(Live& live);
    void watch(Live& live, PresenceWatchdog* dog);
    void request_end(Live& live, SessionEnd why);
    void tear_down(const SessionConfig& s, Live& live, SessionResult& result);
    void fail_setup(const SessionConfig& s, Live& live, SessionFailure stage,
                    const std::string& code, const std::string& text);
    void report_setup_failure(const std::string& session_id, SessionFailure stage,
                              const std::string& text);
    PresenceReadings readings(const Live& live) const;

    Deps d_;
    SetupFailureReporter reporter_;

    // Guards the video sender slot against a client_candidate arriving during teardown.
    std::mutex sender_mutex_;
    std::shared_ptr<UdpSender> video_;
};

// Standalone: exactly one session from the command-line values. Until a launcher connects the
// board stays idle, which the screen shows as waiting for a launcher.
SessionResult run_standalone_session(const AgentConfig& config, std::atomic<bool>& running,
                                     SessionOrders& orders);

}  // namespace vx
