#include "traversal/turn/turn_url.hpp"

#include "util/ascii.hpp"
#include "util/outside_text.hpp"

#include <algorithm>

namespace vx::network {

namespace {

bool is_trim_char(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// A decimal port from 1 to 65535 with nothing else around it.
bool parse_port(std::string_view text, std::uint16_t& port) {
    if (text.empty() || text.size() > 5) {
        return false;
    }
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value < 1 || value > 65535) {
        return false;
    }
    port = static_cast<std::uint16_t>(value);
    return true;
}

bool parse_turn_url(std::string_view trimmed, std::string_view original, std::uint16_t port,
                    TurnServerAddress& out, std::string& err) {
    const std::string transport = parse_transport_param(trimmed);
    if (!transport.empty() && transport != "udp") {
        err = "TURN: only UDP TURN transport is supported (got '" + transport + "')";
        return false;
    }
    std::string rest = trim_whitespace(trimmed.substr(5));
    rest = rest.substr(0, rest.find('?'));
    while (!rest.empty() && rest.back() == '/') {
        rest.pop_back();
    }
    if (std::count(rest.begin(), rest.end(), ':') == 1) {
        const auto colon = rest.find(':');
        if (!parse_port(std::string_view(rest).substr(colon + 1), port)) {
            err = "TURN: invalid port in server URL '" + server_text_for_messages(original) + "'";
            return false;
        }
        rest.resize(colon);
    }
    out.host = rest;
    out.port = port;
    return true;
}

}  // namespace

std::string trim_whitespace(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && is_trim_char(text[begin])) {
        ++begin;
    }
    while (end > begin && is_trim_char(text[end - 1])) {
        --end;
    }
    return std::string(text.substr(begin, end - begin));
}

std::string parse_transport_param(std::string_view url) {
    const auto question = url.find('?');
    if (question == std::string_view::npos) {
        return {};
    }
    const std::string query = util::ascii_lower(url.substr(question + 1));
    if (query.size() < 10) {
        return {};
    }
    const auto key = query.find("transport=");
    if (key == std::string::npos) {
        return {};
    }
    const auto start = key + 10;
    const auto amp = query.find('&', start);
    return query.substr(start, amp == std::string::npos ? std::string::npos : amp - start);
}

bool parse_turn_server(std::string_view server, std::uint16_t default_port, TurnServerAddress& out,
                       std::string& err) {
    const std::string trimmed = trim_whitespace(server);
    const std::uint16_t port = default_port == 0 ? kDefaultTurnPort : default_port;
    const std::string lower = util::ascii_lower(trimmed);
    if (lower.rfind("turns:", 0) == 0) {
        err = "TURN: turns: (TLS) is not supported; use turn:HOST:PORT?transport=udp";
        return false;
    }
    TurnServerAddress result;
    if (lower.rfind("turn:", 0) == 0) {
        if (!parse_turn_url(trimmed, server, port, result, err)) {
            return false;
        }
    } else {
        result.host = trimmed;
        result.port = port;
        if (std::count(trimmed.begin(), trimmed.end(), ':') == 1) {
            const auto colon = trimmed.find(':');
            std::uint16_t given = 0;
            if (parse_port(std::string_view(trimmed).substr(colon + 1), given)) {
                result.host = trimmed.substr(0, colon);
                result.port = given;
            }
        }
    }
    if (result.host.empty()) {
        err = "TURN: empty TURN server host";
        return false;
    }
    out = result;
    return true;
}

std::string server_text_for_messages(std::string_view server) {
    const std::string lower = util::ascii_lower(server.substr(0, 8));
    std::size_t begin = 0;
    for (const std::string_view scheme : {"turn:", "turns:"}) {
        if (lower.rfind(scheme, 0) == 0) {
            begin = scheme.size();
        }
    }
    if (server.substr(begin, 2) == "//") {
        begin += 2;
    }
    // A password may hold "/", "?", "#" or "@" (TURN REST passwords are base64): the user-info
    // runs to the last "@" of the text, at the cost of redacting an "@" in a query.
    const std::size_t at = server.rfind('@');
    if (at == std::string_view::npos || at < begin) {
        return util::quote_outside_text(server);
    }
    return util::quote_outside_text(std::string(server.substr(0, begin)) + "[REDACTED]" +
                                    std::string(server.substr(at)));
}

}  // namespace vx::network
