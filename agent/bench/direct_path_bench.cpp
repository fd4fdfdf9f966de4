// From the launcher's handshake to the direct candidate leaving the agent (queued for the
// backend): behind miniupnpd (UPnP, the router mapping of the three media ports) and behind a
// router without a mapping daemon (STUN to coturn beyond the NAT), in network namespaces. The
// router's discovery runs once at start-up, as in the agent, and is timed on its own.
// The counters put each figure next to its budget: SSDP wait 1800 ms (start-up), one router
// request 1500 ms (three per session with UPnP), one STUN answer 300 ms.
// Needs root, iproute2, nftables, miniupnpd-nftables and coturn; run from a release build:
// ./scripts/build release --target direct_path_bench && build/release/agent/bench/direct_path_bench
#include <benchmark/benchmark.h>
#include <spdlog/spdlog.h>

#include <chrono>
#include <cstdlib>
#include <optional>

#include "link/udp_sender.hpp"
#include "traversal/direct/session_direct_path.hpp"
#include "traversal/router/netns/router_lab.hpp"
#include "traversal/turn/coturn_process.hpp"
#include "util/io/io_pool.hpp"

namespace {

using vx::network::DirectPortMapper;
using vx::network::DirectPortMapperOptions;
using vx::network::SessionDirectPath;
using vx::test::NetnsLab;
using vx::test::RouterConfig;
using vx::test::RouterLab;
using Clock = std::chrono::steady_clock;

constexpr double kSsdpWaitMs = 1800;
constexpr double kRequestMs = 1500;
constexpr double kStunMs = 300;

double ms_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// One session's first set-up call on a fresh video socket; the time until its first candidate,
// or nothing when none went out. Its mappings are released afterwards, outside the time.
std::optional<double> handshake_to_candidate(DirectPortMapper& mapper) {
    asio::io_context io;
    vx::UdpSender video(io);
    std::string error;
    if (!video.bind(48002, error))
        return std::nullopt;
    std::optional<Clock::time_point> sent_at;
    SessionDirectPath::Deps deps;
    deps.mapper = &mapper;
    deps.send = [&](const std::string&, const std::string&, const std::string&, std::uint16_t,
                    const std::optional<vx::natwave::Profile>&) {
        if (!sent_at)
            sent_at = Clock::now();
    };
    vx::AgentConfig config;
    config.stun = "100.128.0.1:3478";
    const auto handshake = Clock::now();
    {
        SessionDirectPath direct(std::move(deps), "bench", config,
                                 std::make_unique<vx::network::UdpSenderProbe>(video));
        direct.after_handshake();
    }
    vx::IoPool pool(io);  // the armed listener's socket closes on the pool, as in a session
    pool.start(1);
    video.close();
    pool.stop();
    if (!sent_at)
        return std::nullopt;
    return ms_between(handshake, *sent_at);
}

struct Lab {
    std::unique_ptr<RouterLab> router;
    std::vector<std::unique_ptr<vx::test::CoturnProcess>> stun;
    std::string skipped;
};

Lab make_lab(const RouterConfig& config) {
    Lab lab;
    lab.skipped = RouterLab::unavailable_reason();
    if (lab.skipped.empty() && !vx::test::coturn_available())
        lab.skipped = "coturn is not installed";
    if (!lab.skipped.empty())
        return lab;
    lab.router = std::make_unique<RouterLab>("dbench", config);
    if (!lab.router->ready) {
        lab.skipped = "namespace set-up failed";
        return lab;
    }
    vx::test::CoturnProcess::Options options;
    options.listen_ip = "100.128.0.1";
    options.port = 3478;
    options.netns = lab.router->internet;
    options.long_term = false;
    options.extra = {"--stun-only"};
    lab.stun.push_back(std::make_unique<vx::test::CoturnProcess>(options));
    if (!NetnsLab::in_netns(lab.router->internet, [&] { return lab.stun[0]->wait_ready(); }))
        lab.skipped = "coturn did not start";
    return lab;
}

void session_candidate(benchmark::State& state, const RouterConfig& config) {
    spdlog::set_level(spdlog::level::off);
    // The NAT profile follows the first candidate, outside the time; with the primary server as
    // its only secondary it measures nothing, instead of asking the deployment's servers.
    ::setenv("VX_STUN_SECONDARY", "100.128.0.1:3478", 1);
    Lab lab = make_lab(config);
    if (!lab.skipped.empty()) {
        state.SkipWithError(lab.skipped.c_str());
        return;
    }
    const std::string lan = lab.router->lan;
    auto mapper = NetnsLab::in_netns(lan, [] {
        auto made = std::make_unique<DirectPortMapper>(DirectPortMapperOptions{});
        std::string wan, error;
        made->discover(wan, error);  // start-up: found, or a failure cached for the sessions
        return made;
    });
    double total = 0;
    for (auto _ : state) {
        const auto took = NetnsLab::in_netns(lan, [&] { return handshake_to_candidate(*mapper); });
        if (!took) {
            state.SkipWithError("no candidate went out");
            break;
        }
        state.SetIterationTime(*took / 1000);
        total += *took;
    }
    NetnsLab::in_netns(lan, [&] {
        mapper.reset();
        return 0;
    });
    state.counters["candidate_ms"] = total / static_cast<double>(state.iterations());
    state.counters["request_budget_ms"] = kRequestMs;
    state.counters["stun_budget_ms"] = kStunMs;
}

void BM_HandshakeToCandidate_Upnp(benchmark::State& state) {
    session_candidate(state, RouterConfig{});
}

void BM_HandshakeToCandidate_StunOnly(benchmark::State& state) {
    RouterConfig config;
    config.daemon = false;
    session_candidate(state, config);
}

// What start-up spends once before any session: the SSDP search and the gateway's answers.
void BM_StartupDiscovery_Upnp(benchmark::State& state) {
    spdlog::set_level(spdlog::level::off);
    Lab lab = make_lab(RouterConfig{});
    if (!lab.skipped.empty()) {
        state.SkipWithError(lab.skipped.c_str());
        return;
    }
    double total = 0;
    for (auto _ : state) {
        const double took = NetnsLab::in_netns(lab.router->lan, [] {
            DirectPortMapper mapper(DirectPortMapperOptions{});
            std::string wan, error;
            const auto start = Clock::now();
            mapper.discover(wan, error);
            return ms_between(start, Clock::now());
        });
        state.SetIterationTime(took / 1000);
        total += took;
    }
    state.counters["discover_ms"] = total / static_cast<double>(state.iterations());
    state.counters["ssdp_wait_budget_ms"] = kSsdpWaitMs;
}

BENCHMARK(BM_HandshakeToCandidate_Upnp)
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HandshakeToCandidate_StunOnly)
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StartupDiscovery_Upnp)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
