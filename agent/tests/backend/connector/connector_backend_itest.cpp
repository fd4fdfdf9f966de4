// The connector's WebSocket path against the Python test backend over loopback.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <asio/ssl/context.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>
#include <thread>

#include "backend/connector/saas_connector.hpp"
#include "backend/ws/websocket_session.hpp"
#include "status/status_board.hpp"
#include "support/eventually.hpp"
#include "support/log_lines.hpp"
#include "support/loopback_listener.hpp"
#include "support/test_backend_peer.hpp"

namespace vx::network {
namespace {

using namespace std::chrono_literals;
using test::TestBackendPeer;
using Clock = std::chrono::steady_clock;

double seconds_between(const nlohmann::json& a, const nlohmann::json& b) {
    return b["t"].get<double>() - a["t"].get<double>();
}

class ConnectorBackendTest : public ::testing::Test {
  protected:
    void SetUp() override {
        status_board().clear_problem(ProblemKind::token_rejected);
        status_board().clear_problem(ProblemKind::duplicate_agent);
    }
    void TearDown() override {
        if (connector)
            connector->stop();
    }

    void start(std::uint16_t port, std::string token = "tok", bool tls = false,
               std::string host = "127.0.0.1") {
        SaasConfig cfg;
        cfg.host = std::move(host);
        cfg.port = port;
        cfg.tls = tls;
        cfg.agent_token = std::move(token);
        connector = std::make_unique<SaasConnector>(io, cfg);
        before_start();
        connector->start();
    }
    virtual void before_start() {}

    // The agent's process ends right after a stop, so no reconnect could replay a
    // "session_ended" queued just before it: each of a few stops lets it leave first.
    void expect_each_stop_delivers_the_session_end(const TestBackendPeer& peer) {
        connector->set_stop_drain_limit(30s);  // the backend reads: the limit never matters
        for (std::size_t round = 1; round <= 5; ++round) {
            ASSERT_TRUE(peer.wait_for(
                [&] { return peer.events("recv", "register").size() >= round; }, 10s));
            const std::string id = "stopped-" + std::to_string(round);
            connector->send_session_ended(id, "pipeline_ended", 3);
            connector->stop();
            EXPECT_TRUE(peer.wait_for(
                [&] {
                    for (const auto& e : peer.events("recv", "session_ended")) {
                        const auto m = nlohmann::json::parse(e["text"].get<std::string>());
                        if (m["session_id"] == id)
                            return true;
                    }
                    return false;
                },
                5s))
                << id;
            connector->start();
        }
    }

    bool problem(ProblemKind kind) {
        return status_board().snapshot().problems[static_cast<std::size_t>(kind)];
    }

