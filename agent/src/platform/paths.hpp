#pragma once

#include <filesystem>

namespace vx::platform {

// Folder of the running executable (agent.log and cacert.pem live beside it); empty when the
// system cannot tell.
std::filesystem::path executable_folder();

// The user's local application-data folder. Linux: LOCALAPPDATA when set and not empty, else
// XDG_STATE_HOME, else $HOME/.local/state; empty when none of them is known.
std::filesystem::path local_app_data_folder();

// "<local app data>/Velmora", the agent's own state folder (not created here); empty when the
// local application-data folder is unknown.
std::filesystem::path agent_state_folder();

}  // namespace vx::platform
