// One WebSocket connection against a raw in-process server on loopback: the server writes the
// exact bytes a case needs and reads the agent's frames with the agent's own parser.
#include "backend/ws/websocket_session.hpp"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <asio/ssl/context.hpp>
#include <future>
#include <mutex>
#include <thread>

#include "platform/wake_event.hpp"
#include "support/fake_clock.hpp"
#include "support/log_lines.hpp"
#include "support/loopback_listener.hpp"

namespace vx::network {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

const RandomFn kZeroKey = [](std::uint8_t* out, std::size_t n) { std::memset(out, 0, n); };

// Server frames are not masked.
Bytes server_frame(std::uint8_t first, const std::string& payload) {
    Bytes f{first};
    if (payload.size() <= 125) {
        f.push_back(static_cast<std::uint8_t>(payload.size()));
    } else {
        f.push_back(126);
        f.push_back(static_cast<std::uint8_t>(payload.size() >> 8));
        f.push_back(static_cast<std::uint8_t>(payload.size()));
    }
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

class RawServer {
  public:
    RawServer() { listener_ = test::listen_on_loopback(4, port_); }
    ~RawServer() {
        if (conn_ >= 0)
            ::close(conn_);
        ::close(listener_);
    }
    std::uint16_t port() const { return port_; }

    bool accept_only() {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1)
            return false;
        conn_ = ::accept(listener_, nullptr, nullptr);
        return conn_ >= 0;
    }

    // Accepts, reads the upgrade request, answers with `response`.
    std::string accept_and_answer(const std::string& response) {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1)
            return {};
        conn_ = ::accept(listener_, nullptr, nullptr);
        std::string request;
        while (request.find("\r\n\r\n") == std::string::npos) {
            char buf[1024];
            if (!wait_readable(5000))
                return {};
            const ssize_t n = ::recv(conn_, buf, sizeof buf, 0);
            if (n <= 0)
                return {};
            request.append(buf, static_cast<std::size_t>(n));
        }
        send(Bytes(response.begin(), response.end()));
        return request;
    }
    void send(const Bytes& b) {
        ASSERT_EQ(::send(conn_, b.data(), b.size(), MSG_NOSIGNAL), ssize_t(b.size()));
    }
    void send_text(const std::string& s) { send(server_frame(0x81, s)); }

    // The agent's next frame, or nothing after `limit`.
    std::optional<WsFrame> next_frame(std::chrono::milliseconds limit = 5000ms) {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (!parser_.has_frame()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !wait_readable(static_cast<int>(left.count())))
                return {};
            std::uint8_t buf[65536];
            const ssize_t n = ::recv(conn_, buf, sizeof buf, 0);
            if (n <= 0)
                return {};
            parser_.feed(buf, static_cast<std::size_t>(n));
        }
        return parser_.pop();
    }
    std::optional<WsFrame> next_frame_of(std::uint8_t opcode) {
        while (auto f = next_frame()) {
            if (f->opcode == opcode)
                return f;
        }
        return {};
    }
    // True when the agent closed the connection (end of stream) within `limit`.
    bool closed_by_agent(std::chrono::milliseconds limit) {
        while (auto f = next_frame(limit)) {
        }
        std::uint8_t b;
        return wait_readable(0) && ::recv(conn_, &b, 1, MSG_DONTWAIT) <= 0;
    }

  private:
    bool wait_readable(int ms) {
        pollfd p{conn_, POLLIN, 0};
        return ::poll(&p, 1, ms) == 1;
    }

    int listener_ = -1;
    int conn_ = -1;
    std::uint16_t port_ = 0;
    WsFrameParser parser_;
};

