#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/desktop_windows.hpp"

namespace vx::desktop {

// The part of a path after its last "/" or "\".
std::string file_name_from_path(std::string_view path);

// One of the desktop's own processes (Windows' shell programs and the Linux desktops' shells
// and panels), letter case ignored.
bool is_shell_process(std::string_view image_name);

// Whether isolation minimises the window: a shown, not minimised application window without an
// owner, of another process that states its id, with a title, not asking to stay out of the
// taskbar, of none of the dock, desktop, utility, toolbar, splash or notification types, whose
// process image can be read and is not one of the desktop's own. `image_name` is asked last, so
// only for windows that passed everything else.
bool should_minimize_window(const platform::WindowFacts& facts, std::uint32_t own_pid,
                            const std::function<std::string(std::uint32_t pid)>& image_name);

}  // namespace vx::desktop
