#include "diag/overflow_watch_sink.hpp"

#include <utility>

namespace vx::util::detail {

overflow_watch_sink::overflow_watch_sink(std::function<std::size_t()> overruns, util::NowFn now_us)
    : overruns_(std::move(overruns)), now_us_(std::move(now_us)) {}

bool overflow_watch_sink::should_warn_locked() {
    if (!overruns_) {
        return false;
    }
    const std::size_t count = overruns_();
    if (count <= reported_) {
        return false;
    }
    const std::int64_t now = now_us_ ? now_us_() : util::steady_now_us();
    if (warned_once_ && now - last_warn_us_ < kWarnIntervalUs) {
        return false;  // still pending: reported once the minute is over
    }
    reported_ = count;
    warned_once_ = true;
    last_warn_us_ = now;
    return true;
}

void overflow_watch_sink::forward_locked(const spdlog::details::log_msg& msg) {
    // Each sink on its own: a full disk must not keep the line from the memory store.
    for (auto& sink : sinks_) {
        try {
            if (sink->should_log(msg.level)) {
                sink->log(msg);
            }
        } catch (...) {
        }
    }
}

std::uint64_t overflow_watch_sink::markers_seen() const {
    std::lock_guard lock(marker_mutex_);
    return markers_;
}

bool overflow_watch_sink::wait_for_markers(std::uint64_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(marker_mutex_);
    return marker_seen_.wait_for(lock, timeout, [&] { return markers_ >= count; });
}

void overflow_watch_sink::set_unflushed_hook(spdlog::level::level_enum level,
                                             std::function<void()> hook) {
    std::lock_guard lock(mutex_);
    unflushed_level_ = level;
    unflushed_hook_ = std::move(hook);
}

void overflow_watch_sink::sink_it_(const spdlog::details::log_msg& msg) {
    if (std::string_view(msg.payload.data(), msg.payload.size()) == kDrainMarker) {
        {
            std::lock_guard lock(marker_mutex_);
            ++markers_;
        }
        marker_seen_.notify_all();
        return;
    }
    bool warn = false;
    try {
        warn = should_warn_locked();
    } catch (...) {
    }
    if (warn) {
        const spdlog::details::log_msg warning(msg.logger_name, spdlog::level::warn, kWarning);
        forward_locked(warning);
    }
    forward_locked(msg);
    if (unflushed_hook_ && msg.level < unflushed_level_) {
        unflushed_hook_();
    }
}

}  // namespace vx::util::detail
