#include "diag/log_payload.hpp"

#include <algorithm>

#include "util/utf8.hpp"

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
    for (std::size_t pos = 0; pos < text.size();) {
        const char c = text[pos];
        const util::DecodedChar decoded = util::decode_utf8_at(text, pos);
        const auto length = static_cast<std::size_t>(decoded.length);
        if (c == '\t' || util::is_printable(decoded)) {
            append(text.substr(pos, length), out);
        } else {
            append(c == '\n' ? "\\n" : c == '\r' ? "\\r" : "?", out);
        }
        pos += length;
    }
}

void log_payload_flag::format(const spdlog::details::log_msg& msg, const std::tm&,
                              spdlog::memory_buf_t& out) {
    append_log_payload(std::string_view(msg.payload.data(), msg.payload.size()), out);
}

std::unique_ptr<spdlog::custom_flag_formatter> log_payload_flag::clone() const {
    return std::make_unique<log_payload_flag>();
}

}  // namespace vx::diag
