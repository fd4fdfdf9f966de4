// A router's answer to a UPnP IGD action. Input: the HTTP status (two bytes, big-endian), then
// the body. Whatever the router wrote reaches the failure text defused: no C0 control but the
// tab, no DEL, no C1 control in UTF-8, and no text longer than its cap and cut mark.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "fuzz_input.hpp"
#include "support/control_characters.hpp"
#include "traversal/router/http/soap.hpp"
#include "util/outside_text.hpp"

using namespace vx::network;

namespace {

void check_defused(std::string_view text) {
    if (text.size() > vx::util::kQuotedTextBytes + vx::util::kQuoteCutMark.size() ||
        vx::test::has_control_character(text))
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::int32_t status = data[0] << 8 | data[1];
    const SoapResult result = parse_soap_response(vx::fuzz::as_text(data + 2, size - 2), status);
    check_defused(result.error_description);
    check_defused(result.external_address);
    check_defused(result.internal_client);
    describe_upnp_error(result);
    return 0;
}
