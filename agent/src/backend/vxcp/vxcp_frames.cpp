#include "backend/vxcp/vxcp_frames.hpp"

#include <algorithm>

#include "backend/vxcp/vxcp_wire.hpp"

namespace vx::network {

namespace {

bool parse_fragment(ByteView p, std::size_t& pos, Frame& f) {
    if (p.size() - pos < kFragmentHeadSize - 1) {
        return false;
    }
    const std::uint8_t* h = p.data() + pos;
    f.fragment.message_id = vxcp_get_u32_be(h);
    f.fragment.index = vxcp_get_u16_be(h + 4);
    f.fragment.count = vxcp_get_u16_be(h + 6);
    const std::size_t len = vxcp_get_u16_be(h + 8);
    pos += kFragmentHeadSize - 1;
    if (f.fragment.count == 0 || f.fragment.index >= f.fragment.count || p.size() - pos < len) {
        return false;
    }
    f.fragment.data = p.subspan(pos, len);
    pos += len;
    return true;
}

bool parse_close(ByteView p, std::size_t& pos, Frame& f) {
    if (p.size() - pos < kCloseHeadSize - 1) {
        return false;
    }
    f.close.code = vxcp_get_u16_be(p.data() + pos);
    const std::size_t len = p[pos + 2];
    pos += kCloseHeadSize - 1;
    if (p.size() - pos < len) {
        return false;
    }
    f.close.reason.assign(reinterpret_cast<const char*>(p.data() + pos), len);
    pos += len;
    return true;
}

}  // namespace

std::optional<std::vector<Frame>> vxcp_parse_frames(ByteView p) {
    std::vector<Frame> frames;
    std::size_t pos = 0;
    while (pos < p.size()) {
        Frame f;
        f.type = static_cast<FrameType>(p[pos++]);
        bool ok = true;
        switch (f.type) {
            case FrameType::ping:
                break;
            case FrameType::ack:
                ok = p.size() - pos >= kAckFrameSize - 1;
                if (ok) {
                    f.ack.largest = vxcp_get_u64_be(p.data() + pos);
                    f.ack.delay_us = vxcp_get_u32_be(p.data() + pos + 8);
                    f.ack.map = vxcp_get_u64_be(p.data() + pos + 12);
                    pos += kAckFrameSize - 1;
                }
                break;
            case FrameType::fragment:
                ok = parse_fragment(p, pos, f);
                break;
            case FrameType::close:
                ok = parse_close(p, pos, f);
                break;
            default:
                ok = false;
        }
        if (!ok) {
            return std::nullopt;
        }
        frames.push_back(std::move(f));
    }
    return frames;
}

void vxcp_append_ping(Bytes& out) {
    out.push_back(static_cast<std::uint8_t>(FrameType::ping));
}

void vxcp_append_ack(Bytes& out, const AckFrame& ack) {
    out.push_back(static_cast<std::uint8_t>(FrameType::ack));
    vxcp_put_u64_be(out, ack.largest);
    vxcp_put_u32_be(out, ack.delay_us);
    vxcp_put_u64_be(out, ack.map);
}

void vxcp_append_fragment(Bytes& out, std::uint32_t message_id, std::uint16_t index,
                          std::uint16_t count, ByteView data) {
    out.push_back(static_cast<std::uint8_t>(FrameType::fragment));
    vxcp_put_u32_be(out, message_id);
    vxcp_put_u16_be(out, index);
    vxcp_put_u16_be(out, count);
    vxcp_put_u16_be(out, static_cast<std::uint16_t>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
}

void vxcp_append_close(Bytes& out, std::uint16_t code, std::string_view reason) {
    const std::size_t len = std::min(reason.size(), kMaxCloseReason);
    out.push_back(static_cast<std::uint8_t>(FrameType::close));
    vxcp_put_u16_be(out, code);
    out.push_back(static_cast<std::uint8_t>(len));
    out.insert(out.end(), reason.begin(), reason.begin() + static_cast<std::ptrdiff_t>(len));
}

}  // namespace vx::network
