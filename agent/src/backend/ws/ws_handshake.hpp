#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "backend/ws/ws_frame.hpp"

namespace vx::network {

// Largest upgrade response head the agent reads before giving up.
inline constexpr std::size_t kWsMaxResponseHead = 16 * 1024;

// 16 random bytes in standard base64 with padding (24 characters).
std::string make_ws_key(const RandomFn& random);

// The upgrade request, byte for byte; the host goes without its port.
std::string build_ws_upgrade_request(std::string_view host, std::string_view key,
                                     std::string_view agent_token);

struct WsUpgradeResponse {
    enum class State : unsigned char { incomplete, complete, too_large };
    State state = State::incomplete;
    int status = 0;                  // 0 when the status line is not HTTP
    bool upgrade_websocket = false;  // an Upgrade header naming websocket
    std::size_t content_length = 0;  // of a refusal's body, 0 when not given
    std::string head;                // through the blank line
    std::string rest;                // bytes after the head (frames, or a refusal's body)

    // The upgrade took place: status 101 and Upgrade: websocket. Sec-WebSocket-Accept is not
    // required, some proxies drop it.
    bool accepted() const { return state == State::complete && status == 101 && upgrade_websocket; }
    bool token_refused() const { return status == 401 || status == 403; }
};

// Judges the bytes read so far; call again with more bytes while it says incomplete.
WsUpgradeResponse parse_ws_upgrade_response(std::string_view bytes);

// The answer of a TLS port that was spoken to in plain HTTP (nginx puts the hint in the body).
bool looks_like_plain_http_to_tls(const WsUpgradeResponse& response);

}  // namespace vx::network
