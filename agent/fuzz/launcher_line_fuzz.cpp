// What a launcher (or anyone who reaches the control port) writes: the first line as the
// handshake judges it, then every later line, the input split at line ends as the connection
// splits it.
#include <cstdint>
#include <string_view>

#include "link/control_protocol.hpp"

namespace {

// SHA-256 of "t", so a first line carrying that token takes the accepting path.
constexpr std::string_view kTokenSha256 =
    "e3b98a4da31a127d4bde6e43033f66ba274cab0eb7eb1c70ec41402bf6273dd8";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    bool first = true;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (first) {
            first = false;
            if (line.size() <= vx::kMaxAuthLineBytes) {
                vx::parse_auth_line(line);
                vx::decide_auth(line, kTokenSha256, true);
                vx::decide_auth(line, "", true);
            }
        } else if (line.size() <= vx::kMaxControlLineBytes) {
            vx::parse_launcher_line(line);
        }
    }
    return 0;
}
