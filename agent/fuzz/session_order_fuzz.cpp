// A "prepare_session" order taken the way the driver takes it: the backend's JSON read into the
// order, the session's configuration built from it over the agent's own, the Steam id turned
// into the launch URL, and the "turn" block (or, without one, the command line's relay options)
// read into the TURN client's configuration and server address. The input is the order's text.
// Whatever the order holds, the session runs with a picture size, frame rate and bit rate in
// their ranges and a session key of 32 bytes or none.
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>

#include <nlohmann/json.hpp>

#include "backend/messages/messages.hpp"
#include "desktop/steam_launch.hpp"
#include "driver/session_config.hpp"
#include "driver/session_relay_step.hpp"
#include "fuzz_input.hpp"
#include "traversal/turn/turn_credentials.hpp"
#include "traversal/turn/turn_url.hpp"

namespace {

vx::AgentConfig agent_config() {
    vx::AgentConfig agent;
    agent.turn_url = "turn:relay.example:3478?transport=udp";
    agent.turn_user = "user";
    agent.turn_pass = "pass";
    return agent;
}

bool session_in_range(const vx::SessionConfig& s, const vx::AgentConfig& agent) {
    const auto& a = s.agent;
    const bool picture = a.width >= 1 && a.width <= 16384 && a.height >= 1 && a.height <= 16384;
    const bool fps = a.fps >= 1 && a.fps <= 240;
    const bool bitrate =
        a.bitrate == agent.bitrate || (a.bitrate >= 500'000 && a.bitrate <= 200'000'000);
    const bool key = s.encryption_key.empty() || s.encryption_key.size() == 32;
    return picture && fps && bitrate && key;
}

void read_relay(const vx::SessionConfig& s) {
    vx::network::TurnConfig turn;
    std::string err;
    if (!vx::network::parse_turn_credentials(vx::session_turn_credentials(s), turn, err)) {
        return;
    }
    vx::network::TurnServerAddress server;
    if (vx::network::parse_turn_server(turn.server, turn.port, server, err) && server.port == 0) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const vx::AgentConfig agent = agent_config();
    const nlohmann::json message =
        nlohmann::json::parse(vx::fuzz::as_text(data, size), nullptr, false);
    if (!message.is_object()) {
        return 0;
    }
    vx::network::PrepareSessionRead order;
    try {
        order = vx::network::read_prepare_session(message);
    } catch (const vx::network::MessageFormatError&) {
        return 0;  // the dispatcher logs and drops such an order
    }
    const vx::SessionConfig session = vx::session_config_from_order(agent, order.params);
    if (!session_in_range(session, agent)) {
        std::abort();
    }
    vx::codec_display_name(session.agent.codec);
    vx::desktop::steam_url(session.agent.steam_app_id);
    read_relay(session);
    return 0;
}
