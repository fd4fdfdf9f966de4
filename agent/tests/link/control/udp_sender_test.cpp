#include <gtest/gtest.h>

#include <asio.hpp>
#include <atomic>
#include <future>

#include "link/udp_sender.hpp"
#include "support/eventually.hpp"
#include "support/fake_clock.hpp"
#include "support/log_lines.hpp"
#include "util/io/io_pool.hpp"

namespace vx {
namespace {

class UdpSenderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(sender_.bind(0, error)) << error;
        peer_.open(asio::ip::udp::v4());
        peer_.bind({asio::ip::make_address("127.0.0.1"), 0});
        pool_.start(2);
    }
    void TearDown() override {
        sender_.close();
        pool_.stop();
    }
    void send(const std::string& text) { send_from(peer_, text); }
    void send_from(asio::ip::udp::socket& from, const std::string& text) {
        from.send_to(asio::buffer(text),
                     {asio::ip::make_address("127.0.0.1"), sender_.local_port()});
    }
    std::string receive() {
        char buf[64];
        asio::ip::udp::endpoint from;
        const std::size_t n = peer_.receive_from(asio::buffer(buf), from);
        return std::string(buf, n);
    }

    asio::io_context io_;
    IoPool pool_{io_};
    test::FakeClock clock_;
    UdpSender sender_{io_, clock_.fn()};
    asio::io_context peer_io_;
    asio::ip::udp::socket peer_{peer_io_};
};

TEST_F(UdpSenderTest, ConnectivityCheckIsEchoedAndProvesThePath) {
    std::promise<ProbeEvent> seen;
    sender_.set_on_probe([&](const ProbeEvent& e) { seen.set_value(e); });
    sender_.arm_probe_listener();
    sender_.arm_probe_listener();  // a second arming while armed changes nothing
    send("VXK1tokentok");
    EXPECT_EQ(receive(), "VXK1tokentok");
    const ProbeEvent event = seen.get_future().get();
    EXPECT_EQ(event.kind, ProbeKind::check);
    EXPECT_EQ(event.from.port(), peer_.local_endpoint().port());
    ASSERT_TRUE(sender_.proven_endpoint());
    EXPECT_EQ(*sender_.proven_endpoint(), event.from);
}

TEST_F(UdpSenderTest, ClosingAnArmedListenerFreesThePort) {
    sender_.arm_probe_listener();
    const std::uint16_t port = sender_.local_port();
    sender_.close();
    UdpSender next(io_);
    std::string error;
    EXPECT_TRUE(next.bind(port, error)) << error;  // the next session binds the same port
}

TEST_F(UdpSenderTest, JunkAndForeignTokensProveNothing) {
    std::promise<ProbeEvent> seen;
    sender_.set_probe_token(ProbeToken{'s', 'e', 'c', 'r', 'e', 't', '0', '1'});
    sender_.set_on_probe([&](const ProbeEvent& e) { seen.set_value(e); });
    sender_.arm_probe_listener();
    send("hello world");
    send("VXK1othertok");  // wrong token: not echoed
    send("VXP1secret01");
    const ProbeEvent event = seen.get_future().get();
    EXPECT_EQ(event.kind, ProbeKind::hole_punch);
    send("VXK1");  // a check without a token is accepted and echoed
    EXPECT_EQ(receive(), "VXK1");
}

// The router forwards the media port to anyone: probes from ever-changing sources cost a log line
// a second, not one each, and the next line tells how many changes it leaves out.
TEST_F(UdpSenderTest, ProbesFromChangingSourcesAreLoggedOnceASecond) {
    test::LogLines log;
    std::atomic<int> probes{0};
    sender_.set_on_probe([&](const ProbeEvent&) { ++probes; });
    sender_.arm_probe_listener();
    asio::ip::udp::socket other(peer_io_);
    other.open(asio::ip::udp::v4());
    other.bind({asio::ip::make_address("127.0.0.1"), 0});
    for (int i = 0; i < 40; ++i) {
        send_from(i % 2 == 0 ? other : peer_, "VXP1");
    }
    ASSERT_TRUE(test::eventually([&] { return probes == 40; }, std::chrono::seconds(20)));
    EXPECT_EQ(log.count("proved the path"), 1);
    clock_.advance_ms(1000);
    send_from(other, "VXP1");
    ASSERT_TRUE(test::eventually([&] { return probes == 41; }, std::chrono::seconds(20)));
    EXPECT_EQ(log.count("proved the path"), 2);
    EXPECT_EQ(log.count("the source changed 39 times before it"), 1);
    EXPECT_EQ(*sender_.proven_endpoint(), other.local_endpoint());
}

TEST_F(UdpSenderTest, DestinationTakesOnlyIpv4AndAPort) {
    EXPECT_FALSE(sender_.destination());
    EXPECT_FALSE(sender_.set_destination("example.com", 5000));
    EXPECT_FALSE(sender_.set_destination("::1", 5000));
    EXPECT_FALSE(sender_.set_destination("203.0.113.5", 0));
    EXPECT_TRUE(sender_.set_destination("203.0.113.5", 5000));
    EXPECT_EQ(sender_.destination()->port(), 5000);
}

TEST(UdpSenderBind, BusyPortFails) {
    asio::io_context io;
    UdpSender first(io);
    UdpSender second(io);
    std::string error;
    ASSERT_TRUE(first.bind(0, error));
    EXPECT_FALSE(second.bind(first.local_port(), error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(second.is_open());
}

TEST(UdpSenderBind, CloseFreesThePortWithoutAnyIoThread) {
    // A session whose set-up fails closes its sender before the I/O pool ever ran.
    asio::io_context io;
    UdpSender first(io);
    std::string error;
    ASSERT_TRUE(first.bind(0, error));
    const std::uint16_t port = first.local_port();
    first.close();
    UdpSender second(io);
    EXPECT_TRUE(second.bind(port, error)) << error;
}

TEST(IoPoolSize, BetweenTwoAndFour) {
    EXPECT_GE(IoPool::default_threads(), 2u);
    EXPECT_LE(IoPool::default_threads(), 4u);
}

}  // namespace
}  // namespace vx
