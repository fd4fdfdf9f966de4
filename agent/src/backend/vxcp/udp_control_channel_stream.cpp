#include <spdlog/spdlog.h>

#include <algorithm>

#include "backend/vxcp/udp_control_channel.hpp"
#include "util/outside_text.hpp"

// The live connection: DATA in and out, timers, close and the move onto a relay.
namespace vx::network {

namespace {

constexpr std::int64_t kMinStallUs = 500'000;
constexpr std::int64_t kCloseDrainUs = 1'500'000;
constexpr int kCloseCopies = 3;

}  // namespace

bool UdpControlChannel::queue_message(ByteView message) {
    return alive_ && stream_ && stream_->queue_message(message);
}

void UdpControlChannel::send() {
    if (!alive_ || !stream_) {
        return;
    }
    const std::int64_t t = now();
    while (const auto number = stream_->build_packet(t, outgoing_)) {
        vxcp_seal_data(connection_id_, *number, keys_.c2s, "c2s", outgoing_, sealed_);
        path_->send(sealed_);
    }
}

void UdpControlChannel::on_datagram(ByteView datagram, std::vector<std::string>& delivered) {
    const auto header = vxcp_parse_header(datagram);
    if (!header || header->version != kVxcpVersion || header->connection_id != connection_id_) {
        ++dropped_;
        return;
    }
    if (header->type == std::uint8_t(VxcpType::reset) &&
        vxcp_is_valid_reset(datagram, connection_id_, reset_token_)) {
        fail("server reset the connection (backend restarted)", false);
        return;
    }
    // Packet number 0 would reuse the WELCOME's nonce under the same key.
    if (header->type == std::uint8_t(VxcpType::data) && header->packet_number != 0) {
        const auto number = vxcp_open_data(datagram, connection_id_, keys_.s2c, "s2c", opened_);
        if (number && stream_->on_packet(*number, opened_, now(), delivered)) {
            return;
        }
        if (number) {
            note_refused_number(*number);
        }
    }
    ++dropped_;
}

void UdpControlChannel::note_refused_number(std::uint64_t number) {
    const std::uint64_t refused = stream_->counters().packets_refused;
    // Only a holder of this connection's keys can number a packet: one line tells that the
    // backend misbehaves, more would only fill the log.
    if (refused != refused_seen_ && refused_seen_ == 0) {
        spdlog::warn(
            "VXCP: dropped a packet numbered {}, which the backend cannot have reached (more than "
            "{} beyond the largest received); later ones on this connection are dropped without "
            "a line",
            number, kVxcpMaxPacketJump);
    }
    refused_seen_ = refused;
}

void UdpControlChannel::tick(int wait_ms, std::vector<std::string>& delivered) {
    if (!alive_ || !stream_) {
        return;
    }
    const std::int64_t until_event = std::max<std::int64_t>(next_timer_us() - now(), 0);
    const std::int64_t wait_us = std::min<std::int64_t>(std::int64_t{wait_ms} * 1000, until_event);
    if (wait_us > 0) {
        if (const std::size_t n = receive(static_cast<int>((wait_us + 999) / 1000)); n > 0) {
            on_datagram(ByteView(buffer_.data(), n), delivered);
        }
        if (!alive_) {
            return;
        }
    }
    for (int i = 0; i < kMaxDatagramsPerWake && alive_; ++i) {
        const std::size_t n = receive(0);
        if (n == 0) {
            break;
        }
        on_datagram(ByteView(buffer_.data(), n), delivered);
    }
    if (!alive_) {
        return;
    }
    if (stream_->close_received()) {
        backend_close_code_ = stream_->close_code();
        backend_close_reason_ = stream_->close_reason();
        // The reason is the backend's text and the end reason goes into a log line: defused,
        // and whole as long as it is printable.
        fail("closed by the backend (" + std::to_string(backend_close_code_) +
                 (backend_close_reason_.empty()
                      ? ""
                      : " " + util::quote_outside_text(backend_close_reason_, kMaxCloseReason)) +
                 ")",
             false);
        return;
    }
    if (const auto id = stream_->oversize_message()) {
        const std::uint32_t limit = stream_->settings().max_message;
        spdlog::warn(
            "VXCP: the backend sent message {} over its own limit of {} B - refused, and no later "
            "message can be delivered on this connection, so it ends",
            *id, limit);
        fail("message " + std::to_string(*id) + " from the backend over the " +
                 std::to_string(limit) + " B limit",
             false);
        return;
    }
    const std::int64_t t = now();
    stream_->on_timer(t);
    const std::int64_t stall_us =
        std::max<std::int64_t>(std::int64_t{config_.stall_threshold_ms} * 1000, kMinStallUs);
    if (stream_->stalled(t, stall_us)) {
        try_stall_move(t);
        return;
    }
    if (stream_->idle_expired(t)) {
        fail("nothing received for " + std::to_string(stream_->settings().idle_timeout_us / 1000) +
                 " ms",
             true);
        return;
    }
    maintain_relay(t);
    send();
}

std::int64_t UdpControlChannel::next_timer_us() const {
    if (!alive_ || !stream_) {
        return now();
    }
    const std::int64_t next = stream_->next_event();
    return on_relay() ? std::min(next, relay_upkeep_us_) : next;
}

void UdpControlChannel::try_stall_move(std::int64_t now_us) {
    if (!on_relay() && !move_tried_) {
        move_tried_ = true;
        const std::size_t unacked = stream_->pending_fragments();
        std::string err;
        if (switch_to_relay(err)) {
            moved_for_stall_ = true;
            spdlog::warn(
                "VXCP: the direct path to {} stopped answering - this connection moved to relay "
                "{} in {} ms; {} unacknowledged fragment(s) resent there, nothing lost",
                endpoint_text(), path_->relayed_endpoint(), (now() - now_us) / 1000, unacked);
            return;
        }
        move_error_ = err;
        spdlog::warn(
            "VXCP: the direct path stalled and the connection could not move to a relay ({}) - "
            "reconnecting",
            err);
    }
    fail("no answer for " + std::to_string(config_.stall_threshold_ms) +
             " ms with packets in flight (path stalled)",
         true);
}

bool UdpControlChannel::switch_to_relay(std::string& err) {
    if (!standby_relay_) {
        err = "no relay credentials yet";
        return false;
    }
    auto relay = seams_.open_relay(*standby_relay_, endpoint_, err);
    if (!relay) {
        return false;
    }
    path_ = std::move(relay);  // closes the direct socket
    path_->set_wake_fd(seams_.live_wake_fd);
    const std::int64_t t = now();
    relay_upkeep_us_ = t + kRelayUpkeep.count();
    stream_->on_path_change(t);
    send();
    return true;
}

bool UdpControlChannel::move_to_relay(std::string& err) {
    if (!alive_ || !stream_) {
        err = "connection not alive";
        return false;
    }
    if (on_relay()) {
        err = "already on a relay";
        return false;
    }
    return switch_to_relay(err);
}

void UdpControlChannel::maintain_relay(std::int64_t now_us) {
    if (!on_relay() || now_us < relay_upkeep_us_) {
        return;
    }
    relay_upkeep_us_ = now_us + kRelayUpkeep.count();
    std::string err;
    if (!path_->maintain(err)) {
        fail("relay allocation lost: " + err, true);
    }
}

void UdpControlChannel::close(std::uint16_t code, std::string_view reason,
                              std::vector<std::string>* delivered) {
    if (!stream_) {
        return;
    }
    standby_relay_.reset();
    move_tried_ = true;
    // The drain below waits for acknowledgements only: queued messages are not sent any more.
    path_->set_wake_fd(-1);
    const std::int64_t start = now();
    send();  // what was queued but not yet sent goes out before the drain waits for ACKs
    std::vector<std::string> ignored;
    while (alive_ && stream_->pending_fragments() > 0 && now() < start + kCloseDrainUs) {
        const auto left_ms = (start + kCloseDrainUs - now()) / 1000;
        tick(static_cast<int>(std::max<std::int64_t>(left_ms, 1)),
             delivered ? *delivered : ignored);
    }
    for (int i = 0; i < kCloseCopies && alive_; ++i) {
        stream_->queue_close(code, reason);
        send();
    }
    fail("closed by the agent (" + std::to_string(code) + ")", false);
}

}  // namespace vx::network