    test::LogLines log;  // outlives the connector, which logs until TearDown stops it
    asio::io_context io;
    std::unique_ptr<SaasConnector> connector;
};

TEST_F(ConnectorBackendTest, RegistersFirstAnswersPingsAndSendsHeartbeats) {
    TestBackendPeer peer({},
                         R"({"connections":{"1":[{"wait":"register"},{"ping":42},{"ping":0}]}})");
    // Left from an earlier replacement; a transport that comes up clears it.
    status_board().report_problem(ProblemKind::duplicate_agent);
    start(peer.port());
    ASSERT_TRUE(peer.wait_for([&] { return peer.events("recv", "heartbeat").size() >= 1; }, 8s));
    const auto recv = peer.events("recv");
    ASSERT_GE(recv.size(), 3u);
    EXPECT_EQ(recv[0]["type"], "register");
    const auto reg = nlohmann::json::parse(recv[0]["text"].get<std::string>());
    EXPECT_EQ(reg["features"], nlohmann::json::array({"prepare_redelivery"}));
    std::vector<std::string> pongs;
    for (const auto& e : recv) {
        EXPECT_TRUE(e["canonical"].get<bool>()) << e["text"];
        if (e["type"] == "pong")
            pongs.push_back(e["text"]);
    }
    EXPECT_EQ(pongs,
              (std::vector<std::string>{R"({"type":"pong","ts":42})", R"({"type":"pong"})"}));
    const auto connect = peer.events("connect").at(0);
    const auto beat = peer.events("recv", "heartbeat").at(0);
    EXPECT_GE(seconds_between(connect, beat), 4.5);
    EXPECT_TRUE(connector->connected());
    EXPECT_EQ(connector->transport_name(), "ws");
    EXPECT_EQ(status_board().snapshot().link, LinkState::connected);
    EXPECT_EQ(status_board().snapshot().transport, LinkTransport::websocket);
    EXPECT_FALSE(problem(ProblemKind::duplicate_agent));
}

// The backend may send many app pings at once: their pongs outnumber the control lane, and the
// reader waits for the writer to make room instead of ending a healthy connection.
TEST_F(ConnectorBackendTest, ABurstOfAppPingsIsAnsweredInFullOnTheSameConnection) {
    constexpr int kPings = 100;
    nlohmann::json steps = nlohmann::json::array({{{"wait", "register"}}});
    for (int i = 1; i <= kPings; ++i)
        steps.push_back({{"ping", i}});
    TestBackendPeer peer({}, nlohmann::json{{"connections", {{"1", steps}}}}.dump());
    start(peer.port());
    ASSERT_TRUE(peer.wait_for([&] { return peer.events("recv", "pong").size() >= kPings; }, 10s))
        << peer.events("recv", "pong").size() << " pong(s)";
    const auto pongs = peer.events("recv", "pong");
    for (int i = 0; i < kPings; ++i) {
        EXPECT_EQ(pongs[static_cast<std::size_t>(i)]["text"],
                  R"({"type":"pong","ts":)" + std::to_string(i + 1) + "}");
    }
    EXPECT_EQ(peer.events("connect").size(), 1u);
    EXPECT_TRUE(connector->connected());
    EXPECT_EQ(connector->websocket_stats().control_dropped, 0u);
    EXPECT_EQ(log.count("the app pong could not be queued"), 0);
}

TEST_F(ConnectorBackendTest, RefusedTokenIsReportedAndBacksOff) {
    TestBackendPeer peer({"--token", "right"});
    start(peer.port(), "wrong");
    ASSERT_TRUE(peer.wait_for([&] { return peer.events("reject").size() >= 3; }, 6s));
    const auto rejects = peer.events("reject");
    EXPECT_EQ(rejects[0]["status"], 403);
    EXPECT_GE(seconds_between(rejects[0], rejects[1]), 0.9);
    EXPECT_GE(seconds_between(rejects[1], rejects[2]), 1.9);
    EXPECT_TRUE(problem(ProblemKind::token_rejected));
    EXPECT_FALSE(connector->connected());
    EXPECT_TRUE(peer.events("connect").empty());
}

TEST_F(ConnectorBackendTest, MissingTokenGets401AndIsReported) {
    TestBackendPeer peer({"--token", "right"});
    start(peer.port(), "");
    ASSERT_TRUE(peer.wait_for([&] { return peer.events("reject").size() >= 2; }, 4s));
    const auto rejects = peer.events("reject");
    EXPECT_EQ(rejects[0]["status"], 401);
    EXPECT_GE(seconds_between(rejects[0], rejects[1]), 0.9) << "a refusal is no connection";
    EXPECT_TRUE(problem(ProblemKind::token_rejected));
    EXPECT_FALSE(connector->connected());
}

TEST_F(ConnectorBackendTest, ServerErrorIsNotATokenProblem) {
    TestBackendPeer peer({"--reject", "500", "--reject-count", "1"});
    start(peer.port());
    ASSERT_TRUE(peer.wait_for([&] { return !peer.events("connect").empty(); }, 4s));
    EXPECT_FALSE(problem(ProblemKind::token_rejected));
}

TEST_F(ConnectorBackendTest, PlainHttpToATlsPortGetsTheHintFromTheBody) {
    TestBackendPeer peer({"--reject", "400-plain", "--reject-count", "1"});
    start(peer.port());
    ASSERT_TRUE(peer.wait_for([&] { return !peer.events("reject").empty(); }, 3s));
    ASSERT_TRUE(peer.wait_for([&] { return log.count("WebSocket handshake rejected") > 0; }, 2s));
    EXPECT_EQ(log.count("SaasConnector: the agent speaks plain ws:// only. Use --saas-port 80"), 1);
    EXPECT_FALSE(problem(ProblemKind::token_rejected));
}

TEST_F(ConnectorBackendTest, ReplacedByAnotherAgentWaitsAndStopsPromptly) {
    TestBackendPeer peer({}, R"({"connections":{"1":[{"wait":"register"},
        {"close":4009,"reason":"replaced by a newer connection"}]}})");
    start(peer.port());
    ASSERT_TRUE(peer.wait_for([&] { return !peer.events("close").empty(); }, 4s));
    ASSERT_TRUE(peer.wait_for([&] { return problem(ProblemKind::duplicate_agent); }, 2s));
    // No second connection within the first seconds of the 30 s wait.
    EXPECT_FALSE(peer.wait_for([&] { return peer.events("connect").size() > 1; }, 3s));
    EXPECT_EQ(status_board().snapshot().link, LinkState::lost);
    const auto t0 = Clock::now();
    connector->stop();
    EXPECT_LT(Clock::now() - t0, 1s);
}

