#include <gtest/gtest.h>

#include <asio.hpp>
#include <atomic>
#include <future>
#include <numeric>
#include <thread>

#include "link/control_server.hpp"
#include "link/session_keys.hpp"
#include "support/line_client.hpp"
#include "util/io/io_pool.hpp"

namespace vx {
namespace {

constexpr const char* kTokenHash =
    "0b8678dd74e2bebf8018f270a6d82bdd1b695f5387568f130c8750ce74ba6c27";
constexpr const char* kGoodAuth = R"({"type":"auth","session_token":"launcher-token-1"})"
                                  "\n";

std::optional<SessionKeys> test_keys() {
    std::vector<std::uint8_t> master(32);
    std::iota(master.begin(), master.end(), 0);
    return derive_session_keys(master);
}

using Client = test::LineClient;

class ControlServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(server_.listen(0, error)) << error;
        server_.set_expected_token_sha256(kTokenHash);
        server_.set_keys(test_keys());
    }
    void TearDown() override {
        keep_waiting_ = false;
        if (handshake_.valid())
            handshake_.wait();
        server_.stop();
        pool_.stop();
    }
    void start_handshake() {
        handshake_ = std::async(std::launch::async, [this] {
            return server_.run_handshake([this] { return keep_waiting_.load(); });
        });
    }
    HandshakeResult result() { return handshake_.get(); }

    // The launcher's one answer to `first`, sent as soon as it connects to a waiting server.
    std::string answer_to(const std::string& first) {
        start_handshake();
        Client client(server_.port());
        client.send(first);
        return client.line();
    }

    // Starts reading after the handshake; the future is ready once the launcher is gone.
    std::future<void> read_until_disconnect() {
        server_.set_on_disconnected([this] { gone_.set_value(); });
        server_.start_reading();
        pool_.start(2);
        return gone_.get_future();
    }

    // The clock reads `now_` but jumps by `jump_` on every call after the `jump_after_`th, so a
    // test can make time pass for the server without waiting for it.
    std::int64_t clock() {
        const int call = ++calls_;
        return now_ + (jump_after_ > 0 && call > jump_after_ ? jump_ : 0);
    }

    std::atomic<int> calls_{0};
    std::int64_t now_ = 5'000'000;
    std::int64_t jump_ = 0;
    int jump_after_ = 0;
    asio::io_context io_;
    IoPool pool_{io_};
    TcpControlServer server_{io_, [this] { return clock(); }};
    std::atomic<bool> keep_waiting_{true};
    std::future<HandshakeResult> handshake_;
    std::promise<void> gone_;
};

TEST_F(ControlServerTest, AcceptedLauncherGetsKeysPongsAndEndsTheSession) {
    start_handshake();
    Client client(server_.port());
    client.send(std::string(kGoodAuth) + R"({"type":"ping","ts":42})" + "\n");
    const std::string ready = client.line();
    EXPECT_EQ(ready.rfind(R"({"audio_key":")", 0), 0u) << ready;
    EXPECT_NE(ready.find(R"("type":"session_ready")"), std::string::npos);
    const HandshakeResult r = result();
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.peer.rfind("127.0.0.1:", 0), 0u);

    std::promise<void> ended;
    std::atomic<int> disconnects{0};
    server_.set_on_end_session([&] { ended.set_value(); });
    server_.set_on_disconnected([&] { ++disconnects; });
    server_.start_reading();
    pool_.start(2);
    // The ping sent together with the auth line is answered once reading starts.
    EXPECT_EQ(client.line(), R"({"type":"pong","ts":42})");
    client.send("{\"type\":\"ping\"}\r\n{\"type\":\"stats\",\"rtt_ms\":3}\nnot json\n");
    EXPECT_EQ(client.line(), R"({"type":"pong"})");
    client.send("{\"type\":\"end_session\"}\n");
    ended.get_future().wait();
    EXPECT_EQ(server_.lines_received(), 4u);  // two pings, stats, end_session
    EXPECT_TRUE(server_.launcher_connected());
    server_.stop();
    EXPECT_TRUE(client.closed_by_server());
    EXPECT_EQ(disconnects.load(), 0);  // a close we made ourselves is no disconnect
}

TEST_F(ControlServerTest, LauncherLeavingIsReported) {
    start_handshake();
    Client client(server_.port());
    client.send(kGoodAuth);
    client.line();
    ASSERT_TRUE(result().ok);
    std::future<void> gone = read_until_disconnect();
    client.close();
    gone.wait();
    EXPECT_FALSE(server_.launcher_connected());
}

