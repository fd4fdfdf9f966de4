#include <gtest/gtest.h>

#include <asio.hpp>
#include <future>
#include <numeric>

#include "backend/bridge/control_bridge.hpp"
#include "backend/connector/saas_connector.hpp"
#include "desktop/session_isolation.hpp"
#include "driver/session_runner.hpp"
#include "link/control_protocol.hpp"
#include "link/session_keys.hpp"
#include "status/status_board.hpp"
#include "support/eventually.hpp"
#include "support/fake_clock.hpp"
#include "support/free_ports.hpp"
#include "support/line_client.hpp"
#include "support/log_lines.hpp"
#include "support/scoped_env.hpp"
#include "traversal/router/scripted_steps.hpp"

namespace vx {
namespace {

using namespace std::chrono_literals;

constexpr const char* kToken = "launcher-token-1";
constexpr auto kPatience = 10s;  // a safety net only; every wait ends on its condition

std::string auth_line(const std::string& token) {
    return R"({"type":"auth","session_token":")" + token + "\"}\n";
}

std::uint64_t newest_event_seq() {
    const auto events = status_board().snapshot().events;
    return events.empty() ? 0 : events.back().seq;
}

// The kinds of the board's events newer than `after`, oldest first.
std::vector<StatusEventKind> events_since(std::uint64_t after) {
    std::vector<StatusEventKind> kinds;
    for (const auto& e : status_board().snapshot().events) {
        if (e.seq > after)
            kinds.push_back(e.kind);
    }
    return kinds;
}

// Waits until the board's snapshot `shows` what the test waits for; false when it does not
// within the patience.
template <class Pred>
bool wait_for_board(Pred shows) {
    StatusBoard& board = status_board();
    const auto until = std::chrono::steady_clock::now() + kPatience;
    std::uint64_t seen = 0;
    while (!shows(board.snapshot())) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        seen = board.wait_for_change(seen, 100ms);
    }
    return true;
}

bool wait_for_verdict(DirectVerdict verdict) {
    return wait_for_board([&](const StatusSnapshot& s) { return s.verdict == verdict; });
}

bool wait_for_session(SessionState state) {
    return wait_for_board([&](const StatusSnapshot& s) { return s.session == state; });
}

// Waits until the board holds an event of `kind` newer than `after`; returns it.
std::optional<StatusEvent> wait_for_event(StatusEventKind kind, std::uint64_t after,
                                          std::chrono::milliseconds patience = kPatience) {
    StatusBoard& board = status_board();
    const auto until = std::chrono::steady_clock::now() + patience;
    std::uint64_t seen;
    {
        std::lock_guard lock(board.mutex);
        seen = board.change_counter;
    }
    for (;;) {
        for (const auto& e : board.snapshot().events) {
            if (e.kind == kind && e.seq > after)
                return e;
        }
        if (std::chrono::steady_clock::now() >= until)
            return std::nullopt;
        seen = board.wait_for_change(seen, 100ms);
    }
}

class SessionRunnerTest : public ::testing::Test {
  protected:
    SessionConfig order() {
        SessionConfig s;
        s.agent.port_base = base_;
        s.agent.client_idle_timeout_sec = 0;
        s.agent.codec = "hevc";
        s.agent.width = 1280;
        s.agent.height = 720;
        s.agent.fps = 30;
        s.session_id = "s-1";
        s.token_sha256 = token_sha256_hex(kToken);
        s.encryption_key.resize(32);
        std::iota(s.encryption_key.begin(), s.encryption_key.end(), 0);
        s.from_backend = true;
        return s;
    }
    void start(SessionConfig s) {
        first_seq_ = newest_event_seq();
        start_us_ = clock_.now_us();
        result_ =
            std::async(std::launch::async, [this, s = std::move(s)] { return runner_->run(s); });
    }
    // A backend connector that is never started: what the session tells the backend stays in
    // its outgoing queue.
    void use_backend(network::DirectPortMapper* mapper = nullptr) {
        network::SaasConfig config;
        config.host = "127.0.0.1";
        config.tls = false;
        backend_ = std::make_unique<network::SaasConnector>(io_, config);
        runner_ = make_runner(backend_.get(), mapper);
    }
    // The types of the messages queued for the backend, oldest first.
    std::vector<std::string> queued_types() {
        std::vector<std::string> types;
        for (const std::string& text : backend_->take_outgoing())
            types.push_back(nlohmann::json::parse(text).value("type", ""));
        return types;
    }
    // Connects a launcher and authenticates it; the session is live once this returns.
    std::unique_ptr<test::LineClient> launcher() {
        auto client = std::make_unique<test::LineClient>(base_ + 3, kPatience);
        client->send(auth_line(kToken));
        const std::string ready = client->line();
        EXPECT_NE(ready.find(R"("type":"session_ready")"), std::string::npos) << ready;
        EXPECT_TRUE(wait_for_event(StatusEventKind::player_connected, first_seq_));
        return client;
    }
    SessionResult finish() {
        EXPECT_EQ(result_.wait_for(kPatience), std::future_status::ready);
        return result_.get();
    }

