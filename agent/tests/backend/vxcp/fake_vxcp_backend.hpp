#pragma once

#include <deque>
#include <memory>
#include <optional>

#include "backend/vxcp/reliable_stream.hpp"
#include "backend/vxcp/udp_control_channel.hpp"
#include "support/fake_clock.hpp"
#include "vxcp_test_backend.hpp"

// An in-memory datagram path and a backend behind it, on a fake clock: waiting for a datagram
// that is not there moves the clock instead of sleeping.
namespace vx::test {

constexpr std::string_view kTestServerId = "00000000-0000-4000-8000-000000000001";
constexpr std::string_view kTestAgentToken = "test-agent-token";

struct SentDatagram {
    std::int64_t at_us = 0;
    Bytes bytes;
    bool via_relay = false;
};

struct FakeNetwork {
    explicit FakeNetwork(FakeClock& clock) : clock(clock) {}
    FakeClock& clock;
    std::deque<Bytes> to_agent;
    std::vector<SentDatagram> from_agent;
    std::function<void(const Bytes&)> backend;  // reacts to each datagram the agent sends
    bool black_hole = false;                    // the direct path loses everything
    int relay_opens = 0;
    int relay_maintains = 0;
    int waits = 0;  // receives that found nothing and waited (moving the clock)
    bool relay_maintain_ok = true;
    std::int64_t us_per_datagram = 0;  // time each received datagram takes to read
};

class FakePath final : public DatagramPath {
  public:
    FakePath(FakeNetwork& net, bool relay) : net_(net), relay_(relay) {}
    void send(ByteView d) override {
        net_.from_agent.push_back({net_.clock.now_us(), Bytes(d.begin(), d.end()), relay_});
        if (net_.backend && (relay_ || !net_.black_hole)) {
            net_.backend(net_.from_agent.back().bytes);
        }
    }
    std::size_t receive(std::uint8_t* buf, std::size_t cap, int timeout_ms,
                        std::uint64_t&) override {
        if (net_.to_agent.empty() && timeout_ms > 0) {
            ++net_.waits;
            net_.clock.advance_ms(timeout_ms);
        }
        if (net_.to_agent.empty()) {
            return 0;
        }
        Bytes d = std::move(net_.to_agent.front());
        net_.to_agent.pop_front();
        net_.clock.advance_us(net_.us_per_datagram);
        const std::size_t n = std::min(cap, d.size());
        std::copy_n(d.begin(), n, buf);
        return n;
    }
    bool is_relay() const override { return relay_; }
    std::string relayed_endpoint() const override { return relay_ ? "127.0.0.9:49160" : ""; }
    bool maintain(std::string& err) override {
        ++net_.relay_maintains;
        if (!net_.relay_maintain_ok) {
            err = "refresh refused";
        }
        return net_.relay_maintain_ok;
    }

  private:
    FakeNetwork& net_;
    bool relay_;
};

inline VxcpSeams fake_seams(FakeNetwork& net, std::int64_t wall_ms = 1'700'000'000'000) {
    VxcpSeams s;
    s.steady_us = net.clock.fn();
    FakeClock* clock = &net.clock;
    const std::int64_t steady0 = clock->now_us();
    s.wall_ms = [clock, wall_ms, steady0] { return wall_ms + (clock->now_us() - steady0) / 1000; };
    auto counter = std::make_shared<std::uint8_t>(0);
    s.random = [counter](std::uint8_t* out, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            out[i] = ++*counter;
        }
    };
    s.open_direct = [&net](const VxcpEndpoint&, std::string&) {
        return std::make_unique<FakePath>(net, false);
    };
    s.open_relay = [&net](const TurnConfig& c, const VxcpEndpoint&,
                          std::string& err) -> std::unique_ptr<DatagramPath> {
        ++net.relay_opens;
        if (c.server == "broken") {
            err = "relay allocation on broken: timed out";
            return nullptr;
        }
        return std::make_unique<FakePath>(net, true);
    };
    return s;
}

