#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>

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

    // `overruns` reads the queue's overrun counter; `now_us` is the steady clock.
    overflow_watch_sink(std::function<std::size_t()> overruns, util::NowFn now_us);

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
};

}  // namespace vx::util::detail
