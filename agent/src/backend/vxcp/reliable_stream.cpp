#include "backend/vxcp/reliable_stream.hpp"

#include <algorithm>
#include <array>
#include <limits>

namespace vx::network {

namespace {

// A DATA datagram is 18 header + payload + 16 tag <= 1200 bytes; an ACK frame takes 21.
constexpr std::size_t kPayloadBudget = 1166;
constexpr std::size_t kPayloadBudgetWithAck = kPayloadBudget - kAckFrameSize;
constexpr std::uint64_t kDuplicateWindow = ReceivedWindow::kSize;
// Fragments a packet carries as a rule: up to 5 of small messages, 1 of large ones.
constexpr std::size_t kKeysReserved = 8;
constexpr std::int64_t kAckDelayUs = 20'000;
constexpr std::uint32_t kElicitingBeforeImmediateAck = 2;
constexpr std::int64_t kInitialRttUs = 300'000;
constexpr std::int64_t kInitialRttVarUs = 150'000;
constexpr std::int64_t kMaxAckDelayUs = 25'000;  // peer's ACK delay allowance and loss-time floor
constexpr std::int64_t kMinRttVarTermUs = 10'000;
constexpr std::int64_t kMaxRtoUs = 4'000'000;
constexpr int kMaxBackoff = 8;
constexpr std::uint64_t kPacketThreshold = 3;
constexpr std::int64_t kDefaultKeepaliveMs = 2000;

std::uint64_t message_seq(std::uint64_t key) {
    return key >> 16;
}
std::uint16_t fragment_index(std::uint64_t key) {
    return static_cast<std::uint16_t>(key);
}

}  // namespace

StreamSettings vxcp_stream_settings(std::uint32_t idle_timeout_ms, std::uint32_t keepalive_ms,
                                    std::uint32_t max_message, std::int32_t keepalive_cap_ms) {
    std::int64_t keepalive = keepalive_ms;
    if (keepalive_cap_ms > 0 && (keepalive == 0 || keepalive > keepalive_cap_ms)) {
        keepalive = keepalive_cap_ms;
    }
    if (keepalive == 0) {
        keepalive = kDefaultKeepaliveMs;
    }
    const std::int64_t idle = std::max<std::int64_t>(idle_timeout_ms, 2 * keepalive);
    StreamSettings s;
    s.max_message = std::clamp<std::uint32_t>(
        max_message, 1, static_cast<std::uint32_t>(kVxcpMaxFragments * kVxcpFragmentSize));
    s.keepalive_us = keepalive * 1000;
    s.idle_timeout_us = idle * 1000;
    return s;
}

ReliableStream::ReliableStream(const StreamSettings& settings, std::int64_t now)
    : settings_(settings),
      keepalive_us_(std::max<std::int64_t>(settings.keepalive_us, 1000)),
      idle_timeout_us_(std::max<std::int64_t>(settings.idle_timeout_us, 2 * keepalive_us_)),
      srtt_(kInitialRttUs),
      rttvar_(kInitialRttVarUs),
      latest_rtt_(kInitialRttUs),
      rto_base_(now),
      last_send_(now),
      last_ack_progress_(now),
      last_receive_(now) {}

bool ReliableStream::queue_message(ByteView message) {
    if (message.size() > settings_.max_message) {
        return false;
    }
    const std::size_t count =
        std::max<std::size_t>((message.size() + kVxcpFragmentSize - 1) / kVxcpFragmentSize, 1);
    if (count > kVxcpMaxFragments) {
        return false;
    }
    const std::uint64_t seq = next_message_seq_++;
    const auto fragments = static_cast<std::uint16_t>(count);
    outgoing_.push_back(Outgoing{outgoing_bytes_.append(message), message.size(), fragments,
                                 fragments, FragmentSet(count)});
    for (std::size_t i = 0; i < count; ++i) {
        new_queue_.push_back((seq << 16) | i);
    }
    pending_ += count;
    ++counters_.messages_queued;
    return true;
}

bool ReliableStream::is_pending(std::uint64_t key) const {
    return message_seq(key) >= outgoing_base_ &&
           !message_of(key).acked.contains(fragment_index(key));
}

// Precondition: the message has not been dropped, which is_pending(key) tells.
const ReliableStream::Outgoing& ReliableStream::message_of(std::uint64_t key) const {
    return outgoing_[message_seq(key) - outgoing_base_];
}

void ReliableStream::acknowledge(std::uint64_t key) {
    if (!is_pending(key)) {
        return;
    }
    Outgoing& m = outgoing_[message_seq(key) - outgoing_base_];
    m.acked.insert(fragment_index(key));
    --pending_;
    --m.unacked;
    // Messages leave from the front only, so the oldest message kept is always unacknowledged.
    if (outgoing_.front().unacked == 0) {
        while (!outgoing_.empty() && outgoing_.front().unacked == 0) {
            outgoing_.pop_front();
            ++outgoing_base_;
        }
        outgoing_bytes_.release_before(outgoing_.empty() ? std::nullopt
                                                         : std::optional(outgoing_.front().place));
    }
}

void ReliableStream::queue_close(std::uint16_t code, std::string_view reason) {
    control_.clear();
    vxcp_append_close(control_, code, reason);
}

// The peer reassembles only messages less than 1025 ids ahead of the next one it delivers; it
// can be no further than our oldest unacknowledged message, so nothing beyond that goes out.
bool ReliableStream::beyond_send_window(std::uint64_t key) const {
    return pending_ != 0 && message_seq(key) - outgoing_base_ > kVxcpReassemblyWindow;
}

ReliableStream::Fill ReliableStream::fill_from(std::deque<std::uint64_t>& queue, bool is_retransmit,
                                               std::size_t budget, Bytes& payload,
                                               std::vector<std::uint64_t>& keys) {
    while (!queue.empty()) {
        const std::uint64_t key = queue.front();
        if (!is_pending(key)) {
            queue.pop_front();
            if (is_retransmit) {
                in_retransmit_queue_.erase(key);
            }
            continue;
        }
        const Outgoing& m = message_of(key);
        const std::size_t from = std::size_t{fragment_index(key)} * kVxcpFragmentSize;
        const ByteView data = outgoing_bytes_.view(m.place, m.size)
                                  .subspan(from, std::min(kVxcpFragmentSize, m.size - from));
        if (payload.size() + kFragmentHeadSize + data.size() > budget ||
            (!is_retransmit && beyond_send_window(key))) {
            return Fill::budget;
        }
        queue.pop_front();
        if (is_retransmit) {
            in_retransmit_queue_.erase(key);
        }
        vxcp_append_fragment(payload, static_cast<std::uint32_t>(message_seq(key)),
                             fragment_index(key), m.count, data);
        keys.push_back(key);
    }
    return Fill::done;
}

std::optional<StreamPacket> ReliableStream::build_packet(std::int64_t now) {
    StreamPacket packet;
    const auto number = build_packet(now, packet.payload);
    if (!number) {
        return std::nullopt;
    }
    packet.number = *number;
    return packet;
}

std::optional<std::uint64_t> ReliableStream::build_packet(std::int64_t now, Bytes& payload) {
    payload.assign(control_.begin(), control_.end());
    control_.clear();
    const bool ack_due = ack_pending_ && (eliciting_received_ >= kElicitingBeforeImmediateAck ||
                                          (ack_armed_ && now >= ack_deadline_));
    const std::size_t budget = ack_pending_ ? kPayloadBudgetWithAck : kPayloadBudget;
    std::vector<std::uint64_t> keys;
    keys.reserve(kKeysReserved);
    if (in_flight_.size() < kVxcpMaxInFlight) {
        if (fill_from(retransmit_queue_, true, budget, payload, keys) == Fill::done) {
            fill_from(new_queue_, false, budget, payload, keys);
        }
    } else if (probe_credits_ > 0) {
        fill_from(retransmit_queue_, true, budget, payload, keys);
    }
    bool ping = false;
    if (keys.empty() &&
        (ping_requested_ || probe_credits_ > 0 || now - last_send_ >= keepalive_us_)) {
        vxcp_append_ping(payload);
        ping = true;
    }
    if (payload.empty() && !ack_due) {
        return std::nullopt;
    }
    if (ack_pending_) {
        vxcp_append_ack(payload, make_ack(now));
        ack_pending_ = false;
        eliciting_received_ = 0;
        ack_armed_ = false;
    }
    const std::uint64_t number = next_packet_++;
    const bool eliciting = ping || !keys.empty();
    note_sent(number, eliciting, std::move(keys), now);
    return number;
}

void ReliableStream::note_sent(std::uint64_t number, bool eliciting,
                               std::vector<std::uint64_t> keys, std::int64_t now) {
    if (eliciting) {
        ++eliciting_since_progress_;
        in_flight_[number] = InFlight{now, std::move(keys)};
        rto_base_ = now;
        ping_requested_ = false;
        if (probe_credits_ > 0) {
            --probe_credits_;
        }
    }
    last_send_ = now;
    ++counters_.packets_sent;
}

AckFrame ReliableStream::make_ack(std::int64_t now) const {
    AckFrame ack;
    ack.largest = received_.largest();
    const std::int64_t delay = std::clamp<std::int64_t>(now - largest_arrival_, 0,
                                                        std::numeric_limits<std::uint32_t>::max());
    ack.delay_us = static_cast<std::uint32_t>(delay);
    for (std::uint64_t i = 0; i < 64 && i + 1 < ack.largest; ++i) {
        if (received_.contains(ack.largest - 1 - i)) {
            ack.map |= std::uint64_t{1} << i;
        }
    }
    return ack;
}

bool ReliableStream::window_refuses(std::uint32_t message_id) const {
    const std::uint32_t d = message_id - next_deliver_;
    return d < 0x8000'0000u && d > kVxcpReassemblyWindow;
}

bool ReliableStream::could_come(std::uint64_t number) const {
    const std::uint64_t largest = received_.largest();
    return number != 0 && (number <= largest || number - largest <= kVxcpMaxPacketJump);
}

bool ReliableStream::on_packet(std::uint64_t number, ByteView payload, std::int64_t now,
                               std::vector<std::string>& delivered) {
    if (!could_come(number)) {
        ++counters_.packets_refused;
        return false;
    }
    // A first reading refuses a malformed payload before anything in it is acted on.
    bool eliciting = false;
    bool refused_for_window = false;
    Frame f;
    FrameReader check(payload);
    while (check.next(f)) {
        eliciting |= f.type == FrameType::ping || f.type == FrameType::fragment;
        refused_for_window |=
            f.type == FrameType::fragment && window_refuses(f.fragment.message_id);
    }
    if (check.malformed()) {
        return false;
    }
    last_receive_ = now;
    const std::uint64_t largest = received_.largest();
    const bool duplicate =
        received_.contains(number) || (number <= largest && largest - number >= kDuplicateWindow);
    // A packet holding a fragment refused for the window is neither recorded nor acknowledged,
    // so the peer sends that fragment again once the window has moved.
    if (eliciting && !refused_for_window) {
        ack_pending_ = true;
        ++eliciting_received_;
        if (!ack_armed_) {
            ack_deadline_ = now + kAckDelayUs;
            ack_armed_ = true;
        }
    }
    if (duplicate) {
        return true;
    }
    if (!refused_for_window) {
        record_received(number, now);
    }
    FrameReader reader(payload);
    while (reader.next(f)) {
        if (f.type == FrameType::ack) {
            on_ack(f.ack, now);
        } else if (f.type == FrameType::fragment) {
            store_fragment(f.fragment);
        } else if (f.type == FrameType::close) {
            close_code_ = f.close.code;
            close_reason_ = f.close.reason;
            close_received_ = true;
        }
    }
    deliver_ready(delivered);
    return true;
}

void ReliableStream::record_received(std::uint64_t number, std::int64_t now) {
    ++counters_.packets_received;
    if (number > received_.largest()) {
        largest_arrival_ = now;
    }
    received_.insert(number);
}

void ReliableStream::store_fragment(const FragmentFrame& f) {
    const std::uint32_t d = f.message_id - next_deliver_;
    if (d >= 0x8000'0000u) {
        return;  // already delivered
    }
    if (d > kVxcpReassemblyWindow) {
        ++counters_.fragments_refused;
        return;
    }
    if (std::uint64_t{f.count} * kVxcpFragmentSize > settings_.max_message + kVxcpFragmentSize) {
        refuse_oversize(f.message_id);
        return;
    }
    Reassembly& r = grown_slot(d);
    if (r.count == 0) {
        r.count = f.count;
    }
    if (r.count != f.count || f.index < r.joined || r.later.count(f.index) != 0) {
        return;
    }
    if (r.bytes + f.data.size() > settings_.max_message) {
        refuse_oversize(f.message_id);
        return;
    }
    r.bytes += f.data.size();
    const std::string_view data(reinterpret_cast<const char*>(f.data.data()), f.data.size());
    if (f.index != r.joined) {
        r.later.emplace(f.index, data);
        return;
    }
    r.whole += data;
    ++r.joined;
    for (auto it = r.later.begin(); it != r.later.end() && it->first == r.joined;
         it = r.later.erase(it)) {
        r.whole += it->second;
        ++r.joined;
    }
}

// The packet that carried the fragment is acknowledged, so the peer never sends it again: the
// message can never complete, and every later one waits behind it.
void ReliableStream::refuse_oversize(std::uint32_t message_id) {
    ++counters_.fragments_refused;
    if (!oversize_message_) {
        oversize_message_ = message_id;
    }
}

ReliableStream::Reassembly& ReliableStream::grown_slot(std::uint32_t ahead) {
    if (ahead >= reassembly_.size()) {
        // Unrolled into delivery order first, so the slots keep their messages.
        std::rotate(reassembly_.begin(),
                    reassembly_.begin() + static_cast<std::ptrdiff_t>(first_slot_),
                    reassembly_.end());
        first_slot_ = 0;
        const std::size_t wanted = std::max<std::size_t>(reassembly_.size() * 2, ahead + 1);
        reassembly_.resize(std::min<std::size_t>(wanted, kVxcpReassemblyWindow + 1));
    }
    return slot(ahead);
}

void ReliableStream::deliver_ready(std::vector<std::string>& delivered) {
    while (!reassembly_.empty()) {
        Reassembly& r = slot(0);
        if (r.count == 0 || r.joined != r.count) {
            return;
        }
        std::string message = std::move(r.whole);
        r = Reassembly{};
        first_slot_ = (first_slot_ + 1) % reassembly_.size();
        delivered.push_back(std::move(message));
        ++next_deliver_;
        ++counters_.messages_delivered;
    }
}

void ReliableStream::on_ack(const AckFrame& ack, std::int64_t now) {
    std::array<std::uint64_t, 65> acked;  // the largest and the 64 before it
    std::size_t acked_count = 0;
    const auto largest_it = in_flight_.find(ack.largest);
    if (largest_it != in_flight_.end()) {
        acked[acked_count++] = ack.largest;
    }
    for (std::uint64_t i = 0; i < 64; ++i) {
        if ((ack.map >> i & 1) != 0 && ack.largest >= i + 2 &&
            in_flight_.count(ack.largest - 1 - i) != 0) {
            acked[acked_count++] = ack.largest - 1 - i;
        }
    }
    if (acked_count == 0) {
        return;
    }
    last_ack_progress_ = now;
    eliciting_since_progress_ = 0;
    if (largest_it != in_flight_.end()) {
        update_rtt(now - largest_it->second.sent, ack.delay_us);
    }
    for (std::size_t i = 0; i < acked_count; ++i) {
        const auto it = in_flight_.find(acked[i]);
        for (std::uint64_t key : it->second.keys) {
            acknowledge(key);
        }
        in_flight_.erase(it);
    }
    largest_acked_ = std::max(largest_acked_, std::min(ack.largest, next_packet_ - 1));
    backoff_ = 0;
    detect_losses(now);
}

void ReliableStream::update_rtt(std::int64_t sample, std::uint32_t ack_delay) {
    if (sample > std::int64_t{ack_delay}) {
        sample -= std::min<std::int64_t>(ack_delay, kMaxAckDelayUs);
    }
    sample = std::max<std::int64_t>(sample, 1);
    latest_rtt_ = sample;
    if (!has_rtt_sample_) {
        srtt_ = sample;
        rttvar_ = sample / 2;
        has_rtt_sample_ = true;
        return;
    }
    rttvar_ = (std::abs(srtt_ - sample) + 3 * rttvar_) / 4;
    srtt_ = (7 * srtt_ + sample) / 8;
}

void ReliableStream::requeue(std::uint64_t key) {
    if (is_pending(key) && in_retransmit_queue_.insert(key).second) {
        retransmit_queue_.push_back(key);
        ++counters_.retransmitted;
    }
}

void ReliableStream::detect_losses(std::int64_t now) {
    const std::int64_t threshold = std::max(std::max(srtt_, latest_rtt_) * 9 / 8, kMaxAckDelayUs);
    for (auto it = in_flight_.begin(); it != in_flight_.end() && it->first < largest_acked_;) {
        if (largest_acked_ - it->first < kPacketThreshold && now - it->second.sent < threshold) {
            ++it;
            continue;
        }
        for (std::uint64_t key : it->second.keys) {
            requeue(key);
        }
        it = in_flight_.erase(it);
    }
}

std::int64_t ReliableStream::rto_us() const {
    const std::int64_t base = srtt_ + kMaxAckDelayUs + std::max(4 * rttvar_, kMinRttVarTermUs);
    return std::min(base << std::min(backoff_, kMaxBackoff), kMaxRtoUs);
}

void ReliableStream::on_timer(std::int64_t now) {
    if (largest_acked_ != 0) {
        detect_losses(now);
    }
    if (in_flight_.empty() || now < rto_base_ + rto_us()) {
        return;
    }
    ++backoff_;
    bool queued = false;
    for (std::uint64_t key : in_flight_.begin()->second.keys) {
        if (is_pending(key) && in_retransmit_queue_.count(key) == 0) {
            in_retransmit_queue_.insert(key);
            retransmit_queue_.push_front(key);
            ++counters_.retransmitted;
            queued = true;
            break;
        }
    }
    if (!queued) {
        ping_requested_ = true;
    }
    rto_base_ = now;
    probe_credits_ = 1;
}

void ReliableStream::on_path_change(std::int64_t now) {
    for (const auto& [number, packet] : in_flight_) {
        for (std::uint64_t key : packet.keys) {
            requeue(key);
        }
    }
    in_flight_.clear();
    srtt_ = kInitialRttUs;
    rttvar_ = kInitialRttVarUs;
    latest_rtt_ = kInitialRttUs;
    has_rtt_sample_ = false;
    backoff_ = 0;
    rto_base_ = now;
    last_ack_progress_ = now;
    eliciting_since_progress_ = 0;
    last_receive_ = now;
    ping_requested_ = true;
    if (received_.largest() != 0) {
        ack_pending_ = true;
        ack_armed_ = true;
        ack_deadline_ = now;
    }
}

std::int64_t ReliableStream::next_event() const {
    std::int64_t next = std::min(last_send_ + keepalive_us_, last_receive_ + idle_timeout_us_);
    if (ack_armed_) {
        next = std::min(next, ack_deadline_);
    }
    if (!in_flight_.empty()) {
        next = std::min(next, rto_base_ + rto_us());
    }
    return next;
}

bool ReliableStream::stalled(std::int64_t now, std::int64_t stall_us) const {
    return !in_flight_.empty() && eliciting_since_progress_ >= 8 &&
           now - in_flight_.begin()->second.sent >= stall_us &&
           now - last_ack_progress_ >= stall_us;
}

}  // namespace vx::network
