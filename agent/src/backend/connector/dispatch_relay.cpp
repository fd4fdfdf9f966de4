#include <spdlog/spdlog.h>

#include "backend/connector/saas_connector.hpp"
#include "backend/messages/messages.hpp"

namespace vx::network {

void SaasConnector::handle_relay_list(const nlohmann::json& message) {
    RelayListRead list = read_relay_list(message, wall_now_ms_() * 10'000);
    if (!list.has_array) {
        spdlog::warn("SaasConnector: relay_list without a relays array — ignored");
        return;
    }
    for (const std::string& note : list.notes) {
        spdlog::warn("{}", note);
    }
    std::vector<RelayNode> control;
    for (const RelayNode& node : list.nodes) {
        if (node.carries_control()) {
            control.push_back(node);
        }
    }
    const std::size_t control_count = control.size();
    if (relay_book_->replace_control_relays(std::move(control))) {
        spdlog::info(
            "SaasConnector: {} relay node(s) can carry the control channel if the direct path "
            "fails",
            control_count);
    }
    if (list.nodes.empty()) {
        spdlog::warn("SaasConnector: relay_list contained no usable node — nothing to probe");
        return;
    }
    spdlog::info("SaasConnector: relay_list with {} node(s) — measuring RTTs in the background",
                 list.nodes.size());
    start_relay_probe(std::move(list.nodes));
}

void SaasConnector::start_relay_probe(std::vector<RelayNode> nodes) {
    relay_probe_->start(std::move(nodes));
}

void SaasConnector::join_relay_probe() {
    relay_probe_->stop();
}

}  // namespace vx::network
