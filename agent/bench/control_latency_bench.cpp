// How long the agent keeps a message before it reaches the backend's socket, over a plain
// WebSocket on loopback: a message another thread queues, the pong to the backend's application
// ping, and a relayed launcher's line that goes through the backend link, the control bridge and
// the control server and back (next to the same line sent to the control server directly).
//
// The backend is an in-process WebSocket peer; the connector, the bridge and the control server
// are the agent's own. Every iteration is one round trip, timed on the wall clock. The budgets:
// a queued message leaves within 1 ms, a relayed launcher's line is back within 5 ms.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio.hpp>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>

#include <spdlog/spdlog.h>
#include <nlohmann/json.hpp>

#include "backend/bridge/control_bridge.hpp"
#include "backend/connector/saas_connector.hpp"
#include "backend/ws/ws_frame.hpp"
#include "link/control_server.hpp"
#include "link/session_keys.hpp"
#include "support/line_client.hpp"
#include "support/loopback_listener.hpp"
#include "util/base64.hpp"
#include "util/io/io_pool.hpp"

namespace {

using namespace std::chrono_literals;

constexpr const char* kToken = "launcher-token-1";
constexpr const char* kTokenHash =
    "0b8678dd74e2bebf8018f270a6d82bdd1b695f5387568f130c8750ce74ba6c27";
constexpr int kIterations = 300;

// The agent's log lines would drown the table.
const bool kQuiet = [] {
    spdlog::set_level(spdlog::level::off);
    return true;
}();

std::optional<vx::SessionKeys> test_keys() {
    std::vector<std::uint8_t> master(32);
    std::iota(master.begin(), master.end(), 0);
    return vx::derive_session_keys(master);
}

std::string auth_line() {
    return std::string(R"({"type":"auth","session_token":")") + kToken + "\"}\n";
}

// The backend's end of the WebSocket: answers the upgrade, answers keep-alive pings, hands every
// text message to whoever waits for one, and writes unmasked text frames.
class BackendPeer {
  public:
    BackendPeer() { listener_ = vx::test::listen_on_loopback(4, port_); }
    ~BackendPeer() {
        stopping_ = true;
        if (conn_ >= 0)
            ::shutdown(conn_, SHUT_RDWR);
        if (reader_.joinable())
            reader_.join();
        if (conn_ >= 0)
            ::close(conn_);
        ::close(listener_);
    }
    std::uint16_t port() const { return port_; }

    // Accepts the agent's connection and answers its upgrade; then reads on a thread.
    bool accept() {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, 10'000) != 1)
            return false;
        conn_ = ::accept(listener_, nullptr, nullptr);
        std::string request;
        char buf[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
            const ssize_t n = ::recv(conn_, buf, sizeof buf, 0);
            if (n <= 0)
                return false;
            request.append(buf, static_cast<std::size_t>(n));
        }
        write_raw("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n");
        reader_ = std::thread([this] { read_loop(); });
        return true;
    }

    void send_text(const std::string& text) { write_raw(frame(0x81, text)); }

    // The next text message whose "type" is `type` (others are dropped), or nothing after 5 s.
    std::optional<nlohmann::json> next(const std::string& type) {
        std::unique_lock lock(mutex_);
        const auto until = std::chrono::steady_clock::now() + 5s;
        for (;;) {
            while (!texts_.empty()) {
                nlohmann::json m = nlohmann::json::parse(texts_.front(), nullptr, false);
                texts_.pop_front();
                if (m.is_object() && m.value("type", "") == type)
                    return m;
            }
            if (arrived_.wait_until(lock, until) == std::cv_status::timeout && texts_.empty())
                return std::nullopt;
        }
    }