TEST_F(ControlServerTest, OverlongLineAfterHandshakeClosesTheConnection) {
    start_handshake();
    Client client(server_.port());
    client.send(kGoodAuth);
    client.line();
    ASSERT_TRUE(result().ok);
    std::future<void> gone = read_until_disconnect();
    client.send(std::string(8193, 'x') + "\n");
    gone.wait();
    EXPECT_TRUE(client.closed_by_server());
}

TEST_F(ControlServerTest, OverlongLineArrivingWithTheAuthLineClosesTheConnection) {
    start_handshake();
    Client client(server_.port());
    client.send(std::string(kGoodAuth) + std::string(9000, 'y') + "\n");
    client.line();
    ASSERT_TRUE(result().ok);
    std::future<void> gone = read_until_disconnect();
    gone.wait();
    EXPECT_EQ(server_.lines_received(), 0u);
}

struct Refusal {
    const char* name;
    std::string first_line;
    const char* code;
};

TEST_F(ControlServerTest, RefusalsCarryTheirReasons) {
    const std::vector<Refusal> cases = {
        {"wrong token",
         R"({"type":"auth","session_token":"nope"})"
         "\n",
         "AUTH_REJECTED"},
        {"not auth",
         R"({"type":"ping"})"
         "\n",
         "AUTH_FAIL"},
        {"not json", "hello\n", "AUTH_FAIL"},
        {"too long", std::string(16385, 'a'), "AUTH_FAIL"},
    };
    for (const auto& c : cases) {
        start_handshake();
        Client client(server_.port());
        client.send(c.first_line);
        EXPECT_EQ(client.line(),
                  std::string(R"({"code":")") + c.code + R"(","type":"auth_failed"})")
            << c.name;
        EXPECT_TRUE(client.closed_by_server()) << c.name;
        const HandshakeResult r = result();
        EXPECT_FALSE(r.ok);
        EXPECT_STREQ(auth_refusal_code(r.refusal), c.code) << c.name;
    }
}

TEST_F(ControlServerTest, NoTokenHashRefusesEvenTheRightToken) {
    server_.set_expected_token_sha256("");
    EXPECT_EQ(answer_to(kGoodAuth), R"({"code":"AUTH_REJECTED","type":"auth_failed"})");
    EXPECT_EQ(result().refusal, AuthRefusal::rejected);
}

TEST_F(ControlServerTest, NoKeysAbortsTheSession) {
    server_.set_keys(std::nullopt);
    EXPECT_EQ(answer_to(kGoodAuth), R"({"code":"SESSION_ABORTED","type":"auth_failed"})");
    EXPECT_EQ(result().refusal, AuthRefusal::aborted);
}

TEST_F(ControlServerTest, SilentLauncherTimesOut) {
    // The server reads the clock once when it accepts; every later reading is 10 s on.
    jump_ = TcpControlServer::kHandshakeTimeoutUs;
    jump_after_ = 1;
    EXPECT_EQ(answer_to(R"({"type":"auth",)"),  // never finished
              R"({"code":"HANDSHAKE_TIMEOUT","type":"auth_failed"})");
    EXPECT_EQ(result().refusal, AuthRefusal::timed_out);
}

TEST_F(ControlServerTest, SessionEndingDuringHandshakeAbortsIt) {
    start_handshake();
    Client client(server_.port());
    client.send("{");
    keep_waiting_ = false;
    EXPECT_EQ(client.line(), R"({"code":"SESSION_ABORTED","type":"auth_failed"})");
    EXPECT_EQ(result().refusal, AuthRefusal::aborted);
}

TEST_F(ControlServerTest, AClientThatLeavesSilentlyDecidesNothing) {
    start_handshake();
    { Client quitter(server_.port()); }
    Client client(server_.port());
    client.send(kGoodAuth);
    EXPECT_NE(client.line().find("session_ready"), std::string::npos);
    EXPECT_TRUE(result().ok);
}

TEST_F(ControlServerTest, NobodyComingEndsWhenTheSessionEnds) {
    start_handshake();
    keep_waiting_ = false;
    const HandshakeResult r = result();
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.refusal, AuthRefusal::aborted);
    EXPECT_TRUE(r.peer.empty());
}

TEST(ControlServerListen, BusyPortFails) {
    asio::io_context io;
    TcpControlServer first(io);
    TcpControlServer second(io);
    std::string error;
    ASSERT_TRUE(first.listen(0, error));
    EXPECT_FALSE(second.listen(first.port(), error));
    EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace vx
