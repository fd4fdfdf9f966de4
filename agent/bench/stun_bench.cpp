// ChannelData framing next to a plain copy of the same bytes, and the cost of one
// MESSAGE-INTEGRITY check (HMAC-SHA1 over a typical TURN response).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "traversal/stun/stun_codec.hpp"

namespace {

using vx::network::ChannelDataView;

std::vector<std::uint8_t> payload(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 31);
    return bytes;
}

void BM_PlainCopy(benchmark::State& state) {
    const auto data = payload(static_cast<std::size_t>(state.range(0)));
    std::vector<std::uint8_t> out(data.size() + 4);
    for (auto _ : state) {
        std::memcpy(out.data() + 4, data.data(), data.size());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void BM_ChannelDataEncode(benchmark::State& state) {
    const auto data = payload(static_cast<std::size_t>(state.range(0)));
    std::vector<std::uint8_t> out;
    out.reserve(data.size() + 4);
    for (auto _ : state) {
        out.clear();
        vx::network::append_channel_data(out, 0x4001, data.data(), data.size());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void BM_ChannelDataParse(benchmark::State& state) {
    const auto data = payload(static_cast<std::size_t>(state.range(0)));
    std::vector<std::uint8_t> frame;
    vx::network::append_channel_data(frame, 0x4001, data.data(), data.size());
    std::vector<std::uint8_t> out(data.size());
    for (auto _ : state) {
        ChannelDataView view;
        vx::network::parse_channel_data(frame.data(), frame.size(), view);
        std::memcpy(out.data(), view.payload, view.length);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

// An authenticated Refresh-sized message: LIFETIME, USERNAME, REALM, NONCE, MESSAGE-INTEGRITY.
void BM_IntegrityCheck(benchmark::State& state) {
    vx::network::TurnKey key{};
    vx::network::compute_long_term_key("1700000000:session", "vx.test", "secret", key);
    std::vector<std::uint8_t> message;
    vx::network::encode_stun_request(
        message, vx::network::kMethodRefresh, vx::network::StunTransactionId{},
        [](std::vector<std::uint8_t>& m) {
            return vx::network::append_u32_attribute(m, vx::network::kAttrLifetime, 600);
        },
        true, "1700000000:session", "vx.test", "0123456789abcdef0123", key);
    vx::network::StunMessage parsed;
    vx::network::parse_stun_message(message.data(), message.size(), parsed);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            vx::network::check_message_integrity(message.data(), message.size(), parsed, key));
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void BM_ParseStunMessage(benchmark::State& state) {
    vx::network::TurnKey key{};
    std::vector<std::uint8_t> message;
    vx::network::encode_stun_request(
        message, vx::network::kMethodAllocate, vx::network::StunTransactionId{},
        [](std::vector<std::uint8_t>& m) {
            return vx::network::append_u32_attribute(m, vx::network::kAttrLifetime, 600);
        },
        true, "user", "realm", "nonce", key);
    for (auto _ : state) {
        vx::network::StunMessage parsed;
        benchmark::DoNotOptimize(
            vx::network::parse_stun_message(message.data(), message.size(), parsed));
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

}  // namespace

BENCHMARK(BM_PlainCopy)->Arg(64)->Arg(1200)->Arg(1400);
BENCHMARK(BM_ChannelDataEncode)->Arg(64)->Arg(1200)->Arg(1400);
BENCHMARK(BM_ChannelDataParse)->Arg(64)->Arg(1200)->Arg(1400);
BENCHMARK(BM_IntegrityCheck);
BENCHMARK(BM_ParseStunMessage);
