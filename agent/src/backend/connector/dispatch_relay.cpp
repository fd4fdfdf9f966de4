#include <spdlog/spdlog.h>

#include "backend/connector/dispatcher.hpp"
#include "backend/messages/messages.hpp"

namespace vx::network {

void Dispatcher::handle_relay_list(const nlohmann::json& message) {
    RelayListRead list = read_relay_list(message, clocks_.wall_ms() * 10'000);
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
    if (relays_.replace_control_relays(std::move(control))) {
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
    probe_.start(std::move(list.nodes));
}

}  // namespace vx::network
