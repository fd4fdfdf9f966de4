// Frame reading, frame handling and writing of a WebSocket connection.
#include <spdlog/spdlog.h>

#include "backend/ws/websocket_session.hpp"
#include "platform/thread_name.hpp"
#include "util/outside_text.hpp"

namespace vx::network {

namespace {

constexpr std::size_t kReadBuffer = 4096;
constexpr int kWriterAttempts = 20;
constexpr std::chrono::milliseconds kWriterAttemptPause{5};

const char* opcode_name(std::uint8_t opcode) {
    switch (static_cast<WsOpcode>(opcode)) {
        case WsOpcode::text:
            return "text";
        case WsOpcode::close:
            return "close";
        case WsOpcode::ping:
            return "ping";
        case WsOpcode::pong:
            return "pong";
        default:
            return "other";
    }
}

}  // namespace

WebSocketSession::ReadResult WebSocketSession::read_frames(SaasStream& stream,
                                                           const SaasStream::ReadWait& wait) {
    SocketOwner::Guard guard = owner_.acquire_for_read();
    if (!guard.owns())
        return ReadResult::nothing;
    ++reads_;
    std::uint8_t buf[kReadBuffer];
    std::error_code ec;
    const std::size_t n = stream.read(buf, sizeof buf, ec, wait);
    if (ec) {
        if (ws_read_nothing_yet(ec)) {
            ++read_timeouts_;
            return ReadResult::nothing;
        }
        if (ws_read_side_closed(ec)) {
            spdlog::info("SaasConnector: WS read side closed ({})", ec.message());
            return ReadResult::closed;
        }
        spdlog::warn("SaasConnector: WS read failed ({}), closing", ec.message());
        return ReadResult::failed;
    }
    if (n == 0)
        return ReadResult::nothing;
    if (!parser_.feed(buf, n)) {
        spdlog::error("SaasConnector: WS framing error: {}", parser_.error());
        return ReadResult::failed;
    }
    return ReadResult::fed;
}

std::optional<std::string> WebSocketSession::next_message(SaasStream& stream,
                                                          const SaasStream::ReadWait& wait) {
    for (;;) {
        if (!parser_.has_frame()) {
            const ReadResult r = read_frames(stream, wait);
            if (r == ReadResult::fed)
                continue;
            if (r == ReadResult::nothing)
                return std::nullopt;
            shutdown_stream(stream);
            parser_.reset();
            assembler_.reset();
            return std::nullopt;
        }
        WsFrame frame = parser_.pop();
        ++rx_frames_;
        keepalive_.on_inbound(now_());
        WsFrameOutcome o = assembler_.on_frame(std::move(frame));
        switch (o.kind) {
            case WsFrameOutcome::Kind::message:
                return std::move(o.text);
            case WsFrameOutcome::Kind::none:
                continue;
            case WsFrameOutcome::Kind::close:
                note_close(stream, o.close_code, o.text);
                return std::nullopt;
            case WsFrameOutcome::Kind::too_large:
                shutdown_stream(stream);
                parser_.reset();
                assembler_.reset();
                return std::nullopt;
            case WsFrameOutcome::Kind::ping:
                if (!answer_ping(stream, std::move(o.text)))
                    return std::nullopt;
                break;
            case WsFrameOutcome::Kind::pong:
                note_pong(o.pong_id);
                break;
        }
        if (parser_.empty())
            return std::nullopt;
    }
}

bool WebSocketSession::answer_ping(SaasStream& stream, std::string payload) {
    const std::size_t size = payload.size();
    auto frame = encode_ws_frame(static_cast<std::uint8_t>(WsOpcode::pong), payload, random_);
    const bool ok = push_control(std::move(frame), WsOpcode::pong) == WsPushResult::accepted;
    ++pings_seen_;
    if (ping_log_.due(now_())) {
        spdlog::info(
            "SaasConnector: WS ping received from the backend ({}B payload) - pong {} "
            "the control lane ({} seen, {} suppressed in the last window)",
            size, ok ? "queued on" : "REFUSED by", pings_seen_, ping_log_.take_suppressed());
    }
    if (ok)
        return true;
    spdlog::error(
        "SaasConnector: the pong for a backend WS ping could not be queued (control "
        "lane refused: {} dropped, closed={}) - closing the connection so the "
        "reconnect loop starts clean",
        lanes_->control_dropped(), lanes_->is_closed());
    shutdown_stream(stream);
    return false;
}

void WebSocketSession::note_pong(std::uint32_t id) {
    const std::int64_t now = now_();
    std::int64_t rtt_us = 0;
    const bool matched = keepalive_.on_pong(id, now, rtt_us);
    if (!pong_log_.due(now))
        return;
    spdlog::info(
        "SaasConnector: WS pong received ({} ms rtt, id={}{}) - inbound verified: {}/{} "
        "keepalive ping(s) answered ({} suppressed in the last window)",
        rtt_us / 1000, id, matched ? "" : ", unmatched", keepalive_.pongs_received(),
        keepalive_.pings_sent(), pong_log_.take_suppressed());
}

void WebSocketSession::note_close(SaasStream& stream, std::uint16_t code,
                                  const std::string& reason) {
    if (code == 0) {
        spdlog::warn("SaasConnector: received WS close frame (no code)");
    } else {
        {
            std::lock_guard lock(close_mutex_);
            close_code_ = code;
            close_reason_ = reason;
        }
        if (code == 4009) {
            spdlog::error(
                "SaasConnector: the backend replaced this connection with a newer one "
                "for the same server token (code={} reason='{}')",
                code, util::quote_outside_text(reason));
        } else {
            spdlog::warn("SaasConnector: received WS close frame code={} reason='{}'", code,
                         util::quote_outside_text(reason));
        }
    }
    shutdown_stream(stream);
    parser_.reset();
    assembler_.reset();
}

void WebSocketSession::pump_writes(SaasStream& stream) {
    WsLaneFrame frame;
    while (lanes_->pop(frame)) {
        if (!stream.valid()) {
            lanes_->close();
            return;
        }
        try {
            stream.write(frame.bytes.data(), frame.bytes.size());
            ++frames_written_;
        } catch (const std::exception& e) {
            // A stream shut down meanwhile (a stop that waited long enough) is the end of the
            // connection, not a failed write.
            if (!stream.valid()) {
                lanes_->close();
                return;
            }
            ++write_failures_;
            spdlog::warn("SaasConnector: WS write failed ({}), closing", e.what());
            lanes_->close();
            shutdown_stream(stream);
            return;
        }
    }
}

void WebSocketSession::writer_loop(std::shared_ptr<SaasStream> stream, DoneFlagPtr done,
                                   std::shared_ptr<std::atomic<bool>> retired) {
    platform::name_this_thread("vx-ws-writer");
    // The connection is going anyway: its lanes were closed, or this writer was given up on.
    const auto ending = [&] { return lanes_->is_closed() || retired->load(); };
    std::uint64_t written = 0;
    WsLaneFrame frame;
    while (lanes_->wait_pop(frame, retired.get())) {
        SocketOwner::Guard guard;
        const auto got = owner_.try_for_writer(guard, ending, kWriterAttempts, kWriterAttemptPause);
        if (got == SocketOwner::WriterTry::ending)
            break;
        if (got == SocketOwner::WriterTry::stuck) {
            ++write_failures_;
            spdlog::error(
                "SaasConnector: WS writer could not acquire the socket for {} ms "
                "(reader holding it?); closing the connection so the reconnect loop "
                "can start clean",
                kWriterAttempts * (SocketOwner::kWait + kWriterAttemptPause).count());
            shutdown_stream(*stream);
            lanes_->close_unless(*retired);
            break;
        }
        if (owner_.take_writer_waited_long()) {
            spdlog::warn(
                "SaasConnector: WS writer waited {} ms for the socket (> {} ms) - the "
                "reader is holding it longer than one bounded read",
                owner_.max_writer_wait_us / 1000, SocketOwner::kLongWaitUs / 1000);
        }
        try {
            stream->write(frame.bytes.data(), frame.bytes.size());
        } catch (const std::exception& e) {
            // A stream the connection thread has already shut down is the end of the
            // connection, not a failed write.
            if (!stream->valid() || retired->load())
                break;
            ++write_failures_;
            spdlog::warn("SaasConnector: WS write failed ({}), writer stopping", e.what());
            shutdown_stream(*stream);
            lanes_->close_unless(*retired);
            break;
        }
        ++written;
        ++frames_written_;
        if (frame.control) {
            const std::uint64_t count = ++control_written_;
            // The process clock, not the connector's: a writer detached at the end of the last
            // connection may outlive the connector, so it touches nothing of it.
            if (control_log_.due(util::steady_now_us())) {
                spdlog::info(
                    "SaasConnector: WS control frame written (opcode={} {}, {}B) - "
                    "control lane now {}, data lane {}; {} control frame(s) written "
                    "this connection",
                    frame.opcode, opcode_name(frame.opcode), frame.bytes.size(),
                    lanes_->control_pending(), lanes_->data_pending(), count);
            }
        }
    }
    spdlog::info("SaasConnector: WS writer finished ({} frame(s) written this connection)",
                 written);
    done->store(true);
}

}  // namespace vx::network
