// The STUN exchange on the video socket while its probe listener is armed: the answer must reach
// the waiting binding request, and the launcher's probes must still reach the listener.
#include <gtest/gtest.h>

#include <future>

#include "link/udp_sender.hpp"
#include "traversal/stun/stun_binding.hpp"
#include "traversal/turn/scripted_udp_peer.hpp"
#include "util/io/io_pool.hpp"

namespace vx::network {
namespace {

using test::Bytes;

// Answers a Binding request with a legacy probe first (the launcher punching at the same
// moment), then the XOR-mapped source address.
test::ScriptedUdpPeer::Script probe_then_answer() {
    return [](const Bytes& request, const asio::ip::udp::endpoint& from) {
        const StunTransactionId id = test::transaction_id_of(request);
        const auto ip = from.address().to_v4().to_bytes();
        const Bytes value = test::xor_address_value({ip[0], ip[1], ip[2], ip[3]}, from.port());
        const Bytes answer = test::build_stun(0x0101, id, [&](Bytes& out) {
            append_stun_attribute(out, kAttrXorMappedAddress, value.data(), value.size());
        });
        return std::vector<Bytes>{Bytes{0x01}, answer};
    };
}

TEST(VideoSocketHandoff, StunAnswerReachesTheRequestAndProbesTheListener) {
    asio::io_context io;
    UdpSender video(io);
    std::string error;
    ASSERT_TRUE(video.bind(0, error)) << error;
    const std::uint16_t local_port = video.local_port();
    StunResponseHandoff handoff;
    video.set_datagram_filter(
        [&](const std::uint8_t* data, std::size_t size, const asio::ip::udp::endpoint& from) {
            return handoff.offer(data, size, from);
        });
    std::promise<ProbeKind> probed;
    std::atomic<int> probes{0};
    video.set_on_probe([&](const ProbeEvent& event) {
        if (++probes == 1) {
            probed.set_value(event.kind);
        }
    });
    video.arm_probe_listener();
    IoPool pool(io);
    pool.start(2);

    test::ScriptedUdpPeer server(probe_then_answer());
    std::string address;
    std::uint16_t port = 0;
    const bool ok =
        stun_binding_request(video, "127.0.0.1", server.port(), address, port, handoff, 2000);
    auto probe = probed.get_future();
    const bool probe_seen = probe.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    video.close();
    pool.stop();

    ASSERT_TRUE(ok) << "the answer was swallowed by the probe listener";
    EXPECT_EQ(address, "127.0.0.1");
    EXPECT_EQ(port, local_port);
    ASSERT_TRUE(probe_seen) << "the probe was swallowed by the STUN hand-off";
    EXPECT_EQ(probe.get(), ProbeKind::legacy);
    EXPECT_EQ(probes.load(), 1);
    EXPECT_FALSE(handoff.waiting());
}

}  // namespace
}  // namespace vx::network
