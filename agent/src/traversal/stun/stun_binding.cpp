#include "traversal/stun/stun_binding.hpp"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <random>

#include <spdlog/spdlog.h>

#include "link/udp_sender.hpp"
#include "traversal/stun/stun_codec.hpp"
#include "util/address.hpp"
#include "util/error_text.hpp"
#include "util/io/name_lookup.hpp"
#include "util/outside_text.hpp"

namespace vx::network {

namespace {

using TransactionId = std::array<std::uint8_t, 12>;
constexpr std::size_t kReceiveBufferSize = 512;

// Three 32-bit values from the random device, each written low byte first.
TransactionId new_transaction_id() {
    std::random_device device;
    TransactionId id{};
    for (int word = 0; word < 3; ++word) {
        const std::uint32_t value = device();
        for (int b = 0; b < 4; ++b) {
            id[word * 4 + b] = static_cast<std::uint8_t>(value >> (8 * b));
        }
    }
    return id;
}

bool resolve_destination(const std::string& host, std::uint16_t port,
                         asio::ip::udp::endpoint& out) {
    std::error_code ec;
    const auto literal = asio::ip::make_address(host, ec);
    if (!ec) {
        out = asio::ip::udp::endpoint(literal, port);
        return true;
    }
    const NameAnswer answer = lookup_name(host, NameFamily::ipv4);
    if (answer.error || answer.addresses.empty()) {
        return false;
    }
    out = asio::ip::udp::endpoint(answer.addresses.front(), port);
    return true;
}

// One request's view of what arrives: the destination, the transaction id and how many answers
// of another transaction it has ignored.
struct BindingWait {
    asio::ip::udp::endpoint destination;
    TransactionId id{};
    std::uint64_t unauthenticated = 0;
};

// Logs and judges one datagram; true when it carried the mapping. Whoever sends from the
// server's address may flood answers of another transaction: the first is logged, the rest only
// counted (see binding_exchange), so they cannot rotate the log away.
bool judge(const std::uint8_t* data, std::size_t size, const asio::ip::udp::endpoint& from,
           BindingWait& wait, std::string& address, std::uint16_t& port) {
    if (size < kStunHeaderSize) {
        return false;
    }
    if (from != wait.destination) {
        spdlog::debug("STUN: ignoring datagram from unexpected source {}:{}",
                      from.address().to_string(), from.port());
        return false;
    }
    const BindingAnswer answer = check_binding_answer(data, size, wait.id);
    if (answer.verdict == BindingVerdict::unauthenticated) {
        if (wait.unauthenticated++ == 0) {
            spdlog::warn(
                "STUN: ignoring unauthenticated binding response from {}:{} (cookie_ok={} "
                "txid_ok={})",
                from.address().to_string(), from.port(), answer.cookie_ok, answer.txid_ok);
        }
        return false;
    }
    if (answer.verdict != BindingVerdict::accepted) {
        return false;
    }
    address = answer.address;
    port = answer.port;
    return true;
}

bool wait_on_socket(asio::ip::udp::socket& socket, BindingWait& wait,
                    std::chrono::steady_clock::time_point deadline, std::string& address,
                    std::uint16_t& port) {
    std::array<std::uint8_t, kReceiveBufferSize> buffer{};
    while (std::chrono::steady_clock::now() < deadline) {
        asio::ip::udp::endpoint from;
        std::error_code ec;
        const std::size_t n = socket.receive_from(asio::buffer(buffer), from, 0, ec);
        if (!ec && judge(buffer.data(), n, from, wait, address, port)) {
            return true;
        }
        // Nothing (more) waiting: sleep until the next datagram arrives.
        if (ec && !wait_socket_readable(socket.native_handle(), deadline)) {
            return false;
        }
    }
    return false;
}

bool wait_on_handoff(StunResponseHandoff& handoff, BindingWait& wait,
                     std::chrono::steady_clock::time_point deadline, std::string& address,
                     std::uint16_t& port) {
    while (auto datagram = handoff.wait_until(deadline)) {
        if (judge(datagram->bytes.data(), datagram->bytes.size(), datagram->from, wait, address,
                  port)) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool wait_socket_readable(int fd, std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
        return false;
    }
    pollfd p{fd, POLLIN, 0};
    int ready = 0;
    do {
        ready = ::poll(&p, 1, static_cast<int>(left.count()));
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

bool StunResponseHandoff::offer(const std::uint8_t* data, std::size_t size,
                                const asio::ip::udp::endpoint& from) {
    if (!looks_like_stun(data, size)) {
        return false;
    }
    {
        std::lock_guard lock(mutex_);
        if (!waiting_ || !std::equal(transaction_id_.begin(), transaction_id_.end(), data + 8)) {
            return false;
        }
        if (queue_.size() >= kMaxQueued) {
            queue_.pop_front();
        }
        queue_.push_back({std::vector<std::uint8_t>(data, data + size), from});
    }
    arrived_.notify_all();
    return true;
}

void StunResponseHandoff::begin(const std::array<std::uint8_t, 12>& transaction_id) {
    std::lock_guard lock(mutex_);
    queue_.clear();
    transaction_id_ = transaction_id;
    waiting_ = true;
}

std::optional<StunResponseHandoff::Datagram> StunResponseHandoff::wait_until(
    std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    if (!arrived_.wait_until(lock, deadline, [this] { return !queue_.empty(); })) {
        return std::nullopt;
    }
    Datagram datagram = std::move(queue_.front());
    queue_.pop_front();
    return datagram;
}

void StunResponseHandoff::end() {
    std::lock_guard lock(mutex_);
    waiting_ = false;
    queue_.clear();
}

bool StunResponseHandoff::waiting() const {
    std::lock_guard lock(mutex_);
    return waiting_;
}

BindingAnswer check_binding_answer(const std::uint8_t* data, std::size_t size,
                                   const std::array<std::uint8_t, 12>& transaction_id) {
    BindingAnswer answer;
    if (data == nullptr || size < kStunHeaderSize) {
        return answer;
    }
    answer.cookie_ok = data[4] == 0x21 && data[5] == 0x12 && data[6] == 0xA4 && data[7] == 0x42;
    answer.txid_ok = std::equal(transaction_id.begin(), transaction_id.end(), data + 8);
    if (!answer.cookie_ok || !answer.txid_ok) {
        answer.verdict = BindingVerdict::unauthenticated;
        return answer;
    }
    if (data[0] != 0x01 || data[1] != 0x01) {
        answer.verdict = BindingVerdict::not_success;
        return answer;
    }
    const std::size_t limit = std::min(size, kStunHeaderSize + read_be16(data + 2));
    std::size_t offset = kStunHeaderSize;
    while (offset + 4 <= limit) {
        const std::uint16_t type = read_be16(data + offset);
        const std::size_t length = read_be16(data + offset + 2);
        const std::size_t value = offset + 4;
        if (value + length > limit) {
            return answer;
        }
        // Only an IPv4 mapping can become an IPv4 candidate (family byte 1).
        if (length >= 8 && data[value + 1] == 0x01 &&
            (type == kAttrXorMappedAddress || type == kAttrMappedAddress)) {
            std::uint8_t ip[4];
            std::uint16_t port = read_be16(data + value + 2);
            std::copy(data + value + 4, data + value + 8, ip);
            if (type == kAttrXorMappedAddress) {
                port ^= 0x2112;
                const std::uint8_t cookie[4] = {0x21, 0x12, 0xA4, 0x42};
                for (int i = 0; i < 4; ++i)
                    ip[i] ^= cookie[i];
            }
            answer.verdict = BindingVerdict::accepted;
            answer.address = util::format_ipv4(ip);
            answer.port = port;
            return answer;
        }
        offset = value + ((length + 3) & ~std::size_t{3});
    }
    return answer;
}

namespace {

using SendFn = std::function<bool(const std::array<std::uint8_t, 20>&,
                                  const asio::ip::udp::endpoint&, std::error_code&)>;

// Sends once and waits: on the hand-off when one is given, else on `socket` itself.
bool binding_exchange(const std::string& host, std::uint16_t port, std::string& mapped_address,
                      std::uint16_t& mapped_port, int timeout_ms, const SendFn& send,
                      asio::ip::udp::socket* socket, StunResponseHandoff* handoff) {
    BindingWait wait;
    if (!resolve_destination(host, port, wait.destination)) {
        return false;
    }
    wait.id = new_transaction_id();
    const auto request = binding_request_bytes(wait.id);
    if (handoff != nullptr) {
        handoff->begin(wait.id);
    }
    std::error_code ec;
    if (!send(request, wait.destination, ec)) {
        if (handoff != nullptr)
            handoff->end();
        spdlog::warn("STUN: send failed: {}", util::describe_error(ec));
        return false;
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
    std::string address;
    std::uint16_t mapped = 0;
    bool ok = false;
    if (handoff != nullptr) {
        ok = wait_on_handoff(*handoff, wait, deadline, address, mapped);
        handoff->end();
    } else {
        socket->non_blocking(true, ec);
        ok = wait_on_socket(*socket, wait, deadline, address, mapped);
        socket->non_blocking(false, ec);
    }
    if (wait.unauthenticated > 1) {
        spdlog::warn("STUN: ignored {} more unauthenticated binding responses from {}:{}",
                     wait.unauthenticated - 1, wait.destination.address().to_string(),
                     wait.destination.port());
    }
    if (!ok) {
        spdlog::warn("STUN: no binding response from {}:{}", util::quote_outside_text(host), port);
        return false;
    }
    mapped_address = address;
    mapped_port = mapped;
    return true;
}

}  // namespace

bool stun_binding_request(asio::io_context& /*io*/, asio::ip::udp::socket& socket,
                          const std::string& host, std::uint16_t port, std::string& mapped_address,
                          std::uint16_t& mapped_port, int timeout_ms,
                          StunResponseHandoff* handoff) {
    if (!socket.is_open()) {
        return false;
    }
    const SendFn send = [&socket](const std::array<std::uint8_t, 20>& request,
                                  const asio::ip::udp::endpoint& to, std::error_code& ec) {
        socket.send_to(asio::buffer(request), to, 0, ec);
        return !ec;
    };
    return binding_exchange(host, port, mapped_address, mapped_port, timeout_ms, send, &socket,
                            handoff);
}

bool stun_binding_request(UdpSender& sender, const std::string& host, std::uint16_t port,
                          std::string& mapped_address, std::uint16_t& mapped_port,
                          StunResponseHandoff& handoff, int timeout_ms) {
    if (!sender.is_open()) {
        return false;
    }
    const SendFn send = [&sender](const std::array<std::uint8_t, 20>& request,
                                  const asio::ip::udp::endpoint& to, std::error_code& ec) {
        return sender.send_to(request.data(), request.size(), to, ec);
    };
    return binding_exchange(host, port, mapped_address, mapped_port, timeout_ms, send, nullptr,
                            &handoff);
}

}  // namespace vx::network
