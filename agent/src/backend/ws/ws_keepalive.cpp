#include "backend/ws/ws_keepalive.hpp"

#include <algorithm>

namespace vx::network {

void WsKeepAlive::reset(std::int64_t now_us) {
    last_inbound_us_ = now_us;
    inbound_armed_ = false;
    last_ping_us_ = now_us - s_.ping_interval.count();
    outstanding_id_ = 0;
    ping_sent_us_ = 0;
    last_pong_us_ = 0;
    pings_ = 0;
    pongs_ = 0;
}

WsKeepAlive::Action WsKeepAlive::tick(std::int64_t now_us) {
    if (outstanding_id_ != 0) {
        if (now_us - ping_sent_us_ >= s_.pong_deadline.count())
            return Action::pong_timeout;
    } else if (now_us - last_ping_us_ >= s_.ping_interval.count()) {
        last_ping_us_ = ping_sent_us_ = now_us;
        if (++id_counter_ == 0)
            ++id_counter_;
        outstanding_id_ = id_counter_;
        ++pings_;
        on_inbound(now_us);
        inbound_armed_ = true;
        return Action::send_ping;
    }
    if (inbound_armed_ && now_us - last_inbound_us_ >= s_.inbound_silence.count()) {
        return Action::inbound_silent;
    }
    return Action::none;
}

std::int64_t WsKeepAlive::next_due_us() const {
    std::int64_t due = outstanding_id_ != 0 ? ping_sent_us_ + s_.pong_deadline.count()
                                            : last_ping_us_ + s_.ping_interval.count();
    if (inbound_armed_)
        due = std::min(due, last_inbound_us_ + s_.inbound_silence.count());
    return due;
}

void WsKeepAlive::on_inbound(std::int64_t now_us) {
    if (now_us > last_inbound_us_)
        last_inbound_us_ = now_us;
}

bool WsKeepAlive::on_pong(std::uint32_t id, std::int64_t now_us, std::int64_t& rtt_us) {
    ++pongs_;
    const bool matched = outstanding_id_ != 0 && id == outstanding_id_;
    rtt_us = matched ? now_us - ping_sent_us_ : 0;
    outstanding_id_ = 0;
    ping_sent_us_ = 0;
    last_pong_us_ = now_us;
    last_inbound_us_ = now_us;
    inbound_armed_ = true;
    return matched;
}

}  // namespace vx::network
