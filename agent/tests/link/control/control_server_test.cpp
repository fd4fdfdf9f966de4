#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <asio.hpp>

#include <atomic>
#include <future>
#include <numeric>
#include <thread>

#include "link/control_server.hpp"
#include "link/session_keys.hpp"
#include "support/eventually.hpp"
#include "support/fake_clock.hpp"
#include "support/line_client.hpp"
#include "support/log_lines.hpp"
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
using namespace std::chrono_literals;

std::string auth_failed(const std::string& code) {
    return R"({"code":")" + code + R"(","type":"auth_failed"})";
}

// A JSON object line of exactly `size` bytes (without its line ending).
std::string object_line(const std::string& head, std::size_t size) {
    std::string line = head;
    line.append(size - head.size() - 1, ' ');
    return line + "}";
}

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
    // A launcher that has been given the session.
    std::unique_ptr<Client> authenticated() {
        start_handshake();
        auto client = std::make_unique<Client>(server_.port());
        client->send(kGoodAuth);
        EXPECT_NE(client->line().find("session_ready"), std::string::npos);
        EXPECT_TRUE(result().ok);
        return client;
    }

    // Starts reading after the handshake; the future is ready once the launcher is gone.
    std::future<void> read_until_disconnect() {
        server_.set_on_disconnected([this] { gone_.set_value(); });
        server_.start_reading();
        pool_.start(2);
        return gone_.get_future();
    }

    // Waits until the server has taken `n` connections in all (the safety net fails the test).
    void wait_taken(int n) {
        ASSERT_TRUE(test::eventually([&] { return log_.count("waiting for auth") >= n; }, 20s))
            << n;
    }

    test::LogLines log_;
    test::FakeClock clock_;
    asio::io_context io_;
    IoPool pool_{io_};
    TcpControlServer server_{io_, clock_.fn()};
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
    auto client = authenticated();
    std::future<void> gone = read_until_disconnect();
    client->close();
    gone.wait();
    EXPECT_FALSE(server_.launcher_connected());
}