class FakeHooks : public WsSessionHooks {
  public:
    void on_connected() override { connected = true; }
    void on_token_rejected() override { token_rejected = true; }
    void resend_after_reconnect() override { ++replays; }
    std::vector<std::string> take_outgoing() override {
        std::lock_guard lock(mutex);
        wake.clear();
        auto out = std::move(queue);
        queue.clear();
        return out;
    }
    void return_outgoing(std::vector<std::string> rest) override {
        std::lock_guard lock(mutex);
        queue.insert(queue.begin(), std::make_move_iterator(rest.begin()),
                     std::make_move_iterator(rest.end()));
        ++returns;
    }
    void send_heartbeat() override { ++heartbeats; }
    // The connection sleeps until its next timer; a queued message, or a step of the fake
    // clock, wakes it here.
    int outgoing_wake_fd() const override { return wake.native_handle(); }
    void push(std::string text) {
        std::lock_guard lock(mutex);
        queue.push_back(std::move(text));
        wake.signal();
    }
    void on_message(const std::string& text) override {
        if (answer)
            answer(text);
        std::lock_guard lock(mutex);
        messages.push_back(text);
        message_cv.notify_all();
    }
    bool wait_messages(std::size_t n) {
        std::unique_lock lock(mutex);
        return message_cv.wait_for(lock, 5s, [&] { return messages.size() >= n; });
    }

    std::function<void(const std::string&)> answer;  // on the connection thread, first
    std::mutex mutex;
    std::condition_variable message_cv;
    std::vector<std::string> queue;
    std::vector<std::string> messages;
    std::atomic<bool> connected{false};
    std::atomic<bool> token_rejected{false};
    std::atomic<int> replays{0};
    std::atomic<int> returns{0};
    std::atomic<int> heartbeats{0};
    platform::WakeEvent wake;
};

const std::string kUpgraded = "HTTP/1.1 101 Switching Protocols\r\nupgrade: websocket\r\n\r\n";

class WebSocketSessionTest : public ::testing::Test {
  protected:
    WebSocketSessionTest() {
        clock.on_advance = [this] { hooks.wake.signal(); };
    }
    void start(std::chrono::milliseconds upgrade_limit = 10'000ms) {
        ws = std::make_shared<WebSocketSession>(io, nullptr, clock.fn(), kZeroKey);
        run_on(server, upgrade_limit);
    }
    // One more connection of the same session, to `to`.
    void run_on(RawServer& to, std::chrono::milliseconds upgrade_limit = 10'000ms) {
        WsSessionConfig cfg;
        cfg.upgrade_limit = upgrade_limit;
        cfg.host = "127.0.0.1";
        cfg.port = to.port();
        cfg.tls = false;
        cfg.agent_token = "tok";
        result =
            std::async(std::launch::async, [this, cfg] { return ws->run(cfg, hooks, running); });
    }
    void TearDown() override {
        running = false;
        if (ws)
            ws->shutdown_current();
        if (result.valid())
            result.wait();
    }
    bool finish() {
        EXPECT_EQ(result.wait_for(5s), std::future_status::ready);
        return result.get();
    }

    asio::io_context io;
    test::FakeClock clock;
    RawServer server;
    FakeHooks hooks;
    std::atomic<bool> running{true};
    std::shared_ptr<WebSocketSession> ws;
    std::future<bool> result;
};

TEST_F(WebSocketSessionTest, FramesInTheHandshakeReadAndFragmentsAreDelivered) {
    start();
    const Bytes first = server_frame(0x81, "first");
    std::string answer = kUpgraded + std::string(first.begin(), first.end());
    const std::string request = server.accept_and_answer(answer);
    EXPECT_NE(request.find("agent-token: tok\r\n"), std::string::npos);
    server.send(server_frame(0x01, "sec"));
    server.send(server_frame(0x89, "mid"));
    server.send(server_frame(0x80, "ond"));
    ASSERT_TRUE(hooks.wait_messages(2));
    EXPECT_EQ(hooks.messages, (std::vector<std::string>{"first", "second"}));
    const auto pong = server.next_frame_of(0xA);
    ASSERT_TRUE(pong);
    EXPECT_EQ(pong->payload, "mid");
    EXPECT_TRUE(hooks.connected.load());
    EXPECT_EQ(hooks.replays.load(), 1);
    server.send(server_frame(0x88, std::string("\x0f\xa9", 2) + "newer agent"));
    EXPECT_TRUE(finish()) << "a backend close is no liveness failure";
    std::string reason;
    EXPECT_EQ(ws->take_close_code(&reason), 4009);
    EXPECT_EQ(reason, "newer agent");
    EXPECT_EQ(ws->take_close_code(nullptr), 0) << "taken once";
}