  private:
    static std::string frame(std::uint8_t first, const std::string& payload) {
        std::string f(1, static_cast<char>(first));
        if (payload.size() <= 125) {
            f += static_cast<char>(payload.size());
        } else {
            f += static_cast<char>(126);
            f += static_cast<char>(payload.size() >> 8);
            f += static_cast<char>(payload.size() & 0xFF);
        }
        return f + payload;
    }
    void write_raw(const std::string& bytes) {
        std::lock_guard lock(write_mutex_);
        ::send(conn_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    void read_loop() {
        vx::network::WsFrameParser parser;
        std::uint8_t buf[65536];
        while (!stopping_) {
            const ssize_t n = ::recv(conn_, buf, sizeof buf, 0);
            if (n <= 0 || !parser.feed(buf, static_cast<std::size_t>(n)))
                return;
            while (parser.has_frame()) {
                vx::network::WsFrame f = parser.pop();
                if (f.opcode == 0x9) {
                    write_raw(frame(0x8A, std::string(f.payload.begin(), f.payload.end())));
                } else if (f.opcode == 0x1) {
                    std::lock_guard lock(mutex_);
                    texts_.emplace_back(f.payload.begin(), f.payload.end());
                    arrived_.notify_all();
                }
            }
        }
    }

    int listener_ = -1;
    int conn_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread reader_;
    std::mutex write_mutex_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<std::string> texts_;
};

// The agent's side: a connector on the peer with its control bridge, and the launcher's control
// server on port_base + 3.
struct AgentRig {
    AgentRig() {
        std::string error;
        if (!server.listen(0, error))
            throw std::runtime_error(error);
        server.set_expected_token_sha256(kTokenHash);
        server.set_keys(test_keys());
        vx::network::SaasConfig config;
        config.host = "127.0.0.1";
        config.port = backend.port();
        config.tls = false;
        config.agent_token = "tok";
        config.server_id = std::string(36, 'x');
        config.register_payload.port_base = static_cast<std::uint16_t>(server.port() - 3);
        connector = std::make_unique<vx::network::SaasConnector>(io, config);
        bridge = vx::network::ControlBridge::for_connector(*connector);
        connector->set_control_bridge(bridge);
        connector->start();
        if (!backend.accept() || !backend.next("register"))
            throw std::runtime_error("the agent did not connect");
    }
    ~AgentRig() {
        server.stop();
        pool.stop();
        connector->stop();
    }

    // The launcher's bytes, relayed by the backend.
    void relay(const std::string& bytes) {
        const std::vector<std::uint8_t> data(bytes.begin(), bytes.end());
        backend.send_text(nlohmann::json{
            {"type", "control_data"}, {"session_id", ""}, {"data", vx::util::base64_encode(data)}}
                              .dump());
    }
    // The text of the next control_data the agent relays back.
    std::string relayed() {
        const auto m = backend.next("control_data");
        if (!m)
            return {};
        const auto bytes = vx::util::base64_decode(m->value("data", ""));
        return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
    }

    asio::io_context io;
    vx::IoPool pool{io};
    vx::TcpControlServer server{io};
    BackendPeer backend;
    std::unique_ptr<vx::network::SaasConnector> connector;
    std::shared_ptr<vx::network::ControlBridge> bridge;
};

void BM_QueuedMessageReachesTheBackend(benchmark::State& state) {
    AgentRig rig;
    std::int64_t n = 0;
    for (auto _ : state) {
        rig.connector->enqueue_message({{"type", "error"}, {"code", "X"}, {"n", ++n}});
        if (!rig.backend.next("error")) {
            state.SkipWithError("a queued message never arrived");
            break;
        }
    }
}
BENCHMARK(BM_QueuedMessageReachesTheBackend)
    ->Iterations(kIterations)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

void BM_PongToTheBackendsPing(benchmark::State& state) {
    AgentRig rig;
    std::int64_t ts = 0;
    for (auto _ : state) {
        rig.backend.send_text(nlohmann::json{{"type", "ping"}, {"ts", ++ts}}.dump());
        if (!rig.backend.next("pong")) {
            state.SkipWithError("no pong");
            break;
        }
    }
}
BENCHMARK(BM_PongToTheBackendsPing)
    ->Iterations(kIterations)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

void BM_RelayedLauncherRoundTrip(benchmark::State& state) {
    AgentRig rig;
    auto handshake = std::async(std::launch::async,
                                [&] { return rig.server.run_handshake([] { return true; }); });
    rig.backend.send_text(R"({"type":"control_open","session_id":""})");
    rig.relay(auth_line());
    if (rig.relayed().find("session_ready") == std::string::npos || !handshake.get().ok) {
        state.SkipWithError("the relayed handshake failed");
        return;
    }
    rig.server.start_reading();
    rig.pool.start(2);
    for (auto _ : state) {
        rig.relay("{\"type\":\"ping\"}\n");
        if (rig.relayed() != "{\"type\":\"pong\"}\n") {
            state.SkipWithError("no pong through the bridge");
            break;
        }
    }
}
BENCHMARK(BM_RelayedLauncherRoundTrip)
    ->Iterations(kIterations)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

void BM_DirectLauncherRoundTrip(benchmark::State& state) {
    asio::io_context io;
    vx::IoPool pool{io};
    vx::TcpControlServer server{io};
    std::string error;
    if (!server.listen(0, error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    server.set_expected_token_sha256(kTokenHash);
    server.set_keys(test_keys());
    auto handshake =
        std::async(std::launch::async, [&] { return server.run_handshake([] { return true; }); });
    vx::test::LineClient launcher(server.port(), 5s);
    launcher.send(auth_line());
    if (launcher.line().find("session_ready") == std::string::npos || !handshake.get().ok) {
        state.SkipWithError("the handshake failed");
        return;
    }
    server.start_reading();
    pool.start(2);
    for (auto _ : state) {
        launcher.send("{\"type\":\"ping\"}\n");
        if (launcher.line() != R"({"type":"pong"})") {
            state.SkipWithError("no pong");
            break;
        }
    }
    server.stop();
    pool.stop();
}
BENCHMARK(BM_DirectLauncherRoundTrip)
    ->Iterations(kIterations)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace
