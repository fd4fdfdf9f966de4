#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string_view>

#include <spdlog/sinks/dist_sink.h>

#include "util/clock.hpp"

namespace vx::util::detail {

// Sits between the asynchronous logger and the real sinks. The async queue overwrites its
// oldest message when full, silently; this sink notices the queue's overrun counter moving and
// writes a warning through the real sinks, at most once per minute, so a gap in the log is
// never mistaken for a quiet period.
class overflow_watch_sink final : public spdlog::sinks::dist_sink<std::mutex> {
  public:
    static constexpr const char* kWarning = "Log queue overflowed \u2014 dropping lines";
    static constexpr std::int64_t kWarnIntervalUs = 60'000'000;

    // A line that marks a place in the queue instead of being written. The queue has one worker
    // and keeps its order, so once the marker reaches this sink every line queued before it has
    // been written.
    static constexpr std::string_view kDrainMarker = "\x1Fvx-drain-marker";

    // `overruns` reads the queue's overrun counter; `now_us` is the steady clock.
    overflow_watch_sink(std::function<std::size_t()> overruns, util::NowFn now_us);

    // Drain markers that have reached this sink so far.
    std::uint64_t markers_seen() const;
    // Waits until at least `count` markers have reached this sink; false when `timeout` passes.
    bool wait_for_markers(std::uint64_t count, std::chrono::milliseconds timeout);

    // `hook` runs (on the logging worker) after each line below `level` is written: the logger
    // flushes only lines from its flush-on level up as they are written. Empty removes it.
    void set_unflushed_hook(spdlog::level::level_enum level, std::function<void()> hook);

  protected:
    void sink_it_(const spdlog::details::log_msg& msg) override;

  private:
    bool should_warn_locked();
    void forward_locked(const spdlog::details::log_msg& msg);

    std::function<std::size_t()> overruns_;
    util::NowFn now_us_;
    std::size_t reported_ = 0;
    bool warned_once_ = false;
    std::int64_t last_warn_us_ = 0;

    spdlog::level::level_enum unflushed_level_ = spdlog::level::off;
    std::function<void()> unflushed_hook_;  // guarded by the sink's mutex

    mutable std::mutex marker_mutex_;
    std::condition_variable marker_seen_;
    std::uint64_t markers_ = 0;  // guarded by marker_mutex_
};

}  // namespace vx::util::detail
