#pragma once

// TURN relay credentials: the session's "turn" document (a WebRTC-style ICE server list or a
// flat relay record) and the same document built from the --turn-* command-line options.

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "traversal/turn/turn_client.hpp"

namespace vx::network {

// Fills server, port (3478 when it was 0), username, password and realm of `out` from the first
// usable "turn:" URL over UDP. On false `out` is unchanged and `err` says why.
bool parse_turn_credentials(const std::string& json_text, TurnConfig& out, std::string& err);

// Appends every server entry (an object with "urls", "url" or "uri") found within four levels.
void find_ice_servers(const nlohmann::json& value, std::vector<const nlohmann::json*>& list,
                      int depth);

// The first of the keys whose value is a string; empty when none is.
std::string json_first_string(const nlohmann::json& object,
                              std::initializer_list<std::string_view> keys);

// {"iceServers":[{"password":..,"urls":..,"username":..}]} compactly, or "" when any value is
// empty. A value that is not valid UTF-8 cannot be written as JSON: that is logged as an error
// and "" returned, so the session runs without relay credentials from the options.
std::string build_ice_servers_json(const std::string& turn_url, const std::string& turn_user,
                                   const std::string& turn_pass);

// The same from the agent's configuration (anything with turn_url, turn_user and turn_pass).
template <class Config>
requires requires(const Config& c) {
    c.turn_url;
    c.turn_user;
    c.turn_pass;
}
std::string build_ice_servers_json(const Config& config) {
    return build_ice_servers_json(config.turn_url, config.turn_user, config.turn_pass);
}

}  // namespace vx::network
