#pragma once

// The session's TURN step: the relay that carries media when no direct path exists. It comes
// after the keys are handed over and is released after input stops, before the I/O pool stops.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <asio/ip/udp.hpp>

#include "driver/session_config.hpp"

namespace vx {

namespace network {
class SaasConnector;
class SessionRelay;
}  // namespace network

// The order's "turn" text, or, when the order carried none, the document built from
// --turn-url/--turn-user/--turn-pass. Empty: this session has no relay credentials.
std::string session_turn_credentials(const SessionConfig& s);

// The launcher's IPv4 address for the relay permission: the control connection's peer
// ("address:port"), unless it is a loopback address (the backend's control tunnel connects from
// 127.0.0.1, so the launcher's own address is not known from it); else the media destination the
// backend relayed; empty when neither is known.
std::string launcher_relay_peer(const std::string& control_peer,
                                const std::optional<asio::ip::udp::endpoint>& media_destination);

// How the relay's socket is marked: audio/video, or not at all when VX_QOS switched it off.
std::uint8_t relay_qos_traffic_type(const SessionConfig& s);

// Allocates the relay, permits the launcher's address when known, announces the relay candidate
// to the backend (with a connector and a session id) and starts the relay poller. Null when the
// session has no credentials or any step failed: the session goes on direct-only, and a "TURN: "
// line says why.
std::unique_ptr<network::SessionRelay> start_session_relay(const SessionConfig& s,
                                                           const std::string& launcher_address,
                                                           network::SaasConnector* connector);

// Joins the relay poller and releases the allocation; nothing happens without a relay.
void stop_session_relay(std::unique_ptr<network::SessionRelay>& relay);

}  // namespace vx
