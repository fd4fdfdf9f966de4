#include <gtest/gtest.h>

#include <unistd.h>

#include <asio.hpp>
#include <condition_variable>
#include <future>
#include <mutex>
#include <system_error>
#include <thread>

#include "backend/bridge/control_bridge.hpp"
#include "backend/connector/saas_connector.hpp"
#include "backend/messages/messages.hpp"
#include "link/control_server.hpp"
#include "support/fake_clock.hpp"
#include "support/log_lines.hpp"
#include "support/loopback_listener.hpp"
#include "util/base64.hpp"

namespace vx::network {
namespace {

// The local control server stand-in: accepts on 127.0.0.1 with blocking calls.
class LocalServer {
  public:
    LocalServer() : acceptor_(io_, {asio::ip::address_v4::loopback(), 0}) {}
    std::uint16_t port() const { return acceptor_.local_endpoint().port(); }
    asio::ip::tcp::socket accept() { return acceptor_.accept(); }
    void close() { acceptor_.close(); }

  private:
    asio::io_context io_;
    asio::ip::tcp::acceptor acceptor_;
};

std::string read_exactly(asio::ip::tcp::socket& s, std::size_t n) {
    std::string out(n, '\0');
    asio::read(s, asio::buffer(out));
    return out;
}

std::vector<std::uint8_t> chunk(const std::string& text) {
    return {text.begin(), text.end()};
}

class ControlBridgeTest : public ::testing::Test {
  protected:
    ControlBridge::Hooks hooks() {
        ControlBridge::Hooks h;
        h.enqueue = [this](const nlohmann::json& m) {
            std::lock_guard lock(mutex_);
            sent_.push_back(m);
            cv_.notify_all();
        };
        h.session_id = [] { return std::string("sess-1"); };
        return h;
    }
    // The bytes of every control_data sent so far, in order.
    std::string relayed_text() {
        std::lock_guard lock(mutex_);
        std::string out;
        for (const auto& m : sent_) {
            const auto bytes = vx::util::base64_decode(m["data"].get<std::string>());
            out.append(bytes->begin(), bytes->end());
        }
        return out;
    }
    nlohmann::json next_sent() {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [this] { return !sent_.empty(); });
        auto m = sent_.front();
        sent_.erase(sent_.begin());
        return m;
    }

