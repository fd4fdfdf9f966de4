// The answer to the WebSocket upgrade request, read as the connection reads it: the bytes so far
// judged again after every chunk (the first input byte sets the chunk size); an accepted upgrade
// hands the bytes behind the head to the frame parser.
#include <algorithm>
#include <cstdint>
#include <string_view>

#include "backend/ws/ws_frame.hpp"
#include "backend/ws/ws_handshake.hpp"

using vx::network::WsUpgradeResponse;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t chunk = std::size_t{data[0]} * 16 + 1;
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    WsUpgradeResponse response;
    for (std::size_t end = std::min(chunk, bytes.size());;
         end = std::min(end + chunk, bytes.size())) {
        response = vx::network::parse_ws_upgrade_response(bytes.substr(0, end));
        if (response.state != WsUpgradeResponse::State::incomplete || end == bytes.size()) {
            break;
        }
    }
    response.accepted();
    response.token_refused();
    vx::network::looks_like_plain_http_to_tls(response);
    if (response.accepted()) {
        vx::network::WsFrameParser parser;
        parser.feed(reinterpret_cast<const std::uint8_t*>(response.rest.data()),
                    response.rest.size());
    }
    return 0;
}
