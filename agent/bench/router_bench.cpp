// The whole job a session asks of the router: discover it, map the three media UDP ports and
// release them, against miniupnpd in network namespaces, next to the reference clients doing
// the same job (`upnpc -r` / `upnpc -d` for UPnP, `natpmpc -a` for NAT-PMP). Each iteration
// runs both; the counters give both wall times and their ratio (ours / theirs).
// Needs root, iproute2, nftables, miniupnpd-nftables, miniupnpc and natpmpc; run from a release
// build: ./scripts/build release --target router_bench && build/release/agent/bench/router_bench
//
// Also, without root: the HTTP reader taking a router's response head a byte at a time, next to
// one memchr pass over the same bytes. "x_memchr" (how many times longer the reader took) stays
// the same from 32 KiB to 128 KiB while the reader's work grows with the head, not its square.
#include <benchmark/benchmark.h>
#include <spdlog/spdlog.h>

#include <chrono>
#include <cstring>

#include "traversal/router/http/http_message.hpp"
#include "traversal/router/netns/router_lab.hpp"
#include "traversal/router/port_mapper.hpp"

namespace {

using vx::network::DirectPortMapper;
using vx::network::DirectPortMapperOptions;
using vx::test::NetnsLab;
using vx::test::RouterConfig;
using vx::test::RouterLab;
using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kPorts[] = {48002, 48000, 48003};  // video, input, audio

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Discover, map three ports, release them: what one session costs, with the driver's options
// (UPnP) or with NAT-PMP alone.
bool our_job(const DirectPortMapperOptions& options) {
    DirectPortMapper mapper(options);
    std::string wan, error;
    bool ok = mapper.discover(wan, error);
    for (std::uint16_t port : kPorts) {
        std::uint16_t external = 0;
        std::string ip, method;
        ok = mapper.map_port(port, external, ip, 600, method) && ok;
    }
    for (std::uint16_t port : kPorts)
        mapper.release(port);
    return ok;
}

bool run_all(RouterLab& lab, const std::vector<std::string>& commands) {
    bool ok = true;
    for (const auto& command : commands)
        ok = lab.run_in(lab.lan, command + " >/dev/null 2>&1") && ok;
    return ok;
}

std::vector<std::string> upnpc_job() {
    const std::string upnpc = vx::test::kUpnpc;
    std::vector<std::string> commands = {upnpc + " -r 48002 UDP 48000 UDP 48003 UDP"};
    for (std::uint16_t port : kPorts)
        commands.push_back(upnpc + " -d " + std::to_string(port) + " UDP");
    return commands;
}

std::vector<std::string> natpmpc_job() {
    const std::string natpmpc = std::string(vx::test::kNatpmpc) + " -g 192.168.77.1 -a ";
    std::vector<std::string> commands;
    for (std::uint16_t port : kPorts)
        commands.push_back(natpmpc + std::to_string(port) + " " + std::to_string(port) +
                           " udp 600");
    for (std::uint16_t port : kPorts)  // a lifetime of 0 deletes
        commands.push_back(natpmpc + std::to_string(port) + " " + std::to_string(port) + " udp 0");
    return commands;
}

void compare(benchmark::State& state, const RouterConfig& config,
             const DirectPortMapperOptions& options, const std::vector<std::string>& peer_job) {
    if (const std::string reason = RouterLab::unavailable_reason(); !reason.empty()) {
        state.SkipWithError(reason.c_str());
        return;
    }
    spdlog::set_level(spdlog::level::warn);  // the mapper's own lines would drown the table
    RouterLab lab("bench", config);
    if (!lab.ready) {
        state.SkipWithError("namespace set-up failed");
        return;
    }
    double ours = 0;
    double theirs = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        const bool ok = NetnsLab::in_netns(lab.lan, [&] { return our_job(options); });
        const double took = seconds_since(start);
        state.SetIterationTime(took);
        ours += took;
        const auto peer_start = Clock::now();
        const bool peer_ok = run_all(lab, peer_job);
        theirs += seconds_since(peer_start);
        if (!ok || !peer_ok) {
            state.SkipWithError(!ok ? "our job failed" : "the reference client failed");
            return;
        }
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["ours_ms"] = ours * 1000 / n;
    state.counters["reference_ms"] = theirs * 1000 / n;
    state.counters["ratio"] = ours / theirs;
}

void BM_UpnpJobNextToUpnpc(benchmark::State& state) {
    compare(state, RouterConfig{}, DirectPortMapperOptions{}, upnpc_job());
}

void BM_NatPmpJobNextToNatpmpc(benchmark::State& state) {
    RouterConfig config;
    config.upnp = false;
    DirectPortMapperOptions options;
    options.enable_upnp = false;  // the NAT-PMP path alone, as natpmpc walks it
    compare(state, config, options, natpmpc_job());
}

std::string padded_head(std::size_t size) {
    std::string head = "HTTP/1.1 200 OK\r\n";
    while (head.size() < size)
        head += "X-Padding: " + std::string(60, 'a') + "\r\n";
    return head + "Content-Length: 0\r\n\r\n";
}

// The line ends of `text`, by memchr alone: the least a search for the blank line must do.
std::size_t count_line_ends(std::string_view text) {
    std::size_t count = 0;
    const char* at = text.data();
    const char* const end = text.data() + text.size();
    while (const void* found = std::memchr(at, '\n', static_cast<std::size_t>(end - at))) {
        at = static_cast<const char*>(found) + 1;
        ++count;
    }
    return count;
}

void BM_HttpHeadInOneByteReads(benchmark::State& state) {
    const std::string head = padded_head(static_cast<std::size_t>(state.range(0)));
    double reader = 0;
    double memchr = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        vx::network::HttpResponseReader response;
        for (const char& c : head)
            response.feed(std::string_view(&c, 1));
        if (!response.complete()) {
            state.SkipWithError("the head did not complete");
            return;
        }
        const auto middle = Clock::now();
        benchmark::DoNotOptimize(count_line_ends(head));
        const auto end = Clock::now();
        const double took = std::chrono::duration<double>(middle - start).count();
        state.SetIterationTime(took);
        reader += took;
        memchr += std::chrono::duration<double>(end - middle).count();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * head.size()));
    state.counters["x_memchr"] = reader / memchr;
}

BENCHMARK(BM_HttpHeadInOneByteReads)
    ->Arg(32 * 1024)
    ->Arg(128 * 1024)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UpnpJobNextToUpnpc)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NatPmpJobNextToNatpmpc)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace
