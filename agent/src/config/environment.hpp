#pragma once

#include <string_view>

#include "config/agent_config.hpp"

namespace vx {

// VX_AUDIO_PARITY: "1", "on", "true", "yes" or "enabled" in any letter case switches audio parity
// on; anything else (or unset) leaves it off.
bool audio_parity_switch_on(const char* value);

// VX_QOS: DSCP marking of the media sockets is on unless the value is exactly "0" or "off".
bool qos_switch_on(const char* value);

// Fills in what the environment decides for options the command line did not give: audio parity
// from VX_AUDIO_PARITY unless "--audio-parity" or "--no-audio-parity" was given; QoS marking from
// VX_QOS.
void apply_environment(AgentConfig& config);

}  // namespace vx
