#include "traversal/direct/video_socket_probe.hpp"

#include "link/udp_sender.hpp"
#include "traversal/stun/nat_profile.hpp"

namespace vx::network {

bool UdpSenderProbe::binding(const StunServer& server, std::string& address, std::uint16_t& port) {
    return stun_binding_request(sender_.io(), sender_.socket(), server.host, server.port, address,
                                port, kStunBindingTimeoutMs);
}

bool UdpSenderProbe::mapping_profile(const std::string& address, std::uint16_t port,
                                     const std::vector<StunServer>& secondaries,
                                     natwave::Profile& profile) {
    return probe_mapping_profile(sender_.io(), address, port, secondaries, profile);
}

void UdpSenderProbe::arm_probe_listener() {
    sender_.arm_probe_listener();
}

}  // namespace vx::network
