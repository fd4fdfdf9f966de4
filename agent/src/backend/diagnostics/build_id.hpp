#pragma once

#include <string>
#include <string_view>

namespace vx::network {

// The short identifier of this build: the git commit it was built from, or "unknown" when the
// tree was not a git checkout.
std::string_view build_identifier();

// "0.4.448 (4792e94)": the version followed by the build identifier, as log reports show it.
std::string full_version_text(std::string_view version);

}  // namespace vx::network
