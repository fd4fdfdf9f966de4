#include <spdlog/spdlog.h>

#include "backend/connector/dispatch_address.hpp"
#include "backend/connector/dispatcher.hpp"
#include "backend/messages/messages.hpp"
#include "util/address.hpp"

namespace vx::network {

using nlohmann::json;

void Dispatcher::on_observed_ip(const json& message) {
    const std::string public_ip = read_string(message, "public_ip", "");
    if (public_ip.empty()) {
        spdlog::warn("SaasConnector: observed_ip without public_ip — ignored");
        return;
    }
    spdlog::info("SaasConnector: backend observed public IP {}", log_field(public_ip));
    if (on_observed_ip_) {
        on_observed_ip_(public_ip);
    }
}

void Dispatcher::on_client_candidate(const json& message) {
    const std::string session_id = read_string(message, "session_id", "");
    const std::string active = current_session_id();
    if (session_id.empty() || session_id != active) {
        spdlog::warn(
            "SaasConnector: client_candidate for foreign session '{}' (active '{}') — "
            "dropped",
            log_field_or_none(session_id), log_field_or_none(active));
        return;
    }
    const auto candidate = message.find("candidate");
    if (candidate == message.end() || !candidate->is_object()) {
        spdlog::warn("SaasConnector: client_candidate without a candidate object — dropped");
        return;
    }
    const std::string ip = read_string(*candidate, "ip", "");
    const std::optional<std::int64_t> port = read_port_number(*candidate, "port", 0);
    if (!is_public_address(ip)) {
        spdlog::warn("SaasConnector: client_candidate with non-public IP '{}' — dropped",
                     log_field(ip));
        return;
    }
    if (!port || *port < 1 || *port > 65535) {
        spdlog::warn("SaasConnector: client_candidate with invalid port {} — dropped",
                     port ? std::to_string(*port) : candidate->at("port").dump());
        return;
    }
    if (!util::parse_ipv4(ip)) {
        // The media senders are IPv4 only; an IPv6 destination cannot be used.
        spdlog::warn("SaasConnector: client_candidate with non-IPv4 address '{}' — dropped",
                     log_field(ip));
        return;
    }
    spdlog::info("client_candidate: relaying media to {}:{}", ip, *port);
    if (!on_client_candidate_) {
        spdlog::warn(
            "SaasConnector: no client_candidate callback installed — relay address "
            "ignored");
        return;
    }
    on_client_candidate_(ip, static_cast<std::uint16_t>(*port));
}

}  // namespace vx::network
