// A router's answer to a UPnP IGD action. Input: the HTTP status (two bytes, big-endian), then
// the body. Whatever the router wrote reaches the failure text defused: no C0 control but the
// tab, no DEL, no C1 control in UTF-8, and no text longer than its cap and cut mark.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "fuzz_input.hpp"
#include "traversal/router/http/soap.hpp"
#include "util/outside_text.hpp"

using namespace vx::network;

namespace {

void check_defused(std::string_view text) {
    if (text.size() > vx::util::kQuotedTextBytes + vx::util::kQuoteCutMark.size())
        std::abort();
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const bool c1 = byte == 0xC2 && i + 1 < text.size() &&
                        static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if ((byte < 0x20 && byte != '\t') || byte == 0x7F || c1)
            std::abort();
    }
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
