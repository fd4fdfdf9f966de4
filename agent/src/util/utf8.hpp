#pragma once

// Stepping through UTF-8 text one code point at a time. Accepts any bytes: a byte that starts
// no complete sequence is one invalid step, and nothing is read past the end of the text.

#include <cstddef>
#include <string_view>

namespace vx::util {

// One decoded step of a byte string: a code point, or an invalid byte (valid == false).
struct DecodedChar {
    char32_t code_point = 0;
    int length = 1;  // bytes covered, 1 to 4
    bool valid = false;
};

// Decodes the code point that starts at `pos` (pos < text.size()). The lead byte and the
// continuation bytes are checked, not the value: callers that need well-formed text also refuse
// overlong forms, surrogates and values above U+10FFFF.
DecodedChar decode_utf8_at(std::string_view text, std::size_t pos);

// True for a well-formed character a terminal shows as text: no C0 or C1 control, no DEL, no
// surrogate, nothing above U+10FFFF, no overlong form (which could carry a control character past
// a check that looks at bytes).
bool is_printable(const DecodedChar& c);

}  // namespace vx::util
