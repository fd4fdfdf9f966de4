// WebSocket frame encode and incremental parse next to their physical limit: copying the same
// payload into a new buffer, which is the least any encoder or parser that hands out a frame of
// its own has to do. Each iteration times a batch of the operation and then a batch of plain
// copies of the same size, so "x_copy" (how many times longer the operation took than the copy)
// and "of_copy" (the operation's speed as a fraction of the copy's) compare the two under the
// same machine load and cache state.
// Target: of_copy at least 0.6 for the 64 KiB encode and the 64 KiB masked parse.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "backend/ws/ws_frame.hpp"

namespace {

using vx::network::encode_ws_frame;
using vx::network::RandomFn;
using vx::network::WsFrameParser;
using Clock = std::chrono::steady_clock;

constexpr int kBatch = 64;
// The connection reads the socket into a buffer of this size.
constexpr std::size_t kReadSize = 4096;

// A fixed key keeps the random source out of the measurement.
const RandomFn kKey = [](std::uint8_t* out, std::size_t n) { std::memset(out, 0x5a, n); };

std::string payload_of(benchmark::State& state) {
    std::string payload(static_cast<std::size_t>(state.range(0)), '\0');
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>('a' + i % 26);
    return payload;
}

// Runs `op` kBatch times and then kBatch plain copies of `payload` into new buffers. The time
// column is the operation's, per batch; items per second counts single operations.
template <typename Op>
void run(benchmark::State& state, const std::string& payload, Op op) {
    double op_seconds = 0;
    double copy_seconds = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        for (int i = 0; i < kBatch; ++i)
            op();
        const auto middle = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            std::string copy(payload);
            benchmark::DoNotOptimize(copy.data());
            benchmark::ClobberMemory();
        }
        const auto end = Clock::now();
        const double op_time = std::chrono::duration<double>(middle - start).count();
        state.SetIterationTime(op_time);
        op_seconds += op_time;
        copy_seconds += std::chrono::duration<double>(end - middle).count();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kBatch);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kBatch *
                            state.range(0));
    state.counters["x_copy"] = op_seconds / copy_seconds;
    state.counters["of_copy"] = copy_seconds / op_seconds;
}

void BM_Encode(benchmark::State& state) {
    const std::string payload = payload_of(state);
    run(state, payload, [&] {
        auto frame = encode_ws_frame(1, payload, kKey);
        benchmark::DoNotOptimize(frame.data());
        benchmark::ClobberMemory();
    });
}

// Parses one frame fed in reads of at most 4096 bytes, as the connection reads them: masked (the
// second argument 1; the worst case the parser accepts) or unmasked (0; what a server sends).
void BM_ParseIncremental(benchmark::State& state) {
    const std::string payload = payload_of(state);
    auto frame = encode_ws_frame(1, payload, kKey);
    if (state.range(1) == 0) {
        // The same frame without the mask bit and key.
        const std::size_t key_at = frame.size() - payload.size() - 4;
        frame[1] &= 0x7F;
        frame.erase(frame.begin() + static_cast<std::ptrdiff_t>(key_at),
                    frame.begin() + static_cast<std::ptrdiff_t>(key_at + 4));
        std::copy(payload.begin(), payload.end(),
                  frame.begin() + static_cast<std::ptrdiff_t>(key_at));
    }
    WsFrameParser parser;
    run(state, payload, [&] {
        for (std::size_t off = 0; off < frame.size(); off += kReadSize) {
            parser.feed(frame.data() + off, std::min(kReadSize, frame.size() - off));
        }
        auto f = parser.pop();
        benchmark::DoNotOptimize(f.payload.data());
        benchmark::ClobberMemory();
    });
}

BENCHMARK(BM_Encode)->Arg(100)->Arg(1000)->Arg(64 * 1024)->UseManualTime();
BENCHMARK(BM_ParseIncremental)
    ->Args({100, 1})
    ->Args({64 * 1024, 1})
    ->Args({100, 0})
    ->Args({64 * 1024, 0})
    ->UseManualTime();

}  // namespace
