// The backend's WebSocket frame stream as the connection reads it: bytes in chunks of any size
// through the frame parser, every frame through the message assembler. The first input byte sets
// the chunk size, so splits inside headers and lengths are reached.
#include <algorithm>
#include <cstdint>

#include "backend/ws/ws_frame.hpp"
#include "backend/ws/ws_message.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t chunk = std::size_t{data[0]} + 1;
    vx::network::WsFrameParser parser;
    vx::network::WsMessageAssembler assembler;
    for (std::size_t pos = 1; pos < size; pos += chunk) {
        if (!parser.feed(data + pos, std::min(chunk, size - pos))) {
            break;
        }
        while (parser.has_frame()) {
            const auto outcome = assembler.on_frame(parser.pop());
            if (outcome.kind == vx::network::WsFrameOutcome::Kind::too_large) {
                return 0;
            }
        }
    }
    return 0;
}
