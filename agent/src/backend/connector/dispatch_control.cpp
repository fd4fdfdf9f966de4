#include <spdlog/spdlog.h>

#include "backend/connector/dispatcher.hpp"
#include "backend/messages/messages.hpp"
#include "util/base64.hpp"
#include "util/session_ports.hpp"

namespace vx::network {

void Dispatcher::open_bridge() {
    const std::shared_ptr<BridgeControl> bridge = seams_.bridge.get();
    if (!bridge) {
        return;
    }
    const std::optional<std::uint16_t> port = control_port();
    if (!port) {
        // The control port would wrap into an unrelated low port.
        spdlog::warn(
            "ControlBridge: port_base {} leaves no room for the control port — not "
            "relaying",
            config_.register_payload.port_base);
        return;
    }
    bridge->open(*port);
}

void Dispatcher::count_bridge_drop(const std::string& reason) {
    if (auto bridge = seams_.bridge.get()) {
        bridge->count_drop(reason);
    }
}

void Dispatcher::on_control_open() {
    open_bridge();
}

void Dispatcher::on_control_close() {
    if (auto bridge = seams_.bridge.get()) {
        bridge->stop();
    }
}

void Dispatcher::on_control_data(const nlohmann::json& message) {
    control_data_received_.fetch_add(1);
    const std::shared_ptr<BridgeControl> bridge = seams_.bridge.get();
    if (bridge && !bridge->is_socket_open()) {
        open_bridge();
    }
    const std::string data = read_string(message, "data", "");
    std::optional<std::vector<std::uint8_t>> bytes = util::base64_decode(data);
    if (!bytes || bytes->empty()) {
        spdlog::warn(
            "ControlBridge: control_data with an empty/undecodable payload dropped ({} encoded "
            "bytes)",
            data.size());
        return;
    }
    last_control_data_us_.store(now_us());
    if (bridge && (!bridge->is_socket_open() || bridge_queue_->closed())) {
        open_bridge();
    }
    switch (bridge_queue_->push(std::move(*bytes))) {
        case BridgeWriteQueue::push_ok:
            break;
        case BridgeWriteQueue::push_full:
            count_bridge_drop("write queue full");
            break;
        case BridgeWriteQueue::push_closed:
            count_bridge_drop(
                "local control port " +
                std::to_string(util::session_ports(config_.register_payload.port_base).control) +
                " not reachable");
            break;
    }
}

}  // namespace vx::network