    test::LogLines log_;
    test::FakeClock clock_;
    asio::io_context io_;
    std::shared_ptr<BridgeWriteQueue> queue_ = std::make_shared<BridgeWriteQueue>(64);
    ControlBridge bridge_{io_, queue_, hooks(), clock_.fn()};
    LocalServer server_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<nlohmann::json> sent_;
};

TEST_F(ControlBridgeTest, RelaysBothWays) {
    bridge_.open(server_.port());
    auto local = server_.accept();
    ASSERT_TRUE(bridge_.is_socket_open());
    EXPECT_EQ(queue_->push(chunk("{\"type\":\"auth\"}\n")), BridgeWriteQueue::push_ok);
    EXPECT_EQ(read_exactly(local, 16), "{\"type\":\"auth\"}\n");
    asio::write(local, asio::buffer(std::string("answer\n")));
    const auto m = next_sent();
    EXPECT_EQ(m.dump(), R"({"data":"YW5zd2VyCg==","session_id":"sess-1","type":"control_data"})");
    bridge_.stop();
    EXPECT_FALSE(bridge_.is_socket_open());
    EXPECT_TRUE(queue_->closed());
    EXPECT_EQ(bridge_.chunks_written(), 1u);
    EXPECT_EQ(log_.count("relay peer closed unexpectedly"), 0);  // a stop is no loss
    EXPECT_EQ(bridge_.relay_peer_lost_us(), 0);
}

// A launcher relayed through the backend learns why it was refused as surely as a direct one:
// the session's teardown stops the bridge right after the control server wrote its last line
// and closed, and that line still goes out.
TEST_F(ControlBridgeTest, TheControlServersRefusalReachesTheRelayedLauncher) {
    // Refusals that end the session: without a token hash (a standalone agent) any refusal
    // does, and so does the right token without keys.
    struct Case {
        const char* code;
        const char* token;  // the launcher's auth line carries it; none: no line at all
        bool token_hash;
        bool keys;
    };
    const Case cases[] = {{"AUTH_REJECTED", "right", false, true},
                          {"SESSION_ABORTED", "right", true, false},
                          {"HANDSHAKE_TIMEOUT", nullptr, false, true}};
    std::uint8_t master[32] = {7};
    const auto keys = derive_session_keys(master);
    for (const Case& c : cases) {
        for (int round = 0; round < 20; ++round) {
            SCOPED_TRACE(std::string(c.code) + " round " + std::to_string(round));
            test::FakeClock server_clock;
            TcpControlServer server(io_, server_clock.fn());
            std::string error;
            ASSERT_TRUE(server.listen(0, error)) << error;
            server.set_expected_token_sha256(c.token_hash ? token_sha256_hex("right") : "");
            server.set_keys(c.keys ? keys : std::nullopt);
            bridge_.open(server.port());
            if (c.token != nullptr) {
                const std::string auth =
                    std::string(R"({"type":"auth","session_token":")") + c.token + "\"}\n";
                ASSERT_EQ(queue_->push(chunk(auth)), BridgeWriteQueue::push_ok);
            }
            // Without a line each wait step of the handshake is 5 s of its clock, so the timeout
            // comes at once; with one the clock stands still, however late the bridge delivers it.
            const HandshakeResult hs = server.run_handshake([&] {
                if (c.token == nullptr) {
                    server_clock.advance_ms(5000);
                }
                return true;
            });
            ASSERT_FALSE(hs.ok);
            bridge_.stop();  // what the teardown does next
            EXPECT_EQ(relayed_text(),
                      std::string(R"({"code":")") + c.code + R"(","type":"auth_failed"})" + "\n");
            std::lock_guard lock(mutex_);
            sent_.clear();
        }
    }
}

// The launcher's last words (its end_session, say) are in the queue when the backend's
// control_close stops the bridge: they still reach the control server, ahead of the end of the
// stream.
TEST_F(ControlBridgeTest, WhatTheLauncherSentLastReachesTheControlServerOnStop) {
    bridge_.open(server_.port());
    auto local = server_.accept();
    // The control server reads until the launcher is gone, then closes, as the real one does.
    auto read_all = std::async(std::launch::async, [&] {
        std::string all;
        std::error_code ec;
        asio::read(local, asio::dynamic_buffer(all), ec);
        local.close();
        return all;
    });
    std::string expected;
    for (int i = 0; i < 40; ++i) {
        const std::string line = R"({"type":"stats","n":)" + std::to_string(i) + "}\n";
        ASSERT_EQ(queue_->push(chunk(line)), BridgeWriteQueue::push_ok);
        expected += line;
    }
    bridge_.stop();
    EXPECT_EQ(read_all.get(), expected);
    EXPECT_EQ(bridge_.chunks_written(), 40u);
}

TEST_F(ControlBridgeTest, LocalPeerLeavingIsStampedForTheWatchdog) {
    bridge_.open(server_.port());
    {
        auto local = server_.accept();
        EXPECT_EQ(bridge_.local_port(), local.remote_endpoint().port());  // the launcher's, to it
        clock_.advance_ms(1234);
    }  // the control server closes the connection
    ASSERT_TRUE(log_.wait_for("relay reader finished"));
    EXPECT_EQ(bridge_.relay_peer_lost_us(), clock_.now_us());
    bridge_.stop();
    EXPECT_EQ(log_.count("relay peer closed unexpectedly (EOF) - client considered lost"), 1);
    EXPECT_EQ(bridge_.relay_peer_lost_us(), 0);  // stop resets it
}

TEST_F(ControlBridgeTest, RefusedConnectInstallsNothing) {
    const std::uint16_t port = server_.port();
    server_.close();
    bridge_.open(port);
    EXPECT_FALSE(bridge_.is_socket_open());
    EXPECT_TRUE(queue_->closed());
    EXPECT_EQ(queue_->push(chunk("x")), BridgeWriteQueue::push_closed);
    EXPECT_EQ(
        log_.count("ControlBridge: local control port " + std::to_string(port) + " unreachable"),
        1);
}

// A control server whose listen queue is full answers no SYN: an unbounded connect held the
// connection thread (and a stop of the agent) for the kernel's whole SYN retry time, minutes.
TEST_F(ControlBridgeTest, AFullListenQueueDoesNotHoldTheOpen) {
    std::uint16_t port = 0;
    const int listener = test::listen_on_loopback(0, port);
    ASSERT_NE(port, 0);
    asio::ip::tcp::socket filler(io_);
    filler.connect({asio::ip::address_v4::loopback(), port});  // the one place in the queue
    auto opened = std::async(std::launch::async, [&] { bridge_.open(port); });
    EXPECT_EQ(opened.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    opened.get();
    ::close(listener);
    EXPECT_FALSE(bridge_.is_socket_open());
    EXPECT_TRUE(queue_->closed());
    EXPECT_EQ(
        log_.count("ControlBridge: local control port " + std::to_string(port) + " unreachable"),
        1);
}

TEST_F(ControlBridgeTest, FullQueueDropsAndCountsWhileTheWriterIsBlocked) {
    bridge_.open(server_.port());
    auto local = server_.accept();
    // A chunk far larger than the socket buffers blocks the writer once the server stops reading.
    ASSERT_EQ(queue_->push(std::vector<std::uint8_t>(32 << 20, 'z')), BridgeWriteQueue::push_ok);
    EXPECT_EQ(read_exactly(local, 1), "z");  // the writer has taken it off the queue
    for (int i = 0; i < 64; ++i) {
        ASSERT_EQ(queue_->push(chunk("c")), BridgeWriteQueue::push_ok) << i;
    }
    for (int i = 0; i < 500; ++i) {
        EXPECT_EQ(queue_->push(chunk("d")), BridgeWriteQueue::push_full);
        bridge_.count_drop("write queue full");
    }
    EXPECT_EQ(queue_->drops(), 500u);
    EXPECT_EQ(log_.count("control frame dropped - write queue full"), 2);  // the 1st and 500th
    bridge_.stop();  // wakes the blocked write
    EXPECT_FALSE(bridge_.is_socket_open());
}

TEST_F(ControlBridgeTest, SecondOpenReplacesTheFirstConnection) {
    bridge_.open(server_.port());
    auto first = server_.accept();
    bridge_.open(server_.port());
    auto second = server_.accept();
    char c;
    std::error_code ec;
    first.read_some(asio::buffer(&c, 1), ec);
    EXPECT_EQ(ec, asio::error::eof);
    ASSERT_EQ(queue_->push(chunk("hi")), BridgeWriteQueue::push_ok);
    EXPECT_EQ(read_exactly(second, 2), "hi");
    bridge_.stop();
}

TEST_F(ControlBridgeTest, WriteFailureClosesTheQueueSoTheNextDataReopens) {
    bridge_.open(server_.port());
    {
        auto local = server_.accept();
        local.set_option(asio::socket_base::linger(true, 0));  // reset, so writes fail
        local.close();  // explicitly: asio's destructor would drop the linger option
    }
    ASSERT_TRUE(log_.wait_for("relay peer closed unexpectedly"));
    EXPECT_EQ(log_.count("(EOF)"), 0);  // a reset, not an orderly close
    // The writer fails on the first write after the reset and closes the queue.
    EXPECT_EQ(queue_->push(chunk("ping\n")), BridgeWriteQueue::push_ok);
    ASSERT_TRUE(log_.wait_for("writer finished"));
    EXPECT_EQ(log_.count("ControlBridge: write failed"), 1);
    EXPECT_TRUE(queue_->closed());
    EXPECT_TRUE(bridge_.is_socket_open());  // half-closed until the next open or stop
    bridge_.stop();
}

TEST_F(ControlBridgeTest, AWorkerThatCannotStartRollsTheBridgeBack) {
    // Fail the reader's start, then (with the reader already running) the writer's.
    for (int fail_at = 1; fail_at <= 2; ++fail_at) {
        int starts = 0;
        ControlBridge::Hooks h = hooks();
        h.start_thread = [&](std::function<void()> body) {
            if (++starts == fail_at) {
                throw std::system_error(
                    std::make_error_code(std::errc::resource_unavailable_try_again),
                    "no thread for the bridge");
            }
            return std::thread(std::move(body));
        };
        ControlBridge bridge(io_, queue_, h, clock_.fn());
        bridge.open(server_.port());
        auto local = server_.accept();
        EXPECT_EQ(starts, fail_at);
        EXPECT_FALSE(bridge.is_socket_open()) << fail_at;
        EXPECT_TRUE(queue_->closed()) << fail_at;
        EXPECT_EQ(queue_->push(chunk("x")), BridgeWriteQueue::push_closed);
        // The local client left again: the control server sees no half-open connection.
        char c;
        std::error_code ec;
        local.read_some(asio::buffer(&c, 1), ec);
        EXPECT_EQ(ec, asio::error::eof) << fail_at;
        EXPECT_EQ(log_.count("ControlBridge: no thread for the bridge"), fail_at);
        EXPECT_EQ(log_.count("relay peer closed unexpectedly"), 0);  // a rollback is no loss
        EXPECT_EQ(bridge.relay_peer_lost_us(), 0);
    }
}

TEST(ControlBridgeConnector, RelayedControlMessagesDriveTheBridge) {
    LocalServer server;
    asio::io_context io;
    SaasConfig config;
    config.tls = false;
    config.register_payload.port_base = static_cast<std::uint16_t>(server.port() - 3);
    SaasConnector connector(io, config);
    auto bridge = ControlBridge::for_connector(connector);
    connector.set_control_bridge(bridge);

    // control_data before control_open opens the bridge by itself.
    connector.handle_message(R"({"type":"control_data","data":"aGVsbG8K"})");
    auto local = server.accept();
    EXPECT_EQ(read_exactly(local, 6), "hello\n");
    EXPECT_GT(connector.last_control_data_us(), 0);

    asio::write(local, asio::buffer(std::string("back")));
    std::string seen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (seen.find("control_data") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        for (const auto& text : connector.take_outgoing())
            seen += text;
        std::this_thread::yield();
    }
    EXPECT_NE(seen.find(R"("data":"YmFjaw==")"), std::string::npos) << seen;

    connector.handle_message(R"({"type":"control_close"})");
    EXPECT_FALSE(bridge->is_socket_open());
    connector.stop();
}

// A relayed launcher goes on sending while the control server is not listening: the drops are
// logged at the 1st, 500th, 1000th ... and the failed connects once a window, not three lines a
// chunk that rotate the log away.
TEST(ControlBridgeConnector, ChunksForAPortThatRefusesCostAFewLines) {
    test::LogLines log;
    LocalServer server;
    const std::uint16_t port = server.port();
    server.close();
    test::FakeClock clock;  // outlives the connector, which stops the bridge at its end
    asio::io_context io;
    SaasConfig config;
    config.tls = false;
    config.register_payload.port_base = static_cast<std::uint16_t>(port - 3);
    SaasConnector connector(io, config);
    connector.set_control_bridge(std::make_shared<ControlBridge>(
        io, connector.bridge_queue(), ControlBridge::Hooks{}, clock.fn()));
    const auto chunk = [&] {
        connector.handle_message(R"({"type":"control_data","data":"aGk="})");
    };
    for (int i = 0; i < 1000; ++i) {
        chunk();
    }
    EXPECT_EQ(connector.bridge_queue()->drops(), 1000u);
    EXPECT_EQ(log.count("unreachable"), 1);
    clock.advance_ms(60'000);
    chunk();
    EXPECT_EQ(log.count("unreachable"), 2);
    EXPECT_EQ(log.count("(1999 more attempt(s) failed before)"), 1);
    EXPECT_EQ(log.count("control frame dropped - local control port " + std::to_string(port) +
                        " not reachable"),
              3);
    EXPECT_EQ(log.count("(1000 frame(s) dropped this session)"), 1);
}

}  // namespace
}  // namespace vx::network
