// URLs from an SSDP answer's LOCATION and a description's control URLs. Input: the base, a line
// feed, then the reference. A URL that parses has a host and a port; a resolved URL parses.
#include <cstdint>
#include <cstdlib>

#include "fuzz_input.hpp"
#include "traversal/router/http/url.hpp"

using namespace vx::network;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto pieces = vx::fuzz::split_at(vx::fuzz::as_text(data, size), '\n');
    const std::string& base = pieces[0];
    const std::string reference = pieces.size() > 1 ? pieces[1] : std::string();
    const ParsedUrl url = parse_url(base);
    if (url.valid && (url.host.empty() || url.port == 0 || url.path.empty())) {
        std::abort();
    }
    const std::string resolved = resolve_url(base, reference);
    parse_url(resolved);
    remove_dot_segments(reference);
    return 0;
}
