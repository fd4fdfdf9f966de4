#include "driver/session_relay_step.hpp"

#include <spdlog/spdlog.h>

#include "backend/connector/saas_connector.hpp"
#include "link/qos_flow_worker.hpp"
#include "traversal/turn/session_relay.hpp"
#include "traversal/turn/turn_credentials.hpp"
#include "util/address.hpp"

namespace vx {

std::string session_turn_credentials(const SessionConfig& s) {
    if (!s.turn.empty()) {
        return s.turn;
    }
    return network::build_ice_servers_json(s.agent);
}

std::string launcher_relay_peer(const std::string& control_peer,
                                const std::optional<asio::ip::udp::endpoint>& media_destination) {
    const auto colon = control_peer.rfind(':');
    const std::string address =
        colon == std::string::npos ? control_peer : control_peer.substr(0, colon);
    const util::AddressClass kind = util::classify_ipv4(address);
    if (kind != util::AddressClass::invalid && kind != util::AddressClass::loopback) {
        return address;
    }
    if (media_destination && media_destination->address().is_v4()) {
        return media_destination->address().to_string();
    }
    return {};
}

std::uint8_t relay_qos_traffic_type(const SessionConfig& s) {
    return static_cast<std::uint8_t>(s.agent.qos ? QosTrafficType::audio_video
                                                 : QosTrafficType::none);
}

std::unique_ptr<network::SessionRelay> start_session_relay(const SessionConfig& s,
                                                           const std::string& launcher_address,
                                                           network::SaasConnector* connector) {
    network::SessionRelayOptions options;
    options.credentials_json = session_turn_credentials(s);
    if (options.credentials_json.empty()) {
        spdlog::info(
            "TURN: session {} has no relay credentials (no \"turn\" block, no --turn-url, "
            "--turn-user and --turn-pass) - direct path only",
            session_log_name(s));
        return nullptr;
    }
    options.launcher_address = launcher_address;
    options.qos_traffic_type = relay_qos_traffic_type(s);
    auto relay = std::make_unique<network::SessionRelay>();
    std::string err;
    if (!relay->start(options, err)) {
        spdlog::warn("{} - session {} goes on without a relay (direct path only)", err,
                     session_log_name(s));
        return nullptr;
    }
    const std::string address = relay->relayed_address();
    const std::uint16_t port = relay->relayed_port();
    spdlog::info("TURN: session {} relay candidate {}:{} (permission for {})", session_log_name(s),
                 address, port, launcher_address.empty() ? "nobody yet" : launcher_address);
    if (connector != nullptr && !s.session_id.empty()) {
        connector->send_ice_candidate(s.session_id, address, "relay", port, std::nullopt);
    }
    return relay;
}

void stop_session_relay(std::unique_ptr<network::SessionRelay>& relay) {
    if (!relay) {
        return;
    }
    relay->stop();
    relay.reset();
    spdlog::info("TURN: relay released");
}

}  // namespace vx
