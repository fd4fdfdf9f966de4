// WebSocket frame encode and incremental parse next to a plain memcpy of the same bytes; the
// ratio of bytes per second is the cost of framing and masking per byte moved.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "backend/ws_frame.hpp"

namespace {

using vx::network::encode_ws_frame;
using vx::network::RandomFn;
using vx::network::WsFrameParser;

// A fixed key keeps the random source out of the measurement.
const RandomFn kKey = [](std::uint8_t* out, std::size_t n) { std::memset(out, 0x5a, n); };

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
    for (auto _ : state) {
        auto frame = encode_ws_frame(1, payload, kKey);
        benchmark::DoNotOptimize(frame.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

// Parses one masked frame fed in reads of at most 4096 bytes, as the connection reads them.
void BM_ParseIncremental(benchmark::State& state) {
    const std::string payload(static_cast<std::size_t>(state.range(0)), 'x');
    const std::vector<std::uint8_t> frame = encode_ws_frame(1, payload, kKey);
    WsFrameParser parser;
    for (auto _ : state) {
        for (std::size_t off = 0; off < frame.size(); off += 4096) {
            parser.feed(frame.data() + off, std::min<std::size_t>(4096, frame.size() - off));
        }
        auto f = parser.pop();
        benchmark::DoNotOptimize(f.payload.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

BENCHMARK(BM_Memcpy)->Arg(100)->Arg(64 * 1024);
BENCHMARK(BM_Encode)->Arg(100)->Arg(64 * 1024);
BENCHMARK(BM_ParseIncremental)->Arg(100)->Arg(64 * 1024);

}  // namespace
