#pragma once

// A session's direct path from the driver's side: made once the video socket is bound, called
// after the launcher's handshake and again after the keys are handed over, and destroyed at the
// session's teardown, which stops the lease renewal and releases the router mappings.

#include <memory>
#include <string>

#include "traversal/direct/direct_path.hpp"
#include "traversal/direct/lease_renewal.hpp"
#include "traversal/direct/media_ports.hpp"
#include "util/clock.hpp"

namespace vx::network {

class SessionDirectPath {
  public:
    struct Deps {
        DirectPortMapper* mapper = nullptr;  // none without a backend
        CandidateSender send = {};           // empty without a backend
        const ObservedAddress* observed = nullptr;
        util::NowFn now = util::steady_now_us;  // the lease renewal's clock
    };

    SessionDirectPath(Deps deps, std::string session_id, AgentConfig session_config,
                      std::unique_ptr<VideoSocketProbe> video);
    ~SessionDirectPath();
    SessionDirectPath(const SessionDirectPath&) = delete;
    SessionDirectPath& operator=(const SessionDirectPath&) = delete;

    // After the launcher's handshake, before "session_ready".
    void after_handshake();
    // After the keys: publishes when nothing was yet, releases the mappings when the backend
    // observes another address than the router's, and starts renewing what stays mapped.
    void post_ready();

    const DirectPathResult& result() const { return result_; }
    bool renewing() const { return renewal_ != nullptr; }

  private:
    bool router_mappings_kept() const;
    void start_renewal();

    util::NowFn now_;
    std::unique_ptr<VideoSocketProbe> video_;
    DirectPathContext context_;
    PortMappingGuard guard_;  // releases after the renewal below has stopped
    DirectPathResult result_;
    std::unique_ptr<LeaseRenewal> renewal_;
};

}  // namespace vx::network
