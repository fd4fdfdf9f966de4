#include "backend/vxcp/loop/vxcp_connection_policy.hpp"

#include <algorithm>

namespace vx::network {

namespace {

constexpr std::int64_t kUnmeasuredRttMs = 1'000'000;
constexpr std::int64_t kMinCredentialLeftMs = 10 * 60'000;
constexpr std::int64_t k100nsPerMs = 10'000;

}  // namespace

std::optional<RelayNode> pick_control_relay(const std::vector<RelayNode>& nodes,
                                            const std::map<std::string, std::uint32_t>& rtts,
                                            std::int64_t wall_now_ms) {
    const std::int64_t valid_until_100ns = (wall_now_ms + kMinCredentialLeftMs) * k100nsPerMs;
    const RelayNode* best = nullptr;
    std::int64_t best_rtt = 0;
    for (const RelayNode& node : nodes) {
        if (!node.carries_control() || node.credential_expiry < valid_until_100ns) {
            continue;
        }
        const auto it = rtts.find(node.id);
        const std::int64_t rtt = it == rtts.end() ? kUnmeasuredRttMs : it->second;
        if (best == nullptr || rtt < best_rtt) {
            best = &node;
            best_rtt = rtt;
        }
    }
    return best != nullptr ? std::optional<RelayNode>(*best) : std::nullopt;
}

bool ConnectionPolicy::udp_due(std::int64_t now) const {
    return udp_failures_ < kFailuresBeforeWebSocket || now >= udp_retry_at_;
}

ConnectionPolicy::Route ConnectionPolicy::choose_route(std::int64_t now, bool relay_available) {
    Route route;
    if (!gate_armed_) {
        gate_armed_ = true;
        first_udp_attempt_ = now;
        route.saved_hold_set_aside = relay_available && hold_active(now);
        return route;
    }
    route.via_relay = relay_available && !relays_barred(now) && hold_active(now);
    return route;
}

std::int64_t ConnectionPolicy::engage_hold(std::int64_t now) {
    const std::int64_t length = hold_length_;
    hold_end_ = now + length;
    hold_length_ = std::min(2 * length, kLongestHoldUs);
    return length;
}

ConnectionPolicy::Verdict ConnectionPolicy::after_attempt(std::int64_t now, UdpAttemptResult result,
                                                          bool relay_used, bool relay_available,
                                                          std::int64_t last_uptime_ms) {
    Verdict v;
    if (last_uptime_ms >= kStableUptimeMs) {
        udp_failures_ = 0;
    }
    if (result == UdpAttemptResult::clean || result == UdpAttemptResult::short_lived) {
        udp_failures_ = 0;
        v.reset_backoff = result == UdpAttemptResult::clean;
        return v;
    }
    ++udp_failures_;
    if (relay_used) {
        hold_end_ = 0;
        bar_relays(now);
        v.relay_failed = true;
        v.save = true;
    } else if (relay_available && !relays_barred(now) && udp_failures_ < kFailuresBeforeWebSocket) {
        v.engaged_length_us = engage_hold(now);
        v.hold_engaged = true;
        v.save = true;
        v.reset_backoff = true;
    }
    if (udp_failures_ >= kFailuresBeforeWebSocket) {
        udp_retry_at_ = now + kUdpRetryUs;
        v.fall_back_to_websocket = true;
    }
    return v;
}

ConnectionPolicy::Gate ConnectionPolicy::health_gate(std::int64_t now) {
    Gate g;
    if (!gate_armed_ || gate_passed_ || now < first_udp_attempt_ + kHealthGateUs) {
        return g;
    }
    gate_passed_ = true;
    g.passed_now = true;
    g.hold_was_active = hold_active(now);
    hold_end_ = 0;
    return g;
}

bool ConnectionPolicy::should_move_to_relay(std::int64_t now, bool has_standby) const {
    return gate_passed_ && has_standby && hold_active(now);
}

std::int64_t ConnectionPolicy::next_timed_change(std::int64_t now) const {
    std::int64_t next = INT64_MAX;
    if (gate_armed_ && !gate_passed_) {
        next = first_udp_attempt_ + kHealthGateUs;
    }
    if (relay_barred_until_ > now) {
        next = std::min(next, relay_barred_until_);
    }
    return next;
}

bool ConnectionPolicy::after_connection(bool ended_direct, std::int64_t uptime_ms) {
    if (ended_direct && uptime_ms >= kHoldResetUptimeMs) {
        hold_length_ = kFirstHoldUs;
    }
    return ended_direct;
}

bool ConnectionPolicy::restore(const ControlPathState& saved, std::int64_t now,
                               std::int64_t wall_now_ms) {
    hold_length_ = std::min(saved.hold_length_ms, kRestoreCapMs) * 1000;
    hold_end_ = 0;
    if (saved.hold_end_unix_ms > wall_now_ms) {
        hold_end_ = now + std::min(saved.hold_end_unix_ms - wall_now_ms, kRestoreCapMs) * 1000;
    }
    return hold_active(now);
}

ControlPathState ConnectionPolicy::to_saved(std::int64_t now, std::int64_t wall_now_ms) const {
    ControlPathState s;
    s.hold_end_unix_ms = hold_active(now) ? wall_now_ms + (hold_end_ - now) / 1000 : 0;
    s.hold_length_ms = hold_length_ / 1000;
    return s;
}

}  // namespace vx::network
