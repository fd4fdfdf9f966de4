#pragma once

#include <memory>

#include "platform/desktop_platform.hpp"

namespace vx::platform {

// The desktop of this session: the X11 desktop named by DISPLAY, or, without one, a stand-in
// whose every operation says that there is no desktop. Opens no connection yet.
std::shared_ptr<DesktopPlatform> open_desktop_platform();

}  // namespace vx::platform
