#include "driver/session_runner.hpp"

#include <sodium.h>
#include <spdlog/spdlog.h>

#include "backend/bridge/control_bridge.hpp"
#include "backend/connector/saas_connector.hpp"
#include "desktop/driver_isolation.hpp"
#include "driver/direct_verdict.hpp"
#include "driver/session_relay_step.hpp"
#include "link/udp_sender.hpp"
#include "status/status_board.hpp"
#include "traversal/direct/session_direct_path.hpp"
#include "traversal/stun/stun_binding.hpp"
#include "traversal/turn/session_relay.hpp"
#include "util/io/io_pool.hpp"
#include "util/outside_text.hpp"
#include "util/session_ports.hpp"

namespace vx {
namespace {

constexpr auto kServeStep = std::chrono::milliseconds(100);
constexpr std::int64_t kMicros = 1'000'000;

std::int64_t wall_seconds() {
    return util::wall_now_ms() / 1000;
}

const char* end_reason_name(SessionEnd end) {
    return end == SessionEnd::client_lost ? "client_lost" : "pipeline_ended";
}

}  // namespace

struct SessionRunner::Live {
    std::int64_t start_us = 0;
    std::int64_t deadline_us = 0;  // 0 = no limit
    std::uint32_t max_duration_sec = 0;
    std::uint32_t idle_timeout_sec = 0;
    std::optional<SessionKeys> keys;
    std::shared_ptr<UdpSender> video;
    std::unique_ptr<network::SessionDirectPath> direct;  // from the video socket's bind
    // The verdict from before the session, shown again once the mappings go, and the session's.
    struct Verdicts {
        DirectVerdict waiting;
        DirectVerdict during;
    };
    std::optional<Verdicts> verdicts;
    // STUN answers on the video socket go to a binding request waiting there, not the listener.
    std::shared_ptr<network::StunResponseHandoff> stun_handoff =
        std::make_shared<network::StunResponseHandoff>();
    std::unique_ptr<TcpControlServer> server;
    std::unique_ptr<IoPool> pool;
    std::string launcher_peer;      // "address:port" of the authenticated control connection
    bool launcher_relayed = false;  // it came through the backend's control bridge
    std::unique_ptr<network::SessionRelay> relay;
    std::unique_ptr<desktop::SessionIsolation> isolation;
    std::atomic<SessionEnd> end{SessionEnd::none};
    bool failed = false;  // set-up failed (driver's thread only)
    std::string failure;  // and why
    std::mutex mutex;
    std::condition_variable cv;
};

SessionRunner::SessionRunner(Deps deps) : d_(std::move(deps)) {}

SessionRunner::~SessionRunner() = default;

void SessionRunner::on_client_candidate(const std::string& host, std::uint16_t port) {
    std::lock_guard lock(sender_mutex_);
    if (video_) {
        video_->set_destination(host, port);
    }
}

SessionResult SessionRunner::run(SessionConfig s) {
    SessionResult result;
    Live live;
    live.start_us = d_.now();
    live.max_duration_sec = s.agent.max_duration_sec;
    live.idle_timeout_sec = s.agent.client_idle_timeout_sec;
    if (live.max_duration_sec > 0) {
        live.deadline_us =
            live.start_us + static_cast<std::int64_t>(live.max_duration_sec) * kMicros;
    }
    StatusBoard& board = status_board();
    if (s.from_backend) {  // nobody rents a standalone PC: it waits for a launcher
        board.set_session_state(SessionState::rented, wall_seconds());
        board.add_event(StatusEventKind::rented);
    }
    board.set_stream(codec_display_name(s.agent.codec), s.agent.width, s.agent.height, s.agent.fps);
    spdlog::info("Session {}: {}x{} @{} fps, {} kbps, codec={}, max_duration_sec={}",
                 session_log_name(s), s.agent.width, s.agent.height, s.agent.fps,
                 s.agent.bitrate / 1000, util::quote_outside_text(s.agent.codec),
                 live.max_duration_sec);

    if (set_up(s, live, result)) {
        result.started = true;
        serve(live);
    }
    tear_down(s, live, result);
    if (!s.encryption_key.empty()) {
        sodium_memzero(s.encryption_key.data(), s.encryption_key.size());  // the master key too
    }
    return result;
}

bool SessionRunner::keep_waiting(const Live& live) const {
    return d_.running.load() && live.end.load() == SessionEnd::none &&
           (live.deadline_us == 0 || d_.now() < live.deadline_us);
}

bool SessionRunner::set_up(const SessionConfig& s, Live& live, SessionResult& result) {
    live.keys = derive_session_keys(s.encryption_key);
    if (s.from_backend && !live.keys) {
        spdlog::warn(
            "Session {}: the order carried no usable 32-byte encryption_key - no keys can be "
            "handed to the launcher",
            session_log_name(s));
    }
    spdlog::info("Waiting for launcher connection on TCP port {}...",
                 util::session_ports(s.agent.port_base).control);
    if (!open_sockets(s, live) || !handshake(s, live)) {
        result.setup_failed = live.failed;
        result.failure = live.failure;
        return false;
    }
    go_live(s, live);
    return true;
}

bool SessionRunner::open_sockets(const SessionConfig& s, Live& live) {
    const util::SessionPorts ports = util::session_ports(s.agent.port_base);
    const auto control_port = static_cast<std::uint16_t>(ports.control);
    const auto video_port = static_cast<std::uint16_t>(ports.video);
    std::string error;
    live.video = std::make_shared<UdpSender>(d_.io, d_.now);
    if (!live.video->bind(video_port, error)) {
        spdlog::error("Video UDP socket bind failed (UDP port {}): {}", video_port, error);
        status_board().report_problem(ProblemKind::port_busy, video_port);
        fail_setup(s, live, SessionFailure::video_socket_failed, "VIDEO_SOCKET_FAILED",
                   "Video UDP socket bind failed: " + error);
        return false;
    }
    live.video->set_datagram_filter(
        [handoff = live.stun_handoff](const std::uint8_t* data, std::size_t size,
                                      const asio::ip::udp::endpoint& from) {
            return handoff->offer(data, size, from);
        });
    {
        std::lock_guard lock(sender_mutex_);
        video_ = live.video;
    }
    live.direct = start_direct_path(s, *live.video);
    live.server = std::make_unique<TcpControlServer>(d_.io, d_.now);
    live.server->set_expected_token_sha256(s.token_sha256);
    live.server->set_keys(live.keys);
    if (!s.from_backend) {
        // The standalone screen says "player is connecting" only while a launcher is there.
        live.server->set_on_launcher_arrival([](bool arrived) {
            status_board().set_session_state(arrived ? SessionState::rented : SessionState::idle,
                                             arrived ? wall_seconds() : 0);
        });
    }
    if (!live.server->listen(control_port, error)) {
        spdlog::error("TcpControlServer: cannot listen on TCP port {}: {}", control_port, error);
        status_board().report_problem(ProblemKind::port_busy, control_port);
        fail_setup(s, live, SessionFailure::session_setup_failed, "SESSION_SETUP_FAILED",
                   "control port " + std::to_string(control_port) + " unavailable: " + error);
        return false;
    }
    return true;
}

bool SessionRunner::handshake(const SessionConfig& s, Live& live) {
    const HandshakeResult hs = live.server->run_handshake([&] { return keep_waiting(live); });
    if (hs.ok) {
        live.launcher_peer = hs.peer;
        live.launcher_relayed =
            d_.bridge && hs.peer == "127.0.0.1:" + std::to_string(d_.bridge->local_port());
        return true;
    }
    if (live.end.load() == SessionEnd::none && d_.running.load() && live.deadline_us != 0 &&
        d_.now() >= live.deadline_us) {
        request_end(live, SessionEnd::max_duration);
    }
    if (live.end.load() != SessionEnd::none || !d_.running.load()) {
        return false;  // the session ended before a launcher came: no failure
    }
    const std::string code = auth_refusal_code(hs.refusal);
    fail_setup(s, live, SessionFailure::handshake_failed, code,
               "launcher handshake from " + hs.peer + " refused (" + code + ")");
    return false;
}

std::unique_ptr<network::SessionDirectPath> SessionRunner::start_direct_path(
    const SessionConfig& s, UdpSender& video) const {
    network::SessionDirectPath::Deps deps{
        .mapper = d_.mapper, .observed = d_.observed, .now = d_.now};
    if (d_.connector) {
        deps.send = std::bind_front(&network::SaasConnector::send_ice_candidate, d_.connector);
    }
    return std::make_unique<network::SessionDirectPath>(
        std::move(deps), s.session_id, s.agent, std::make_unique<network::UdpSenderProbe>(video));
}

void SessionRunner::go_live(const SessionConfig& s, Live& live) {
    const std::uint16_t base = s.agent.port_base;
    live.direct->after_handshake();
    if (d_.connector && !s.session_id.empty()) {
        const std::string address = d_.public_address ? d_.public_address() : std::string();
        // The backend's own numbering of the video, audio and input ports, not the bound ones.
        d_.connector->send_session_ready(s.session_id, address, base,
                                         static_cast<std::uint16_t>(base + 1),
                                         static_cast<std::uint16_t>(base + 2));
    }
    spdlog::info("Session established \xE2\x80\x94 keys ready");
    status_board().set_session_state(SessionState::player_connected, wall_seconds());
    status_board().add_event(StatusEventKind::player_connected);
    // The router and STUN steps take seconds: a session that ended meanwhile is torn down next,
    // and needs neither more candidates, nor an isolated desktop and a game, nor a relay.
    if (keep_waiting(live)) {
        live.direct->post_ready();
        const DirectVerdict waiting = status_board().snapshot().verdict;
        const bool video_kept = live.direct->renewing() && live.direct->result().video_mapped;
        const DirectVerdict during = session_verdict(waiting, video_kept);
        // The backend's view of the address may change the verdict at any time: each change
        // here applies only to the verdict it was computed from.
        if (during != waiting && status_board().replace_verdict(waiting, during)) {
            live.verdicts = {waiting, during};
        }
    }
    if (keep_waiting(live)) {
        live.isolation = desktop::begin_session_isolation(
            {s.agent.hide_desktop, s.agent.launch_steam, s.agent.steam_app_id, s.agent.steam_path});
    }
    if (keep_waiting(live)) {
        live.relay = start_session_relay(
            s, launcher_relay_peer(live.launcher_peer, live.video->destination()), d_.connector);
    }

    live.server->set_on_end_session([this, &live] { request_end(live, SessionEnd::end_session); });
    live.server->set_on_disconnected(
        [this, &live] { request_end(live, SessionEnd::launcher_gone); });
    live.server->start_reading();
    live.video->arm_probe_listener();
    live.pool = std::make_unique<IoPool>(d_.io);
    live.pool->start();
}

PresenceReadings SessionRunner::readings(const Live& live) const {
    PresenceReadings r;
    r.launcher_activity_us = live.server ? live.server->last_activity_us() : 0;
    if (d_.connector) {
        r.relayed_control_us = d_.connector->last_control_data_us();
        r.backend_connected_us = d_.connector->connected() ? d_.connector->connected_since_us() : 0;
    }
    // The bridge's connection is the launcher's only when the launcher came through it; else it
    // was another connection, refused while the launcher has the session.
    if (d_.bridge && live.launcher_relayed) {
        r.relay_peer_lost_us = d_.bridge->relay_peer_lost_us();
    }
    return r;
}

void SessionRunner::serve(Live& live) {
    std::optional<PresenceWatchdog> dog;
    if (live.idle_timeout_sec > 0) {
        dog.emplace(static_cast<std::int64_t>(live.idle_timeout_sec) * kMicros, d_.now());
    }
    for (;;) {
        if (live.end.load() != SessionEnd::none) {
            return;
        }
        if (!d_.running.load()) {
            request_end(live, SessionEnd::terminated);
            return;
        }
        watch(live, dog ? &*dog : nullptr);
        std::unique_lock lock(live.mutex);
        live.cv.wait_for(lock, kServeStep, [&] { return live.end.load() != SessionEnd::none; });
    }
}

void SessionRunner::watch(Live& live, PresenceWatchdog* dog) {
    const std::int64_t now = d_.now();
    if (live.deadline_us != 0 && now >= live.deadline_us) {
        request_end(live, SessionEnd::max_duration);
        return;
    }
    if (!dog) {
        return;
    }
    switch (dog->check(readings(live), now)) {
        case PresenceEvent::dropped:
            spdlog::warn("Presence watchdog: the launcher has been silent for {} s",
                         live.idle_timeout_sec / 2);
            status_board().add_event(StatusEventKind::player_dropped);
            break;
        case PresenceEvent::back:
            spdlog::info("Presence watchdog: the launcher is back");
            status_board().add_event(StatusEventKind::player_back);
            break;
        case PresenceEvent::lost:
            request_end(live, SessionEnd::client_lost);
            break;
        case PresenceEvent::none:
            break;
    }
}

void SessionRunner::request_end(Live& live, SessionEnd why) {
    SessionEnd expected = SessionEnd::none;
    if (!live.end.compare_exchange_strong(expected, why)) {
        return;
    }
    switch (why) {
        case SessionEnd::end_session:
            spdlog::info("Launcher requested end_session - ending session");
            break;
        case SessionEnd::launcher_gone:
            spdlog::info("Launcher disconnected \xE2\x80\x94 ending session");
            break;
        case SessionEnd::max_duration:
            spdlog::info("Session reached max_duration_sec={} - ending", live.max_duration_sec);
            break;
        case SessionEnd::client_lost:
            spdlog::warn("Presence watchdog: no sign of the launcher for {} s - ending session",
                         live.idle_timeout_sec);
            break;
        case SessionEnd::terminated:
        case SessionEnd::none:
            break;
    }
    if (why != SessionEnd::terminated) {
        // Like the backend's terminate_session: the outer loop sets the running flag again.
        {
            std::lock_guard lock(d_.orders.mutex);
            d_.orders.end_requested = true;
            d_.running.store(false);
        }
        d_.orders.wake.notify_all();
    }
    live.cv.notify_all();
}

void SessionRunner::tear_down(const SessionConfig& s, Live& live, SessionResult& result) {
    if (result.started) {
        spdlog::info("Session ending \xE2\x80\x94 cleaning up...");
    }
    desktop::end_session_isolation(live.isolation);
    if (d_.bridge) {
        d_.bridge->stop();
    }
    if (live.server) {
        live.server->stop();
    }
    {
        // A client_candidate from the connector's thread may be setting the destination now.
        std::lock_guard lock(sender_mutex_);
        video_.reset();
    }
    if (live.video) {
        live.video->close();
    }
    live.direct.reset();  // the lease renewal joined, the router mappings released
    if (live.verdicts) {
        status_board().replace_verdict(live.verdicts->during, live.verdicts->waiting);
    }
    stop_session_relay(live.relay);
    if (live.pool) {
        live.pool->stop();
    }
    live.server.reset();
    live.video.reset();
    live.keys.reset();  // wipes them

    StatusBoard& board = status_board();
    board.set_session_state(SessionState::idle, 0);
    if (result.setup_failed) {
        board.add_event(StatusEventKind::session_failed);
        return;
    }
    result.end = live.end.load() == SessionEnd::none ? SessionEnd::terminated : live.end.load();
    result.duration_sec =
        static_cast<std::uint32_t>((d_.now() - live.start_us + kMicros / 2) / kMicros);
    if (d_.connector && !s.session_id.empty()) {
        d_.connector->send_session_ended(s.session_id, end_reason_name(result.end),
                                         result.duration_sec);
    }
    board.add_event(StatusEventKind::session_ended, result.duration_sec);
    spdlog::info("Session {} ended ({}) after {} s", session_log_name(s),
                 end_reason_name(result.end), result.duration_sec);
}

void SessionRunner::fail_setup(const SessionConfig& s, Live& live, SessionFailure stage,
                               const std::string& code, const std::string& text) {
    live.failed = true;
    live.failure = text;
    spdlog::error("Session {} set-up failed ({}): {}", session_log_name(s),
                  session_failure_name(stage), text);
    if (!d_.connector) {
        return;
    }
    d_.connector->send_error(code, text, s.session_id);
    report_setup_failure(s.session_id, stage, text);
}

// A failed set-up ends without session_ended: its log goes up here, at most once a minute.
void SessionRunner::report_setup_failure(const std::string& session_id, SessionFailure stage,
                                         const std::string& text) {
    std::string reason;
    if (!reporter_.report(session_id, stage, text, reason)) {
        return;
    }
    if (auto upload = d_.connector->log_upload()) {
        upload->upload_session_log(session_id, reason);
    }
}

SessionResult run_standalone_session(const AgentConfig& config, std::atomic<bool>& running,
                                     SessionOrders& orders) {
    if (!running.load()) {
        return {};
    }
    asio::io_context io;
    const auto public_address = [&config] { return config.public_ip; };
    SessionRunner runner(
        {.io = io, .running = running, .orders = orders, .public_address = public_address});
    spdlog::info("Standalone: running one session from the command line");
    return runner.run(standalone_session_config(config));
}

}  // namespace vx