TEST_F(ConnectorBackendTest, DropMidFrameReconnectsAfterASecondAndReplays) {
    TestBackendPeer peer({}, R"({"connections":{"1":[{"wait":"register"},{"sleep":0.3},
        {"drop_mid_frame":true}]}})");
    start(peer.port());
    ASSERT_TRUE(peer.wait_for([&] { return !peer.events("recv", "register").empty(); }, 4s));
    connector->send_session_ready("sess-7", "203.0.113.9", 48002, 48003, 48000);
    ASSERT_TRUE(peer.wait_for([&] { return peer.events("recv", "register").size() >= 2; }, 5s));
    ASSERT_TRUE(
        peer.wait_for([&] { return peer.events("recv", "session_ready").size() >= 2; }, 2s));
    const auto drop = peer.events("drop").at(0);
    const auto second = peer.events("connect").at(1);
    EXPECT_GE(seconds_between(drop, second), 0.9);
    EXPECT_LT(seconds_between(drop, second), 3.0);
    std::vector<std::string> order;
    for (const auto& e : peer.events("recv")) {
        if (e["conn"] == 2)
            order.push_back(e["type"]);
    }
    ASSERT_GE(order.size(), 2u);
    EXPECT_EQ(order[0], "register");
    EXPECT_EQ(order[1], "session_ready");
}

TEST_F(ConnectorBackendTest, SessionEndedIsReplayedInsteadOfTheReadyMessage) {
    TestBackendPeer peer({}, R"({"connections":{"1":[{"wait":"session_ended"},{"close":1001}]}})");
    start(peer.port());
    ASSERT_TRUE(peer.wait_for([&] { return !peer.events("recv", "register").empty(); }, 4s));
    connector->send_session_ready("sess-8", "203.0.113.9", 1, 2, 3);
    connector->send_session_ended("sess-8", "pipeline_ended", 12);
    ASSERT_TRUE(peer.wait_for([&] { return peer.events("connect").size() >= 2; }, 5s));
    ASSERT_TRUE(
        peer.wait_for([&] { return peer.events("recv", "session_ended").size() >= 2; }, 2s));
    std::vector<std::string> order;
    for (const auto& e : peer.events("recv")) {
        if (e["conn"] == 2)
            order.push_back(e["type"]);
    }
    EXPECT_EQ(order.at(0), "register");
    EXPECT_EQ(order.at(1), "session_ended");
}

TEST_F(ConnectorBackendTest, AStopRightAfterASessionEndStillDeliversIt) {
    TestBackendPeer peer;
    start(peer.port());
    expect_each_stop_delivers_the_session_end(peer);
}

