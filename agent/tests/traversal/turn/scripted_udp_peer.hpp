#pragma once

// A UDP peer on 127.0.0.1 run by a script: every datagram it receives is recorded and handed to
// the script, whose replies go back to the sender. Also builds STUN responses for the scripts.

#include <poll.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>

#include "traversal/stun/stun_codec.hpp"

namespace vx::test {

using Bytes = std::vector<std::uint8_t>;

struct Received {
    Bytes bytes;
    asio::ip::udp::endpoint from;
};

class ScriptedUdpPeer {
  public:
    // Returns the datagrams to send back to `from` (possibly none).
    using Script = std::function<std::vector<Bytes>(const Bytes&, const asio::ip::udp::endpoint&)>;

    explicit ScriptedUdpPeer(Script script, const char* address = "127.0.0.1")
        : socket_(io_, asio::ip::udp::endpoint(asio::ip::make_address(address), 0)),
          script_(std::move(script)) {
        thread_ = std::thread([this] { run(); });
    }
    ~ScriptedUdpPeer() {
        stop_ = true;
        thread_.join();
    }

    std::uint16_t port() const { return socket_.local_endpoint().port(); }
    asio::ip::udp::endpoint endpoint() const { return socket_.local_endpoint(); }

    std::vector<Received> received() const {
        std::lock_guard lock(mutex_);
        return received_;
    }
    // Waits (bounded) until at least `count` datagrams arrived.
    bool wait_for(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        std::unique_lock lock(mutex_);
        return arrived_.wait_for(lock, limit, [&] { return received_.size() >= count; });
    }
    // Sends from this peer's socket (to play a server pushing data).
    void send_to(const Bytes& bytes, const asio::ip::udp::endpoint& to) {
        std::error_code ec;
        socket_.send_to(asio::buffer(bytes), to, 0, ec);
    }

  private:
    void run() {
        Bytes buffer(65536);
        while (!stop_) {
            pollfd pfd{socket_.native_handle(), POLLIN, 0};
            if (::poll(&pfd, 1, 10) <= 0) {
                continue;
            }
            asio::ip::udp::endpoint from;
            std::error_code ec;
            const std::size_t n = socket_.receive_from(asio::buffer(buffer), from, 0, ec);
            if (ec) {
                continue;
            }
            Bytes datagram(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
            {
                std::lock_guard lock(mutex_);
                received_.push_back({datagram, from});
            }
            arrived_.notify_all();
            for (const auto& reply : script_(datagram, from)) {
                socket_.send_to(asio::buffer(reply), from, 0, ec);
            }
        }
    }

    asio::io_context io_;
    asio::ip::udp::socket socket_;
    Script script_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Received> received_;
    std::thread thread_;
};

// Builds a STUN message of the given type; `key` non-empty adds MESSAGE-INTEGRITY at the end.
inline Bytes build_stun(std::uint16_t type, const network::StunTransactionId& id,
                        const std::function<void(Bytes&)>& attributes,
                        std::span<const std::uint8_t> key = {}) {
    Bytes out(20, 0);
    out[0] = static_cast<std::uint8_t>(type >> 8);
    out[1] = static_cast<std::uint8_t>(type);
    out[4] = 0x21;
    out[5] = 0x12;
    out[6] = 0xA4;
    out[7] = 0x42;
    std::copy(id.begin(), id.end(), out.begin() + 8);
    if (attributes) {
        attributes(out);
    }
    auto set_length = [&out](std::size_t body) {
        out[2] = static_cast<std::uint8_t>(body >> 8);
        out[3] = static_cast<std::uint8_t>(body);
    };
    if (!key.empty()) {
        set_length(out.size() - 20 + 24);
        std::array<std::uint8_t, 20> mac{};
        network::hmac_sha1(key.data(), key.size(), out.data(), out.size(), mac);
        network::append_stun_attribute(out, network::kAttrMessageIntegrity, mac.data(), 20);
    }
    set_length(out.size() - 20);
    return out;
}

inline Bytes error_value(int code, const std::string& phrase = {}) {
    Bytes value = {0, 0, static_cast<std::uint8_t>(code / 100),
                   static_cast<std::uint8_t>(code % 100)};
    value.insert(value.end(), phrase.begin(), phrase.end());
    return value;
}

// The transaction id of a received request (at least 20 bytes).
inline network::StunTransactionId transaction_id_of(const Bytes& request) {
    network::StunTransactionId id{};
    std::copy(request.begin() + 8, request.begin() + 20, id.begin());
    return id;
}

inline Bytes xor_address_value(const network::Ipv4Bytes& ip, std::uint16_t port) {
    Bytes attribute;
    network::append_xor_peer_address(attribute, ip, port);
    return Bytes(attribute.begin() + 4, attribute.end());
}

}  // namespace vx::test
