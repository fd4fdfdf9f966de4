#include "backend/ws/ws_message.hpp"

#include <spdlog/spdlog.h>

#include <algorithm>

#include "util/rate_limited_log.hpp"

namespace vx::network {

namespace {

constexpr std::size_t kMaxControlPayload = 125;  // RFC 6455 5.5

WsFrameOutcome outcome(WsFrameOutcome::Kind kind, std::string text = {}) {
    WsFrameOutcome o;
    o.kind = kind;
    o.text = std::move(text);
    return o;
}

WsFrameOutcome message_or_none(std::string text) {
    // An empty message carries nothing the dispatcher could use.
    if (text.empty())
        return outcome(WsFrameOutcome::Kind::none);
    return outcome(WsFrameOutcome::Kind::message, std::move(text));
}

std::string stray_count_note(std::uint64_t count) {
    return count == 1 ? std::string() : " (" + std::to_string(count) + " on this connection)";
}

}  // namespace

void WsMessageAssembler::reset() {
    drop_fragment();
    stray_continuations_ = 0;
    stale_fragments_ = 0;
}

void WsMessageAssembler::drop_fragment() {
    fragment_.clear();
    active_ = false;
}

WsFrameOutcome WsMessageAssembler::on_frame(WsFrame frame) {
    switch (static_cast<WsOpcode>(frame.opcode)) {
        case WsOpcode::close: {
            // The reason is logged and kept for the reconnect's log line: an oversized one is cut
            // to what a control frame may carry, as a ping's payload is.
            frame.payload.resize(std::min(frame.payload.size(), kMaxControlPayload));
            WsFrameOutcome o = outcome(WsFrameOutcome::Kind::close);
            if (frame.payload.size() >= 2) {
                o.close_code =
                    static_cast<std::uint16_t>((static_cast<std::uint8_t>(frame.payload[0]) << 8) |
                                               static_cast<std::uint8_t>(frame.payload[1]));
                o.text = frame.payload.substr(2);
            }
            drop_fragment();
            return o;
        }
        case WsOpcode::ping:
            frame.payload.resize(std::min(frame.payload.size(), kMaxControlPayload));
            return outcome(WsFrameOutcome::Kind::ping, std::move(frame.payload));
        case WsOpcode::pong: {
            WsFrameOutcome o = outcome(WsFrameOutcome::Kind::pong);
            if (frame.payload.size() >= 4) {
                for (int i = 0; i < 4; ++i) {
                    o.pong_id = (o.pong_id << 8) | static_cast<std::uint8_t>(frame.payload[i]);
                }
            }
            return o;
        }
        case WsOpcode::text:
        case WsOpcode::binary:
            return on_data(frame);
        case WsOpcode::continuation:
            return on_continuation(frame);
    }
    spdlog::debug("SaasConnector: ignoring WS frame with opcode 0x{:x}", frame.opcode);
    return outcome(WsFrameOutcome::Kind::none);
}

WsFrameOutcome WsMessageAssembler::on_data(WsFrame& frame) {
    if (active_) {
        // Two bytes make a stray frame: a broken peer's stream of them must not become a
        // warning each.
        if (util::nth_log_due(++stale_fragments_)) {
            spdlog::warn(
                "SaasConnector: WS data frame during active fragment - dropping stale fragment{}",
                stray_count_note(stale_fragments_));
        }
        drop_fragment();
    }
    if (frame.fin)
        return message_or_none(std::move(frame.payload));
    if (frame.payload.size() > kWsMaxPayload) {
        spdlog::error("SaasConnector: WS message exceeds {} bytes - closing", kWsMaxPayload);
        return outcome(WsFrameOutcome::Kind::too_large);
    }
    fragment_ = std::move(frame.payload);
    active_ = true;
    return outcome(WsFrameOutcome::Kind::none);
}

WsFrameOutcome WsMessageAssembler::on_continuation(WsFrame& frame) {
    if (!active_) {
        if (util::nth_log_due(++stray_continuations_)) {
            spdlog::warn(
                "SaasConnector: WS continuation frame with no active fragment - dropping{}",
                stray_count_note(stray_continuations_));
        }
        return outcome(WsFrameOutcome::Kind::none);
    }
    if (fragment_.size() + frame.payload.size() > kWsMaxPayload) {
        spdlog::error("SaasConnector: WS fragmented message exceeds {} bytes - closing",
                      kWsMaxPayload);
        drop_fragment();
        return outcome(WsFrameOutcome::Kind::too_large);
    }
    fragment_ += frame.payload;
    if (!frame.fin)
        return outcome(WsFrameOutcome::Kind::none);
    std::string text = std::move(fragment_);
    drop_fragment();
    return message_or_none(std::move(text));
}

}  // namespace vx::network
