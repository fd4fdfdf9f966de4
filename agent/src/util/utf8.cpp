#include "util/utf8.hpp"

namespace vx::util {
namespace {

bool is_continuation(unsigned char b) {
    return (b & 0xC0) == 0x80;
}

int shortest_length(char32_t cp) {
    return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

}  // namespace

bool is_printable(const DecodedChar& c) {
    const char32_t cp = c.code_point;
    const bool control = cp < 0x20 || (cp >= 0x7F && cp <= 0x9F);
    const bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
    return c.valid && !control && !surrogate && cp <= 0x10FFFF && c.length == shortest_length(cp);
}

DecodedChar decode_utf8_at(std::string_view text, std::size_t pos) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    if (lead < 0x80) {
        return {lead, 1, true};
    }
    int extra = 0;
    char32_t cp = 0;
    if ((lead & 0xE0) == 0xC0) {
        extra = 1;
        cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2;
        cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3;
        cp = lead & 0x07;
    } else {
        return {lead, 1, false};
    }
    if (pos + extra >= text.size()) {
        return {lead, 1, false};
    }
    for (int i = 1; i <= extra; ++i) {
        const auto b = static_cast<unsigned char>(text[pos + i]);
        if (!is_continuation(b)) {
            return {lead, 1, false};
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    return {cp, extra + 1, true};
}

}  // namespace vx::util
