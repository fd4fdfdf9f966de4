#pragma once

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vx::test {

// Routes the default logger into memory for the lifetime of the object.
class LogCapture {
  public:
    struct Line {
        spdlog::level::level_enum level;
        std::string text;
    };

    LogCapture() : sink_(std::make_shared<Sink>()) {
        previous_ = spdlog::default_logger();
        auto logger = std::make_shared<spdlog::logger>("capture", sink_);
        logger->set_level(spdlog::level::trace);
        spdlog::set_default_logger(logger);
    }
    ~LogCapture() { spdlog::set_default_logger(previous_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<Line> lines() const {
        std::lock_guard lock(sink_->lines_mutex);
        return sink_->lines;
    }
    void clear() {
        std::lock_guard lock(sink_->lines_mutex);
        sink_->lines.clear();
    }
    // Lines containing `part`, at `level` or any level.
    std::size_t count(const std::string& part, int level = -1) const {
        std::size_t n = 0;
        for (const Line& line : lines()) {
            if (line.text.find(part) != std::string::npos &&
                (level < 0 || line.level == static_cast<spdlog::level::level_enum>(level))) {
                ++n;
            }
        }
        return n;
    }
    bool has(const std::string& part) const { return count(part) > 0; }
    // Lines at warning level or above.
    std::size_t problems() const {
        std::size_t n = 0;
        for (const Line& line : lines()) {
            n += line.level >= spdlog::level::warn ? 1 : 0;
        }
        return n;
    }

  private:
    struct Sink : spdlog::sinks::base_sink<std::mutex> {
        std::mutex lines_mutex;
        std::vector<Line> lines;

      protected:
        void sink_it_(const spdlog::details::log_msg& msg) override {
            std::lock_guard lock(lines_mutex);
            lines.push_back({msg.level, std::string(msg.payload.data(), msg.payload.size())});
        }
        void flush_() override {}
    };

    std::shared_ptr<Sink> sink_;
    std::shared_ptr<spdlog::logger> previous_;
};

}  // namespace vx::test