    test::LogLines log_;
    test::FakeClock clock_;
    std::uint16_t base_ = test::free_port_base();
    asio::io_context io_;
    std::atomic<bool> running_{true};
    SessionOrders orders_;
    std::unique_ptr<SessionRunner> make_runner(network::SaasConnector* connector,
                                               network::DirectPortMapper* mapper = nullptr) {
        return std::make_unique<SessionRunner>(SessionRunner::Deps{.io = io_,
                                                                   .running = running_,
                                                                   .orders = orders_,
                                                                   .connector = connector,
                                                                   .now = clock_.fn(),
                                                                   .mapper = mapper});
    }
    std::unique_ptr<network::SaasConnector> backend_;
    std::unique_ptr<SessionRunner> runner_ = make_runner(nullptr);
    std::uint64_t first_seq_ = 0;
    std::int64_t start_us_ = 0;
    std::future<SessionResult> result_;
};

TEST_F(SessionRunnerTest, BoardFollowsASessionTheLauncherEnds) {
    start(order());
    auto client = launcher();
    const StatusSnapshot live = status_board().snapshot();
    EXPECT_EQ(live.session, SessionState::player_connected);
    EXPECT_GT(live.session_start_s, 0);
    EXPECT_EQ(live.codec, "HEVC");
    EXPECT_EQ(live.width, 1280u);
    EXPECT_EQ(live.height, 720u);
    EXPECT_EQ(live.fps, 30u);

    clock_.advance_ms(7'400);
    client->send("{\"type\":\"ping\",\"ts\":9}\n");
    EXPECT_EQ(client->line(), R"({"type":"pong","ts":9})");
    client->send("{\"type\":\"end_session\"}\n");
    const SessionResult r = finish();
    EXPECT_TRUE(r.started);
    EXPECT_FALSE(r.setup_failed);
    EXPECT_EQ(r.end, SessionEnd::end_session);
    EXPECT_EQ(r.duration_sec, 7u);
    EXPECT_TRUE(client->closed_by_server());

    // The outer loop learns that the session asked to end (and sets the running flag again).
    EXPECT_TRUE(orders_.end_requested);
    EXPECT_FALSE(running_.load());
    const StatusSnapshot after = status_board().snapshot();
    EXPECT_EQ(after.session, SessionState::idle);
    EXPECT_EQ(events_since(first_seq_),
              (std::vector{StatusEventKind::rented, StatusEventKind::player_connected,
                           StatusEventKind::session_ended}));
    EXPECT_EQ(after.events.back().value, 7);
    EXPECT_EQ(log_.count("Session established \xE2\x80\x94 keys ready"), 1);
    EXPECT_EQ(log_.count("Session ending \xE2\x80\x94 cleaning up..."), 1);
}

// The direct path is set up again once the keys are handed over, with "session_ready" between the
// two: a session whose first try found nothing tries again, and the backend's view of the address
// that arrived meanwhile is acted on.
TEST_F(SessionRunnerTest, TheDirectPathIsSetUpAgainAfterSessionReady) {
    use_backend();
    SessionConfig s = order();
    s.agent.force_direct = "198.51.100.7";  // a candidate at every try, without router or STUN
    start(std::move(s));
    auto client = launcher();
    client->send("{\"type\":\"end_session\"}\n");
    EXPECT_EQ(finish().end, SessionEnd::end_session);
    EXPECT_EQ(queued_types(), (std::vector<std::string>{"ice_candidate", "session_ready",
                                                        "ice_candidate", "session_ended"}));
}

// A session that keeps its router mapping for video shows that players come straight in, and
// puts the verdict from before back at its end, unless the verdict changed meanwhile (the
// backend's view of the address contradicted the router): that one stays.
TEST_F(SessionRunnerTest, TheVerdictOfAMappedSessionIsUndoneOnlyWhenStillShown) {
    struct Case {
        std::optional<DirectVerdict> meanwhile;
        DirectVerdict after;
    };
    const Case cases[] = {
        {std::nullopt, DirectVerdict::upnp_supported},
        {DirectVerdict::behind_cgnat, DirectVerdict::behind_cgnat},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.meanwhile ? "changed during the session" : "unchanged");
        running_ = true;  // as the outer loop does after the previous session
        auto router = std::make_shared<network::test::ScriptedSteps>();
        router->igd = network::test::gateway_igd("100.128.0.2");
        network::DirectPortMapper mapper(network::DirectPortMapperOptions{}, router, clock_.fn());
        use_backend(&mapper);
        status_board().set_verdict(DirectVerdict::upnp_supported);
        start(order());
        auto client = launcher();
        ASSERT_TRUE(wait_for_verdict(DirectVerdict::upnp_ports_open));
        if (c.meanwhile)
            status_board().set_verdict(*c.meanwhile);
        client->send("{\"type\":\"end_session\"}\n");
        EXPECT_EQ(finish().end, SessionEnd::end_session);
        EXPECT_EQ(status_board().snapshot().verdict, c.after);
    }
}

