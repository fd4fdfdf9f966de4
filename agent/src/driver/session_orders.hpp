#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "backend/messages/saas_connector_records.hpp"

namespace vx {

// The driver's session slots, guarded by its session mutex: the order the backend prepared and
// the session that runs. The backend's handlers fill them; the outer loop takes them.
struct SessionOrders {
    std::mutex mutex;
    std::condition_variable wake;  // the outer loop waits here

    bool prepared = false;
    network::PrepareSessionParams prepared_params;
    std::int64_t prepared_us = 0;  // steady time of the order
    // The newest order with a session id, whatever became of it (run, dropped, replaced).
    std::string last_order_id;

    bool session_running = false;
    std::string running_session_id;
    bool end_requested = false;
};

}  // namespace vx
