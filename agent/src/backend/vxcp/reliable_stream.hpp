#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "backend/vxcp/reliable_stream_containers.hpp"
#include "backend/vxcp/vxcp_frames.hpp"

// Reliable, ordered delivery of whole messages over VXCP/1 DATA packets. A pure engine: no socket,
// no clock of its own; every call takes `now` in microseconds of the steady clock.
namespace vx::network {

inline constexpr std::size_t kVxcpFragmentSize = 1100;
inline constexpr std::uint32_t kVxcpMaxFragments = 65535;  // the fragment count is 16 bits
inline constexpr std::size_t kVxcpMaxInFlight = 64;
inline constexpr std::uint32_t kVxcpReassemblyWindow = 1024;
// The peer numbers its packets from 1, one by one. A number further than this beyond the largest
// received would mean more than a million of its packets lost in a row, which its in-flight limit
// and the idle time-out end long before: such a packet is refused.
inline constexpr std::uint64_t kVxcpMaxPacketJump = std::uint64_t{1} << 20;

// Stream parameters learned from WELCOME, bounded so that no value can stall or break the stream.
struct StreamSettings {
    std::uint32_t max_message = 1;
    std::int64_t keepalive_us = 0;
    std::int64_t idle_timeout_us = 0;
};

// keep-alive 0 (or above the cap) becomes the cap (2 s when there is no cap); the idle time-out
// is at least twice the keep-alive; the message limit lies within 1 .. 65535 fragments.
StreamSettings vxcp_stream_settings(std::uint32_t idle_timeout_ms, std::uint32_t keepalive_ms,
                                    std::uint32_t max_message, std::int32_t keepalive_cap_ms);

struct StreamCounters {
    std::uint64_t packets_sent = 0;
    std::uint64_t packets_received = 0;  // duplicates not counted
    std::uint64_t retransmitted = 0;     // fragments
    std::uint64_t messages_queued = 0;
    std::uint64_t messages_delivered = 0;
    std::uint64_t fragments_refused = 0;
    std::uint64_t packets_refused = 0;  // numbered beyond where the peer can have reached
};

struct StreamPacket {
    std::uint64_t number = 0;
    Bytes payload;
};

class ReliableStream {
  public:
    ReliableStream(const StreamSettings& settings, std::int64_t now);

    // False (nothing queued) when the message exceeds the maximum message size.
    bool queue_message(ByteView message);
    // A CLOSE frame for the next packet.
    void queue_close(std::uint16_t code, std::string_view reason);

    std::optional<StreamPacket> build_packet(std::int64_t now);
    // The same into `payload`, whose storage is reused from one packet to the next; the number.
    std::optional<std::uint64_t> build_packet(std::int64_t now, Bytes& payload);
    // False for a malformed payload, and for a number the peer cannot have reached (counted as
    // refused). Complete messages are appended to `delivered` in order.
    bool on_packet(std::uint64_t number, ByteView payload, std::int64_t now,
                   std::vector<std::string>& delivered);
    void on_timer(std::int64_t now);
    // After a path move: everything unacknowledged goes out again and the RTT is learnt afresh.
    void on_path_change(std::int64_t now);

    // Earliest of keep-alive, idle time-out, ACK deadline and RTO.
    std::int64_t next_event() const;
    bool stalled(std::int64_t now, std::int64_t stall_us) const;
    bool idle_expired(std::int64_t now) const { return now - last_receive_ >= idle_timeout_us_; }

    // The first message of the peer refused for exceeding the maximum message size: none after
    // it can be delivered any more.
    std::optional<std::uint32_t> oversize_message() const { return oversize_message_; }
    bool close_received() const { return close_received_; }
    std::uint16_t close_code() const { return close_code_; }
    const std::string& close_reason() const { return close_reason_; }
    std::size_t pending_fragments() const { return pending_; }
    std::size_t in_flight() const { return in_flight_.size(); }
    std::int64_t smoothed_rtt_us() const { return srtt_; }
    std::int64_t rto_us() const;
    const StreamCounters& counters() const { return counters_; }
    const StreamSettings& settings() const { return settings_; }

