// Messages per second through the VXCP/1 reliable stream with sealing and opening on a
// simulated wire (in order, 1% loss, 10 ms delay on a virtual clock), next to its physical
// limit: sealing and opening the very same datagrams with the bare ChaCha20-Poly1305-IETF into
// reused buffers. The datagrams of one run (every fragment, ACK and retransmission, in both
// directions) are recorded once; each iteration then times a stream run and a replay of those
// datagrams through the cipher alone, so "x_seal" (stream time over cipher time) compares the
// two datagram for datagram under the same machine load.
#include <benchmark/benchmark.h>
#include <sodium.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "backend/vxcp/reliable_stream.hpp"
#include "backend/vxcp/vxcp_wire.hpp"

namespace {

using namespace vx::network;
using Clock = std::chrono::steady_clock;

constexpr int kMessagesPerRun = 500;
constexpr std::int64_t kDelayUs = 10'000;
constexpr std::int64_t kStepUs = 1000;
constexpr std::size_t kQueueLimit = 2000;  // pending fragments the sender keeps queued at most
const ConnectionId kId{1, 2, 3, 4, 5, 6, 7, 8};

struct Keys {
    Key32 c2s{};
    Key32 s2c{};
    Keys() {
        c2s.fill(1);
        s2c.fill(2);
    }
};

// One datagram as a stream handed it to the wire.
struct SentDatagram {
    std::uint64_t number = 0;
    Bytes payload;
    bool c2s = true;
    bool arrives = true;
};

struct InFlightDatagram {
    std::int64_t at;
    Bytes bytes;
};

// One direction of the simulated wire: seals what a stream builds, loses 1%, delivers after the
// delay. The random source is the caller's, so every run loses the same datagrams.
class Direction {
  public:
    Direction(const Key32& key, const char* label, bool c2s)
        : key_(key), label_(label), c2s_(c2s) {}

    // Builds and seals as the channel does, into buffers reused from packet to packet; the wire
    // keeps a copy of each datagram that arrives, as a socket would.
    void send_from(ReliableStream& stream, std::int64_t now, std::mt19937& rng,
                   std::vector<SentDatagram>* record) {
        while (const auto number = stream.build_packet(now, outgoing_)) {
            ++sent_;
            const bool arrives = rng() % 100 != 0;
            if (record) {
                record->push_back({*number, outgoing_, c2s_, arrives});
            }
            vxcp_seal_data(kId, *number, key_, label_, outgoing_, sealed_);
            if (arrives) {
                wire_.push_back({now + kDelayUs, take_spare()});
                wire_.back().bytes.assign(sealed_.begin(), sealed_.end());
            }
        }
    }

    // Opens what has arrived by `now`; returns the number of messages the stream delivered.
    std::size_t deliver_to(ReliableStream& stream, std::int64_t now,
                           std::vector<std::string>& out) {
        std::size_t delivered = 0;
        while (!wire_.empty() && wire_.front().at <= now) {
            const auto number = vxcp_open_data(wire_.front().bytes, kId, key_, label_, opened_);
            out.clear();
            stream.on_packet(*number, opened_, now, out);
            delivered += out.size();
            spare_.push_back(std::move(wire_.front().bytes));
            wire_.pop_front();
        }
        return delivered;
    }

    std::size_t sent() const { return sent_; }

  private:
    // A buffer of a datagram that has been delivered, so the wire allocates no more than a
    // socket's queue would.
    Bytes take_spare() {
        if (spare_.empty()) {
            return {};
        }
        Bytes b = std::move(spare_.back());
        spare_.pop_back();
        return b;
    }

