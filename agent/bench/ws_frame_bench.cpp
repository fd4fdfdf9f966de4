// WebSocket frame encode and incremental parse next to a plain memcpy of the same bytes; the
// ratio of bytes per second is the cost of framing and masking per byte moved.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "backend/ws/ws_frame.hpp"

namespace {

using vx::network::encode_ws_frame;
using vx::network::RandomFn;
using vx::network::WsFrameParser;

// A fixed key keeps the random source out of the measurement.
const RandomFn kKey = [](std::uint8_t* out, std::size_t n) { std::memset(out, 0x5a, n); };

// Seconds one memcpy of `size` bytes takes here, measured once per size outside the timed loops.
double memcpy_seconds(std::size_t size) {
    const std::string from(size, 'x');
    std::vector<char> to(size);
    constexpr int kRounds = 20000;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kRounds; ++i) {
        std::memcpy(to.data(), from.data(), size);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
           kRounds;
}

// Reports bytes per second and "x_memcpy": how many times longer than a memcpy of the same
// bytes one iteration took.
void report(benchmark::State& state, std::chrono::steady_clock::time_point loop_start) {
    const double loop_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - loop_start).count();
    const auto size = static_cast<std::size_t>(state.range(0));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
    state.counters["x_memcpy"] =
        loop_seconds / (static_cast<double>(state.iterations()) * memcpy_seconds(size));
}

void BM_Memcpy(benchmark::State& state) {
    const std::string payload(static_cast<std::size_t>(state.range(0)), 'x');
    std::vector<char> out(payload.size());
    for (auto _ : state) {
        std::memcpy(out.data(), payload.data(), payload.size());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void BM_Encode(benchmark::State& state) {
    const std::string payload(static_cast<std::size_t>(state.range(0)), 'x');
    const auto loop_start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        auto frame = encode_ws_frame(1, payload, kKey);
        benchmark::DoNotOptimize(frame.data());
    }
    report(state, loop_start);
}

// Parses one masked frame fed in reads of at most 4096 bytes, as the connection reads them.
void BM_ParseIncremental(benchmark::State& state) {
    const std::string payload(static_cast<std::size_t>(state.range(0)), 'x');
    const std::vector<std::uint8_t> frame = encode_ws_frame(1, payload, kKey);
    WsFrameParser parser;
    const auto loop_start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        for (std::size_t off = 0; off < frame.size(); off += 4096) {
            parser.feed(frame.data() + off, std::min<std::size_t>(4096, frame.size() - off));
        }
        auto f = parser.pop();
        benchmark::DoNotOptimize(f.payload.data());
    }
    report(state, loop_start);
}

BENCHMARK(BM_Memcpy)->Arg(100)->Arg(64 * 1024);
BENCHMARK(BM_Encode)->Arg(100)->Arg(64 * 1024);
BENCHMARK(BM_ParseIncremental)->Arg(100)->Arg(64 * 1024);

}  // namespace
