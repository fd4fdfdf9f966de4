#include "traversal/direct/session_direct_path.hpp"

namespace vx::network {

SessionDirectPath::SessionDirectPath(Deps deps, std::string session_id, AgentConfig session_config,
                                     std::unique_ptr<VideoSocketProbe> video)
    : now_(std::move(deps.now)),
      video_(std::move(video)),
      context_{deps.mapper,  std::move(deps.send), std::move(session_id), std::move(session_config),
               video_.get(), deps.observed},
      guard_(deps.mapper, context_.config.port_base) {}

SessionDirectPath::~SessionDirectPath() {
    if (renewal_)
        renewal_->stop();
}

void SessionDirectPath::after_handshake() {
    setup_direct_path(context_, result_, "after-handshake");
    // The binding request read the video socket itself: the launcher's probes are listened for
    // again.
    if (result_.published && video_)
        video_->arm_probe_listener();
}

void SessionDirectPath::post_ready() {
    setup_direct_path(context_, result_, "post-ready");
    release_on_wan_mismatch(context_, result_);
    if (router_mappings_kept())
        start_renewal();
}

bool SessionDirectPath::router_mappings_kept() const {
    if (context_.mapper == nullptr || !context_.send || result_.wan_mismatch)
        return false;
    // A forced candidate sets video_mapped without a mapping (and without a method).
    return (result_.video_mapped && !result_.video_method.empty()) || result_.input_mapped ||
           result_.audio_mapped;
}

void SessionDirectPath::start_renewal() {
    std::vector<std::uint16_t> ports;
    for (const MediaPort& media : media_ports(context_.config.port_base)) {
        if (media.port <= kMaxUdpPort)
            ports.push_back(static_cast<std::uint16_t>(media.port));
    }
    renewal_ = std::make_unique<LeaseRenewal>(*context_.mapper, std::move(ports),
                                              media_lease_s(context_.config), now_);
    renewal_->start();
}

}  // namespace vx::network
