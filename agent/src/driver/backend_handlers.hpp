#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "backend/messages/saas_connector_records.hpp"
#include "driver/announced_address.hpp"
#include "driver/direct_candidate_state.hpp"
#include "driver/session_orders.hpp"
#include "util/clock.hpp"

namespace vx {

// Three of the driver's four callbacks on the backend connector (installed by BackendWiring; the
// client candidate goes to the session runner). Each takes its locks, does its small part and
// returns at once; they run on the connector's thread.
class BackendHandlers {
  public:
    BackendHandlers(SessionOrders& orders, std::atomic<bool>& running, DirectCandidateState& direct,
                    AnnouncedAddress& announced, util::NowFn now = util::steady_now_us);

    void on_prepare_session(const network::PrepareSessionParams& params);
    void on_session_terminated(const std::string& session_id, const std::string& reason);
    // True when the address changed what the sessions announce.
    bool on_observed_ip(std::string address);

  private:
    SessionOrders& orders_;
    std::atomic<bool>& running_;
    DirectCandidateState& direct_;
    AnnouncedAddress& announced_;
    util::NowFn now_;
};

}  // namespace vx
