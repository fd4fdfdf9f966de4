#pragma once

#include <memory>
#include <string_view>

#include <spdlog/pattern_formatter.h>

namespace vx::diag {

// Appends a log line's text as the file, the console and the uploads may hold it. Much of what is
// logged comes from peers (ids from the backend, texts from routers and launchers): a control
// character must not steer the terminal that shows the log, nor break a line in two: the text
// goes through the printable rule of util/outside_text.hpp (line ends written as "\n" and "\r",
// other controls and broken bytes as "?", tabs kept).
void append_log_payload(std::string_view text, spdlog::memory_buf_t& out);

// The pattern flag that writes a line's text through append_log_payload.
class log_payload_flag final : public spdlog::custom_flag_formatter {
  public:
    static constexpr char kFlag = '*';

    void format(const spdlog::details::log_msg& msg, const std::tm& time,
                spdlog::memory_buf_t& out) override;
    std::unique_ptr<spdlog::custom_flag_formatter> clone() const override;
};

}  // namespace vx::diag
