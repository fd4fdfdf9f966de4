#pragma once

// What the direct path asks of the session's video socket: its public endpoint as a STUN server
// sees it, the NAT's mapping profile, and the launcher's probes listened for again afterwards.

#include <cstdint>
#include <string>
#include <vector>

#include "traversal/stun/stun_binding.hpp"
#include "util/natwave_profile.hpp"

namespace vx {
class UdpSender;
}

namespace vx::network {

class VideoSocketProbe {
  public:
    virtual ~VideoSocketProbe() = default;
    // One STUN Binding from the video socket; the mapped endpoint on success.
    virtual bool binding(const StunServer& server, std::string& address, std::uint16_t& port) = 0;
    // The NAT profile measured from a temporary socket (always written; see nat_profile.hpp).
    virtual bool mapping_profile(const std::string& address, std::uint16_t port,
                                 const std::vector<StunServer>& secondaries,
                                 natwave::Profile& profile) = 0;
    // The launcher's probes are listened for again on the video socket.
    virtual void arm_probe_listener() = 0;
};

// The session's video sender. Its socket is read directly by the binding request, so this is
// for the set-up before the sender's own listener runs.
class UdpSenderProbe final : public VideoSocketProbe {
  public:
    explicit UdpSenderProbe(UdpSender& sender) : sender_(sender) {}

    bool binding(const StunServer& server, std::string& address, std::uint16_t& port) override;
    bool mapping_profile(const std::string& address, std::uint16_t port,
                         const std::vector<StunServer>& secondaries,
                         natwave::Profile& profile) override;
    void arm_probe_listener() override;

  private:
    UdpSender& sender_;
};

}  // namespace vx::network
