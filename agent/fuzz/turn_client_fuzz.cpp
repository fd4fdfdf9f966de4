// The TURN client's handling of what a TURN server sends it. A scripted server on loopback plays
// the server: whenever the client draws a transaction id (for a request or a Send indication),
// the server's next answers from the input go out at once, so they wait in the client's socket
// when it looks for its response, and no thread is needed. The client allocates, maintains,
// creates permissions, binds channels, sends and receives as the input orders, on a clock the
// input moves. Every response wait is 1 ms, so an input that answers nothing stays fast.
//
// Input: one byte of settings (bit 0: two attempts per transaction instead of one), then
// operations of one byte (its low 4 bits choose) with their arguments:
//   0 allocate                            5 receive, capacity from the high 4 bits
//   1 maintain                            6 the server sends answers unasked
//   2 create_permission  peer             7 time passes: 2 bytes of seconds
//   3 bind_channel       peer, port       8 close
//   4 send               peer, port, 1 byte of length, the data
// A peer is one byte (an index into a small table), a port two bytes.
// Answers: one byte of count (0 to 3), then per answer one byte of flags, two bytes of length and
// the bytes. Flag bit 0: the bytes are a STUN message type (2 bytes) and attributes, sent as a
// message with the transaction id the client drew last; bit 1: with MESSAGE-INTEGRITY under the
// long-term key of the realm the server last challenged with; bit 2: from an address other than
// the server's. Without bit 0 the bytes go out as they are.
//
// The seeds hold what coturn 4.6.1 answered this client over loopback (an allocation with its
// challenge, a permission, a Data indication, a channel with its ChannelData, two refreshes, an
// allocation refused as a mismatch): attributes as coturn sent them, transaction ids and
// MESSAGE-INTEGRITY made again here.
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>

#include "fuzz_input.hpp"
#include "traversal/turn/scripted_udp_peer.hpp"
#include "traversal/turn/turn_client.hpp"
#include "util/address.hpp"

namespace {

using namespace vx::network;
using vx::test::Bytes;

constexpr const char* kUser = "vxuser";
constexpr const char* kPassword = "vxpass";
constexpr int kMaxOperations = 48;
constexpr int kMaxAnswers = 3;
constexpr int kMaxDrained = 64;
const std::array<const char*, 4> kPeers = {"127.0.0.1", "198.51.100.7", "10.1.2.3", "peer"};

asio::ip::udp::endpoint loopback(std::uint16_t port) {
    return {asio::ip::make_address_v4("127.0.0.1"), port};
}

// The server's socket and a stranger's, both on loopback, for the whole run.
class ScriptedServer {
  public:
    ScriptedServer() : server_(io_, loopback(0)), stranger_(io_, loopback(0)) {
        server_.non_blocking(true);
    }
    std::uint16_t port() const { return server_.local_endpoint().port(); }

    void begin(vx::fuzz::Reader& in, const TurnClient& client) {
        in_ = &in;
        client_ = &client;
        client_port_ = 0;
        realm_.clear();
        last_id_ = {};
        drain();
    }
    // Inside a Send indication the client holds its state lock: its port must not be asked then.
    void may_ask_port(bool allowed) { may_ask_port_ = allowed; }

    // The client's transaction id source.
    bool draw(std::uint8_t* out, std::size_t size) {
        ++draws_;
        for (std::size_t i = 0; i < size; ++i) {
            out[i] = static_cast<std::uint8_t>(draws_ >> (8 * (i % 8)));
        }
        if (size == last_id_.size()) {
            std::copy(out, out + size, last_id_.begin());
        }
        if (may_ask_port_) {
            client_port_ = client_->local_port();
        }
        drain();
        answer();
        return true;
    }

    // The next answers of the input, sent to the client.
    void answer() {
        const int count = in_->u8() % (kMaxAnswers + 1);
        for (int i = 0; i < count; ++i) {
            const std::uint8_t flags = in_->u8();
            const auto bytes = in_->bytes(in_->u16());
            send_one(flags, Bytes(bytes.begin(), bytes.end()));
        }
    }

