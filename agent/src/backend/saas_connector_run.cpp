#include <spdlog/spdlog.h>

#include <chrono>
#include <thread>

#include "backend/saas_connector.hpp"

namespace vx::network {

// Placeholder connection loop: keeps the connection thread alive until stop(), without a
// transport. Replaced by the real loop (WebSocket and UDP control channel).
void SaasConnector::run() {
    while (running_.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    spdlog::info("SaasConnector: stopped");
}

}  // namespace vx::network
