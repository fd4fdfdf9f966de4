// Text the status screen fits into columns: the computer name, GPU name, public address and log
// path come from the system, the backend and the network. Input: a width byte, then the text
// (also cut into row segments at 0x1F). Fitting to a width must never give something wider.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "ui/text_fit.hpp"

using namespace vx::ui;

namespace {

void must_fit(std::string_view text, int width) {
    if (width >= 1 && display_width(text) > width) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const int width = static_cast<std::int8_t>(data[0]);
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);

    const std::string clean = sanitize_for_console(text);
    display_width(text);
    must_fit(truncate_with_ellipsis(clean, width), width);
    must_fit(cut_left_with_ellipsis(clean, width), width);
    for (const std::string& line : wrap_to_width(clean, width)) {
        must_fit(line, width);
    }
    Row row;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '\x1F') {
            row.push_back(Segment{sanitize_for_console(text.substr(start, i - start))});
            start = i + 1;
        }
    }
    const Row fitted = fit_row(row, width);
    if (width >= 1 && row_width(fitted) > width) {
        std::abort();
    }
    if (text.size() >= 8) {
        double value = 0;
        std::memcpy(&value, text.data(), sizeof value);
        format_fixed(value, data[0] & 1);
    }
    return 0;
}
