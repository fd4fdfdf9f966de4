#pragma once

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vx::test {

// Collects the default logger's lines while it lives.
class LogLines {
  public:
    struct Line {
        spdlog::level::level_enum level;
        std::string text;
    };

    LogLines() : sink_(std::make_shared<Sink>()) {
        previous_ = spdlog::default_logger();
        auto logger = std::make_shared<spdlog::logger>("test", sink_);
        logger->set_level(spdlog::level::trace);
        spdlog::set_default_logger(logger);
    }
    ~LogLines() { spdlog::set_default_logger(previous_); }
    LogLines(const LogLines&) = delete;
    LogLines& operator=(const LogLines&) = delete;

    std::vector<std::string> lines() const {
        std::vector<std::string> texts;
        for (auto& line : entries())
            texts.push_back(std::move(line.text));
        return texts;
    }
    // The lines with their levels.
    std::vector<Line> entries() const {
        std::lock_guard lock(sink_->lines_mutex);
        return sink_->lines;
    }
    void clear() {
        std::lock_guard lock(sink_->lines_mutex);
        sink_->lines.clear();
    }
    int count(const std::string& part) const {
        int n = 0;
        for (const auto& l : lines())
            n += l.find(part) != std::string::npos;
        return n;
    }

    // Waits until a line containing `part` was logged; the limit is a safety net only.
    bool wait_for(const std::string& part,
                  std::chrono::milliseconds limit = std::chrono::seconds(20)) const {
        std::unique_lock lock(sink_->lines_mutex);
        return sink_->changed.wait_for(lock, limit, [&] {
            for (const auto& l : sink_->lines) {
                if (l.text.find(part) != std::string::npos)
                    return true;
            }
            return false;
        });
    }

  private:
    struct Sink : spdlog::sinks::base_sink<std::mutex> {
        void sink_it_(const spdlog::details::log_msg& msg) override {
            std::lock_guard lock(lines_mutex);
            lines.push_back({msg.level, std::string(msg.payload.data(), msg.payload.size())});
            changed.notify_all();
        }
        void flush_() override {}
        mutable std::mutex lines_mutex;
        mutable std::condition_variable changed;
        std::vector<Line> lines;
    };
    std::shared_ptr<Sink> sink_;
    std::shared_ptr<spdlog::logger> previous_;
};

}  // namespace vx::test
