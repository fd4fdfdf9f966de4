#include "backend/vxcp/vxcp_frames.hpp"

#include <algorithm>
#include <utility>

#include "backend/vxcp/vxcp_wire.hpp"

namespace vx::network {

namespace {

bool parse_ack(ByteView p, std::size_t& pos, Frame& f) {
    if (p.size() - pos < kAckFrameSize - 1) {
        return false;
    }
    f.ack.largest = vxcp_get_u64_be(p.data() + pos);
    f.ack.delay_us = vxcp_get_u32_be(p.data() + pos + 8);
    f.ack.map = vxcp_get_u64_be(p.data() + pos + 12);
    pos += kAckFrameSize - 1;
    return true;
}

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

bool FrameReader::next(Frame& f) {
    if (malformed_ || pos_ >= payload_.size()) {
        return false;
    }
    f.type = static_cast<FrameType>(payload_[pos_++]);
    switch (f.type) {
        case FrameType::ping:
            return true;
        case FrameType::ack:
            malformed_ = !parse_ack(payload_, pos_, f);
            break;
        case FrameType::fragment:
            malformed_ = !parse_fragment(payload_, pos_, f);
            break;
        case FrameType::close:
            malformed_ = !parse_close(payload_, pos_, f);
            break;
        default:
            malformed_ = true;
    }
    return !malformed_;
}

std::optional<std::vector<Frame>> vxcp_parse_frames(ByteView payload) {
    std::vector<Frame> frames;
    FrameReader reader(payload);
    Frame f;
    while (reader.next(f)) {
        frames.push_back(std::exchange(f, Frame{}));
    }
    if (reader.malformed()) {
        return std::nullopt;
    }
    return frames;
}

void vxcp_append_ping(Bytes& out) {
    out.push_back(static_cast<std::uint8_t>(FrameType::ping));
}

void vxcp_append_ack(Bytes& out, const AckFrame& ack) {
    std::uint8_t frame[kAckFrameSize] = {static_cast<std::uint8_t>(FrameType::ack)};
    vxcp_store_be(frame + 1, ack.largest, 8);
    vxcp_store_be(frame + 9, ack.delay_us, 4);
    vxcp_store_be(frame + 13, ack.map, 8);
    out.insert(out.end(), frame, frame + kAckFrameSize);
}

void vxcp_append_fragment(Bytes& out, std::uint32_t message_id, std::uint16_t index,
                          std::uint16_t count, ByteView data) {
    std::uint8_t head[kFragmentHeadSize] = {static_cast<std::uint8_t>(FrameType::fragment)};
    vxcp_store_be(head + 1, message_id, 4);
    vxcp_store_be(head + 5, index, 2);
    vxcp_store_be(head + 7, count, 2);
    vxcp_store_be(head + 9, data.size(), 2);
    out.insert(out.end(), head, head + kFragmentHeadSize);
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
