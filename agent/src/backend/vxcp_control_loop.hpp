#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "backend/saas_connector_seams.hpp"
#include "backend/udp_control_channel.hpp"
#include "backend/vxcp_connection_policy.hpp"
#include "util/clock.hpp"

namespace vx::network {

class SaasConnector;

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

    VxcpControlLoop(SaasConnector& connector, util::NowFn steady_us, util::NowFn wall_ms,
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
    void refresh_standby_relay(UdpControlChannel& ch);
    std::optional<RelayNode> pick_relay() const;
    UdpControlChannelConfig channel_config(const std::optional<RelayNode>& relay) const;
    void save_state();
    void after_attempt_logs(const ConnectionPolicy::Verdict& v, UdpAttemptResult result,
                            const std::optional<RelayNode>& direct_relay);

    SaasConnector& c_;
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
    std::int64_t next_credential_check_ = 0;
    std::int64_t last_heartbeat_ = 0;
    std::optional<std::string> abort_reason_;               // the connection is to close with 1011
    std::shared_ptr<ControlTransport> previous_transport_;  // restored when the channel ends
    std::uint16_t close_code_ = 0;
    std::string close_reason_;
};

}  // namespace vx::network
