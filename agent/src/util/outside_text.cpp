#include "util/outside_text.hpp"

#include <algorithm>

#include "util/utf8.hpp"

namespace vx::util {

PrintableStep printable_step(std::string_view text, std::size_t pos) {
    const DecodedChar c = decode_utf8_at(text, pos);
    const auto length = static_cast<std::size_t>(c.length);
    const char first = text[pos];
    if (first == '\t' || is_printable(c)) {
        return {text.substr(pos, length), length};
    }
    return {first == '\n' ? "\\n" : first == '\r' ? "\\r" : "?", length};
}

std::string quote_outside_text(std::string_view text, std::size_t max_bytes) {
    std::string out;
    out.reserve(std::min(text.size(), max_bytes) + kQuoteCutMark.size());
    for (std::size_t pos = 0; pos < text.size();) {
        const PrintableStep step = printable_step(text, pos);
        if (out.size() + step.shown.size() > max_bytes) {
            out.append(kQuoteCutMark);
            break;
        }
        out.append(step.shown);
        pos += step.length;
    }
    return out;
}

}  // namespace vx::util
