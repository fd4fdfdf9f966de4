// A router's answer to a UPnP IGD action. Input: the HTTP status (two bytes, big-endian), then
// the body.
#include <cstdint>

#include "fuzz_input.hpp"
#include "traversal/router/http/soap.hpp"

using namespace vx::network;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::int32_t status = data[0] << 8 | data[1];
    const SoapResult result = parse_soap_response(vx::fuzz::as_text(data + 2, size - 2), status);
    describe_upnp_error(result);
    return 0;
}
