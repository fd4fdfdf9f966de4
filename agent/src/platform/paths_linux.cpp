#include "platform/paths.hpp"

#include <cstdlib>
#include <system_error>

namespace vx::platform {
namespace {

const char* non_empty_env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

}  // namespace

std::filesystem::path executable_folder() {
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : exe.parent_path();
}

std::filesystem::path local_app_data_folder() {
    if (const char* value = non_empty_env("LOCALAPPDATA")) {
        return value;
    }
    if (const char* value = non_empty_env("XDG_STATE_HOME")) {
        return value;
    }
    if (const char* home = non_empty_env("HOME")) {
        return std::filesystem::path(home) / ".local" / "state";
    }
    return {};
}

std::filesystem::path agent_state_folder() {
    std::filesystem::path base = local_app_data_folder();
    return base.empty() ? base : base / "Velmora";
}

}  // namespace vx::platform
