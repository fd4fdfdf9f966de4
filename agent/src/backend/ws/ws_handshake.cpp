#include "backend/ws/ws_handshake.hpp"

#include "util/ascii.hpp"
#include "util/base64.hpp"

#include <algorithm>
#include <charconv>

namespace vx::network {

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

// "HTTP/1.1 101 Switching Protocols" -> 101; anything else -> 0.
int parse_status_line(std::string_view line) {
    if (line.substr(0, 5) != "HTTP/")
        return 0;
    const auto sp = line.find(' ');
    if (sp == std::string_view::npos || line.size() < sp + 4)
        return 0;
    const std::string_view code = line.substr(sp + 1, 3);
    if (line.size() > sp + 4 && line[sp + 4] != ' ')
        return 0;
    int status = 0;
    const auto [ptr, ec] = std::from_chars(code.data(), code.data() + code.size(), status);
    if (ec != std::errc{} || ptr != code.data() + code.size())
        return 0;
    return status;
}

void parse_header_line(std::string_view line, WsUpgradeResponse& r) {
    const auto colon = line.find(':');
    if (colon == std::string_view::npos)
        return;
    const std::string name = util::ascii_lower(trim(line.substr(0, colon)));
    const std::string_view value = trim(line.substr(colon + 1));
    if (name == "upgrade") {
        if (util::ascii_lower(value).find("websocket") != std::string::npos)
            r.upgrade_websocket = true;
    } else if (name == "content-length") {
        std::size_t n = 0;
        const auto [ptr, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
        if (ec == std::errc{} && ptr == value.data() + value.size())
            r.content_length = n;
    }
}

}  // namespace

std::string make_ws_key(const RandomFn& random) {
    std::uint8_t raw[16];
    random(raw, sizeof raw);
    return util::base64_encode(raw);
}

std::string build_ws_upgrade_request(std::string_view host, std::string_view key,
                                     std::string_view agent_token) {
    std::string r;
    r.reserve(200 + host.size() + agent_token.size());
    r += "GET /agent/connect HTTP/1.1\r\n";
    r += "Host: ";
    r += host;
    r += "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: ";
    r += key;
    r += "\r\nSec-WebSocket-Version: 13\r\nagent-token: ";
    r += agent_token;
    r += "\r\n\r\n";
    return r;
}

WsUpgradeResponse parse_ws_upgrade_response(std::string_view bytes) {
    WsUpgradeResponse r;
    const auto end = bytes.find("\r\n\r\n");
    if (end == std::string_view::npos || end + 4 > kWsMaxResponseHead) {
        const bool over = bytes.size() >= kWsMaxResponseHead;
        r.state = over ? WsUpgradeResponse::State::too_large : WsUpgradeResponse::State::incomplete;
        return r;
    }
    r.state = WsUpgradeResponse::State::complete;
    r.head.assign(bytes.substr(0, end + 4));
    r.rest.assign(bytes.substr(end + 4));
    std::string_view head = bytes.substr(0, end + 2);
    bool first = true;
    while (!head.empty()) {
        const auto eol = head.find("\r\n");
        const std::string_view line = head.substr(0, eol);
        if (first) {
            r.status = parse_status_line(line);
            first = false;
        } else {
            parse_header_line(line, r);
        }
        head.remove_prefix(eol == std::string_view::npos ? head.size() : eol + 2);
    }
    return r;
}

bool looks_like_plain_http_to_tls(const WsUpgradeResponse& response) {
    if (response.status != 400)
        return false;
    for (const std::string* part : {&response.head, &response.rest}) {
        if (part->find("HTTPS port") != std::string::npos ||
            part->find("plain HTTP") != std::string::npos) {
            return true;
        }
    }
    return false;
}

}  // namespace vx::network
