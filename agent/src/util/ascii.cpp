#include "util/ascii.hpp"

namespace vx::util {

std::string ascii_lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = ascii_lower(c);
    }
    return out;
}

}  // namespace vx::util
