#pragma once

#include <cstdint>

namespace vx::network {

// How long and how often the mapper's protocols may try. The session driver and the
// --check-direct report pass the same values: 1800, 1500, 350 ms, 3 attempts, 300000 ms.
struct DirectPortMapperOptions {
    std::int64_t ssdp_wait_ms = 1800;        // SSDP answers collected (floor 200)
    std::int64_t request_timeout_ms = 1500;  // one HTTP request to the router
    std::int64_t gateway_timeout_ms = 350;   // one NAT-PMP or PCP attempt (floor 50)
    std::int32_t attempts = 3;               // NAT-PMP and PCP sends per exchange (1..5)
    std::int64_t failure_cache_ms = 300000;  // a failed discovery is reused this long (floor 1000)
    bool enable_upnp = true;
    bool enable_natpmp = true;
    bool enable_pcp = true;
};

}  // namespace vx::network
