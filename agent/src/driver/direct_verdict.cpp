#include "driver/direct_verdict.hpp"

namespace vx {

DirectVerdict start_up_verdict(bool address_by_hand, const network::RouterWan& wan) {
    if (address_by_hand)
        return DirectVerdict::set_by_hand;
    if (!wan.address.empty())
        return DirectVerdict::upnp_supported;
    // The mapper names a private or carrier-grade WAN address this way; anything else means no
    // router answered with a way to map.
    if (wan.error.find("CGNAT") != std::string::npos)
        return DirectVerdict::behind_cgnat;
    return DirectVerdict::no_upnp;
}

DirectVerdict session_verdict(DirectVerdict waiting, bool video_mapping_kept) {
    if (waiting == DirectVerdict::set_by_hand || !video_mapping_kept)
        return waiting;
    return DirectVerdict::upnp_ports_open;
}

}  // namespace vx