// A backend that takes the upgrade and then reads nothing: once the socket buffers are full
// (its receive buffer is small), the agent's writes wait.
class DeafBackend {
  public:
    DeafBackend() {
        listener_ = test::listen_on_loopback(1, port_);
        const int small = 2048;
        ::setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        server_ = std::thread([this] { take_the_upgrade(); });
    }
    ~DeafBackend() {
        if (server_.joinable())
            server_.join();
        if (conn_ >= 0)
            ::close(conn_);
        ::close(listener_);
    }
    std::uint16_t port() const { return port_; }
    // The link drops: the connection is reset.
    void reset() {
        if (server_.joinable())
            server_.join();
        const linger abort{1, 0};
        ::setsockopt(conn_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        ::close(conn_);
        conn_ = -1;
    }

  private:
    void take_the_upgrade() {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, 10'000) != 1)
            return;
        conn_ = ::accept(listener_, nullptr, nullptr);
        std::string request;
        char buf[1024];
        p = {conn_, POLLIN, 0};
        while (request.find("\r\n\r\n") == std::string::npos && ::poll(&p, 1, 10'000) == 1) {
            const ssize_t n = ::recv(conn_, buf, sizeof buf, 0);
            if (n <= 0)
                return;
            request.append(buf, static_cast<std::size_t>(n));
        }
        const std::string answer = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n";
        ::send(conn_, answer.data(), answer.size(), MSG_NOSIGNAL);
    }

    int listener_ = -1;
    int conn_ = -1;
    std::uint16_t port_ = 0;
    std::thread server_;
};

class ConnectorStopTest : public ConnectorBackendTest {
  protected:
    // Connects to the deaf backend and queues more than the socket buffers and the writer's
    // lane take, so the writer waits for a backend that never reads.
    void start_backlogged() {
        start(deaf.port());
        ASSERT_TRUE(test::eventually([&] { return connector->connected(); }, 10s));
        const std::string filler(64 * 1024, 'm');
        for (int i = 0; i < 300; ++i)
            connector->enqueue_text(filler);
        ASSERT_TRUE(
            test::eventually([&] { return connector->websocket_stats().data_dropped > 0; }, 10s));
    }

    DeafBackend deaf;
};

TEST_F(ConnectorStopTest, ABackendThatDoesNotReadHoldsTheStopOnlyForTheDrainLimit) {
    start_backlogged();
    const auto t0 = Clock::now();
    connector->stop();
    // 1.5 s; the margin is for a loaded machine.
    EXPECT_LT(Clock::now() - t0, 10s);
    EXPECT_EQ(log.count("SaasConnector: what was queued had not left within 1500 ms of the stop "
                        "- closing the connection anyway"),
              1);
    EXPECT_EQ(log.count("WS writer did not exit within"), 0);
}

TEST_F(ConnectorStopTest, ALinkThatDropsDuringTheDrainEndsIt) {
    start_backlogged();
    connector->set_stop_drain_limit(60s);  // only the drop can end the drain in time
    auto stopped = std::async(std::launch::async, [&] { connector->stop(); });
    ASSERT_TRUE(test::eventually(
        [&] { return log.count("SaasConnector: WS connection ended (agent stopping)") == 1; },
        10s));
    deaf.reset();
    ASSERT_EQ(stopped.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(log.count("SaasConnector: WS write failed"), 1);
    EXPECT_EQ(log.count("had not left within"), 0);
    EXPECT_EQ(log.count("WS writer did not exit within"), 0);
}

// A listener whose accept queue is full drops further SYNs: a black hole on loopback.
class BlackHole {
  public:
    BlackHole() {
        listener_ = test::listen_on_loopback(0, port_);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port_);
        // Fill the queue; these never get accepted.
        for (int i = 0; i < 2; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
            fillers_.push_back(fd);
        }
    }
    ~BlackHole() {
        for (int fd : fillers_)
            ::close(fd);
        ::close(listener_);
    }
    std::uint16_t port() const { return port_; }

  private:
    int listener_ = -1;
    std::vector<int> fillers_;
    std::uint16_t port_ = 0;
};

// Sockets of this network namespace trying to connect (SYN_SENT) to the loopback port.
int connecting_to(std::uint16_t port) {
    std::ifstream in("/proc/net/tcp");
    std::string line;
    std::getline(in, line);
    int n = 0;
    char want[8];
    std::snprintf(want, sizeof want, ":%04X", port);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (state == "02" && remote.size() > 5 && remote.substr(remote.size() - 5) == want)
            ++n;
    }
    return n;
}

TEST_F(ConnectorBackendTest, StopIsPromptWhileTheConnectHangs) {
    BlackHole hole;
    const int before = connecting_to(hole.port());
    start(hole.port());
    const auto until = Clock::now() + 3s;
    while (connecting_to(hole.port()) <= before && Clock::now() < until) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_GT(connecting_to(hole.port()), before) << "the agent's SYN is not hanging";
    EXPECT_FALSE(connector->connected());
    const auto t0 = Clock::now();
    connector->stop();
    EXPECT_LT(Clock::now() - t0, 1s);
    EXPECT_EQ(log.count("WebSocket connected"), 0);
}

// TLS against the Python backend with a CA made for the test.
class ConnectorTlsTest : public ConnectorBackendTest {
  protected:
    static void SetUpTestSuite() {
        char tmpl[] = "/tmp/vx-tls-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        const std::string cmd =
            "cd " + dir_ +
            " && openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=vx-test-ca "
            "-keyout ca.key -out ca.pem -addext basicConstraints=critical,CA:TRUE "
            "-addext keyUsage=keyCertSign 2>/dev/null"
            " && openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=vx-other-ca "
            "-keyout other.key -out other.pem 2>/dev/null"
            " && openssl req -newkey rsa:2048 -nodes -subj /CN=localhost -keyout srv.key "
            "-out srv.csr 2>/dev/null"
            " && printf 'subjectAltName=DNS:localhost\\n' > ext.cnf"
            " && openssl x509 -req -in srv.csr -CA ca.pem -CAkey ca.key -CAcreateserial "
            "-days 2 -extfile ext.cnf -out srv.pem 2>/dev/null";
        ok_ = std::system(cmd.c_str()) == 0;
    }
    static void TearDownTestSuite() { std::filesystem::remove_all(dir_); }
    void SetUp() override {
        ConnectorBackendTest::SetUp();
        if (!ok_)
            GTEST_SKIP() << "openssl could not make the test certificates";
    }
    void before_start() override {
        if (!trust_.empty())
            connector->tls_context().load_verify_file(trust_);
    }
    std::vector<std::string> tls_args() const {
        return {"--tls-cert", dir_ + "/srv.pem", "--tls-key", dir_ + "/srv.key"};
    }