  private:
    // A queued message until every fragment is acknowledged; its bytes are in `outgoing_bytes_`.
    struct Outgoing {
        MessageBytes::Place place;
        std::size_t size = 0;
        std::uint16_t count = 0;
        std::uint16_t unacked = 0;
        FragmentSet acked;
    };
    struct InFlight {
        std::int64_t sent = 0;
        std::vector<std::uint64_t> keys;
    };
    // Fragments that arrive in order are joined at once; one that overtakes a predecessor
    // waits in `later` until the gap is filled.
    struct Reassembly {
        std::uint16_t count = 0;   // 0 until a fragment of the message is taken
        std::uint16_t joined = 0;  // fragments 0 .. joined - 1 are in `whole`
        std::size_t bytes = 0;     // of every fragment taken
        std::string whole;
        std::map<std::uint16_t, std::string> later;
    };

    enum class Fill { done, budget };
    Fill fill_from(std::deque<std::uint64_t>& queue, bool is_retransmit, std::size_t budget,
                   Bytes& payload, std::vector<std::uint64_t>& keys);
    bool is_pending(std::uint64_t key) const;
    const Outgoing& message_of(std::uint64_t key) const;
    void acknowledge(std::uint64_t key);
    bool beyond_send_window(std::uint64_t key) const;
    bool window_refuses(std::uint32_t message_id) const;
    bool could_come(std::uint64_t number) const;
    void record_received(std::uint64_t number, std::int64_t now);
    Reassembly& slot(std::uint32_t ahead) {
        return reassembly_[(first_slot_ + ahead) % reassembly_.size()];
    }
    Reassembly& grown_slot(std::uint32_t ahead);
    void store_fragment(const FragmentFrame& f);
    void refuse_oversize(std::uint32_t message_id);
    void deliver_ready(std::vector<std::string>& delivered);
    void on_ack(const AckFrame& ack, std::int64_t now);
    void update_rtt(std::int64_t sample, std::uint32_t ack_delay);
    void detect_losses(std::int64_t now);
    void requeue(std::uint64_t key);
    AckFrame make_ack(std::int64_t now) const;
    void note_sent(std::uint64_t number, bool eliciting, std::vector<std::uint64_t> keys,
                   std::int64_t now);

    StreamSettings settings_;
    std::int64_t keepalive_us_;
    std::int64_t idle_timeout_us_;

    // Sending. Keys are (message sequence << 16 | fragment index); the sequence counts messages
    // without wrapping and its low 32 bits are the message id on the wire. `outgoing_` holds the
    // messages from sequence `outgoing_base_` on, the oldest of them still unacknowledged.
    std::uint64_t next_packet_ = 1;
    std::uint64_t next_message_seq_ = 0;
    std::deque<Outgoing> outgoing_;
    std::uint64_t outgoing_base_ = 0;
    MessageBytes outgoing_bytes_;
    std::size_t pending_ = 0;  // unacknowledged fragments
    std::deque<std::uint64_t> new_queue_;
    std::deque<std::uint64_t> retransmit_queue_;
    std::set<std::uint64_t> in_retransmit_queue_;
    std::map<std::uint64_t, InFlight> in_flight_;
    Bytes control_;

    // Loss recovery.
    std::uint64_t largest_acked_ = 0;
    std::int64_t srtt_;
    std::int64_t rttvar_;
    std::int64_t latest_rtt_;
    bool has_rtt_sample_ = false;
    int backoff_ = 0;
    std::int64_t rto_base_;
    std::int64_t last_send_;
    bool ping_requested_ = false;
    int probe_credits_ = 0;
    std::int64_t last_ack_progress_;
    std::uint32_t eliciting_since_progress_ = 0;

    // Receiving. The message next_deliver_ + d is reassembled in slot (first_slot_ + d) modulo the
    // size of `reassembly_`, a ring that grows up to the whole window as messages arrive further
    // ahead: slots are reused, so what arrives allocates nothing but its own bytes.
    ReceivedWindow received_;
    std::int64_t largest_arrival_ = 0;
    bool ack_pending_ = false;
    std::uint32_t eliciting_received_ = 0;
    bool ack_armed_ = false;
    std::int64_t ack_deadline_ = 0;
    std::int64_t last_receive_;
    std::vector<Reassembly> reassembly_;
    std::size_t first_slot_ = 0;
    std::uint32_t next_deliver_ = 0;
    std::optional<std::uint32_t> oversize_message_;
    bool close_received_ = false;
    std::uint16_t close_code_ = 0;
    std::string close_reason_;

    StreamCounters counters_;
};

}  // namespace vx::network
