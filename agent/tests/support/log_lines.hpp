#pragma once

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vx::test {

// Collects the default logger's lines while it lives.
class LogLines {
  public:
    LogLines() : sink_(std::make_shared<Sink>()) {
        previous_ = spdlog::default_logger();
        auto logger = std::make_shared<spdlog::logger>("test", sink_);
        logger->set_level(spdlog::level::trace);
        spdlog::set_default_logger(logger);
    }
    ~LogLines() { spdlog::set_default_logger(previous_); }

    std::vector<std::string> lines() const {
        std::lock_guard lock(sink_->lines_mutex);
        return sink_->lines;
    }
    int count(const std::string& part) const {
        int n = 0;
        for (const auto& l : lines())
            n += l.find(part) != std::string::npos;
        return n;
    }

  private:
    struct Sink : spdlog::sinks::base_sink<std::mutex> {
        void sink_it_(const spdlog::details::log_msg& msg) override {
            std::lock_guard lock(lines_mutex);
            lines.emplace_back(msg.payload.data(), msg.payload.size());
        }
        void flush_() override {}
        mutable std::mutex lines_mutex;
        std::vector<std::string> lines;
    };
    std::shared_ptr<Sink> sink_;
    std::shared_ptr<spdlog::logger> previous_;
};

}  // namespace vx::test