TEST_F(WebSocketSessionTest, UpgradeWithoutWebSocketIsRefused) {
    start();
    server.accept_and_answer("HTTP/1.1 101 Switching Protocols\r\nConnection: close\r\n\r\n");
    EXPECT_FALSE(finish());
    EXPECT_FALSE(hooks.connected.load());
    EXPECT_FALSE(hooks.token_rejected.load());
}

TEST_F(WebSocketSessionTest, UnauthorizedMentioningTheMagicWordsIsATokenRefusal) {
    start();
    server.accept_and_answer(
        "HTTP/1.1 401 Unauthorized\r\nX-Why: not a 101, no Upgrade: websocket\r\n"
        "Content-Length: 0\r\n\r\n");
    EXPECT_FALSE(finish());
    EXPECT_FALSE(hooks.connected.load());
    EXPECT_TRUE(hooks.token_rejected.load());
}

// A proxy's refusal page may echo the request's headers: the log shows it redacted.
TEST_F(WebSocketSessionTest, ARefusalThatEchoesTheTokenIsLoggedRedacted) {
    test::LogLines log;
    start();
    const std::string body = "you sent agent-token: tok-secret-123456\n";
    server.accept_and_answer("HTTP/1.1 403 Forbidden\r\nContent-Length: " +
                             std::to_string(body.size()) + "\r\n\r\n" + body);
    EXPECT_FALSE(finish());
    EXPECT_EQ(log.count("SaasConnector: WebSocket handshake rejected:\nHTTP/1.1 403 Forbidden"), 1);
    EXPECT_EQ(log.count("you sent agent-token: [REDACTED]"), 1);
    EXPECT_EQ(log.count("tok-secret-123456"), 0);
}

TEST_F(WebSocketSessionTest, ASilentServerDoesNotHoldTheUpgradeForever) {
    start(300ms);
    server.accept_and_answer("HTTP/1.1 101 Switching Protocols\r\n");  // and nothing more
    EXPECT_FALSE(finish());
    EXPECT_FALSE(hooks.connected.load());
}

TEST_F(WebSocketSessionTest, ASilentTlsPeerDoesNotHoldTheHandshakeForever) {
    asio::ssl::context tls(asio::ssl::context::tls_client);
    ws = std::make_shared<WebSocketSession>(io, &tls, clock.fn(), kZeroKey);
    WsSessionConfig cfg;
    cfg.host = "localhost";
    cfg.port = server.port();
    cfg.tls = true;
    cfg.tls_limit = 300ms;
    result = std::async(std::launch::async, [this, cfg] { return ws->run(cfg, hooks, running); });
    ASSERT_TRUE(server.accept_only());
    EXPECT_FALSE(finish());
    EXPECT_FALSE(hooks.connected.load());
}

