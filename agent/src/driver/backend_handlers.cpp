#include "driver/backend_handlers.hpp"

#include <sodium.h>
#include <spdlog/spdlog.h>

#include "backend/messages/messages.hpp"
#include "status/status_board.hpp"

namespace vx {
namespace {

// A pending order's master key is wiped before the order is replaced or dropped: a new order's
// copy may reuse the buffer or leave it, and a dropped one frees it as it stands.
void wipe_prepared_key(SessionOrders& orders) {
    std::vector<std::uint8_t>& key = orders.prepared_params.encryption_key;
    if (!key.empty()) {
        sodium_memzero(key.data(), key.size());
    }
}

}  // namespace

BackendHandlers::BackendHandlers(SessionOrders& orders, std::atomic<bool>& running,
                                 DirectCandidateState& direct, AnnouncedAddress& announced,
                                 util::NowFn now)
    : orders_(orders),
      running_(running),
      direct_(direct),
      announced_(announced),
      now_(std::move(now)) {}

void BackendHandlers::on_prepare_session(const network::PrepareSessionParams& params) {
    {
        std::lock_guard lock(orders_.mutex);
        if (!params.session_id.empty()) {
            orders_.last_order_id = params.session_id;
        }
        wipe_prepared_key(orders_);
        orders_.prepared_params = params;
        orders_.prepared = true;
        orders_.prepared_us = now_();
    }
    orders_.wake.notify_all();
}

void BackendHandlers::on_session_terminated(const std::string& session_id,
                                            const std::string& reason) {
    // The backend's texts, cut as the connector cuts them in its own lines.
    const std::string id = network::log_field(session_id);
    const std::string why = network::log_field(reason);
    {
        std::lock_guard lock(orders_.mutex);
        if (orders_.session_running &&
            (session_id.empty() || session_id == orders_.running_session_id)) {
            spdlog::info("SaaS terminated session {} ({}) - ending it", id, why);
            orders_.end_requested = true;
            running_.store(false);
        } else if (orders_.prepared && !session_id.empty() &&
                   session_id == orders_.prepared_params.session_id) {
            spdlog::info("SaaS terminated session {} ({}) before it started - not starting it", id,
                         why);
            orders_.prepared = false;
            wipe_prepared_key(orders_);
            orders_.prepared_params = network::PrepareSessionParams{};
        } else {
            spdlog::info(
                "SaaS terminated session {} ({}) - not running on this PC (serving: {}); "
                "the agent keeps waiting for the next session",
                id, why,
                orders_.session_running ? network::log_field(orders_.running_session_id) : "none");
        }
    }
    // A dropped order ends no session: the waiting loop, woken here, tells the log upload.
    orders_.wake.notify_all();
}

bool BackendHandlers::on_observed_ip(std::string address) {
    if (!direct_.offer_observed(address))
        return false;
    if (!announced_.given_by_hand())
        status_board().set_public_address(address);
    return announced_.check_router_wan();
}

}  // namespace vx
