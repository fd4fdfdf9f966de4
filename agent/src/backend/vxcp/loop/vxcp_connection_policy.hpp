#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "backend/messages/saas_connector_records.hpp"
#include "backend/vxcp/loop/vxcp_control_path.hpp"

// The transport decisions of the connection loop, as a pure component on the steady clock (µs):
// when UDP is tried, whether an attempt goes through a relay, the relay hold (its doubling length,
// the 10-minute relay bar, the 5 s health gate) and the UDP suspension after failures.
namespace vx::network {

// Outcome of one UDP attempt.
enum class UdpAttemptResult : int {
    not_opened = 0,   // no WELCOME, bad configuration, socket or relay failure
    clean = 1,        // stopped, lasted 60 s or more, or closed by the backend with 1000
    short_lived = 2,  // up for less than 60 s, ended without a path failure
    path_failed = 3,  // stall, nothing received, relay lost
};

// The control-channel relay: among nodes with control credentials valid for at least another
// 10 min, the one with the smallest measured round-trip (unmeasured counts as 1,000,000 ms);
// the earlier node wins a tie.
std::optional<RelayNode> pick_control_relay(const std::vector<RelayNode>& nodes,
                                            const std::map<std::string, std::uint32_t>& rtts,
                                            std::int64_t wall_now_ms);

class ConnectionPolicy {
  public:
    static constexpr std::int64_t kMinuteUs = 60'000'000;
    static constexpr std::int64_t kFirstHoldUs = 30 * kMinuteUs;
    static constexpr std::int64_t kLongestHoldUs = 360 * kMinuteUs;
    static constexpr std::int64_t kRelayBarUs = 10 * kMinuteUs;
    static constexpr std::int64_t kHealthGateUs = 5'000'000;
    static constexpr std::int64_t kUdpRetryUs = 60'000'000;
    static constexpr std::uint32_t kFailuresBeforeWebSocket = 3;
    static constexpr std::int64_t kStableUptimeMs = 60'000;
    static constexpr std::int64_t kHoldResetUptimeMs = 10 * 60'000;
    static constexpr std::int64_t kRestoreCapMs = 300'000;

    struct Route {
        bool via_relay = false;
        bool saved_hold_set_aside = false;  // the first attempt of the process goes direct
    };

    struct Verdict {
        bool reset_backoff = false;
        bool fall_back_to_websocket = false;  // 3 failures in a row: WebSocket in this pass
        bool relay_failed = false;  // a relayed attempt failed: hold cleared, relays barred
        bool hold_engaged = false;
        std::int64_t engaged_length_us = 0;  // the hold length before it doubled
        bool save = false;
    };

    struct Gate {
        bool passed_now = false;
        bool hold_was_active = false;  // the saved hold no longer applies: save and log
    };

    bool udp_due(std::int64_t now) const;
    Route choose_route(std::int64_t now, bool relay_available);
    // `relay_used`: the attempt went through a relay or moved onto one; `relay_available`: a
    // control relay is known after a direct failure; `last_uptime_ms` of the attempt.
    Verdict after_attempt(std::int64_t now, UdpAttemptResult result, bool relay_used,
                          bool relay_available, std::int64_t last_uptime_ms);
    // Runs once, 5 s after the first UDP attempt of the process, while a connection is direct.
    Gate health_gate(std::int64_t now);
    // A live direct connection moves to its standby relay while a hold is active.
    bool should_move_to_relay(std::int64_t now, bool has_standby) const;
    // The next time at which the health gate or the relay bar changes by the clock alone (what
    // the live connection's housekeeping must not miss); INT64_MAX when neither will.
    std::int64_t next_timed_change(std::int64_t now) const;
    // Engages (or re-engages) the hold; returns the length it was engaged for.
    std::int64_t engage_hold(std::int64_t now);
    void bar_relays(std::int64_t now) { relay_barred_until_ = now + kRelayBarUs; }
    bool relays_barred(std::int64_t now) const { return now < relay_barred_until_; }
    // After a connection that was up; true when the state must be saved.
    bool after_connection(bool ended_direct, std::int64_t uptime_ms);

    bool hold_active(std::int64_t now) const { return hold_end_ != 0 && now < hold_end_; }
    std::int64_t hold_end() const { return hold_end_; }
    std::int64_t hold_length_us() const { return hold_length_; }
    std::uint32_t udp_failures() const { return udp_failures_; }

    // The saved state, both values cut to 300 s; true when a hold is active afterwards.
    bool restore(const ControlPathState& saved, std::int64_t now, std::int64_t wall_now_ms);
    ControlPathState to_saved(std::int64_t now, std::int64_t wall_now_ms) const;

  private:
    std::int64_t hold_end_ = 0;
    std::int64_t hold_length_ = kFirstHoldUs;
    bool gate_armed_ = false;
    std::int64_t first_udp_attempt_ = 0;
    bool gate_passed_ = false;
    std::int64_t relay_barred_until_ = 0;
    std::uint32_t udp_failures_ = 0;
    std::int64_t udp_retry_at_ = 0;
};

}  // namespace vx::network