// A launcher that writes lines this agent cannot read gets one warning per ten seconds, each
// saying how many lines it stands for, not one a line.
TEST_F(ControlServerTest, LinesThatAreNoJsonObjectsAreWarnedAboutOnceInTenSeconds) {
    auto client = authenticated();
    std::future<void> gone = read_until_disconnect();
    const auto junk_then_ping = [&](int junk) {
        std::string text;
        for (int i = 0; i < junk; ++i) {
            text += "\x01 not json\n";
        }
        client->send(text + "{\"type\":\"ping\"}\n");
        EXPECT_EQ(client->line(), R"({"type":"pong"})");  // all of it was read
    };
    junk_then_ping(30);
    EXPECT_EQ(log_.count("not a JSON object"), 1);
    clock_.advance_ms(9'999);
    junk_then_ping(1);
    EXPECT_EQ(log_.count("not a JSON object"), 1);
    clock_.advance_ms(1);
    junk_then_ping(1);
    EXPECT_EQ(log_.count("not a JSON object"), 2);
    EXPECT_EQ(log_.count("(30 more since the last such warning)"), 1);
}

TEST_F(ControlServerTest, OverlongLineAfterHandshakeClosesTheConnection) {
    auto client = authenticated();
    std::future<void> gone = read_until_disconnect();
    client->send(std::string(8193, 'x') + "\n");
    gone.wait();
    EXPECT_TRUE(client->closed_by_server());
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

// The limits count a line's bytes without its line ending, "\r\n" as well as "\n".
TEST_F(ControlServerTest, LineEndingsDoNotCountTowardTheLimits) {
    const std::string stats = R"({"type":"stats")";
    start_handshake();
    Client client(server_.port());
    client.send(
        object_line(R"({"type":"auth","session_token":"launcher-token-1")", kMaxAuthLineBytes) +
        "\r");
    client.send("\n" + object_line(stats, kMaxControlLineBytes) + "\r\n");
    ASSERT_NE(client.line().find("session_ready"), std::string::npos);
    ASSERT_TRUE(result().ok);
    std::future<void> gone = read_until_disconnect();
    client.send(object_line(stats, kMaxControlLineBytes) + "\r\n{\"type\":\"ping\"}\n");
    EXPECT_EQ(client.line(), R"({"type":"pong"})");
    EXPECT_EQ(server_.lines_received(), 3u);
    client.send(object_line(stats, kMaxControlLineBytes + 1) + "\r\n");
    ASSERT_EQ(gone.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(server_.lines_received(), 3u);
}

// A port scanner, a browser or any device on the LAN may reach the control port before the
// launcher: each connection is judged on its own, none of them costs the session, and the
// launcher is answered at once whoever else is still waiting.
TEST_F(ControlServerTest, StrayConnectionsAreRefusedOneByOneAndTheLauncherGetsItsKeys) {
    struct Stray {
        const char* name;
        std::string sent;
        const char* code;  // none: still waiting when the launcher comes
    };
    const std::vector<Stray> strays = {
        {"silent", "", nullptr},
        {"half an auth line", R"({"type":"auth","session_token":"launcher-to)", nullptr},
        {"not json", "GET / HTTP/1.1\r\n", "AUTH_FAIL"},
        {"not auth", "{\"type\":\"ping\"}\n", "AUTH_FAIL"},
        {"wrong token", "{\"type\":\"auth\",\"session_token\":\"nope\"}\n", "AUTH_REJECTED"},
        {"too long", std::string(kMaxAuthLineBytes + 1, 'a'), "AUTH_FAIL"},
        {"too long before its end", std::string(kMaxAuthLineBytes + 1, 'a') + "\r\n", "AUTH_FAIL"},
    };
    start_handshake();
    std::vector<std::unique_ptr<Client>> clients;
    for (const Stray& stray : strays) {
        clients.push_back(std::make_unique<Client>(server_.port()));
        if (!stray.sent.empty())
            clients.back()->send(stray.sent);
    }
    for (std::size_t i = 0; i < strays.size(); ++i) {
        if (strays[i].code != nullptr) {
            EXPECT_EQ(clients[i]->line(), auth_failed(strays[i].code)) << strays[i].name;
            EXPECT_TRUE(clients[i]->closed_by_server()) << strays[i].name;
        }
    }
    Client launcher(server_.port());
    launcher.send(kGoodAuth);
    EXPECT_NE(launcher.line().find("session_ready"), std::string::npos);
    EXPECT_TRUE(result().ok);
    // Those still waiting learn that the session has its launcher.
    for (std::size_t i = 0; i < strays.size(); ++i) {
        if (strays[i].code == nullptr) {
            EXPECT_EQ(clients[i]->line(), auth_failed("AUTH_REJECTED")) << strays[i].name;
            EXPECT_TRUE(clients[i]->closed_by_server()) << strays[i].name;
        }
    }
    // Each refusal is one warning that names the connection and its code.
    int warnings = 0;
    for (const auto& line : log_.entries()) {
        if (line.level == spdlog::level::warn && line.text.find("refused") != std::string::npos) {
            ++warnings;
            EXPECT_NE(line.text.find("127.0.0.1:"), std::string::npos) << line.text;
        }
    }
    EXPECT_EQ(warnings, static_cast<int>(strays.size()));
}

// Anyone on the LAN can connect in a loop: the log keeps a burst of such lines and then counts
// them, so the lines before the flood are not rotated away; the launcher still gets in.
TEST_F(ControlServerTest, AFloodOfStrayConnectionsIsCountedNotLogged) {
    start_handshake();
    for (int i = 0; i < 150; ++i) {
        Client stray(server_.port());
        stray.send("x\n");
        ASSERT_EQ(stray.line(), auth_failed("AUTH_FAIL")) << i;
        { Client quitter(server_.port()); }
    }
    Client launcher(server_.port());
    launcher.send(kGoodAuth);
    EXPECT_NE(launcher.line().find("session_ready"), std::string::npos);
    EXPECT_TRUE(result().ok);
    EXPECT_LE(log_.count("TcpControlServer:"), 80);
    server_.start_reading();
    pool_.start(2);
    clock_.advance_ms(10'000);
    Client late(server_.port());
    late.send("x\n");
    EXPECT_EQ(late.line(), auth_failed("AUTH_REJECTED"));
    EXPECT_TRUE(
        test::eventually([&] { return log_.count("connection lines left out") == 1; }, 20s));
}

TEST_F(ControlServerTest, EachWaitingConnectionHasItsOwnTenSeconds) {
    start_handshake();
    Client silent(server_.port());
    wait_taken(1);
    clock_.advance_ms(6'000);
    Client slow(server_.port());
    slow.send(R"({"type":"auth",)");
    wait_taken(2);
    clock_.advance_ms(4'000);  // the silent one's 10 s are up; the slow one has 6 s left
    EXPECT_EQ(silent.line(), auth_failed("HANDSHAKE_TIMEOUT"));
    EXPECT_TRUE(silent.closed_by_server());
    clock_.advance_ms(5'900);
    slow.send(std::string(R"("session_token":"launcher-token-1"})") + "\n");
    EXPECT_NE(slow.line().find("session_ready"), std::string::npos);
    EXPECT_TRUE(result().ok);
}

TEST_F(ControlServerTest, BeyondTheBoundTheOldestWaitingConnectionIsRefused) {
    start_handshake();
    std::vector<std::unique_ptr<Client>> silent;
    for (std::size_t i = 0; i < TcpControlServer::kMaxPendingLaunchers; ++i)
        silent.push_back(std::make_unique<Client>(server_.port()));
    // Each has connected, so the listen queue hands the launcher over after all of them.
    Client launcher(server_.port());
    launcher.send(kGoodAuth);
    EXPECT_EQ(silent.front()->line(), auth_failed("HANDSHAKE_TIMEOUT"));
    EXPECT_NE(launcher.line().find("session_ready"), std::string::npos);
    EXPECT_TRUE(result().ok);
    EXPECT_EQ(silent.back()->line(), auth_failed("AUTH_REJECTED"));
}

TEST_F(ControlServerTest, AConnectionDuringTheSessionIsRefusedAndChangesNothing) {
    auto client = authenticated();
    std::atomic<int> disconnects{0};
    server_.set_on_disconnected([&] { ++disconnects; });
    server_.start_reading();
    pool_.start(2);
    for (const std::string& sent : {std::string(kGoodAuth), std::string()}) {
        Client second(server_.port());
        if (!sent.empty())
            second.send(sent);
        EXPECT_EQ(second.line(), auth_failed("AUTH_REJECTED"));
        EXPECT_TRUE(second.closed_by_server());
    }
    client->send("{\"type\":\"ping\",\"ts\":7}\n");
    EXPECT_EQ(client->line(), R"({"type":"pong","ts":7})");
    EXPECT_TRUE(server_.launcher_connected());
    EXPECT_EQ(server_.lines_received(), 1u);
    EXPECT_EQ(disconnects.load(), 0);
    EXPECT_EQ(log_.count("refused (AUTH_REJECTED)"), 2);
}

// Without a token hash (a standalone agent) no launcher can be admitted: the first refusal of
// any kind ends the wait, and whoever else waits learns that the session was aborted.
TEST_F(ControlServerTest, WithoutATokenHashTheFirstRefusalDecides) {
    server_.set_expected_token_sha256("");
    struct Case {
        const char* name;
        std::string sent;  // none: it says nothing and its 10 s run out
        const char* code;
    };
    const Case cases[] = {{"right token", kGoodAuth, "AUTH_REJECTED"},
                          {"not json", "hello\n", "AUTH_FAIL"},
                          {"silent", "", "HANDSHAKE_TIMEOUT"}};
    int taken = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        start_handshake();
        Client client(server_.port());
        wait_taken(++taken);
        Client bystander(server_.port());
        wait_taken(++taken);
        if (c.sent.empty())
            clock_.advance_us(TcpControlServer::kHandshakeTimeoutUs);
        else
            client.send(c.sent);
        EXPECT_EQ(client.line(), auth_failed(c.code));
        EXPECT_EQ(bystander.line(), auth_failed("SESSION_ABORTED"));
        const HandshakeResult r = result();
        EXPECT_FALSE(r.ok);
        EXPECT_STREQ(auth_refusal_code(r.refusal), c.code);
    }
    EXPECT_EQ(log_.count(kNoTokenHashSecurityLine), 1);
}

// The right token with no keys to hand over: the set-up has failed, whatever came before.
TEST_F(ControlServerTest, TheRightTokenWithoutKeysAbortsTheSession) {
    server_.set_keys(std::nullopt);
    start_handshake();
    Client stray(server_.port());
    stray.send("{\"type\":\"auth\",\"session_token\":\"nope\"}\n");
    EXPECT_EQ(stray.line(), auth_failed("AUTH_REJECTED"));
    Client launcher(server_.port());
    launcher.send(kGoodAuth);
    EXPECT_EQ(launcher.line(), auth_failed("SESSION_ABORTED"));
    EXPECT_EQ(result().refusal, AuthRefusal::aborted);
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

// Out of descriptors, a connection waiting in the listen queue cannot be taken, and the listener
// stays readable: the handshake must not go round without rest until a descriptor comes free.
// It runs in a child process, whose descriptor limit it lowers.
int handshake_rounds_without_descriptors() {
    asio::io_context io;
    TcpControlServer server(io);
    std::string error;
    if (!server.listen(0, error))
        return -1;
    const asio::ip::tcp::endpoint port{asio::ip::make_address_v4("127.0.0.1"), server.port()};
    {
        // One round takes a connection and finds nobody more: the sanitizers check such calls
        // once with descriptors of their own, which are about to run out.
        asio::ip::tcp::socket early(io);
        early.connect(port);
        bool first = true;
        server.run_handshake([&] { return std::exchange(first, false); });
    }
    asio::ip::tcp::socket waiting(io);
    waiting.connect(port);
    // Every descriptor below the limit is taken, so the accept has none left.
    const int limit = ::open("/dev/null", O_RDONLY);
    for (int fd = 0; fd < limit; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0)
            ::dup2(limit, fd);
    }
    const rlimit lowered{static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
    if (::setrlimit(RLIMIT_NOFILE, &lowered) != 0)
        return -1;
    int rounds = 0;
    const auto end = std::chrono::steady_clock::now() + 500ms;
    server.run_handshake([&] {
        ++rounds;
        return std::chrono::steady_clock::now() < end;
    });
    return rounds;
}

TEST(ControlServerDescriptors, RunningOutDoesNotSpinTheHandshake) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // One round per 50 ms step, and a few more for the steps the connection's arrival ends.
    EXPECT_EXIT(
        {
            const int r = handshake_rounds_without_descriptors();
            std::fprintf(stderr, "rounds %d\n", r);
            std::exit(r >= 0 && r <= 40 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
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