  private:
    void send_one(std::uint8_t flags, Bytes bytes) {
        if ((flags & 1) != 0 && bytes.size() >= 2) {
            const auto type = static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
            TurnKey key{};
            const bool sign =
                (flags & 2) != 0 && compute_long_term_key(kUser, realm_, kPassword, key);
            bytes = vx::test::build_stun(
                type, last_id_,
                [&](Bytes& out) { out.insert(out.end(), bytes.begin() + 2, bytes.end()); },
                sign ? std::span<const std::uint8_t>(key) : std::span<const std::uint8_t>());
        }
        if (client_port_ == 0) {
            return;
        }
        std::error_code ec;
        if ((flags & 4) != 0) {
            stranger_.send_to(asio::buffer(bytes), loopback(client_port_), 0, ec);
            return;
        }
        server_.send_to(asio::buffer(bytes), loopback(client_port_), 0, ec);
        note_realm(bytes);
    }
    // The realm of a challenge is the one the client signs with from then on.
    void note_realm(const Bytes& bytes) {
        StunMessage m;
        if (parse_stun_message(bytes.data(), bytes.size(), m) && m.message_class() == kStunError) {
            if (std::string realm = read_text_attribute(m, kAttrRealm); !realm.empty()) {
                realm_ = std::move(realm);
            }
        }
    }
    // What the client sends is not looked at; it only must not pile up.
    void drain() {
        std::array<std::uint8_t, 2048> buffer;
        asio::ip::udp::endpoint from;
        std::error_code ec;
        for (int i = 0; i < kMaxDrained; ++i) {
            server_.receive_from(asio::buffer(buffer), from, 0, ec);
            if (ec) {
                return;
            }
        }
    }

    asio::io_context io_;
    asio::ip::udp::socket server_;
    asio::ip::udp::socket stranger_;
    vx::fuzz::Reader* in_ = nullptr;
    const TurnClient* client_ = nullptr;
    std::uint16_t client_port_ = 0;
    bool may_ask_port_ = true;
    std::string realm_;
    StunTransactionId last_id_{};
    std::uint64_t draws_ = 0;
};

struct Rig {
    Rig() {
        spdlog::set_default_logger(std::make_shared<spdlog::logger>(
            "fuzz", std::make_shared<spdlog::sinks::null_sink_mt>()));
    }
    ScriptedServer server;
    std::int64_t now_us = 1'000'000'000;
};

bool is_ipv4(const std::string& text) {
    return vx::util::parse_ipv4(text).has_value();
}

// What the client shows of its allocation after any answer.
void check_state(const TurnClient& client) {
    if (client.is_allocated() && !is_ipv4(client.relayed_address())) {
        std::abort();
    }
    std::set<std::uint16_t> numbers;
    for (const TurnChannel& row : client.channels()) {
        if (row.channel < kMinChannelNumber || row.channel > kMaxChannelNumber ||
            !numbers.insert(row.channel).second) {
            std::abort();
        }
    }
}

void receive(TurnClient& client, std::size_t capacity) {
    std::vector<std::uint8_t> buffer(capacity);
    std::string peer;
    std::uint16_t port = 0;
    const std::int32_t n = client.receive(buffer.data(), buffer.size(), peer, port, 0);
    if (n > static_cast<std::int32_t>(capacity) || (n > 0 && !is_ipv4(peer))) {
        std::abort();
    }
}

void run(Rig& rig, TurnClient& client, vx::fuzz::Reader& in, const TurnConfig& config) {
    std::string err;
    for (int op = 0; op < kMaxOperations && !in.done(); ++op) {
        const std::uint8_t code = in.u8();
        switch (code & 15) {
            case 0:
                client.allocate(config, err);
                break;
            case 1:
                client.maintain(err);
                break;
            case 2:
                client.create_permission(kPeers[in.u8() % kPeers.size()], err);
                break;
            case 3: {
                const char* peer = kPeers[in.u8() % kPeers.size()];
                client.bind_channel(peer, in.u16(), err);
                break;
            }
            case 4: {
                const char* peer = kPeers[in.u8() % kPeers.size()];
                const std::uint16_t port = in.u16();
                const auto data = in.bytes(in.u8());
                rig.server.may_ask_port(false);
                client.send(peer, port, data.data(), data.size());
                rig.server.may_ask_port(true);
                break;
            }
            case 5:
                receive(client, 1 + static_cast<std::size_t>(code >> 4) * 100);
                break;
            case 6:
                rig.server.answer();
                break;
            case 7:
                rig.now_us += std::int64_t{in.u16()} * 1'000'000;
                break;
            default:
                client.close();
                break;
        }
        check_state(client);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Rig* rig = new Rig();  // the sockets live for the whole run
    vx::fuzz::Reader in(data, size);
    TurnConfig config;
    config.server = "127.0.0.1:" + std::to_string(rig->server.port());
    config.username = kUser;
    config.password = kPassword;
    config.timeout_ms = 1;
    config.attempts = 1 + (in.u8() & 1);
    TurnClient client(TurnTiming{[] { return rig->now_us; }, 1},
                      [](std::uint8_t* out, std::size_t n) { return rig->server.draw(out, n); });
    rig->server.begin(in, client);
    run(*rig, client, in, config);
    return 0;  // the client's destructor closes, answered from what is left of the input
}
