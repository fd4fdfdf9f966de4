// The TURN client's socket: opening it, sending application data, and sorting what arrives into
// transaction responses and relayed datagrams.
#include <poll.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>

#include <spdlog/spdlog.h>
#include <asio/ip/address_v4.hpp>
#include <asio/socket_base.hpp>

#include "traversal/turn/turn_client.hpp"
#include "traversal/turn/turn_url.hpp"
#include "util/address.hpp"
#include "util/clock.hpp"
#include "util/error_text.hpp"
#include "util/io/name_lookup.hpp"

namespace vx::network {

namespace {

constexpr int kReceiveBufferBytes = 256 * 1024;
constexpr int kSendBufferBytes = 2 * 1024 * 1024;
constexpr int kMaxDatagramsPerPump = 64;

}  // namespace

bool TurnClient::open_socket_locked(std::string& err) {
    if (socket_.is_open()) {
        qos_.reset();
        std::error_code ignored;
        socket_.close(ignored);
    }
    std::error_code ec;
    socket_.open(asio::ip::udp::v4(), ec);
    if (ec) {
        err = "TURN: cannot open UDP socket: " + util::describe_error(ec);
        return false;
    }
    socket_.bind(asio::ip::udp::endpoint(asio::ip::address_v4::any(), 0), ec);
    if (ec) {
        err = "TURN: cannot bind UDP socket: " + util::describe_error(ec);
        socket_.close(ec);
        return false;
    }
    socket_.non_blocking(true, ec);
    if (ec) {
        err = "TURN: cannot make the UDP socket non-blocking: " + util::describe_error(ec);
        socket_.close(ec);
        return false;
    }
    socket_.set_option(asio::socket_base::receive_buffer_size(kReceiveBufferBytes), ec);
    if (ec) {
        spdlog::debug("TURN: receive buffer tuning skipped: {}", util::describe_error(ec));
    }
    socket_.set_option(asio::socket_base::send_buffer_size(kSendBufferBytes), ec);
    if (ec) {
        spdlog::debug("TURN: send buffer tuning skipped: {}", util::describe_error(ec));
    }
    asio::socket_base::send_buffer_size granted;
    socket_.get_option(granted, ec);
    spdlog::info("TURN: socket send queue (SO_SNDBUF) granted = {} KiB",
                 ec ? 0 : granted.value() / 1024);
    indication_scratch_.reserve(2048);
    const auto local = socket_.local_endpoint(ec);
    spdlog::debug("TURN: client socket bound to local port {}", ec ? 0 : local.port());
    return true;
}

void TurnClient::close_socket_locked() {
    qos_.reset();
    std::error_code ignored;
    if (socket_.is_open()) {
        socket_.close(ignored);
    }
    // A receive waiting on the descriptor would not notice it close.
    note_delivery_locked();
    forget_allocation_locked();
    receive_queue_.clear();
    waiter_ = Waiter{};
    key_.fill(0);
    key_valid_ = false;
    nonce_.clear();
    realm_.clear();
    username_.clear();
    password_.clear();
}

bool TurnClient::resolve_server_locked(std::string& err) {
    TurnServerAddress address;
    if (!parse_turn_server(config_.server, config_.port, address, err)) {
        return false;
    }
    std::error_code ec;
    const auto literal = asio::ip::make_address(address.host, ec);
    asio::ip::udp::endpoint endpoint;
    if (!ec) {
        if (literal.is_v6()) {
            err = "TURN: IPv6 server addresses are not supported";
            return false;
        }
        endpoint = asio::ip::udp::endpoint(literal, address.port);
    } else {
        const NameAnswer answer = lookup_name(address.host, NameFamily::ipv4);
        if (answer.error) {
            err = "TURN: cannot resolve '" + server_text_for_messages(address.host) +
                  "': " + util::describe_error(answer.error);
            return false;
        }
        if (answer.addresses.empty()) {
            err = "TURN: no IPv4 address for '" + server_text_for_messages(address.host) + "'";
            return false;
        }
        endpoint = asio::ip::udp::endpoint(answer.addresses.front(), address.port);
    }
    std::lock_guard state(state_mutex_);
    server_endpoint_ = endpoint;
    server_text_ = server_text_for_messages(address.host) + ":" + std::to_string(address.port);
    spdlog::debug("TURN: server endpoint {}:{}", endpoint.address().to_string(), endpoint.port());
    return true;
}

bool TurnClient::send_to_server(const std::uint8_t* bytes, std::size_t len) {
    std::error_code ec;
    const std::size_t sent = socket_.send_to(asio::buffer(bytes, len), server_endpoint_, 0, ec);
    if (ec || sent != len) {
        spdlog::debug("TURN: sendto failed: {}", ec ? util::describe_error(ec) : "short send");
        return false;
    }
    return true;
}

bool TurnClient::send(const std::string& peer, std::uint16_t port, const std::uint8_t* data,
                      std::size_t len) {
    if (data == nullptr || len == 0 || len > kMaxPayload) {
        return false;
    }
    if (!allocated_.load()) {
        spdlog::trace("TURN: send() before a successful allocate()");
        return false;
    }
    std::lock_guard state(state_mutex_);
    if (!socket_.is_open()) {
        return false;
    }
    const std::int64_t now = timing_.now();
    for (const auto& row : channels_) {
        if (row.peer == peer && row.port == port && row.expiry_us > now) {
            if (send_channel_data(row.channel, data, len)) {
                spdlog::trace("TURN: sent {} B as ChannelData 0x{:04x} to {}:{}", len, row.channel,
                              peer, port);
                ++counters_.sent;
                bytes_sent_ += len;
                return true;
            }
            break;
        }
    }
    if (!send_indication(peer, port, data, len)) {
        ++counters_.send_failures;
        return false;
    }
    spdlog::trace("TURN: sent {} B as a Send indication to {}:{}", len, peer, port);
    ++counters_.sent;
    bytes_sent_ += len;
    return true;
}

bool TurnClient::send_channel_data(std::uint16_t channel, const std::uint8_t* data,
                                   std::size_t len) {
    std::array<std::uint8_t, 4> header{};
    if (!encode_channel_data_header(channel, len, header)) {
        return false;
    }
    qos_.set_destination(socket_.native_handle(), server_endpoint_.address().to_v4().to_uint(),
                         server_endpoint_.port());
    const std::array<asio::const_buffer, 2> buffers = {asio::buffer(header),
                                                       asio::buffer(data, len)};
    std::error_code ec;
    const std::size_t sent = socket_.send_to(buffers, server_endpoint_, 0, ec);
    if (ec || sent != len + header.size()) {
        spdlog::debug("TURN: ChannelData send failed: {}",
                      ec ? util::describe_error(ec) : "short send");
        return false;
    }
    return true;
}

bool TurnClient::send_indication(const std::string& peer, std::uint16_t port,
                                 const std::uint8_t* data, std::size_t len) {
    const auto address = util::parse_ipv4(peer);
    if (!address) {
        spdlog::debug("TURN: send() peer '{}' is not an IPv4 address", peer);
        return false;
    }
    StunTransactionId id{};
    if (!random_(id.data(), id.size())) {
        return false;
    }
    if (!encode_send_indication(indication_scratch_, id, *address, port, data, len)) {
        return false;
    }
    return send_to_server(indication_scratch_.data(), indication_scratch_.size());
}

void TurnClient::enqueue_received(const std::string& peer, std::uint16_t port,
                                  const std::uint8_t* data, std::size_t len) {
    if (len == 0) {
        return;
    }
    while (receive_queue_.size() >= kReceiveQueueLimit) {
        receive_queue_.pop_front();
        ++counters_.dropped;
    }
    receive_queue_.push_back({peer, port, std::vector<std::uint8_t>(data, data + len)});
    note_delivery_locked();
}

void TurnClient::handle_datagram(const std::uint8_t* bytes, std::size_t n,
                                 const asio::ip::udp::endpoint& source) {
    if (n < 4) {
        return;
    }
    const bool from_server = source == server_endpoint_;
    spdlog::trace("TURN: rx {} B from {}:{} (server={}, first=0x{:02x})", n,
                  source.address().to_string(), source.port(), from_server, bytes[0]);
    if (bytes[0] >= 0x40 && bytes[0] <= 0x7F) {
        handle_channel_data(bytes, n, from_server);
    } else {
        handle_stun(bytes, n, from_server);
    }
}

void TurnClient::handle_channel_data(const std::uint8_t* bytes, std::size_t n, bool from_server) {
    if (!from_server) {
        ++counters_.foreign;
        return;
    }
    ChannelDataView view;
    if (!parse_channel_data(bytes, n, view)) {
        return;
    }
    for (const auto& row : channels_) {
        if (row.channel == view.channel) {
            enqueue_received(row.peer, row.port, view.payload, view.length);
            return;
        }
    }
}

void TurnClient::handle_stun(const std::uint8_t* bytes, std::size_t n, bool from_server) {
    StunMessage message;
    if (!parse_stun_message(bytes, n, message)) {
        return;
    }
    if (!from_server) {
        ++counters_.foreign;
        return;
    }
    const std::uint8_t message_class = message.message_class();
    if (message_class == kStunSuccess || message_class == kStunError) {
        if (waiter_.waiting && message.transaction_id == waiter_.transaction_id) {
            waiter_.response.assign(bytes, bytes + message.total_length);
            waiter_.ready = true;
            note_delivery_locked();
        }
        return;
    }
    if (message_class != kStunIndication || message.method() != kMethodData) {
        return;
    }
    const StunAttribute* peer = message.find(kAttrXorPeerAddress);
    const StunAttribute* data = message.find(kAttrData);
    std::string address;
    std::uint16_t port = 0;
    if (peer != nullptr && data != nullptr &&
        decode_xor_address(message.value(*peer).data(), peer->length, address, port)) {
        const auto value = message.value(*data);
        enqueue_received(address, port, value.data(), value.size());
    }
}

void TurnClient::pump_socket() {
    if (!socket_.is_open()) {
        return;
    }
    for (int i = 0; i < kMaxDatagramsPerPump; ++i) {
        asio::ip::udp::endpoint source;
        std::error_code ec;
        // A datagram longer than the buffer arrives cut to the buffer's size.
        const std::size_t n = socket_.receive_from(asio::buffer(receive_buffer_), source, 0, ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again) {
            return;
        }
        if (ec) {
            spdlog::debug("TURN: receive failed: {}", util::describe_error(ec));
            return;
        }
        if (n > 0) {
            handle_datagram(receive_buffer_.data(), n, source);
        }
    }
}

void TurnClient::note_delivery_locked() {
    if (pollers_ > 0) {
        delivered_.signal();
    }
}

bool TurnClient::wait_readable(std::unique_lock<std::mutex>& state, std::chrono::milliseconds limit,
                               int wake_fd) {
    // Whichever thread pumps may take the datagram another one waits for: a pump that delivers
    // while somebody polls signals `delivered_`, which stays set until the last poller is back.
    std::array<pollfd, 3> fds{{{socket_.is_open() ? socket_.native_handle() : -1, POLLIN, 0},
                               {delivered_.native_handle(), POLLIN, 0},
                               {wake_fd, POLLIN, 0}}};
    ++pollers_;
    state.unlock();
    int ready = 0;
    do {
        ready = ::poll(fds.data(), fds.size(), static_cast<int>(limit.count()));
    } while (ready < 0 && errno == EINTR);
    state.lock();
    if (--pollers_ == 0) {
        delivered_.clear();
    }
    return ready > 0 && fds[2].revents != 0;
}

std::int32_t TurnClient::receive(std::uint8_t* buf, std::size_t capacity, std::string& peer,
                                 std::uint16_t& port, std::int32_t timeout_ms, int wake_fd) {
    if (buf == nullptr || capacity == 0) {
        return -1;
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
    std::unique_lock state(state_mutex_);
    for (;;) {
        if (!socket_.is_open() && receive_queue_.empty()) {
            return -1;
        }
        pump_socket();
        while (!receive_queue_.empty()) {
            RelayedDatagram entry = std::move(receive_queue_.front());
            receive_queue_.pop_front();
            if (entry.data.size() > capacity) {
                spdlog::debug("TURN: dropping {} B datagram (cap {})", entry.data.size(), capacity);
                ++counters_.dropped;
                continue;
            }
            std::copy(entry.data.begin(), entry.data.end(), buf);
            peer = std::move(entry.peer);
            port = entry.port;
            ++counters_.delivered;
            counters_.delivered_bytes += entry.data.size();
            return static_cast<std::int32_t>(entry.data.size());
        }
        const auto left = util::time_left(deadline);
        if (timeout_ms < 1 || left.count() == 0 || wait_readable(state, left, wake_fd)) {
            return 0;
        }
    }
}

bool TurnClient::wait_for_response_locked(const StunTransactionId& id,
                                          std::vector<std::uint8_t>& out, std::int32_t timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::unique_lock state(state_mutex_);
    for (;;) {
        if (waiter_.ready && waiter_.transaction_id != id) {
            waiter_.ready = false;
            waiter_.response.clear();
        }
        if (!waiter_.ready) {
            pump_socket();
        }
        if (waiter_.ready && waiter_.transaction_id == id) {
            out = std::move(waiter_.response);
            waiter_.response.clear();
            waiter_.ready = false;
            return true;
        }
        const auto left = util::time_left(deadline);
        if (left.count() == 0) {
            return false;
        }
        wait_readable(state, left, -1);
    }
}

}  // namespace vx::network
