#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "backend/messages/control_transport.hpp"
#include "backend/messages/saas_connector_records.hpp"
#include "backend/vxcp/loop/vxcp_connection_policy.hpp"
#include "backend/vxcp/loop/vxcp_loop_timings.hpp"
#include "backend/vxcp/udp_control_channel.hpp"
#include "util/clock.hpp"

namespace vx::network {

// What the UDP connection loop needs from the connector around it. Called on the connection
// thread only.
class VxcpLoopHooks {
  public:
    virtual ~VxcpLoopHooks() = default;
    // The connector's running flag: a connection ends once it clears.
    virtual bool running() const = 0;
    // The relay nodes that can carry the control channel, and their measured round-trip times.
    virtual std::vector<RelayNode> control_relays() const = 0;
    virtual std::map<std::string, std::uint32_t> relay_rtts() const = 0;
    // The channel is up: `transport` is the current connection until on_disconnected(); mark the
    // link up under `transport_name` and start the connection's liveness figures at `now_us`.
    virtual void on_connected(std::shared_ptr<ControlTransport> transport,
                              const std::string& transport_name, std::int64_t now_us) = 0;
    // The reconnect replay, run once before anything else is sent.
    virtual void resend_after_reconnect() = 0;
    // The live channel moved onto a relay without reconnecting.
    virtual void on_moved_to_relay() = 0;
    // The channel ended; the transport that was current before on_connected() is again.
    virtual void on_disconnected() = 0;
    // Takes the whole outgoing queue.
    virtual std::vector<std::string> take_outgoing() = 0;
    virtual void send_heartbeat() = 0;
    // The log upload's paced sender, on each pass of the live connection, with the number of
    // the channel's fragments still awaiting delivery.
    virtual void send_next_paced_part(std::size_t fragments_awaiting) = 0;
    // One received message; an exception ends the connection.
    virtual void on_message(const std::string& text) = 0;
    // Readable while messages wait in the outgoing queue (take_outgoing clears it) and once the
    // agent stops; -1 for none. A live connection's wait watches it.
    virtual int outgoing_wake_fd() const { return -1; }
    // Readable once the agent stops (never cleared); -1 for none. The handshake watches it.
    virtual int stop_wake_fd() const { return -1; }
    // While the log upload has parts to pace, the loop comes round at least every 20 ms.
    virtual bool paced_parts_pending() const { return false; }
};

// The UDP half of the connector's connection loop: one VXCP/1 attempt per pass (direct or
// through a relay), the live connection's upkeep, and the relay hold with its saved state.
// Runs on the connection thread only.
class VxcpControlLoop {
  public:
    struct Pass {
        bool use_websocket = true;  // UDP not configured, suspended, or just fell back
        bool reset_backoff = false;
        std::uint16_t close_code = 0;  // the backend's close code over the channel
        std::string close_reason;
    };

    VxcpControlLoop(VxcpLoopHooks& hooks, const SaasConfig& config, VxcpLoopTimings timings,
                    util::NowFn steady_us, util::NowFn wall_ms,
                    std::filesystem::path path_file = control_path_file(), VxcpSeams seams = {});

    bool configured() const;
    // Once, at the start of the connection loop.
    void load_state();
    // One pass of the loop's UDP step; afterwards the caller waits or runs the WebSocket.
    Pass run_pass();

    const ConnectionPolicy& policy() const { return policy_; }

  private:
    UdpAttemptResult run_session(const std::optional<RelayNode>& relay);
    void serve(UdpControlChannel& ch);
    void handle_delivered(const std::vector<std::string>& delivered);
    void finish(UdpControlChannel& ch, std::int64_t up_since);
    void report_clock(const UdpControlChannel& ch);
    void housekeeping(UdpControlChannel& ch, std::int64_t now);
    void note_relay_move(UdpControlChannel& ch, std::int64_t now);
    bool credential_renewal_due(std::int64_t now);
    void pump_outgoing(UdpControlChannel& ch);
    // How long the live connection may wait for traffic before a timer of the loop is due.
    int wait_ms(const UdpControlChannel& ch, std::int64_t now) const;
    void refresh_standby_relay(UdpControlChannel& ch);
    std::optional<RelayNode> pick_relay() const;
    UdpControlChannelConfig channel_config(const std::optional<RelayNode>& relay) const;
    void save_state();
    void after_attempt_logs(const ConnectionPolicy::Verdict& v, UdpAttemptResult result,
                            const std::optional<RelayNode>& direct_relay);

    VxcpLoopHooks& hooks_;
    const SaasConfig& config_;
    const VxcpLoopTimings timings_;
    util::NowFn steady_us_;
    util::NowFn wall_ms_;
    std::filesystem::path path_file_;
    VxcpSeams seams_;
    ConnectionPolicy policy_;

    std::int64_t clock_offset_ms_ = 0;
    std::int64_t last_uptime_ms_ = 0;
    bool moved_to_relay_ = false;
    std::optional<RelayNode> current_relay_;
    std::optional<RelayNode> standby_node_;
    std::int64_t next_housekeeping_ = 0;
    std::int64_t last_housekeeping_ = 0;
    std::int64_t next_credential_check_ = 0;
    std::int64_t last_heartbeat_ = 0;
    std::optional<std::string> abort_reason_;  // the connection is to close with 1011
    std::uint16_t close_code_ = 0;
    std::string close_reason_;
};

}  // namespace vx::network