TEST_F(WebSocketSessionTest, AnEndlessResponseHeadIsCutAt16KiB) {
    start();
    server.accept_and_answer("HTTP/1.1 101 Switching Protocols\r\nX-Pad: " +
                             std::string(20'000, 'a'));
    EXPECT_FALSE(finish());
    EXPECT_FALSE(hooks.connected.load());
}

TEST_F(WebSocketSessionTest, ABurstOfPingsKeepsTheConnection) {
    start();
    server.accept_and_answer(kUpgraded);
    Bytes burst;
    for (int i = 0; i < 40; ++i) {
        const Bytes ping = server_frame(0x89, "p" + std::to_string(i));
        burst.insert(burst.end(), ping.begin(), ping.end());
    }
    server.send(burst);
    server.send_text("still here");
    ASSERT_TRUE(hooks.wait_messages(1));
    EXPECT_EQ(hooks.messages[0], "still here");
    std::string last;
    while (auto f = server.next_frame(300ms)) {
        if (f->opcode == 0xA)
            last = f->payload;
    }
    EXPECT_EQ(last, "p39") << "the pending pong carries the latest payload";
    EXPECT_EQ(ws->stats().control_dropped, 0u);
}

// The backend's pings are logged once a minute by the session's clock; the rest are counted.
TEST_F(WebSocketSessionTest, TheBackendsPingsAreLoggedOnceAMinute) {
    test::LogLines log;
    const auto hour = std::chrono::microseconds(std::chrono::hours(1));
    ws = std::make_shared<WebSocketSession>(io, nullptr, clock.fn(), kZeroKey,
                                            WsKeepAliveSettings{hour, hour, hour});
    run_on(server);
    server.accept_and_answer(kUpgraded);
    const auto pings_then_text = [&](int pings, const std::string& text) {
        Bytes bytes;
        for (int i = 0; i < pings; ++i) {
            const Bytes ping = server_frame(0x89, "p");
            bytes.insert(bytes.end(), ping.begin(), ping.end());
        }
        const Bytes message = server_frame(0x81, text);
        bytes.insert(bytes.end(), message.begin(), message.end());
        server.send(bytes);
    };
    pings_then_text(3, "first");  // the text is handled after the pings before it
    ASSERT_TRUE(hooks.wait_messages(1));
    clock.advance_ms(59'999);
    pings_then_text(1, "second");
    ASSERT_TRUE(hooks.wait_messages(2));
    clock.advance_ms(1);
    pings_then_text(1, "third");
    ASSERT_TRUE(hooks.wait_messages(3));
    const std::string line =
        "SaasConnector: WS ping received from the backend (1B payload) - pong queued on the "
        "control lane ";
    EXPECT_EQ(log.count(line), 2);
    EXPECT_EQ(log.count(line + "(1 seen, 0 suppressed in the last window)"), 1);
    EXPECT_EQ(log.count(line + "(5 seen, 3 suppressed in the last window)"), 1);
    server.send(server_frame(0x88, "\x03\xe8"));  // ends the session while its lines are caught
    EXPECT_TRUE(finish());
}

// App pings answered on the control lane, as the dispatcher does: a burst far beyond the
// lane's 16 frames arrives in one read, and every pong still goes out on the same connection.
TEST_F(WebSocketSessionTest, ABurstOfAppPingsIsAnsweredInFull) {
    std::atomic<int> refused{0};
    hooks.answer = [&](const std::string& text) {
        if (!ws->queue_frame(WsOpcode::text, "pong " + text, true))
            ++refused;
    };
    start();
    server.accept_and_answer(kUpgraded);
    Bytes burst;
    for (int i = 0; i < 100; ++i) {
        const Bytes ping = server_frame(0x81, std::to_string(i));
        burst.insert(burst.end(), ping.begin(), ping.end());
    }
    server.send(burst);
    for (int i = 0; i < 100; ++i) {
        const auto pong = server.next_frame_of(0x1);
        ASSERT_TRUE(pong) << "after " << i << " pong(s), " << refused.load() << " refused";
        EXPECT_EQ(pong->payload, "pong " + std::to_string(i));
    }
    EXPECT_EQ(refused.load(), 0);
    EXPECT_EQ(ws->stats().control_dropped, 0u);
    EXPECT_TRUE(ws->connected());
}

TEST_F(WebSocketSessionTest, TheWriterCountsTheFramesOfItsOwnConnection) {
    test::LogLines log;
    const Bytes close_1000 = server_frame(0x88, "\x03\xe8");
    start();
    server.accept_and_answer(kUpgraded);
    ASSERT_TRUE(server.next_frame_of(0x9));  // the keep-alive ping, this connection's one frame
    server.send(close_1000);
    EXPECT_TRUE(finish());
    RawServer second;
    run_on(second);
    second.accept_and_answer(kUpgraded);
    ASSERT_TRUE(second.next_frame_of(0x9));
    second.send(close_1000);
    EXPECT_TRUE(finish());
    EXPECT_EQ(log.count("SaasConnector: WS writer finished (1 frame(s) written this connection)"),
              2);
    EXPECT_EQ(ws->stats().frames_written, 2u);
    EXPECT_EQ(ws->stats().write_failures, 0u);
}

TEST_F(WebSocketSessionTest, PongDeadlineEarlyIsNotAConnectionThatWasUp) {
    start();
    server.accept_and_answer(kUpgraded);
    ASSERT_TRUE(server.next_frame_of(0x9)) << "the first keep-alive ping leaves at once";
    clock.advance_ms(10'000);
    EXPECT_TRUE(server.closed_by_agent(5s));
    EXPECT_FALSE(finish());
}

TEST_F(WebSocketSessionTest, PongDeadlineAfterAMinuteStillCountsAsUp) {
    start();
    server.accept_and_answer(kUpgraded);
    auto ping = server.next_frame_of(0x9);
    ASSERT_TRUE(ping);
    server.send(server_frame(0x8A, ping->payload));
    server.send_text("after the pong");  // once it is delivered, the pong was handled
    ASSERT_TRUE(hooks.wait_messages(1));
    clock.advance_ms(90'000);
    ASSERT_TRUE(server.next_frame_of(0x9)) << "the next ping after the interval";
    clock.advance_ms(10'000);
    EXPECT_TRUE(server.closed_by_agent(5s));
    EXPECT_TRUE(finish());
}

// The clock stands still, so the reader's next timer is seconds away: what leaves meanwhile is
// woken by its own event (a queued message; a writer that wants the socket).
TEST_F(WebSocketSessionTest, AQueuedMessageAndAPongLeaveWithoutWaitingForTheReadersTimer) {
    start();
    server.accept_and_answer(kUpgraded);
    ASSERT_TRUE(server.next_frame_of(0x9));
    hooks.push("queued while idle");
    auto text = server.next_frame(1000ms);
    ASSERT_TRUE(text) << "the message waited for a timer";
    EXPECT_EQ(text->payload, "queued while idle");
    server.send(server_frame(0x89, "are you there"));
    auto pong = server.next_frame(1000ms);
    ASSERT_TRUE(pong) << "the writer waited behind the reader";
    EXPECT_EQ(pong->opcode, 0xA);
    EXPECT_EQ(pong->payload, "are you there");
    EXPECT_EQ(hooks.heartbeats.load(), 0) << "no timer was due";
}

TEST_F(WebSocketSessionTest, MessagesTheDataLaneRefusesAreNotLost) {
    constexpr int kCount = 700;
    const std::string filler(32 * 1024, 'm');
    for (int i = 0; i < kCount; ++i)
        hooks.queue.push_back(std::to_string(i) + ":" + filler);
    start();
    server.accept_and_answer(kUpgraded);
    // The server reads nothing until the socket buffers and then the data lane are full.
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (ws->stats().data_dropped == 0 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_GT(ws->stats().data_dropped, 0u);
    int next = 0;
    while (next < kCount) {
        auto f = server.next_frame();
        ASSERT_TRUE(f) << "stopped after " << next;
        if (f->opcode != 0x1)
            continue;
        ASSERT_EQ(f->payload, std::to_string(next) + ":" + filler);
        ++next;
    }
    EXPECT_GT(hooks.returns.load(), 0) << "the lane was full at least once";
}

}  // namespace
}  // namespace vx::network
