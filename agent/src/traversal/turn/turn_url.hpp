#pragma once

// The TURN server text rules shared by the credentials parser and the TURN client.

#include <cstdint>
#include <string>
#include <string_view>

namespace vx::network {

inline constexpr std::uint16_t kDefaultTurnPort = 3478;

// Spaces, tabs, CR and LF removed at both ends.
std::string trim_whitespace(std::string_view text);

// The lower-cased value of "transport=" in the query after the first "?", up to the next "&";
// empty without a query, without the parameter, or for a query shorter than 10 characters.
std::string parse_transport_param(std::string_view url);

// Host and port of a TURN server text: a "turn:" URL (optional ":port", optional query with
// "transport=udp", trailing "/" allowed) or a bare host with an optional ":port". "turns:" and
// transports other than UDP are refused. No name resolution happens here.
struct TurnServerAddress {
    std::string host;
    std::uint16_t port = 0;
};
bool parse_turn_server(std::string_view server, std::uint16_t default_port, TurnServerAddress& out,
                       std::string& err);

// The server text as error and log texts quote it: whatever precedes its last "@" after the
// "turn:" or "turns:" scheme and any "//" is user-info, a user name and password written into
// the URL, and reads "[REDACTED]"; the rest is quoted as outside text (util/outside_text.hpp).
std::string server_text_for_messages(std::string_view server);

}  // namespace vx::network
