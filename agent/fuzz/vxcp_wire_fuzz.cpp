// VXCP/1 datagrams as they arrive on the control channel's socket, from the backend or anyone on
// the path: every parser of the wire format, with the connection id the datagram itself names so
// the checks behind it are reached. A RETRY is also given its correct MAC, and every payload is
// sealed and opened again, which must give back the same bytes.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "backend/vxcp/vxcp_crypto.hpp"
#include "backend/vxcp/vxcp_wire.hpp"

namespace {

using namespace vx::network;

const Key32 kKey = [] {
    Key32 key{};
    key.fill(0x42);
    return key;
}();

void check_retry(ByteView datagram, const ConnectionId& id) {
    const Key32 hello_mac = sha256(datagram.first(std::min<std::size_t>(datagram.size(), 16)));
    vxcp_check_retry(datagram, id, kKey, hello_mac);
    if (datagram.size() != kVxcpRetrySize) {
        return;
    }
    // The same RETRY with the MAC it should carry: its time must come out.
    Bytes signed_retry(datagram.begin(), datagram.begin() + 26);
    const Key32 mac = hmac_sha256(kKey, signed_retry, hello_mac);
    signed_retry.insert(signed_retry.end(), mac.begin(), mac.end());
    const auto header = vxcp_parse_header(signed_retry);
    const auto time = vxcp_check_retry(signed_retry, id, kKey, hello_mac);
    if (header->type == std::uint8_t(VxcpType::retry) && header->version == kVxcpVersion && !time) {
        std::abort();
    }
    if (time) {
        if (const auto offset = vxcp_clock_offset(*time, 1'700'000'000'000)) {
            vxcp_hello_time(1'700'000'000'000, *offset);
        }
    }
}

void check_seal_round_trip(const ConnectionId& id, std::uint64_t number, ByteView payload) {
    const Bytes sealed = vxcp_seal_data(id, number, kKey, "s2c", payload);
    const auto opened = vxcp_open_data(sealed, id, kKey, "s2c");
    if (!opened || opened->packet_number != number || opened->payload.size() != payload.size() ||
        (!payload.empty() && std::memcmp(opened->payload.data(), payload.data(), payload.size()))) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ByteView datagram(data, size);
    const auto header = vxcp_parse_header(datagram);
    const ConnectionId id = header ? header->connection_id : ConnectionId{};
    check_retry(datagram, id);
    vxcp_welcome_public_key(datagram, id);
    vxcp_open_welcome(datagram, kKey);
    vxcp_open_data(datagram, id, kKey, "s2c");
    vxcp_is_valid_reset(datagram, id, ResetToken{});
    if (header && size > kVxcpHeaderSize) {
        check_seal_round_trip(id, header->packet_number, datagram.subspan(kVxcpHeaderSize));
    }
    return 0;
}
