// The reliable stream of a VXCP/1 connection fed what the backend's DATA packets carry once
// decrypted: packets in any order, duplicated, with any frames, between timer runs, queued
// messages and path moves. Input: 12 bytes of WELCOME settings, then records (see the loop
// below). No message may be delivered that is larger than the stream's limit.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "backend/vxcp/reliable_stream.hpp"
#include "backend/vxcp/vxcp_wire.hpp"
#include "fuzz_input.hpp"

namespace {

using namespace vx::network;

// Sends what the stream has to send, as the channel does after every event (bounded).
void drain(ReliableStream& stream, std::int64_t now) {
    for (int i = 0; i < 8; ++i) {
        if (!stream.build_packet(now)) {
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vx::fuzz::Reader in(data, size);
    const std::uint32_t idle = in.u32();
    const std::uint32_t keepalive = in.u32();
    const std::uint32_t max_message = in.u32() % (1u << 20);
    std::int64_t now = 1'000'000;
    ReliableStream stream(vxcp_stream_settings(idle, keepalive, max_message, 2000), now);
    std::uint64_t number = 0;
    std::vector<std::string> delivered;
    while (!in.done()) {
        const std::uint8_t op = in.u8();
        switch (op & 3) {
            case 0: {  // a packet: a nearby number (or any, after 0x80), then its payload
                const auto delta = static_cast<std::int8_t>(in.u8());
                number = delta == -128 ? in.u64() : number + static_cast<std::uint64_t>(delta);
                const ByteView payload = in.bytes(in.u16() % 1400);
                stream.on_packet(number, payload, now, delivered);
                break;
            }
            case 1:  // time passes
                now += static_cast<std::int64_t>(op >> 2) * 10'000;
                stream.on_timer(now);
                stream.stalled(now, 6'000'000);
                stream.idle_expired(now);
                break;
            case 2:  // the agent queues a message
                stream.queue_message(in.bytes(static_cast<std::size_t>(op >> 2) * 97));
                break;
            default:
                if (op & 4) {
                    stream.queue_close(in.u16(), "closing");
                } else {
                    stream.on_path_change(now);
                }
                break;
        }
        drain(stream, now);
        stream.next_event();
    }
    for (const std::string& message : delivered) {
        if (message.size() > stream.settings().max_message) {
            std::abort();
        }
    }
    return 0;
}