TEST_F(SessionRunnerTest, SilentLauncherIsDroppedComesBackAndIsLost) {
    SessionConfig s = order();
    s.agent.client_idle_timeout_sec = 4;
    start(std::move(s));
    auto client = launcher();

    // The watchdog starts counting when the session goes live, which the test cannot see: let
    // time pass in steps until half the timeout of silence shows.
    std::optional<StatusEvent> dropped;
    for (int step = 0; step < 40 && !dropped; ++step) {
        clock_.advance_ms(250);
        dropped = wait_for_event(StatusEventKind::player_dropped, first_seq_, 200ms);
    }
    ASSERT_TRUE(dropped);
    client->send("{\"type\":\"stats\",\"rtt_ms\":3}\n");
    ASSERT_TRUE(wait_for_event(StatusEventKind::player_back, first_seq_));

    clock_.advance_ms(4'000);  // the whole timeout
    const SessionResult r = finish();
    EXPECT_EQ(r.end, SessionEnd::client_lost);
    EXPECT_EQ(r.duration_sec,
              static_cast<std::uint32_t>((clock_.now_us() - start_us_ + 500'000) / 1'000'000));
    EXPECT_TRUE(client->closed_by_server());
    EXPECT_EQ(events_since(first_seq_),
              (std::vector{StatusEventKind::rented, StatusEventKind::player_connected,
                           StatusEventKind::player_dropped, StatusEventKind::player_back,
                           StatusEventKind::session_ended}));
}

TEST_F(SessionRunnerTest, MaxDurationEndsTheSession) {
    SessionConfig s = order();
    s.agent.max_duration_sec = 3;
    start(std::move(s));
    auto client = launcher();
    clock_.advance_ms(3'000);
    const SessionResult r = finish();
    EXPECT_EQ(r.end, SessionEnd::max_duration);
    EXPECT_EQ(r.duration_sec, 3u);
    EXPECT_EQ(log_.count("Session reached max_duration_sec=3 - ending"), 1);
}

TEST_F(SessionRunnerTest, AStopEndsTheSessionWithoutAskingTheOuterLoopToGoOn) {
    start(order());
    auto client = launcher();
    running_ = false;
    const SessionResult r = finish();
    EXPECT_EQ(r.end, SessionEnd::terminated);
    EXPECT_FALSE(orders_.end_requested);
    EXPECT_TRUE(client->closed_by_server());
}

// While an isolated session runs, the crash handler finds its isolation to restore; once the
// session is over there is nothing left for it to touch.
TEST_F(SessionRunnerTest, AnIsolatedSessionIsPublishedForTheCrashHandlerUntilItsTeardown) {
    const test::ScopedEnv no_desktop("DISPLAY", nullptr);  // nothing on this machine is touched
    SessionConfig s = order();
    s.agent.hide_desktop = true;
    start(std::move(s));
    auto client = launcher();
    ASSERT_TRUE(log_.wait_for("SessionIsolation: no desktop to isolate"));
    EXPECT_NE(desktop::g_active_isolation.load(), nullptr);
    client->send("{\"type\":\"end_session\"}\n");
    EXPECT_EQ(finish().end, SessionEnd::end_session);
    EXPECT_EQ(desktop::g_active_isolation.load(), nullptr);
}

// The backend may end a session while its direct path is being set up (a slow router or STUN
// server holds that step for seconds): the session is torn down next, so its desktop is not
// isolated (nor a game started) first.
TEST_F(SessionRunnerTest, ASessionEndedDuringTheDirectPathSetUpIsNotIsolated) {
    const test::ScopedEnv no_desktop("DISPLAY", nullptr);  // nothing on this machine is touched
    auto router = std::make_shared<network::test::ScriptedSteps>();
    router->igd = network::test::gateway_igd("100.128.0.2");
    router->add = [this](const network::test::SoapCall&) {
        running_ = false;  // the backend's terminate_session arrives while the router is asked
        return network::test::soap_ok();
    };
    network::DirectPortMapper mapper(network::DirectPortMapperOptions{}, router, clock_.fn());
    use_backend(&mapper);
    SessionConfig s = order();
    s.agent.hide_desktop = true;
    start(std::move(s));
    auto client = launcher();
    EXPECT_EQ(finish().end, SessionEnd::terminated);
    EXPECT_EQ(log_.count("SessionIsolation"), 0);
    EXPECT_EQ(desktop::g_active_isolation.load(), nullptr);
    EXPECT_TRUE(client->closed_by_server());
}

// Whatever reaches the control port before the launcher (a port scanner, a browser, a wrong
// token) is refused on its own: the launcher still gets the session, and the backend hears of no
// failure. A connection during the session is refused too and changes nothing.
TEST_F(SessionRunnerTest, StrayConnectionsDoNotCostTheSession) {
    use_backend();
    start(order());
    test::LineClient silent(base_ + 3, kPatience);
    for (const std::string& sent :
         {auth_line("not-the-token"), std::string("GET / HTTP/1.1\r\n")}) {
        test::LineClient stray(base_ + 3, kPatience);
        stray.send(sent);
        EXPECT_NE(stray.line().find("auth_failed"), std::string::npos) << sent;
    }
    auto client = launcher();
    EXPECT_EQ(silent.line(), R"({"code":"AUTH_REJECTED","type":"auth_failed"})");
    test::LineClient late(base_ + 3, kPatience);
    EXPECT_EQ(late.line(), R"({"code":"AUTH_REJECTED","type":"auth_failed"})");
    client->send("{\"type\":\"ping\",\"ts\":3}\n{\"type\":\"end_session\"}\n");
    EXPECT_EQ(client->line(), R"({"type":"pong","ts":3})");
    const SessionResult r = finish();
    EXPECT_FALSE(r.setup_failed);
    EXPECT_EQ(r.end, SessionEnd::end_session);
    EXPECT_EQ(queued_types(), (std::vector<std::string>{"session_ready", "session_ended"}));
    EXPECT_EQ(log_.count("set-up failed"), 0);
}

// A connection relayed by the backend while a direct launcher has the session is refused like
// any other. The end of that relayed connection is not the launcher's: the presence watchdog
// goes on watching the launcher.
TEST_F(SessionRunnerTest, ARelayedConnectionRefusedDuringADirectSessionChangesNothing) {
    network::ControlBridge bridge(
        io_, std::make_shared<network::BridgeWriteQueue>(),
        {[](const nlohmann::json&) {}, [] { return std::string("s-1"); }, {}}, clock_.fn());
    runner_ = std::make_unique<SessionRunner>(
        SessionRunner::Deps{io_, running_, orders_, nullptr, &bridge, {}, clock_.fn()});
    SessionConfig s = order();
    s.agent.client_idle_timeout_sec = 40;
    start(std::move(s));
    auto client = launcher();
    bridge.open(base_ + 3);
    ASSERT_TRUE(log_.wait_for("relay peer closed unexpectedly"));
    // Half the timeout of silence shows the player as dropped, and no more.
    std::optional<StatusEvent> dropped;
    for (int step = 0; step < 20 && !dropped; ++step) {
        clock_.advance_ms(2'000);
        dropped = wait_for_event(StatusEventKind::player_dropped, first_seq_, 200ms);
    }
    EXPECT_TRUE(dropped);
    client->send("{\"type\":\"end_session\"}\n");
    EXPECT_EQ(finish().end, SessionEnd::end_session);
}

// The right token with no keys to hand over: the set-up has really failed, and the backend is
// told.
TEST_F(SessionRunnerTest, TheRightTokenWithoutKeysFailsTheSetUp) {
    use_backend();
    SessionConfig s = order();
    s.encryption_key.clear();
    start(std::move(s));
    test::LineClient client(base_ + 3, kPatience);
    client.send(auth_line(kToken));
    EXPECT_EQ(client.line(), R"({"code":"SESSION_ABORTED","type":"auth_failed"})");
    const SessionResult r = finish();
    EXPECT_FALSE(r.started);
    EXPECT_TRUE(r.setup_failed);
    EXPECT_EQ(status_board().snapshot().session, SessionState::idle);
    EXPECT_EQ(events_since(first_seq_),
              (std::vector{StatusEventKind::rented, StatusEventKind::session_failed}));
    EXPECT_EQ(log_.count("Session s-1 set-up failed (handshake_failed)"), 1);
    EXPECT_EQ(queued_types(), (std::vector<std::string>{"error"}));
}

// The session id and the codec are the backend's texts: the session's lines quote them short
// and defused, whatever their size.
TEST_F(SessionRunnerTest, TheOrdersTextsAreQuotedShort) {
    SessionConfig s = order();
    s.session_id = "s\x1b[2J" + std::string(100'000, 'i');
    s.agent.codec = std::string(100'000, 'c');
    s.encryption_key.clear();  // the right token then fails the set-up
    start(s);
    test::LineClient client(base_ + 3, kPatience);
    client.send(auth_line(kToken));
    EXPECT_EQ(client.line(), R"({"code":"SESSION_ABORTED","type":"auth_failed"})");
    EXPECT_TRUE(finish().setup_failed);
    const std::string shown = "s?[2J" + std::string(195, 'i') + "...";
    EXPECT_EQ(log_.count("Session " + shown + " set-up failed (handshake_failed)"), 1);
    for (const std::string& line : log_.lines()) {
        EXPECT_LT(line.size(), 1000u) << line.substr(0, 300);
    }
}

TEST_F(SessionRunnerTest, BusyVideoPortFailsTheSetUp) {
    asio::ip::udp::socket taken(io_, {asio::ip::udp::v4(), static_cast<std::uint16_t>(base_ + 4)});
    start(order());
    const SessionResult r = finish();
    EXPECT_TRUE(r.setup_failed);
    EXPECT_NE(r.failure.find("Video UDP socket bind failed"), std::string::npos) << r.failure;
    EXPECT_EQ(log_.count("Video UDP socket bind failed (UDP port"), 1);
    EXPECT_TRUE(status_board().snapshot().problems[static_cast<int>(ProblemKind::port_busy)]);
    EXPECT_EQ(events_since(first_seq_).back(), StatusEventKind::session_failed);
}

// Nobody rents a standalone PC: it waits idle ("waiting for a launcher") until a launcher
// connects, and the first refusal (it has no token hash: nobody can be admitted) fails the
// session with the reason.
TEST_F(SessionRunnerTest, StandaloneWaitsIdleForALauncherThenFailsWithTheRefusal) {
    AgentConfig config;
    config.port_base = base_;
    first_seq_ = newest_event_seq();
    auto done = std::async(std::launch::async,
                           [&] { return run_standalone_session(config, running_, orders_); });
    struct StopOnExit {  // a failed assertion ends the session instead of waiting for it forever
        std::atomic<bool>& running;
        ~StopOnExit() { running = false; }
    } stop_on_exit{running_};
    ASSERT_TRUE(log_.wait_for("Waiting for launcher connection on TCP port"));
    EXPECT_EQ(status_board().snapshot().session, SessionState::idle);

    // "Player is connecting" while any connection waits for its auth line, not beyond.
    StatusBoard& board = status_board();
    auto first = std::make_unique<test::LineClient>(base_ + 3, kPatience);
    ASSERT_TRUE(wait_for_session(SessionState::rented));
    {
        test::LineClient second(base_ + 3, kPatience);
        ASSERT_TRUE(
            test::eventually([&] { return log_.count("waiting for auth") == 2; }, kPatience));
    }
    ASSERT_TRUE(log_.wait_for("left before authenticating"));
    EXPECT_EQ(board.snapshot().session, SessionState::rented);
    first.reset();
    ASSERT_TRUE(wait_for_session(SessionState::idle));

    test::LineClient client(base_ + 3, kPatience);
    ASSERT_TRUE(wait_for_session(SessionState::rented));
    client.send(auth_line(kToken));
    EXPECT_EQ(client.line(), R"({"code":"AUTH_REJECTED","type":"auth_failed"})");
    ASSERT_EQ(done.wait_for(kPatience), std::future_status::ready);
    const SessionResult r = done.get();
    EXPECT_TRUE(r.setup_failed);
    EXPECT_NE(r.failure.find("refused (AUTH_REJECTED)"), std::string::npos) << r.failure;
    EXPECT_EQ(log_.count(kNoTokenHashSecurityLine), 1);
    EXPECT_EQ(board.snapshot().session, SessionState::idle);
    EXPECT_EQ(events_since(first_seq_), (std::vector{StatusEventKind::session_failed}));
}

}  // namespace
}  // namespace vx
