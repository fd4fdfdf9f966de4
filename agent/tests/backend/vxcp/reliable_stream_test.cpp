#include "backend/vxcp/reliable_stream.hpp"

#include <gtest/gtest.h>

#include <string>

namespace vx::test {
namespace {

using namespace vx::network;

constexpr std::int64_t kMs = 1000;
constexpr std::int64_t kStart = 1'000'000;

StreamSettings settings(std::uint32_t max_message = 65536, std::int64_t keepalive_ms = 1000) {
    return StreamSettings{max_message, keepalive_ms * kMs, 60'000 * kMs};
}

std::vector<Frame> frames_of(const StreamPacket& p) {
    auto frames = vxcp_parse_frames(p.payload);
    EXPECT_TRUE(frames);
    return frames ? *frames : std::vector<Frame>{};
}

std::vector<FragmentFrame> fragments_of(const StreamPacket& p) {
    std::vector<FragmentFrame> out;
    for (const auto& f : frames_of(p)) {
        if (f.type == FrameType::fragment) {
            out.push_back(f.fragment);  // its data points into p.payload
        }
    }
    return out;
}

bool has_frame(const StreamPacket& p, FrameType type) {
    for (const auto& f : frames_of(p)) {
        if (f.type == type) {
            return true;
        }
    }
    return false;
}

Bytes payload_of(std::initializer_list<Bytes> frames) {
    Bytes out;
    for (const auto& f : frames) {
        out.insert(out.end(), f.begin(), f.end());
    }
    return out;
}

Bytes fragment(std::uint32_t id, std::uint16_t index, std::uint16_t count, std::string_view data) {
    Bytes out;
    vxcp_append_fragment(out, id, index, count, as_bytes(data));
    return out;
}

Bytes ack(std::uint64_t largest, std::uint64_t map, std::uint32_t delay = 0) {
    Bytes out;
    vxcp_append_ack(out, AckFrame{largest, delay, map});
    return out;
}

Bytes ping() {
    return Bytes{1};
}

// ---------------------------------------------------------------------------------------------

TEST(ReliableStreamSettings, WelcomeValuesAreClamped) {
    struct Case {
        std::uint32_t idle, keepalive, max_message;
        std::int32_t cap;
        std::int64_t want_keepalive_ms, want_idle_ms;
        std::uint32_t want_max;
    };
    const Case cases[] = {
        {15000, 1000, 262144, 2000, 1000, 15000, 262144},
        {15000, 0, 262144, 2000, 2000, 15000, 262144},     // 0 means the cap
        {15000, 5000, 262144, 2000, 2000, 15000, 262144},  // above the cap
        {15000, 0, 262144, 0, 2000, 15000, 262144},        // no cap at all
        {0, 1000, 262144, 2000, 1000, 2000, 262144},       // idle 0 would end at once
        {1500, 1000, 0, 2000, 1000, 2000, 1},              // limit 0 refuses everything
        {15000, 1000, 0xffffffffu, 2000, 1000, 15000, 65535u * 1100},
    };
    for (const auto& c : cases) {
        const auto s = vxcp_stream_settings(c.idle, c.keepalive, c.max_message, c.cap);
        EXPECT_EQ(s.keepalive_us, c.want_keepalive_ms * kMs);
        EXPECT_EQ(s.idle_timeout_us, c.want_idle_ms * kMs);
        EXPECT_EQ(s.max_message, c.want_max);
    }
}

TEST(ReliableStreamSend, FragmentationBoundaries) {
    ReliableStream s(settings(5000), kStart);
    EXPECT_TRUE(s.queue_message(Bytes(1100, 'a')));
    EXPECT_TRUE(s.queue_message(Bytes(1101, 'b')));
    EXPECT_TRUE(s.queue_message({}));
    EXPECT_TRUE(s.queue_message(Bytes(5000, 'c')));
    EXPECT_FALSE(s.queue_message(Bytes(5001, 'd')));  // one byte over the limit
    EXPECT_EQ(s.counters().messages_queued, 4u);

    std::vector<std::pair<std::uint32_t, std::pair<int, int>>> seen;  // id, (index, count)
    std::vector<std::size_t> sizes;
    while (auto p = s.build_packet(kStart)) {
        EXPECT_LE(p->payload.size() + 34, 1200u);
        for (const auto& f : fragments_of(*p)) {
            seen.push_back({f.message_id, {f.index, f.count}});
            sizes.push_back(f.data.size());
        }
    }
    const std::vector<std::pair<std::uint32_t, std::pair<int, int>>> want = {
        {0, {0, 1}}, {1, {0, 2}}, {1, {1, 2}}, {2, {0, 1}}, {3, {0, 5}},
        {3, {1, 5}}, {3, {2, 5}}, {3, {3, 5}}, {3, {4, 5}}};
    EXPECT_EQ(seen, want);
    EXPECT_EQ(sizes, (std::vector<std::size_t>{1100, 1100, 1, 0, 1100, 1100, 1100, 1100, 600}));
}

TEST(ReliableStreamSend, MessageOfMoreThan65535FragmentsIsRefused) {
    ReliableStream s(StreamSettings{0xffffffffu, 1000 * kMs, 60'000 * kMs}, kStart);
    EXPECT_FALSE(s.queue_message(Bytes(65535 * 1100 + 1, 0)));
    EXPECT_EQ(s.counters().messages_queued, 0u);
}

TEST(ReliableStreamSend, InFlightLimitAndRtoProbe) {
    ReliableStream s(settings(1 << 20), kStart);
    ASSERT_TRUE(s.queue_message(Bytes(100 * 1100, 'x')));
    int packets = 0;
    while (s.build_packet(kStart)) {
        ++packets;
    }
    EXPECT_EQ(packets, 64);
    EXPECT_EQ(s.in_flight(), 64u);
    // Before the RTO nothing else goes out.
    s.on_timer(kStart + s.rto_us() - 1);
    EXPECT_FALSE(s.build_packet(kStart + s.rto_us() - 1));
    const std::int64_t t = kStart + s.rto_us();
    s.on_timer(t);
    auto probe = s.build_packet(t);
    ASSERT_TRUE(probe);
    auto frags = fragments_of(*probe);
    ASSERT_FALSE(frags.empty());
    EXPECT_EQ(frags[0].index, 0);  // the oldest packet's fragment, put at the front
    EXPECT_EQ(s.counters().retransmitted, 1u);
    EXPECT_FALSE(s.build_packet(t));  // only one probe per RTO
}

TEST(ReliableStreamSend, RtoBacksOffAndIsCapped) {
    ReliableStream s(settings(), kStart);
    ASSERT_TRUE(s.queue_message(Bytes(10, 'x')));
    ASSERT_TRUE(s.build_packet(kStart));
    // 300 + 25 + 4 * 150 = 925 ms, then doubling up to 4 s.
    const std::int64_t want[] = {925, 1850, 3700, 4000, 4000};
    std::int64_t t = kStart;
    for (std::int64_t w : want) {
        EXPECT_EQ(s.rto_us(), w * kMs);
        t += s.rto_us();
        s.on_timer(t);
        ASSERT_TRUE(s.build_packet(t));
    }
}

TEST(ReliableStreamAck, MapAcknowledgesLargestAndSetBits) {
    ReliableStream s(settings(), kStart);
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(s.queue_message(Bytes(1000, 'x')));
        ASSERT_TRUE(s.build_packet(kStart));  // packets 1..6, one fragment each
    }
    std::vector<std::string> out;
    // Largest 5, bits 0 and 2: packets 5, 4 and 2.
    ASSERT_TRUE(s.on_packet(1, ack(5, 0b101), kStart + 10 * kMs, out));
    EXPECT_EQ(s.pending_fragments(), 3u);
    // 1 and 3 are below 5 by 3 or more / less than 3 but old: 1 is lost (4 below), 3 stays
    // until it is older than the loss time.
    EXPECT_EQ(s.in_flight(), 2u);  // 3 and 6
    EXPECT_EQ(s.counters().retransmitted, 1u);
}

// ACKs come from the peer: ranges at either end of the number space, or far past what was sent,
// acknowledge nothing and declare nothing lost.
TEST(ReliableStreamAck, RangesOfNumbersNeverSentChangeNothing) {
    constexpr std::uint64_t kTop = ~std::uint64_t{0};
    for (const std::uint64_t largest :
         std::initializer_list<std::uint64_t>{kTop, kTop - 1, 0, 100}) {
        ReliableStream s(settings(), kStart);
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(s.queue_message(Bytes(1000, 'x')));
            ASSERT_TRUE(s.build_packet(kStart));  // packets 1..3
        }
        std::vector<std::string> out;
        ASSERT_TRUE(s.on_packet(1, ack(largest, kTop), kStart + 10 * kMs, out)) << largest;
        EXPECT_EQ(s.pending_fragments(), 3u) << largest;
        EXPECT_EQ(s.in_flight(), 3u) << largest;
        EXPECT_EQ(s.counters().retransmitted, 0u) << largest;
    }
}

TEST(ReliableStreamAck, RttEstimation) {
    ReliableStream s(settings(), kStart);
    std::vector<std::string> out;
    ASSERT_TRUE(s.queue_message(Bytes(10, 'x')));
    ASSERT_TRUE(s.build_packet(kStart));
    // 100 ms sample with 10 ms ACK delay: 90 ms.
    ASSERT_TRUE(s.on_packet(1, ack(1, 0, 10'000), kStart + 100 * kMs, out));
    EXPECT_EQ(s.smoothed_rtt_us(), 90 * kMs);
    ASSERT_TRUE(s.queue_message(Bytes(10, 'y')));
    ASSERT_TRUE(s.build_packet(kStart + 100 * kMs));
    // 50 ms sample with a 40 ms delay claim: only 25 ms are taken off.
    ASSERT_TRUE(s.on_packet(2, ack(2, 0, 40'000), kStart + 150 * kMs, out));
    // var = (|90-25| + 3*45) / 4 = 50, srtt = (7*90 + 25) / 8 = 81.875
    EXPECT_EQ(s.smoothed_rtt_us(), (7 * 90'000 + 25'000) / 8);
    EXPECT_EQ(s.rto_us(), (7 * 90'000 + 25'000) / 8 + 25'000 + 4 * 50'000);
}

TEST(ReliableStreamAck, LossByTimeThreshold) {
    ReliableStream s(settings(), kStart);
    std::vector<std::string> out;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(s.queue_message(Bytes(1000, 'x')));
        ASSERT_TRUE(s.build_packet(kStart));
    }
    ASSERT_TRUE(s.on_packet(1, ack(2, 0), kStart + 100 * kMs, out));
    EXPECT_EQ(s.in_flight(), 1u);  // packet 1 is only one below and recent
    // threshold = max(srtt, latest) * 9/8 = 112.5 ms after its send.
    s.on_timer(kStart + 112 * kMs);
    EXPECT_EQ(s.in_flight(), 1u);
    s.on_timer(kStart + 113 * kMs);
    EXPECT_EQ(s.in_flight(), 0u);
    EXPECT_EQ(s.counters().retransmitted, 1u);
}

TEST(ReliableStreamReceive, DuplicatesAndOldPacketsAreOnlyReacknowledged) {
    ReliableStream s(settings(), kStart);
    std::vector<std::string> out;
    ASSERT_TRUE(s.on_packet(2000, payload_of({fragment(0, 0, 1, "a")}), kStart, out));
    ASSERT_TRUE(s.on_packet(2000, payload_of({fragment(1, 0, 1, "b")}), kStart, out));
    ASSERT_TRUE(s.on_packet(976, payload_of({fragment(1, 0, 1, "c")}), kStart, out));
    ASSERT_TRUE(s.on_packet(977, payload_of({fragment(1, 0, 1, "d")}), kStart, out));
    EXPECT_EQ(out, (std::vector<std::string>{"a", "d"}));
    EXPECT_EQ(s.counters().packets_received, 2u);
    auto p = s.build_packet(kStart);  // ACK due: several eliciting packets
    ASSERT_TRUE(p);
    const auto frames = frames_of(*p);
    ASSERT_EQ(frames.back().type, FrameType::ack);
    EXPECT_EQ(frames.back().ack.largest, 2000u);
}

// The peer numbers its packets from 1, one by one: a number it cannot have reached is refused
// before anything in its packet counts, and the window never moves to it.
TEST(ReliableStreamReceive, NumbersThePeerCannotHaveReachedAreRefused) {
    constexpr std::uint64_t kTop = ~std::uint64_t{0};
    constexpr std::uint64_t kJump = kVxcpMaxPacketJump;
    struct Arrival {
        std::uint64_t number;
        bool accepted;
    };
    const std::vector<std::vector<Arrival>> cases = {
        {{0, false}, {1, true}},
        {{kTop - 1, false}, {kTop, false}, {3, true}},
        {{kJump, true}, {kJump + 1, true}},
        {{kJump + 1, false}, {2, true}},
        {{5, true}, {5 + kJump, true}, {5 + 2 * kJump, true}},
        {{5, true}, {6 + kJump, false}, {4, true}},
    };
    for (const auto& arrivals : cases) {
        ReliableStream s(settings(), kStart);
        std::vector<std::string> out;
        std::uint64_t largest = 0;
        std::uint64_t accepted = 0;
        for (std::size_t k = 0; k < arrivals.size(); ++k) {
            const Arrival& a = arrivals[k];
            const Bytes payload =
                payload_of({fragment(static_cast<std::uint32_t>(k), 0, 1, "m"), ping()});
            EXPECT_EQ(s.on_packet(a.number, payload, kStart, out), a.accepted) << a.number;
            if (a.accepted) {
                largest = std::max(largest, a.number);
                ++accepted;
            }
        }
        const std::string context = "first arrival " + std::to_string(arrivals[0].number);
        EXPECT_EQ(s.counters().packets_received, accepted) << context;
        EXPECT_EQ(s.counters().packets_refused, arrivals.size() - accepted) << context;
        auto p = s.build_packet(kStart + 20 * kMs);
        ASSERT_TRUE(p) << context;
        EXPECT_EQ(frames_of(*p).back().ack.largest, largest) << context;
    }
}

TEST(ReliableStreamReceive, OutOfOrderFragmentsDeliverInIdOrder) {
    ReliableStream s(settings(), kStart);
    std::vector<std::string> out;
    ASSERT_TRUE(
        s.on_packet(1, payload_of({fragment(1, 1, 2, "D"), fragment(0, 1, 2, "B")}), kStart, out));
    ASSERT_TRUE(s.on_packet(2, payload_of({fragment(1, 0, 2, "C")}), kStart, out));
    EXPECT_TRUE(out.empty());
    ASSERT_TRUE(s.on_packet(3, payload_of({fragment(0, 0, 2, "A")}), kStart, out));
    EXPECT_EQ(out, (std::vector<std::string>{"AB", "CD"}));
    // An already delivered id is ignored without counting it as refused.
    ASSERT_TRUE(s.on_packet(4, payload_of({fragment(0, 0, 2, "X")}), kStart, out));
    EXPECT_EQ(out.size(), 2u);
    EXPECT_EQ(s.counters().fragments_refused, 0u);
}

TEST(ReliableStreamReceive, FragmentBeyondWindowIsRefusedAndItsPacketNotAcknowledged) {
    ReliableStream s(settings(), kStart);
    std::vector<std::string> out;
    // Message 1025 ahead of the next to deliver (0) rides with a PING in packet 7.
    ASSERT_TRUE(s.on_packet(7, payload_of({fragment(1025, 0, 1, "late"), ping()}), kStart, out));
    EXPECT_EQ(s.counters().fragments_refused, 1u);
    EXPECT_EQ(s.counters().packets_received, 0u);
    EXPECT_FALSE(s.build_packet(kStart + 100 * kMs));  // nothing to acknowledge
    // 1024 ahead is inside the window.
    ASSERT_TRUE(s.on_packet(8, payload_of({fragment(1024, 0, 1, "ok")}), kStart, out));
    EXPECT_EQ(s.counters().fragments_refused, 1u);
    auto p = s.build_packet(kStart + 20 * kMs);
    ASSERT_TRUE(p);
    const auto frames = frames_of(*p);
    ASSERT_EQ(frames.back().type, FrameType::ack);
    EXPECT_EQ(frames.back().ack.largest, 8u);
    EXPECT_EQ(frames.back().ack.map, 0u);  // packet 7 stays unacknowledged
    // The ACK carried by the refused packet is still processed.
    ReliableStream t(settings(), kStart);
    ASSERT_TRUE(t.queue_message(Bytes(5, 'z')));
    ASSERT_TRUE(t.build_packet(kStart));
    ASSERT_TRUE(t.on_packet(1, payload_of({fragment(5000, 0, 1, "far"), ack(1, 0)}),
                            kStart + 5 * kMs, out));
    EXPECT_EQ(t.pending_fragments(), 0u);
}

TEST(ReliableStreamSend, NeverSendsBeyondTheReceiverWindow) {
    ReliableStream s(settings(), kStart);
    for (int i = 0; i < 1500; ++i) {
        ASSERT_TRUE(s.queue_message({}));
    }
    std::uint32_t highest = 0;
    std::vector<std::string> out;
    // Acknowledge everything except packet 1 (which carried message 0).
    std::uint64_t last = 0;
    while (auto p = s.build_packet(kStart)) {
        for (const auto& f : fragments_of(*p)) {
            highest = std::max(highest, f.message_id);
        }
        last = p->number;
    }
    for (std::uint64_t n = 2; n <= last; ++n) {
        ASSERT_TRUE(s.on_packet(n, ack(n, 0), kStart + kMs, out));
    }
    while (auto p = s.build_packet(kStart + kMs)) {
        for (const auto& f : fragments_of(*p)) {
            highest = std::max(highest, f.message_id);
        }
    }
    EXPECT_LE(highest, 1024u);
}

TEST(ReliableStreamAck, TwoElicitingPacketsAckAtOnceOneWithin20Ms) {
    ReliableStream s(settings(), kStart);
    std::vector<std::string> out;
    ASSERT_TRUE(s.on_packet(1, ping(), kStart, out));
    EXPECT_FALSE(s.build_packet(kStart + 19 * kMs));
    auto p = s.build_packet(kStart + 20 * kMs);
    ASSERT_TRUE(p);
    EXPECT_TRUE(has_frame(*p, FrameType::ack));
    EXPECT_EQ(frames_of(*p).back().ack.delay_us, 20'000u);

    ASSERT_TRUE(s.on_packet(2, ping(), kStart + 30 * kMs, out));
    ASSERT_TRUE(s.on_packet(3, ping(), kStart + 30 * kMs, out));
    p = s.build_packet(kStart + 30 * kMs);
    ASSERT_TRUE(p);
    EXPECT_EQ(frames_of(*p).back().ack.largest, 3u);
    EXPECT_EQ(frames_of(*p).back().ack.map, 0b11u);
}

TEST(ReliableStreamSend, KeepAlivePingOncePerInterval) {
    ReliableStream s(settings(65536, 2000), kStart);
    int pings = 0;
    for (std::int64_t t = kStart; t < kStart + 10'000 * kMs; t += 10 * kMs) {
        while (auto p = s.build_packet(t)) {
            pings += has_frame(*p, FrameType::ping);
            std::vector<std::string> out;
            s.on_packet(p->number, ack(p->number, 0), t, out);  // acked at once
        }
    }
    EXPECT_EQ(pings, 4);  // at 2, 4, 6 and 8 s
}

TEST(ReliableStreamClose, CloseFrameComesFirstAndReasonIsCut) {
    ReliableStream s(settings(), kStart);
    s.queue_close(4000, std::string(300, 'r'));
    auto p = s.build_packet(kStart);
    ASSERT_TRUE(p);
    const auto frames = frames_of(*p);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].close.code, 4000);
    EXPECT_EQ(frames[0].close.reason.size(), 255u);
    ReliableStream r(settings(), kStart);
    std::vector<std::string> out;
    ASSERT_TRUE(r.on_packet(1, p->payload, kStart, out));
    EXPECT_TRUE(r.close_received());
    EXPECT_EQ(r.close_code(), 4000);
}

TEST(ReliableStreamReceive, MalformedPayloadsAreRefused) {
    ReliableStream s(settings(), kStart);
    std::vector<std::string> out;
    const Bytes good = payload_of({fragment(0, 0, 1, "abc"), ack(3, 1), ping()});
    for (std::size_t n = 1; n < good.size(); ++n) {
        if (n == 14 || n == 35) {
            continue;  // frame boundaries: a valid shorter payload
        }
        EXPECT_FALSE(s.on_packet(100 + n, ByteView(good).first(n), kStart, out)) << n;
    }
    EXPECT_FALSE(s.on_packet(1, Bytes{9}, kStart, out));
    EXPECT_FALSE(s.on_packet(1, payload_of({fragment(0, 0, 0, "")}), kStart, out));  // count 0
    EXPECT_FALSE(s.on_packet(1, payload_of({fragment(0, 2, 2, "")}), kStart, out));  // index
    EXPECT_TRUE(s.on_packet(1, {}, kStart, out));  // an empty payload is fine
}

TEST(ReliableStreamReceive, OversizeMessagesAreRefused) {
    ReliableStream s(settings(1200), kStart);
    std::vector<std::string> out;
    EXPECT_FALSE(s.oversize_message());
    ASSERT_TRUE(s.on_packet(1, payload_of({fragment(0, 0, 3, "x")}), kStart, out));  // 3300 > 2300
    EXPECT_EQ(s.counters().fragments_refused, 1u);
    EXPECT_EQ(s.oversize_message(), 0u);  // it can never complete now
    ASSERT_TRUE(
        s.on_packet(2, payload_of({fragment(0, 0, 2, std::string(900, 'a'))}), kStart, out));
    ASSERT_TRUE(
        s.on_packet(3, payload_of({fragment(0, 1, 2, std::string(400, 'b'))}), kStart, out));
    EXPECT_EQ(s.counters().fragments_refused, 2u);
    EXPECT_TRUE(out.empty());
    // One beyond the window is sent again later: that is no reason to give up on the stream.
    ReliableStream t(settings(1200), kStart);
    ASSERT_TRUE(t.on_packet(1, payload_of({fragment(1025, 0, 1, "x")}), kStart, out));
    EXPECT_EQ(t.counters().fragments_refused, 1u);
    EXPECT_FALSE(t.oversize_message());
}

}  // namespace
}  // namespace vx::test
