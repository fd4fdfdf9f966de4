#include "backend/diagnostics/build_id.hpp"

// Set by CMake on this file alone, so a new commit recompiles one file.
#ifndef VX_BUILD_ID
#define VX_BUILD_ID "unknown"
#endif

namespace vx::network {

std::string_view build_identifier() {
    return VX_BUILD_ID;
}

std::string full_version_text(std::string_view version) {
    std::string text(version);
    text.append(" (").append(build_identifier()).append(")");
    return text;
}

}  // namespace vx::network