inline UdpControlChannelConfig test_config(std::uint16_t port = 40001) {
    UdpControlChannelConfig c;
    c.host = "127.0.0.1";
    c.port = port;
    c.token = std::string(kTestServerId);
    c.secret = std::string(kTestAgentToken);
    return c;
}

// The backend's side: answers HELLO with a WELCOME, then runs its own stream over DATA.
class FakeBackend {
  public:
    FakeBackend(FakeNetwork& net) : net_(net) {
        secret_.fill(0x22);
        welcome.reset_token.fill(0x5a);
    }

    void attach() {
        net_.backend = [this](const Bytes& d) { on_agent_datagram(d); };
    }

    void on_agent_datagram(const Bytes& d) {
        const auto h = vxcp_parse_header(d);
        if (!h) {
            return;
        }
        if (h->type == 1 && d.size() == kVxcpHelloSize) {
            ++hellos;
            last_hello = d;
            if (silent) {
                return;
            }
            on_hello(d, h->connection_id);
        } else if (h->type == 3 && stream) {
            if (auto data = vxcp_open_data(d, id, c2s_key(), "c2s")) {
                ++data_packets;
                std::vector<std::string> out;
                stream->on_packet(data->packet_number, data->payload, net_.clock.now_us(), out);
                for (auto& m : out) {
                    received.push_back(m);
                }
                if (auto frames = vxcp_parse_frames(data->payload)) {
                    for (auto& f : *frames) {
                        if (f.type == FrameType::close) {
                            closes.push_back(f.close);
                        }
                    }
                }
            }
        }
    }

    void on_hello(const Bytes& hello, const ConnectionId& cid) {
        id = cid;
        Key32 agent_public{};
        std::copy_n(hello.begin() + 54, 32, agent_public.begin());
        HelloNonce nonce{};
        std::copy_n(hello.begin() + 86, 16, nonce.begin());
        Key32 shared{};
        if (crypto_scalarmult(shared.data(), secret_.data(), agent_public.data()) != 0) {
            return;
        }
        const Key32 salt = sha256(as_bytes(kTestAgentToken));
        Bytes info(as_bytes("vxcp1 keys").begin(), as_bytes("vxcp1 keys").end());
        info.insert(info.end(), cid.begin(), cid.end());
        info.insert(info.end(), agent_public.begin(), agent_public.end());
        const Key32 pub = public_of(secret_);
        info.insert(info.end(), pub.begin(), pub.end());
        info.insert(info.end(), nonce.begin(), nonce.end());
        okm = hkdf_sha256(salt, shared, info, 64);
        net_.to_agent.push_back(build_welcome(cid, pub, s2c_key(), welcome));
        stream = std::make_unique<ReliableStream>(
            vxcp_stream_settings(welcome.idle_timeout_ms, welcome.keepalive_ms, welcome.max_message,
                                 0),
            net_.clock.now_us());
    }

    Key32 c2s_key() const { return key_at(0); }
    Key32 s2c_key() const { return key_at(32); }

    // Sends what the backend's stream has due, sealed, into the agent's inbox.
    void flush() {
        while (auto p = stream->build_packet(net_.clock.now_us())) {
            net_.to_agent.push_back(vxcp_seal_data(id, p->number, s2c_key(), "s2c", p->payload));
        }
    }

    TestWelcome welcome;
    bool silent = false;
    int hellos = 0;
    int data_packets = 0;
    Bytes last_hello;
    ConnectionId id{};
    Bytes okm;
    std::unique_ptr<ReliableStream> stream;
    std::vector<std::string> received;
    std::vector<CloseFrame> closes;

  private:
    Key32 key_at(std::size_t offset) const {
        Key32 k{};
        if (okm.size() == 64) {
            std::copy_n(okm.begin() + static_cast<std::ptrdiff_t>(offset), 32, k.begin());
        }
        return k;
    }

    FakeNetwork& net_;
    Key32 secret_{};
};

}  // namespace vx::test
