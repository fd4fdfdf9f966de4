// STUN and TURN datagrams as they arrive from a STUN server, a TURN server or anyone who can reach
// the socket: the message codec with its integrity checks, ChannelData, the binding answer check
// and the relay probe's own response parser.
#include <array>
#include <cstdint>
#include <cstring>

#include "traversal/stun/relay_rtt_probe.hpp"
#include "traversal/stun/stun_binding.hpp"
#include "traversal/stun/stun_codec.hpp"

namespace {

using namespace vx::network;

void read_every_attribute(const StunMessage& message) {
    for (const StunAttribute& attribute : message.attributes) {
        const auto value = message.value(attribute);
        std::string address;
        std::uint16_t port = 0;
        decode_xor_address(value.data(), value.size(), address, port);
        read_text_attribute(message, attribute.type);
        std::uint32_t u32 = 0;
        read_u32_attribute(message, attribute.type, u32);
    }
    read_error_code(message);
}

void check_codec(const std::uint8_t* data, std::size_t size) {
    looks_like_stun(data, size);
    ChannelDataView channel;
    parse_channel_data(data, size, channel);

    StunMessage message;
    if (!parse_stun_message(data, size, message)) {
        return;
    }
    read_every_attribute(message);
    const TurnKey key{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    check_message_integrity(data, size, message, key);
    check_fingerprint(data, size, message);
    drop_unprotected_attributes(message);
    read_every_attribute(message);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check_codec(data, size);
    // The transaction id the answer checks expect: the input's own when it has one, so the
    // checks past the id are reached.
    std::array<std::uint8_t, 12> txid{};
    if (size >= 20) {
        std::memcpy(txid.data(), data + 8, txid.size());
    }
    check_binding_answer(data, size, txid);
    parse_binding_response(data, size, txid);
    return 0;
}