    static inline std::string dir_;
    static inline bool ok_ = false;
    std::string trust_;
};

TEST_F(ConnectorTlsTest, GoodCertificateConnects) {
    TestBackendPeer peer(tls_args());
    trust_ = dir_ + "/ca.pem";
    start(peer.port(), "tok", true, "localhost");
    ASSERT_TRUE(peer.wait_for([&] { return !peer.events("recv", "register").empty(); }, 5s));
    EXPECT_TRUE(peer.events("recv", "register")[0]["canonical"].get<bool>());
    EXPECT_EQ(peer.events("connect").at(0)["sni"], "localhost") << "the host goes out as SNI";
}

TEST_F(ConnectorTlsTest, AStopRightAfterASessionEndStillDeliversIt) {
    TestBackendPeer peer(tls_args());
    trust_ = dir_ + "/ca.pem";
    start(peer.port(), "tok", true, "localhost");
    expect_each_stop_delivers_the_session_end(peer);
}

TEST_F(ConnectorTlsTest, WrongHostNameIsRefused) {
    TestBackendPeer peer(tls_args());
    trust_ = dir_ + "/ca.pem";
    start(peer.port(), "tok", true, "127.0.0.1");
    EXPECT_FALSE(peer.wait_for([&] { return !peer.events("connect").empty(); }, 2500ms));
    EXPECT_FALSE(connector->connected());
}

TEST_F(ConnectorTlsTest, UntrustedCaIsRefused) {
    TestBackendPeer peer(tls_args());
    trust_ = dir_ + "/other.pem";
    start(peer.port(), "tok", true, "localhost");
    EXPECT_FALSE(peer.wait_for([&] { return !peer.events("connect").empty(); }, 2500ms));
    EXPECT_FALSE(connector->connected());
}

}  // namespace
}  // namespace vx::network
