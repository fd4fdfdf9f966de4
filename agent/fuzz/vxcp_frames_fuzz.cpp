// The frames inside a decrypted VXCP/1 DATA payload. Whatever parses must encode back to the same
// bytes and parse again to the same frames.
#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "backend/vxcp/vxcp_frames.hpp"

namespace {

using namespace vx::network;

Bytes encode(const std::vector<Frame>& frames) {
    Bytes out;
    for (const Frame& f : frames) {
        switch (f.type) {
            case FrameType::ping:
                vxcp_append_ping(out);
                break;
            case FrameType::ack:
                vxcp_append_ack(out, f.ack);
                break;
            case FrameType::fragment:
                vxcp_append_fragment(out, f.fragment.message_id, f.fragment.index, f.fragment.count,
                                     f.fragment.data);
                break;
            case FrameType::close:
                vxcp_append_close(out, f.close.code, f.close.reason);
                break;
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ByteView payload(data, size);
    const auto frames = vxcp_parse_frames(payload);
    if (!frames) {
        return 0;
    }
    const Bytes again = encode(*frames);
    if (again.size() != size || !std::equal(again.begin(), again.end(), data)) {
        std::abort();
    }
    return 0;
}
