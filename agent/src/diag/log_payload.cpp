#include "diag/log_payload.hpp"

#include <algorithm>

#include "util/outside_text.hpp"

namespace vx::diag {
namespace {

bool is_plain_ascii(char c) {
    return (c >= 0x20 && c < 0x7F) || c == '\t';
}

void append(std::string_view text, spdlog::memory_buf_t& out) {
    out.append(text.data(), text.data() + text.size());
}

}  // namespace

void append_log_payload(std::string_view text, spdlog::memory_buf_t& out) {
    // Most lines are plain ASCII: copied at once.
    if (std::all_of(text.begin(), text.end(), is_plain_ascii)) {
        append(text, out);
        return;
    }
    util::append_printable(text, out);
}

void log_payload_flag::format(const spdlog::details::log_msg& msg, const std::tm&,
                              spdlog::memory_buf_t& out) {
    append_log_payload(std::string_view(msg.payload.data(), msg.payload.size()), out);
}

std::unique_ptr<spdlog::custom_flag_formatter> log_payload_flag::clone() const {
    return std::make_unique<log_payload_flag>();
}

}  // namespace vx::diag
