#include "diag/diagnostic_sink.hpp"

#include <string_view>

namespace vx::diag {

void diagnostic_sink::sink_it_(const spdlog::details::log_msg& msg) {
    // A failing sink must not take the logger (and the worker thread) down with it.
    try {
        spdlog::memory_buf_t formatted;
        formatter_->format(msg, formatted);
        std::string_view line(formatted.data(), formatted.size());
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.remove_suffix(1);
        }
        store_.append(line);
    } catch (...) {
    }
}

}  // namespace vx::diag
