#pragma once

// How SessionIsolation logs: through the logger normally; in crash context, where the logger's
// locks and allocations are off limits, straight to where the crash line goes.

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <algorithm>

#include "desktop/isolation_core.hpp"
#include "platform/crash_handler.hpp"

namespace vx::desktop {

template <typename... Args>
void IsolationCore::note(Level level, const char* format, const Args&... args) const {
    char text[512];
    const auto written = fmt::format_to_n(text, sizeof text, fmt::runtime(format), args...);
    const std::size_t size = std::min(written.size, sizeof text);
    const char* name = level == Level::info ? "info" : level == Level::warn ? "warning" : "error";
    if (crash_context_.load()) {
        platform::write_crash_note(name, text, size);
        return;
    }
    const auto spd = level == Level::info   ? spdlog::level::info
                     : level == Level::warn ? spdlog::level::warn
                                            : spdlog::level::err;
    spdlog::log(spd, "{}", std::string_view(text, size));
}

}  // namespace vx::desktop
