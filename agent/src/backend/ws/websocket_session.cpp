#include "backend/ws/websocket_session.hpp"

#include <spdlog/spdlog.h>

#include "backend/messages/messages.hpp"
#include "backend/ws/ws_handshake.hpp"
#include "util/clock.hpp"
#include "util/io/join_with_deadline.hpp"

namespace vx::network {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxRefusalBody = 4096;
constexpr std::chrono::milliseconds kRefusalBodyWait{1000};
// The log upload's pacing step.
constexpr std::chrono::microseconds kPacedStep{50'000};
constexpr std::chrono::milliseconds kBacklogRetry{20};

std::int64_t as_ms(std::chrono::microseconds d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

}  // namespace

WebSocketSession::WebSocketSession(asio::io_context& io, asio::ssl::context* tls_context,
                                   util::NowFn now, RandomFn random, WsKeepAliveSettings keepalive)
    : io_(io),
      tls_context_(tls_context),
      now_(std::move(now)),
      random_(std::move(random)),
      keepalive_(keepalive) {}

WebSocketSession::~WebSocketSession() {
    lanes_->close();
    if (writer_.joinable())
        writer_.detach();
}

void WebSocketSession::publish(std::shared_ptr<SaasStream> stream) {
    std::lock_guard lock(stream_mutex_);
    current_ = std::move(stream);
}

void WebSocketSession::shutdown_current() {
    std::lock_guard lock(stream_mutex_);
    if (current_)
        current_->shutdown();
}

void WebSocketSession::shutdown_stream(SaasStream& stream) {
    std::lock_guard lock(stream_mutex_);
    stream.shutdown();
}

std::uint16_t WebSocketSession::take_close_code(std::string* reason) {
    std::lock_guard lock(close_mutex_);
    const std::uint16_t code = close_code_.exchange(0);
    if (reason)
        *reason = close_reason_;
    close_reason_.clear();
    return code;
}

WsStats WebSocketSession::stats() const {
    WsStats s;
    s.messages_received = messages_received_;
    s.frames_written = frames_written_;
    s.write_failures = write_failures_;
    s.reads = reads_;
    s.read_timeouts = read_timeouts_;
    s.data_dropped = lanes_->data_dropped();
    s.control_dropped = lanes_->control_dropped();
    s.data_pending = lanes_->data_pending();
    s.writer_waits = owner_.writer_waits;
    s.writer_give_ups = owner_.writer_give_ups;
    s.max_writer_wait_us = owner_.max_writer_wait_us;
    return s;
}

bool WebSocketSession::queue_frame(WsOpcode opcode, std::string_view payload, bool control) {
    auto frame = encode_ws_frame(static_cast<std::uint8_t>(opcode), payload, random_);
    const WsPushResult r =
        control ? push_control(std::move(frame), opcode)
                : lanes_->push(std::move(frame), false, static_cast<std::uint8_t>(opcode));
    if (r == WsPushResult::accepted)
        return true;
    log_refusal(control);
    return false;
}

// A full control lane is a backlog the writer is working through, not a dead connection: the
// reader waits for room (a writer stuck for seconds still ends the connection). With TLS this
// thread is the writer, so it writes the backlog out itself first.
WsPushResult WebSocketSession::push_control(WsFrameBytes frame, WsOpcode opcode) {
    const auto code = static_cast<std::uint8_t>(opcode);
    const auto push = [&](std::chrono::milliseconds wait) {
        return opcode == WsOpcode::pong ? lanes_->push_pong(std::move(frame), code, wait)
                                        : lanes_->push(std::move(frame), true, code, wait);
    };
    if (!writes_on_reader_)
        return push(kControlRoomWait);
    if (lanes_->control_pending() >= lanes_->control_capacity()) {
        std::shared_ptr<SaasStream> stream;
        {
            std::lock_guard lock(stream_mutex_);
            stream = current_;
        }
        if (stream)
            pump_writes(*stream);
    }
    return push(std::chrono::milliseconds(0));
}

void WebSocketSession::log_refusal(bool control) {
    const std::uint64_t drops = control ? lanes_->control_dropped() : lanes_->data_dropped();
    if (!refused_log_due(drops))
        return;
    spdlog::warn(
        "SaasConnector: WS {} frame refused by the writer queue ({} so far, {} queued, "
        "closed={})",
        control ? "control" : "outgoing", drops, lanes_->data_pending(), lanes_->is_closed());
}

bool WebSocketSession::run(const WsSessionConfig& config, WsSessionHooks& hooks,
                           const std::atomic<bool>& running) {
    std::shared_ptr<SaasStream> stream;
    if (!open_connection(config, hooks, running, stream)) {
        publish(nullptr);
        return false;
    }
    parser_.reset();
    assembler_.reset();
    owner_.reset_connection_stats();
    if (!leftover_.empty()) {
        const std::size_t n = leftover_.size();
        const bool ok = parser_.feed(reinterpret_cast<const std::uint8_t*>(leftover_.data()), n);
        leftover_.clear();
        if (!ok) {
            spdlog::error(
                "SaasConnector: WS framing error in the {} byte(s) that followed the "
                "handshake: {}",
                n, parser_.error());
            publish(nullptr);
            return false;
        }
        spdlog::info(
            "SaasConnector: {} byte(s) arrived together with the handshake response - "
            "kept for the frame reader",
            n);
    }
    begin_connection();
    hooks.on_connected();
    spdlog::info(
        "SaasConnector: WebSocket connected (bounded reads: {} ms, one socket owner for "
        "reader and writer)",
        SaasStream::kRecvLimit.count());
    const auto& ka = keepalive_.settings();
    spdlog::info(
        "SaasConnector: WS keepalive: client ping every {} ms, pong deadline {} ms, "
        "inbound-silence limit {} ms",
        as_ms(ka.ping_interval), as_ms(ka.pong_deadline), as_ms(ka.inbound_silence));
    if (writer_.joinable()) {
        spdlog::error(
            "SaasConnector: the previous WS writer was never joined - detaching it "
            "before installing a new one");
        retire_writer();
    }
    lanes_->open();
    writes_on_reader_ = stream->tls();
    if (!writes_on_reader_)
        start_writer(stream);
    hooks.resend_after_reconnect();
    writer_join_limit_ = config.writer_join_limit;
    loop(config, hooks, running, *stream);
    end_connection(hooks, stream, !running.load());
    const std::int64_t up_us = now_() - connected_since_us_.load();
    connected_ = false;
    return !(agent_closed_ && up_us < config.up_rule.count());
}

bool WebSocketSession::open_connection(const WsSessionConfig& config, WsSessionHooks& hooks,
                                       const std::atomic<bool>& running,
                                       std::shared_ptr<SaasStream>& stream) {
    stream = std::make_shared<SaasStream>(io_, config.tls, tls_context_);
    publish(stream);
    std::string error;
    if (!running.load())
        return false;
    if (!stream->connect(config.host, config.port, running, config.connect_limit, error)) {
        spdlog::warn("SaasConnector: TCP connect failed: {}", error);
        return false;
    }
    if (config.tls) {
        if (!stream->start_tls(config.host, running, config.tls_limit, error)) {
            spdlog::error("SaasConnector: TLS handshake failed: {}", error);
            return false;
        }
        spdlog::info("SaasConnector: TLS established ({})", config.host);
    }
    return websocket_handshake(config, hooks, running, *stream);
}

bool WebSocketSession::websocket_handshake(const WsSessionConfig& config, WsSessionHooks& hooks,
                                           const std::atomic<bool>& running, SaasStream& stream) {
    try {
        const std::string request =
            build_ws_upgrade_request(config.host, make_ws_key(random_), config.agent_token);
        stream.write(reinterpret_cast<const std::uint8_t*>(request.data()), request.size());
        std::string bytes, error;
        if (!read_response(config, running, stream, bytes, error)) {
            spdlog::warn("SaasConnector: failed to read handshake response: {}", error);
            return false;
        }
        WsUpgradeResponse response = parse_ws_upgrade_response(bytes);
        leftover_.clear();
        if (response.accepted()) {
            leftover_ = std::move(response.rest);
            return true;
        }
        // A refusal's body tells why; collect what the server announced, briefly.
        const auto until = Clock::now() + kRefusalBodyWait;
        const std::size_t want = std::min(response.content_length, kMaxRefusalBody);
        while (response.rest.size() < want && Clock::now() < until && stream.valid()) {
            std::uint8_t buf[1024];
            std::error_code ec;
            const std::size_t n = stream.read(buf, sizeof buf, ec, {util::time_left(until), {}});
            if (ec && !ws_read_nothing_yet(ec))
                break;
            response.rest.append(reinterpret_cast<const char*>(buf), n);
        }
        if (looks_like_plain_http_to_tls(response)) {
            spdlog::error(
                "SaasConnector: the agent speaks plain ws:// only. Use --saas-port 80 "
                "(behind a TLS-terminating proxy) or run a local TLS terminator in "
                "front of the agent.");
        }
        // A refusal may echo what the request carried (a proxy's error page, a header dump).
        const std::string text = response.head + response.rest;
        spdlog::error("SaasConnector: WebSocket handshake rejected:\n{}", log_excerpt(text, 256));
        if (response.token_refused())
            hooks.on_token_rejected();
        return false;
    } catch (const std::exception& e) {
        spdlog::warn("SaasConnector: WS handshake failed: {}", e.what());
        return false;
    }
}

bool WebSocketSession::read_response(const WsSessionConfig& config,
                                     const std::atomic<bool>& running, SaasStream& stream,
                                     std::string& bytes, std::string& error) {
    const auto deadline = Clock::now() + config.upgrade_limit;
    for (;;) {
        const auto state = parse_ws_upgrade_response(bytes).state;
        if (state == WsUpgradeResponse::State::complete)
            return true;
        if (state == WsUpgradeResponse::State::too_large) {
            error = "the response head exceeds " + std::to_string(kWsMaxResponseHead) + " bytes";
            return false;
        }
        if (!running.load()) {
            error = "the agent is stopping";
            return false;
        }
        if (Clock::now() >= deadline) {
            error = "no complete response within " + std::to_string(config.upgrade_limit.count()) +
                    " ms";
            return false;
        }
        std::uint8_t buf[4096];
        std::error_code ec;
        // A stop shuts the stream down, which ends this wait at once.
        const std::size_t n = stream.read(buf, sizeof buf, ec, {util::time_left(deadline), {}});
        if (ec && !ws_read_nothing_yet(ec)) {
            error = ec.message();
            return false;
        }
        bytes.append(reinterpret_cast<const char*>(buf), n);
    }
}

void WebSocketSession::begin_connection() {
    const std::int64_t now = now_();
    keepalive_.reset(now);
    {
        std::lock_guard lock(close_mutex_);
        close_code_ = 0;
        close_reason_.clear();
    }
    end_reason_ = "peer closed";
    agent_closed_ = false;
    rx_frames_ = 0;
    pings_seen_ = 0;
    control_written_ = 0;
    connected_since_us_ = now;
    connected_ = true;
}

void WebSocketSession::start_writer(const std::shared_ptr<SaasStream>& stream) {
    writer_done_ = std::make_shared<DoneFlag>();
    writer_retired_ = std::make_shared<std::atomic<bool>>(false);
    writer_ =
        std::thread([self = shared_from_this(), stream, done = writer_done_,
                     retired = writer_retired_] { self->writer_loop(stream, done, retired); });
}

void WebSocketSession::loop(const WsSessionConfig& config, WsSessionHooks& hooks,
                            const std::atomic<bool>& running, SaasStream& stream) {
    std::int64_t last_heartbeat = now_();
    std::int64_t last_paced = INT64_MIN / 2;
    // Besides the socket and the timers, the wait ends for a stop (the stream is shut down), a
    // writer that wants the socket, and messages queued by other threads.
    SaasStream::ReadWait wait;
    while (running.load()) {
        try {
            const std::int64_t now = now_();
            if (now - last_paced >= kPacedStep.count()) {
                last_paced = now;
                hooks.send_next_paced_part();
            }
            bool moved = move_outgoing(hooks);
            if (stream.tls())
                pump_writes(stream);
            if (now - last_heartbeat >= config.heartbeat_interval.count()) {
                last_heartbeat = now;
                hooks.send_heartbeat();
                moved = move_outgoing(hooks) && moved;
                if (stream.tls())
                    pump_writes(stream);
            }
            if (!keepalive_step(stream, hooks))
                break;
            if (lanes_log_.due(now)) {
                spdlog::info(
                    "SaasConnector: WS writer lanes: data={}/{} control={}/{} "
                    "dropped={}, control_dropped={}, tx={}, queue_pushed={}, "
                    "write_failures={}",
                    lanes_->data_pending(), lanes_->data_capacity(), lanes_->control_pending(),
                    lanes_->control_capacity(), lanes_->data_dropped(), lanes_->control_dropped(),
                    frames_written_.load(), lanes_->pushed(), write_failures_.load());
            }
            if (!stream.valid())
                break;
            const std::int64_t next_paced =
                hooks.paced_parts_pending() ? last_paced + kPacedStep.count() : INT64_MAX;
            wait.limit = time_to_next_timer(
                now_(), last_heartbeat + config.heartbeat_interval.count(), next_paced);
            // With the data lane full the queue's wake-up stays set: the rest is retried after
            // a short pause instead, while the writer drains the lane.
            wait.wake_fds = {owner_.writer_waiting_fd(), moved ? hooks.outgoing_wake_fd() : -1,
                             hooks.stop_wake_fd()};
            if (!moved)
                wait.limit = std::min(wait.limit, kBacklogRetry);
            if (auto message = next_message(stream, wait)) {
                ++messages_received_;
                hooks.on_message(*message);
                continue;
            }
            if (!stream.valid())
                break;
        } catch (const std::exception& e) {
            spdlog::warn("SaasConnector: connection error: {}", e.what());
            end_reason_ = e.what();
            break;
        }
    }
    if (!running.load())
        end_reason_ = "agent stopping";
}

std::chrono::milliseconds WebSocketSession::time_to_next_timer(std::int64_t now,
                                                               std::int64_t next_heartbeat,
                                                               std::int64_t next_paced) const {
    const std::int64_t due =
        std::min({next_heartbeat, next_paced, keepalive_.next_due_us(), lanes_log_.next_due_us()});
    // Rounded up, so the loop wakes when the timer is due rather than just before it.
    const std::int64_t wait_us = std::max<std::int64_t>(due - now, 0);
    return std::chrono::milliseconds((wait_us + 999) / 1000);
}

bool WebSocketSession::move_outgoing(WsSessionHooks& hooks) {
    std::vector<std::string> queue = hooks.take_outgoing();
    for (auto it = queue.begin(); it != queue.end(); ++it) {
        auto frame = encode_ws_frame(static_cast<std::uint8_t>(WsOpcode::text), *it, random_);
        if (lanes_->push(std::move(frame), false, static_cast<std::uint8_t>(WsOpcode::text)) !=
            WsPushResult::accepted) {
            // Nothing is lost: the rest goes back in front of whatever was queued meanwhile.
            log_refusal(false);
            queue.erase(queue.begin(), it);
            hooks.return_outgoing(std::move(queue));
            return false;
        }
    }
    return true;
}

bool WebSocketSession::keepalive_step(SaasStream& stream, const WsSessionHooks& hooks) {
    const std::int64_t now = now_();
    const std::int64_t silent_ms = (now - keepalive_.last_inbound_us()) / 1000;
    switch (keepalive_.tick(now)) {
        case WsKeepAlive::Action::none:
            return true;
        case WsKeepAlive::Action::send_ping: {
            const std::uint32_t id = keepalive_.ping_id();
            const char payload[4] = {static_cast<char>(id >> 24), static_cast<char>(id >> 16),
                                     static_cast<char>(id >> 8), static_cast<char>(id)};
            if (!queue_frame(WsOpcode::ping, std::string_view(payload, 4), true)) {
                spdlog::error(
                    "SaasConnector: the keepalive ping could not be queued (control "
                    "lane refused: {} dropped, closed={}) - closing the connection",
                    lanes_->control_dropped(), lanes_->is_closed());
                end_reason_ = "control lane refused the keepalive ping";
                agent_closed_ = true;
                shutdown_stream(stream);
                return false;
            }
            if (sent_ping_log_.due(now)) {
                spdlog::info(
                    "SaasConnector: WS ping sent (keepalive #{}, id={}) - "
                    "server->client direction is now non-idle and its pong is due "
                    "within {} ms",
                    keepalive_.pings_sent(), id, as_ms(keepalive_.settings().pong_deadline));
            }
            return true;
        }
        case WsKeepAlive::Action::pong_timeout: {
            const WsStats s = stats();
            spdlog::warn(
                "SaasConnector: no WS pong for {} ms after our keepalive ping #{} "
                "(pongs={}, inbound silent {} ms, ws_rx={}, ws_tx={}, ws_reads={}, "
                "ws_rd_to={}, data_pending={}, ctrl_pending={}) - the server->client "
                "direction is dead; closing to reconnect instead of waiting for the "
                "peer's reset",
                (now - keepalive_.ping_sent_us()) / 1000, keepalive_.pings_sent(),
                keepalive_.pongs_received(), silent_ms, rx_frames_, s.frames_written, s.reads,
                s.read_timeouts, s.data_pending, lanes_->control_pending());
            end_reason_ = "keepalive pong timeout";
            break;
        }
        case WsKeepAlive::Action::inbound_silent: {
            const WsStats s = stats();
            spdlog::warn(
                "SaasConnector: nothing received for {} ms although this connection "
                "had proven inbound traffic (app pings={}, keepalive pings={}, "
                "pongs={}; ws_rx={}, ws_tx={}, ws_reads={}, ws_rd_to={}) - closing to "
                "reconnect",
                silent_ms, hooks.app_pings(), keepalive_.pings_sent(), keepalive_.pongs_received(),
                rx_frames_, s.frames_written, s.reads, s.read_timeouts);
            end_reason_ = "inbound silent past the liveness limit";
            break;
        }
    }
    agent_closed_ = true;
    shutdown_stream(stream);
    return false;
}

void WebSocketSession::end_connection(WsSessionHooks& hooks,
                                      const std::shared_ptr<SaasStream>& stream, bool stopping) {
    const std::int64_t now = now_();
    const auto s = stats();
    spdlog::info(
        "SaasConnector: WS connection ended ({}): up={} ms, rx={} frame(s), tx={} "
        "frame(s), keepalive pings={}/pongs={}, last inbound {} ms ago, reads={} "
        "(timeouts={}), data_dropped={}, control_dropped={}, write_failures={}",
        end_reason_, (now - connected_since_us_.load()) / 1000, rx_frames_, s.frames_written,
        keepalive_.pings_sent(), keepalive_.pongs_received(),
        (now - keepalive_.last_inbound_us()) / 1000, s.reads, s.read_timeouts, s.data_dropped,
        s.control_dropped, s.write_failures);
    // Frames the lanes accepted get the join limit to be written. At a stop so does everything
    // still queued, since no reconnect follows to replay it: the lane takes it as the writer
    // makes room, and the socket closes only once the backend has acknowledged it all.
    const auto until = Clock::now() + writer_join_limit_;
    while (!move_outgoing(hooks) && stopping && stream->valid() && Clock::now() < until) {
        if (stream->tls())
            pump_writes(*stream);
        else
            lanes_->wait_drained(std::min(kBacklogRetry, util::time_left(until)));
    }
    if (stream->tls() && stream->valid())
        pump_writes(*stream);
    // Refuse new frames; the writer still writes what the lanes hold, within the limit.
    lanes_->close();
    join_writer(until);
    lanes_->discard();
    // Still published meanwhile: shutdown_current() cuts the wait short.
    if (stopping && stream->valid() && !stream->finish_sending(util::time_left(until))) {
        spdlog::warn(
            "SaasConnector: the backend had not acknowledged everything written when the "
            "connection closed at the stop");
    }
    publish(nullptr);
    // Only shut down: a detached writer may still hold the stream, and the descriptor closes
    // when the last holder lets go of it.
    stream->shutdown();
}

void WebSocketSession::join_writer(Clock::time_point until) {
    if (join_with_deadline(writer_, writer_done_, until) != JoinResult::timed_out)
        return;
    spdlog::error(
        "SaasConnector: WS writer did not exit within {} ms - detached (its socket is "
        "closed below, so it exits when the pending write returns)",
        writer_join_limit_.count());
    retire_writer();
}

void WebSocketSession::retire_writer() {
    // The lanes outlive the connection: a writer given up on must neither take the next
    // connection's frames nor close its lanes when its own pending write finally fails.
    if (writer_retired_)
        writer_retired_->store(true);
    lanes_->wake_all();
    if (writer_.joinable())
        writer_.detach();
}

}  // namespace vx::network
