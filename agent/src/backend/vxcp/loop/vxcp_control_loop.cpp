#include "backend/vxcp/loop/vxcp_control_loop.hpp"

#include <spdlog/spdlog.h>

#include <cmath>
#include <exception>

#include "backend/vxcp/loop/vxcp_message_fit.hpp"
#include "status/status_board.hpp"
#include "util/outside_text.hpp"

namespace vx::network {

namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr milliseconds kHelloInterval{400};
constexpr milliseconds kKeepaliveCap{2000};
// Housekeeping runs at most this often, on any pass of the loop; the loop wakes for it only when
// the policy's clock says so, or after the recheck period (relay credentials age by the clock).
constexpr microseconds kHousekeepingSpacing{250'000};
constexpr microseconds kHousekeepingRecheck{30'000'000};
constexpr microseconds kCredentialCheck{30'000'000};
constexpr microseconds kHeartbeat{5'000'000};
// The log upload's pacing step while it has parts waiting.
constexpr microseconds kPacedStep{20'000};
constexpr milliseconds kClockNote{2000};
constexpr std::int64_t k100nsPerMs = 10'000;
constexpr milliseconds kRenewBefore{15 * 60'000};
constexpr milliseconds kRenewGain{30 * 60'000};

TurnConfig relay_turn_config(const RelayNode& node, std::int32_t timeout_ms) {
    TurnConfig t;
    t.server = node.host;
    t.port = node.port;
    t.username = node.username;
    t.password = node.credential;
    t.realm.clear();
    t.lifetime = 600;
    t.timeout_ms = timeout_ms;
    t.attempts = 2;
    return t;
}

// Lets the dispatcher answer (pongs) through the live channel, on the connection thread. An
// abort is only noted here: the loop closes the channel once the messages in hand are handled.
class UdpControlTransport : public ControlTransport {
  public:
    UdpControlTransport(UdpControlChannel& ch, std::optional<std::string>& abort_reason)
        : ch_(ch), abort_reason_(abort_reason) {}
    bool send_control_text(const std::string& text) override {
        if (!ch_.queue_message(as_bytes(text))) {
            return false;
        }
        ch_.send();
        return true;
    }
    std::uint64_t control_drops() const override { return 0; }
    bool control_closed() const override { return !ch_.alive(); }
    void abort_connection(const std::string& reason) override {
        if (!abort_reason_) {
            abort_reason_ = reason;
        }
    }
    // The live wait watches the outgoing queue's wake-up, which a stop signals.
    void wake_for_stop() override {}

  private:
    UdpControlChannel& ch_;
    std::optional<std::string>& abort_reason_;
};

}  // namespace

VxcpControlLoop::VxcpControlLoop(VxcpLoopHooks& hooks, const SaasConfig& config,
                                 VxcpLoopTimings timings, util::NowFn steady_us,
                                 util::NowFn wall_ms, std::filesystem::path path_file,
                                 VxcpSeams seams)
    : hooks_(hooks),
      config_(config),
      timings_(timings),
      steady_us_(std::move(steady_us)),
      wall_ms_(std::move(wall_ms)),
      path_file_(std::move(path_file)),
      seams_(std::move(seams)) {
    seams_.steady_us = steady_us_;
    seams_.wall_ms = wall_ms_;
    seams_.keep_going = [this] { return hooks_.running(); };
    seams_.stop_wake_fd = hooks_.stop_wake_fd();
    seams_.live_wake_fd = hooks_.outgoing_wake_fd();
}

bool VxcpControlLoop::configured() const {
    return !config_.control_udp_host.empty() && config_.control_udp_port != 0;
}

void VxcpControlLoop::load_state() {
    if (path_file_.empty()) {
        return;
    }
    ControlPathState saved;
    const auto load = load_control_path(path_file_, saved);
    if (load == ControlPathLoad::rejected) {
        spdlog::warn("SaasConnector: ignoring an unreadable control path state in {}",
                     path_file_.string());
    } else if (load == ControlPathLoad::accepted) {
        const std::int64_t now = steady_us_();
        if (policy_.restore(saved, now, wall_ms_())) {
            spdlog::info(
                "SaasConnector: the direct UDP path to the backend died on this network before - "
                "the control channel starts on the relay for the next {} min (saved in {})",
                (policy_.hold_end() - now) / ConnectionPolicy::kMinuteUs + 1, path_file_.string());
        }
    }
}

void VxcpControlLoop::save_state() {
    if (!path_file_.empty()) {
        save_control_path(path_file_, policy_.to_saved(steady_us_(), wall_ms_()));
    }
}

std::optional<RelayNode> VxcpControlLoop::pick_relay() const {
    return pick_control_relay(hooks_.control_relays(), hooks_.relay_rtts(), wall_ms_());
}

VxcpControlLoop::Pass VxcpControlLoop::run_pass() {
    Pass pass;
    if (!configured() || !policy_.udp_due(steady_us_())) {
        return pass;
    }
    const auto relay = pick_relay();
    const auto route = policy_.choose_route(steady_us_(), relay.has_value());
    if (route.saved_hold_set_aside) {
        spdlog::info(
            "SaasConnector: a saved relay hold is set aside for one direct attempt ({} s health "
            "gate; relay {} stays the fallback)",
            ConnectionPolicy::kHealthGateUs / 1'000'000, util::quote_outside_text(relay->id));
    }
    close_code_ = 0;
    close_reason_.clear();
    const auto result = run_session(route.via_relay ? relay : std::nullopt);
    const bool relay_used = route.via_relay || moved_to_relay_;
    std::optional<RelayNode> direct_relay;
    if (!relay_used &&
        (result == UdpAttemptResult::not_opened || result == UdpAttemptResult::path_failed)) {
        direct_relay = pick_relay();
    }
    const auto verdict = policy_.after_attempt(steady_us_(), result, relay_used,
                                               direct_relay.has_value(), last_uptime_ms_);
    if (verdict.save) {
        save_state();
    }
    after_attempt_logs(verdict, result, direct_relay);
    pass.use_websocket = verdict.fall_back_to_websocket;
    pass.reset_backoff = verdict.reset_backoff;
    pass.close_code = close_code_;
    pass.close_reason = close_reason_;
    return pass;
}

void VxcpControlLoop::after_attempt_logs(const ConnectionPolicy::Verdict& v,
                                         UdpAttemptResult result,
                                         const std::optional<RelayNode>& direct_relay) {
    const bool stalled = result == UdpAttemptResult::path_failed;
    if (v.relay_failed) {
        spdlog::warn(
            "SaasConnector: the control channel through relay {} {} - back to the direct path "
            "(relay retried in {} min)",
            current_relay_ ? util::quote_outside_text(current_relay_->id) : "?",
            stalled ? "stopped answering" : "could not be opened",
            ConnectionPolicy::kRelayBarUs / ConnectionPolicy::kMinuteUs);
    }
    if (v.hold_engaged && direct_relay) {
        spdlog::warn(
            "SaasConnector: {} on the direct UDP path - the control channel uses relay {} ({}:{}) "
            "for the next {} min",
            stalled ? "the backend stopped answering" : "the backend did not answer",
            util::quote_outside_text(direct_relay->id),
            util::quote_outside_text(direct_relay->host), direct_relay->port,
            v.engaged_length_us / ConnectionPolicy::kMinuteUs);
    }
    if (v.fall_back_to_websocket) {
        spdlog::warn(
            "SaasConnector: {} UDP attempts in a row failed (direct and relay) - using the "
            "WebSocket and retrying UDP in {} s",
            policy_.udp_failures(), ConnectionPolicy::kUdpRetryUs / 1'000'000);
    }
}

UdpControlChannelConfig VxcpControlLoop::channel_config(
    const std::optional<RelayNode>& relay) const {
    const SaasConfig& sc = config_;
    UdpControlChannelConfig cfg;
    cfg.host = sc.control_udp_host;
    cfg.port = sc.control_udp_port;
    cfg.token = sc.server_id;
    cfg.secret = sc.agent_token;
    const VxcpLoopTimings& timings = timings_;
    cfg.handshake_timeout_ms = relay ? timings.relay_handshake_ms : timings.handshake_ms;
    cfg.hello_interval_ms = static_cast<std::int32_t>(kHelloInterval.count());
    cfg.clock_offset_ms = clock_offset_ms_;
    cfg.keepalive_cap_ms = static_cast<std::int32_t>(kKeepaliveCap.count());
    cfg.stall_threshold_ms = timings.stall_threshold_ms;
    if (relay) {
        cfg.relay = relay_turn_config(*relay, 1000);
    }
    return cfg;
}

void VxcpControlLoop::report_clock(const UdpControlChannel& ch) {
    const double off_s = -static_cast<double>(ch.clock_offset_ms()) / 1000.0;
    if (ch.clock_retried()) {
        spdlog::warn(
            "SaasConnector: this PC's clock is {:+.1f} s off the backend's - the control channel "
            "uses the backend's time (fix Windows time sync)",
            off_s);
    } else if (std::llabs(ch.clock_offset_ms() - clock_offset_ms_) > kClockNote.count()) {
        spdlog::info("SaasConnector: this PC's clock is {:+.1f} s off the backend's", off_s);
    }
    clock_offset_ms_ = ch.clock_offset_ms();
}

UdpAttemptResult VxcpControlLoop::run_session(const std::optional<RelayNode>& relay) {
    const SaasConfig& sc = config_;
    UdpControlChannel ch(channel_config(relay), seams_);
    moved_to_relay_ = false;
    current_relay_ = relay;
    // The standby relay is handed to each channel anew: a new channel starts without relay
    // credentials, so one remembered from the last connection must not count as given already.
    standby_node_.reset();
    if (relay) {
        spdlog::info(
            "SaasConnector: connecting over UDP to {}:{} through relay {} ({}:{}) (VXCP/1)",
            util::quote_outside_text(sc.control_udp_host), sc.control_udp_port,
            util::quote_outside_text(relay->id), util::quote_outside_text(relay->host),
            relay->port);
    } else {
        refresh_standby_relay(ch);
        spdlog::info("SaasConnector: connecting over UDP to {}:{} (VXCP/1)",
                     util::quote_outside_text(sc.control_udp_host), sc.control_udp_port);
    }
    std::string err;
    const bool ok = ch.connect(err);
    report_clock(ch);
    if (!ok) {
        last_uptime_ms_ = 0;
        spdlog::warn("SaasConnector: UDP control channel unavailable: {}", err);
        return UdpAttemptResult::not_opened;
    }
    const std::int64_t up_since = steady_us_();
    // An error while the connection is up ends it like any other end: closed, counted, retried.
    try {
        serve(ch);
    } catch (const std::exception& e) {
        spdlog::warn("SaasConnector: connection error: {}", e.what());
    }
    finish(ch, up_since);
    const std::int64_t uptime_ms = last_uptime_ms_;
    if (hooks_.running() && ch.path_failure()) {
        return UdpAttemptResult::path_failed;
    }
    if (!hooks_.running() || uptime_ms >= ConnectionPolicy::kStableUptimeMs) {
        return UdpAttemptResult::clean;
    }
    return close_code_ == 1000 ? UdpAttemptResult::clean : UdpAttemptResult::short_lived;
}

void VxcpControlLoop::serve(UdpControlChannel& ch) {
    const std::int64_t now = steady_us_();
    abort_reason_.reset();
    hooks_.on_connected(std::make_shared<UdpControlTransport>(ch, abort_reason_),
                        ch.on_relay() ? "udp-relay" : "udp", now);
    StatusBoard& board = status_board();
    board.set_link_state(LinkState::connected,
                         ch.on_relay() ? LinkTransport::udp_relay : LinkTransport::udp);
    board.clear_duplicate_agent();
    spdlog::info(
        "SaasConnector: control channel connected over UDP to {} ({}) in {} ms (encrypted, "
        "reliable; the WebSocket is the fallback)",
        ch.endpoint_text(), ch.path_name(), ch.handshake_ms());
    hooks_.resend_after_reconnect();
    last_heartbeat_ = now;
    next_housekeeping_ = now;
    next_credential_check_ = now;
    while (ch.alive() && hooks_.running() && !abort_reason_) {
        const std::int64_t t = steady_us_();
        housekeeping(ch, t);
        note_relay_move(ch, t);
        if (credential_renewal_due(t)) {
            break;
        }
        hooks_.send_next_paced_part(ch.stream()->pending_fragments());
        pump_outgoing(ch);
        if (t - last_heartbeat_ >= kHeartbeat.count()) {
            last_heartbeat_ = t;
            hooks_.send_heartbeat();
        }
        // A stop that came just before the queue's wake-up was cleared would go unseen below.
        if (!hooks_.running()) {
            break;
        }
        std::vector<std::string> delivered;
        ch.tick(wait_ms(ch, steady_us_()), delivered);
        handle_delivered(delivered);
    }
}

int VxcpControlLoop::wait_ms(const UdpControlChannel& ch, std::int64_t now) const {
    std::int64_t due = last_heartbeat_ + kHeartbeat.count();
    if (!ch.on_relay()) {
        const std::int64_t timed = std::min(policy_.next_timed_change(now),
                                            last_housekeeping_ + kHousekeepingRecheck.count());
        due = std::min(due, std::max(next_housekeeping_, timed));
    }
    if (moved_to_relay_ && current_relay_) {
        due = std::min(due, next_credential_check_);
    }
    if (hooks_.paced_parts_pending()) {
        due = std::min(due, now + kPacedStep.count());
    }
    const std::int64_t wait_us = std::max<std::int64_t>(due - now, 0);
    return static_cast<int>((wait_us + 999) / 1000);
}

void VxcpControlLoop::handle_delivered(const std::vector<std::string>& delivered) {
    for (const auto& text : delivered) {
        hooks_.on_message(text);
    }
}

void VxcpControlLoop::finish(UdpControlChannel& ch, std::int64_t up_since) {
    pump_outgoing(ch);
    // The stream acknowledges what it delivers, so the backend counts these as received: they
    // are handled like any other, unless the agent is stopping.
    std::vector<std::string> delivered;
    ch.tick(0, delivered);
    if (ch.alive()) {
        if (abort_reason_) {
            ch.close(1011, *abort_reason_, &delivered);
        } else {
            ch.close(1000, hooks_.running() ? "reconnect" : "agent stopping", &delivered);
        }
    }
    if (hooks_.running()) {
        try {
            handle_delivered(delivered);
        } catch (const std::exception& e) {
            spdlog::warn("SaasConnector: connection error: {}", e.what());
        }
    }
    const std::int64_t uptime_ms = (steady_us_() - up_since) / 1000;
    const ReliableStream* s = ch.stream();
    spdlog::info(
        "SaasConnector: UDP control channel ended ({}): path={}, up={} ms, msgs rx={}, pkts tx={} "
        "rx={}, retransmissions={}, srtt={} ms, dropped={}",
        ch.end_reason(), ch.path_name(), uptime_ms, s->counters().messages_delivered,
        s->counters().packets_sent, s->counters().packets_received, s->counters().retransmitted,
        s->smoothed_rtt_us() / 1000, ch.dropped());
    if (ch.backend_close_code() != 0) {
        close_code_ = ch.backend_close_code();
        close_reason_ = ch.backend_close_reason();
    }
    hooks_.on_disconnected();
    last_uptime_ms_ = uptime_ms;
    if (policy_.after_connection(!ch.on_relay(), uptime_ms)) {
        save_state();
    }
}

void VxcpControlLoop::housekeeping(UdpControlChannel& ch, std::int64_t now) {
    if (ch.on_relay() || now < next_housekeeping_) {
        return;
    }
    next_housekeeping_ = now + kHousekeepingSpacing.count();
    last_housekeeping_ = now;
    refresh_standby_relay(ch);
    const auto gate = policy_.health_gate(now);
    if (gate.passed_now && gate.hold_was_active) {
        save_state();
        spdlog::info(
            "SaasConnector: the direct UDP path survived the {} s startup check - the saved relay "
            "hold no longer applies (the relay stays the fallback)",
            ConnectionPolicy::kHealthGateUs / 1'000'000);
    }
    if (!policy_.should_move_to_relay(now, ch.standby_relay().has_value()) || !standby_node_) {
        return;
    }
    std::string err;
    if (ch.move_to_relay(err)) {
        spdlog::info(
            "SaasConnector: the direct UDP path is held as dead on this network - the control "
            "channel moved to relay {} ({}:{})",
            util::quote_outside_text(standby_node_->id),
            util::quote_outside_text(standby_node_->host), standby_node_->port);
        return;
    }
    spdlog::warn(
        "SaasConnector: could not move the control channel to relay {}: {} - staying "
        "direct",
        util::quote_outside_text(standby_node_->id), err);
    policy_.bar_relays(now);
    refresh_standby_relay(ch);
}

void VxcpControlLoop::note_relay_move(UdpControlChannel& ch, std::int64_t now) {
    if (!ch.on_relay() || moved_to_relay_) {
        return;
    }
    moved_to_relay_ = true;
    // A connection opened through a relay keeps that relay; only a move takes the standby one,
    // which may be left over from an earlier direct connection.
    if (!current_relay_) {
        current_relay_ = standby_node_;
    }
    hooks_.on_moved_to_relay();
    status_board().set_link_state(LinkState::connected, LinkTransport::udp_relay);
    if (ch.moved_for_stall()) {
        const std::int64_t length = policy_.engage_hold(now);
        save_state();
        spdlog::warn(
            "SaasConnector: the backend stopped answering on the direct UDP path - the control "
            "channel moved to relay {} without reconnecting (nothing lost); new connections use "
            "the relay for the next {} min",
            current_relay_ ? util::quote_outside_text(current_relay_->id) : "?",
            length / ConnectionPolicy::kMinuteUs);
    }
}

bool VxcpControlLoop::credential_renewal_due(std::int64_t now) {
    if (!moved_to_relay_ || !current_relay_ || now < next_credential_check_) {
        return false;
    }
    next_credential_check_ = now + kCredentialCheck.count();
    const std::int64_t wall = wall_ms_();
    if (current_relay_->credential_expiry >= (wall + kRenewBefore.count()) * k100nsPerMs) {
        return false;
    }
    const auto candidate = pick_relay();
    if (!candidate || candidate->credential_expiry <=
                          current_relay_->credential_expiry + kRenewGain.count() * k100nsPerMs) {
        return false;
    }
    spdlog::info(
        "SaasConnector: renewing the relay credential of the control channel - reconnecting "
        "through relay {}",
        util::quote_outside_text(candidate->id));
    return true;
}

void VxcpControlLoop::pump_outgoing(UdpControlChannel& ch) {
    // A dead channel takes nothing: what waits stays queued, and the next reconnect's replay
    // counts it among the stale drops (and re-sends what matters) instead of it being lost here
    // without a line. Queueing and sending never end the channel, so it stays alive below.
    if (!ch.alive()) {
        return;
    }
    for (const std::string& text : hooks_.take_outgoing()) {
        if (ch.queue_message(as_bytes(text))) {
            ch.send();
            continue;
        }
        const auto pieces = vxcp_fit_control_data(text, ch.stream()->settings().max_message);
        for (const auto& piece : pieces) {
            ch.queue_message(as_bytes(piece));
        }
        ch.send();
        if (pieces.empty()) {
            spdlog::warn(
                "SaasConnector: dropped a {} B control message - larger than the channel's "
                "message limit",
                text.size());
        }
    }
}

void VxcpControlLoop::refresh_standby_relay(UdpControlChannel& ch) {
    if (ch.on_relay()) {
        return;
    }
    auto pick = pick_relay();
    if (pick && policy_.relays_barred(steady_us_())) {
        pick.reset();
    }
    const bool same =
        (!pick && !standby_node_) || (pick && standby_node_ && pick->id == standby_node_->id &&
                                      pick->username == standby_node_->username);
    if (same) {
        return;
    }
    standby_node_ = pick;
    ch.set_standby_relay(pick ? std::optional<TurnConfig>(relay_turn_config(*pick, 700))
                              : std::nullopt);
}

}  // namespace vx::network
