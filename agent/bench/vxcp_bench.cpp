// Messages per second through the VXCP/1 reliable stream with sealing and opening on a
// simulated wire (in-order, 1% loss, 10 ms delay on a virtual clock), next to sealing the same
// bytes with ChaCha20-Poly1305-IETF alone. The ratio of the two "msgs/s" counters is the cost
// of the stream machinery over the bare cipher.
#include <benchmark/benchmark.h>
#include <sodium.h>

#include <deque>
#include <random>

#include "backend/vxcp/reliable_stream.hpp"
#include "backend/vxcp/vxcp_wire.hpp"

namespace {

using namespace vx::network;

constexpr int kMessagesPerRun = 500;
constexpr std::int64_t kDelayUs = 10'000;

struct InFlightDatagram {
    std::int64_t at;
    Bytes bytes;
};

void BM_StreamWithSealing(benchmark::State& state) {
    if (sodium_init() < 0) {
        state.SkipWithError("libsodium");
        return;
    }
    const std::size_t size = static_cast<std::size_t>(state.range(0));
    const Bytes message(size, 'm');
    const ConnectionId id{1, 2, 3, 4, 5, 6, 7, 8};
    Key32 c2s{};
    Key32 s2c{};
    c2s.fill(1);
    s2c.fill(2);
    std::mt19937 rng(42);
    std::uint64_t delivered_total = 0;
    for (auto _ : state) {
        std::int64_t now = 1'000'000;
        const StreamSettings settings{1 << 20, 1'000'000, 3'600'000'000};
        ReliableStream agent(settings, now);
        ReliableStream backend(settings, now);
        std::deque<InFlightDatagram> up;
        std::deque<InFlightDatagram> down;
        int queued = 0;
        int delivered = 0;
        std::vector<std::string> out;
        while (delivered < kMessagesPerRun) {
            while (queued < kMessagesPerRun && agent.pending_fragments() < 2000) {
                agent.queue_message(message);
                ++queued;
            }
            while (auto p = agent.build_packet(now)) {
                Bytes d = vxcp_seal_data(id, p->number, c2s, "c2s", p->payload);
                if (rng() % 100 != 0) {
                    up.push_back({now + kDelayUs, std::move(d)});
                }
            }
            while (auto p = backend.build_packet(now)) {
                Bytes d = vxcp_seal_data(id, p->number, s2c, "s2c", p->payload);
                if (rng() % 100 != 0) {
                    down.push_back({now + kDelayUs, std::move(d)});
                }
            }
            now += 1000;
            while (!up.empty() && up.front().at <= now) {
                const auto opened = vxcp_open_data(up.front().bytes, id, c2s, "c2s");
                out.clear();
                backend.on_packet(opened->packet_number, opened->payload, now, out);
                delivered += static_cast<int>(out.size());
                up.pop_front();
            }
            while (!down.empty() && down.front().at <= now) {
                const auto opened = vxcp_open_data(down.front().bytes, id, s2c, "s2c");
                out.clear();
                agent.on_packet(opened->packet_number, opened->payload, now, out);
                down.pop_front();
            }
            agent.on_timer(now);
            backend.on_timer(now);
        }
        delivered_total += static_cast<std::uint64_t>(delivered);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(delivered_total));
    state.SetBytesProcessed(static_cast<std::int64_t>(delivered_total * size));
    state.counters["msgs/s"] =
        benchmark::Counter(static_cast<double>(delivered_total), benchmark::Counter::kIsRate);
}

void BM_SealOnly(benchmark::State& state) {
    if (sodium_init() < 0) {
        state.SkipWithError("libsodium");
        return;
    }
    const std::size_t size = static_cast<std::size_t>(state.range(0));
    const Bytes message(size, 'm');
    Key32 key{};
    key.fill(1);
    std::array<std::uint8_t, 18> header{};
    Bytes out(kVxcpFragmentSize + 64);
    std::uint64_t pn = 1;
    std::uint64_t sealed = 0;
    for (auto _ : state) {
        for (int m = 0; m < kMessagesPerRun; ++m) {
            // The same bytes in the same 1100-byte pieces, one AEAD call per piece.
            std::size_t offset = 0;
            do {
                const std::size_t len = std::min(kVxcpFragmentSize, size - offset);
                const auto nonce = vxcp_nonce("c2s", pn++);
                unsigned long long written = 0;
                crypto_aead_chacha20poly1305_ietf_encrypt(
                    out.data(), &written, message.data() + offset, len, header.data(),
                    header.size(), nullptr, nonce.data(), key.data());
                benchmark::DoNotOptimize(out.data());
                offset += len;
            } while (offset < size);
        }
        sealed += kMessagesPerRun;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(sealed));
    state.SetBytesProcessed(static_cast<std::int64_t>(sealed * size));
    state.counters["msgs/s"] =
        benchmark::Counter(static_cast<double>(sealed), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_StreamWithSealing)->Arg(200)->Arg(1000)->Arg(8000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SealOnly)->Arg(200)->Arg(1000)->Arg(8000)->Unit(benchmark::kMillisecond);

}  // namespace
