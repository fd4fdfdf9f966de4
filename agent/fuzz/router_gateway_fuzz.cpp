// NAT-PMP and PCP answers from the gateway (UDP port 5351). Input: the internal port the request
// named (two bytes), the PCP nonce (12 bytes), then the answer.
#include <algorithm>
#include <cstdint>
#include <span>
#include <string>

#include "traversal/router/natpmp_codec.hpp"
#include "traversal/router/pcp_codec.hpp"

using namespace vx::network;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kHead = 2 + 12;
    if (size < kHead) {
        return 0;
    }
    const std::uint16_t port = static_cast<std::uint16_t>(data[0] << 8 | data[1]);
    PcpNonce nonce{};
    std::copy(data + 2, data + kHead, nonce.begin());
    const std::span<const std::uint8_t> answer(data + kHead, size - kHead);

    std::string address, error;
    parse_natpmp_response(answer);
    check_natpmp_address_answer(answer, address, error);
    NatPmpMapResponse natpmp;
    check_natpmp_map_answer(answer, port, natpmp, error);
    check_natpmp_delete_answer(answer, error);

    parse_pcp_map_response(answer);
    PcpMapResponse pcp;
    check_pcp_map_answer(answer, port, nonce, pcp, error);
    check_pcp_delete_answer(answer, port, nonce, error);
    return 0;
}