    const Key32& key_;
    const char* label_;
    bool c2s_;
    std::deque<InFlightDatagram> wire_;
    std::vector<Bytes> spare_;
    Bytes outgoing_;
    Bytes sealed_;
    Bytes opened_;
    std::size_t sent_ = 0;
};

// Sends kMessagesPerRun messages of `size` bytes from an agent stream to a backend stream until
// the backend has delivered them all; returns the number of datagrams sent both ways.
std::size_t run_stream(const Keys& keys, std::size_t size, std::vector<SentDatagram>* record) {
    const Bytes message(size, 'm');
    std::mt19937 rng(42);
    std::int64_t now = 1'000'000;
    const StreamSettings settings{1 << 20, 1'000'000, 3'600'000'000};
    ReliableStream agent(settings, now);
    ReliableStream backend(settings, now);
    Direction up(keys.c2s, "c2s", true);
    Direction down(keys.s2c, "s2c", false);
    std::vector<std::string> out;
    int queued = 0;
    std::size_t delivered = 0;
    while (delivered < kMessagesPerRun) {
        while (queued < kMessagesPerRun && agent.pending_fragments() < kQueueLimit) {
            agent.queue_message(message);
            ++queued;
        }
        up.send_from(agent, now, rng, record);
        down.send_from(backend, now, rng, record);
        now += kStepUs;
        delivered += up.deliver_to(backend, now, out);
        down.deliver_to(agent, now, out);
        agent.on_timer(now);
        backend.on_timer(now);
    }
    return up.sent() + down.sent();
}

// Seals every recorded datagram and opens those that arrived, with the header as associated
// data, as the stream run does; the cipher alone, no allocation.
void seal_and_open(const Keys& keys, const std::vector<SentDatagram>& datagrams) {
    std::array<std::uint8_t, kVxcpMaxDatagram> sealed{};
    std::array<std::uint8_t, kVxcpMaxDatagram> opened{};
    std::array<std::uint8_t, kVxcpHeaderSize> header{};
    for (const SentDatagram& d : datagrams) {
        const Key32& key = d.c2s ? keys.c2s : keys.s2c;
        const auto nonce = vxcp_nonce(d.c2s ? "c2s" : "s2c", d.number);
        unsigned long long sealed_size = 0;
        crypto_aead_chacha20poly1305_ietf_encrypt(sealed.data(), &sealed_size, d.payload.data(),
                                                  d.payload.size(), header.data(), header.size(),
                                                  nullptr, nonce.data(), key.data());
        if (d.arrives) {
            unsigned long long opened_size = 0;
            if (crypto_aead_chacha20poly1305_ietf_decrypt(
                    opened.data(), &opened_size, nullptr, sealed.data(), sealed_size, header.data(),
                    header.size(), nonce.data(), key.data()) != 0) {
                std::abort();
            }
        }
        benchmark::DoNotOptimize(opened.data());
    }
}

void BM_StreamWithSealing(benchmark::State& state) {
    if (sodium_init() < 0) {
        state.SkipWithError("libsodium");
        return;
    }
    const auto size = static_cast<std::size_t>(state.range(0));
    const Keys keys;
    std::vector<SentDatagram> datagrams;
    run_stream(keys, size, &datagrams);
    double stream_seconds = 0;
    double seal_seconds = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        const std::size_t sent = run_stream(keys, size, nullptr);
        const auto middle = Clock::now();
        seal_and_open(keys, datagrams);
        const auto end = Clock::now();
        if (sent != datagrams.size()) {
            state.SkipWithError("a run sent other datagrams than the recorded one");
            return;
        }
        const double stream_time = std::chrono::duration<double>(middle - start).count();
        state.SetIterationTime(stream_time);
        stream_seconds += stream_time;
        seal_seconds += std::chrono::duration<double>(end - middle).count();
    }
    const auto messages = static_cast<double>(state.iterations()) * kMessagesPerRun;
    state.SetItemsProcessed(static_cast<std::int64_t>(messages));
    state.SetBytesProcessed(static_cast<std::int64_t>(messages * static_cast<double>(size)));
    state.counters["msgs/s"] = messages / stream_seconds;
    state.counters["seal_msgs/s"] = messages / seal_seconds;
    state.counters["x_seal"] = stream_seconds / seal_seconds;
    state.counters["datagrams/msg"] = static_cast<double>(datagrams.size()) / kMessagesPerRun;
}

BENCHMARK(BM_StreamWithSealing)
    ->Arg(200)
    ->Arg(1000)
    ->Arg(8000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
