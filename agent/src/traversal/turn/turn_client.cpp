#include "traversal/turn/turn_client.hpp"

#include <openssl/rand.h>

#include <algorithm>

#include <spdlog/spdlog.h>

#include "util/address.hpp"

namespace vx::network {

namespace {

constexpr std::int64_t kUsPerSecond = 1'000'000;
// RFC 5766: permissions last 300 s, channel bindings 600 s.
constexpr std::int64_t kPermissionLifetimeUs = 300 * kUsPerSecond;
constexpr std::int64_t kChannelLifetimeUs = 600 * kUsPerSecond;
// How long before expiry maintain() renews each kind of state.
constexpr std::int64_t kAllocationMarginUs = 60 * kUsPerSecond;
constexpr std::int64_t kPermissionMarginUs = 30 * kUsPerSecond;
constexpr std::int64_t kChannelMarginUs = 60 * kUsPerSecond;
constexpr std::size_t kChannelSweepThreshold = 16;

bool to_ipv4_bytes(const std::string& text, Ipv4Bytes& out) {
    const auto parsed = util::parse_ipv4(text);
    if (!parsed) {
        return false;
    }
    out = *parsed;
    return true;
}

}  // namespace

bool openssl_random(std::uint8_t* out, std::size_t size) {
    return RAND_bytes(out, static_cast<int>(size)) == 1;
}

TurnClient::TurnClient() : TurnClient(TurnTiming{}) {}

TurnClient::TurnClient(TurnTiming timing, TurnRandom random)
    : timing_(std::move(timing)), random_(std::move(random)), socket_(io_) {
    if (!timing_.now) {
        timing_.now = util::steady_now_us;
    }
    if (!random_) {
        random_ = openssl_random;
    }
}

TurnClient::~TurnClient() {
    {
        std::lock_guard op(operation_mutex_);
        close_locked();
    }
    qos_.stop();
}

bool TurnClient::allocate(const TurnConfig& config, std::string& err) {
    err.clear();
    std::lock_guard op(operation_mutex_);
    if (allocated_.load()) {
        close_locked();
    }
    config_ = config;
    if (config_.port == 0)
        config_.port = 3478;
    if (config_.lifetime == 0)
        config_.lifetime = 600;
    if (config_.timeout_ms < 1)
        config_.timeout_ms = 1500;
    if (config_.attempts < 1)
        config_.attempts = 1;
    if (config_.server.empty()) {
        err = "TURN: no server address configured";
        return false;
    }
    if (config_.username.empty() || config_.password.empty()) {
        err = "TURN: long-term credentials require a username and password";
        return false;
    }
    if (!resolve_server_locked(err)) {
        return false;
    }
    {
        std::lock_guard state(state_mutex_);
        if (!open_socket_locked(err)) {
            return false;
        }
        username_ = config_.username;
        password_ = config_.password;
        realm_ = config_.realm;
        nonce_.clear();
        key_valid_ = false;
        key_.fill(0);
    }
    const std::uint32_t lifetime = config_.lifetime;
    auto append = [lifetime](std::vector<std::uint8_t>& m) {
        const std::uint8_t udp[4] = {17, 0, 0, 0};
        return append_stun_attribute(m, kAttrRequestedTransport, udp, sizeof udp) &&
               append_u32_attribute(m, kAttrLifetime, lifetime);
    };
    std::vector<std::uint8_t> response;
    if (!transaction_locked(kMethodAllocate, append, response, err, config_.timeout_ms) ||
        !finish_allocate_locked(response, err)) {
        std::lock_guard state(state_mutex_);
        close_socket_locked();
        return false;
    }
    return true;
}

bool TurnClient::finish_allocate_locked(const std::vector<std::uint8_t>& response,
                                        std::string& err) {
    StunMessage message;
    if (!parse_stun_message(response.data(), response.size(), message)) {
        err = "TURN: malformed Allocate success response";
        return false;
    }
    drop_unprotected_attributes(message);
    const StunAttribute* relayed = message.find(kAttrXorRelayedAddress);
    if (relayed == nullptr) {
        err = "TURN: Allocate success without XOR-RELAYED-ADDRESS";
        return false;
    }
    std::string address;
    std::uint16_t port = 0;
    if (!decode_xor_address(message.value(*relayed).data(), relayed->length, address, port)) {
        err = "TURN: relay address is not IPv4 (IPv6 relays are not supported)";
        return false;
    }
    std::uint32_t granted = 0;
    if (!read_u32_attribute(message, kAttrLifetime, granted) || granted == 0) {
        granted = config_.lifetime;
    }
    {
        std::lock_guard state(state_mutex_);
        relayed_address_ = address;
        relayed_port_ = port;
        lifetime_ = granted;
        expiry_us_ = timing_.now() + static_cast<std::int64_t>(granted) * kUsPerSecond;
        permissions_.clear();
        channels_.clear();
        receive_queue_.clear();
        allocated_.store(true);
    }
    spdlog::info("TURN: relay allocated at {}:{} (lifetime {} s, requested {})", address, port,
                 granted, config_.lifetime);
    return true;
}

void TurnClient::close() {
    std::lock_guard op(operation_mutex_);
    close_locked();
}

void TurnClient::close_locked() {
    if (allocated_.load() && key_valid_) {
        std::string ignored;
        refresh_locked(0, timing_.close_refresh_timeout_ms, ignored);
    }
    std::lock_guard state(state_mutex_);
    close_socket_locked();
    spdlog::debug("TURN: client closed");
}

void TurnClient::forget_allocation_locked() {
    allocated_.store(false);
    relayed_address_.clear();
    relayed_port_ = 0;
    lifetime_ = 0;
    expiry_us_ = 0;
    permissions_.clear();
    channels_.clear();
}

bool TurnClient::refresh_locked(std::uint32_t lifetime, std::int32_t timeout_ms, std::string& err) {
    if (!key_valid_ || nonce_.empty()) {
        err = "TURN: allocate() must succeed before refreshing";
        return false;
    }
    auto append = [lifetime](std::vector<std::uint8_t>& m) {
        return append_u32_attribute(m, kAttrLifetime, lifetime);
    };
    std::vector<std::uint8_t> response;
    if (!transaction_locked(kMethodRefresh, append, response, err, timeout_ms)) {
        return false;
    }
    StunMessage message;
    if (!parse_stun_message(response.data(), response.size(), message)) {
        err = "TURN: malformed Refresh response";
        return false;
    }
    drop_unprotected_attributes(message);
    std::uint32_t granted = lifetime;
    read_u32_attribute(message, kAttrLifetime, granted);
    std::lock_guard state(state_mutex_);
    if (granted > 0) {
        lifetime_ = granted;
        expiry_us_ = timing_.now() + static_cast<std::int64_t>(granted) * kUsPerSecond;
    } else {
        forget_allocation_locked();
    }
    return true;
}

bool TurnClient::maintain(std::string& err) {
    err.clear();
    std::lock_guard op(operation_mutex_);
    if (!allocated_.load()) {
        err = "TURN: no allocation to maintain";
        return false;
    }
    const std::int64_t now = timing_.now();
    std::int64_t expiry = 0;
    {
        std::lock_guard state(state_mutex_);
        expiry = expiry_us_;
    }
    if (expiry - now <= kAllocationMarginUs) {
        spdlog::debug("TURN: refreshing the allocation before it expires");
        if (!refresh_locked(config_.lifetime, config_.timeout_ms, err)) {
            return false;
        }
    }
    std::vector<std::string> peers;
    std::vector<std::pair<std::string, std::uint16_t>> bindings;
    {
        std::lock_guard state(state_mutex_);
        for (const auto& p : permissions_) {
            if (p.expiry_us - now <= kPermissionMarginUs)
                peers.push_back(p.peer);
        }
        for (const auto& c : channels_) {
            if (c.expiry_us - now <= kChannelMarginUs)
                bindings.emplace_back(c.peer, c.port);
        }
    }
    for (const auto& peer : peers) {
        if (!create_permission_locked(peer, config_.timeout_ms, err)) {
            return false;
        }
    }
    for (const auto& [peer, port] : bindings) {
        if (!bind_channel_locked(peer, port, config_.timeout_ms, err)) {
            return false;
        }
    }
    return true;
}

bool TurnClient::create_permission(const std::string& peer, std::string& err) {
    err.clear();
    std::lock_guard op(operation_mutex_);
    if (!allocated_.load()) {
        err = "TURN: allocate() must succeed before create_permission()";
        return false;
    }
    return create_permission_locked(peer, config_.timeout_ms, err);
}

bool TurnClient::create_permission_locked(const std::string& peer, std::int32_t timeout_ms,
                                          std::string& err) {
    Ipv4Bytes address{};
    if (!to_ipv4_bytes(peer, address)) {
        err = "TURN: create_permission needs an IPv4 peer address (got '" + peer + "')";
        return false;
    }
    if (!key_valid_ || nonce_.empty()) {
        err = "TURN: allocate() must succeed before create_permission()";
        return false;
    }
    auto append = [address](std::vector<std::uint8_t>& m) {
        return append_xor_peer_address(m, address, 0);
    };
    std::vector<std::uint8_t> response;
    if (!transaction_locked(kMethodCreatePermission, append, response, err, timeout_ms)) {
        return false;
    }
    {
        std::lock_guard state(state_mutex_);
        const std::int64_t expiry = timing_.now() + kPermissionLifetimeUs;
        auto it = std::find_if(permissions_.begin(), permissions_.end(),
                               [&](const TurnPermission& p) { return p.peer == peer; });
        if (it != permissions_.end()) {
            it->expiry_us = expiry;
        } else {
            permissions_.push_back({peer, expiry});
        }
    }
    spdlog::debug("TURN: permission created for {}", peer);
    return true;
}

bool TurnClient::bind_channel(const std::string& peer, std::uint16_t port, std::string& err) {
    err.clear();
    std::lock_guard op(operation_mutex_);
    if (!allocated_.load()) {
        err = "TURN: allocate() must succeed before bind_channel()";
        return false;
    }
    return bind_channel_locked(peer, port, config_.timeout_ms, err);
}

bool TurnClient::choose_channel_locked(const std::string& peer, std::uint16_t port,
                                       std::uint16_t& channel, std::int64_t now) {
    for (const auto& row : channels_) {
        if (row.peer == peer && row.port == port && row.channel != 0) {
            channel = row.channel;
            return true;
        }
    }
    if (channels_.size() >= kChannelSweepThreshold) {
        std::erase_if(channels_, [now](const TurnChannel& c) { return c.expiry_us <= now; });
    }
    for (std::uint32_t n = kMinChannelNumber; n <= kMaxChannelNumber; ++n) {
        const bool taken = std::any_of(channels_.begin(), channels_.end(),
                                       [n](const TurnChannel& c) { return c.channel == n; });
        if (!taken) {
            channel = static_cast<std::uint16_t>(n);
            return true;
        }
    }
    return false;
}

bool TurnClient::bind_channel_locked(const std::string& peer, std::uint16_t port,
                                     std::int32_t timeout_ms, std::string& err) {
    Ipv4Bytes address{};
    if (!to_ipv4_bytes(peer, address)) {
        err = "TURN: bind_channel needs an IPv4 peer address (got '" + peer + "')";
        return false;
    }
    if (!key_valid_ || nonce_.empty()) {
        err = "TURN: allocate() must succeed before bind_channel()";
        return false;
    }
    std::uint16_t channel = 0;
    {
        std::lock_guard state(state_mutex_);
        if (!choose_channel_locked(peer, port, channel, timing_.now())) {
            err = "TURN: no free channel number for bind_channel()";
            return false;
        }
    }
    auto append = [channel, address, port](std::vector<std::uint8_t>& m) {
        const std::uint8_t number[4] = {static_cast<std::uint8_t>(channel >> 8),
                                        static_cast<std::uint8_t>(channel), 0, 0};
        return append_stun_attribute(m, kAttrChannelNumber, number, sizeof number) &&
               append_xor_peer_address(m, address, port);
    };
    std::vector<std::uint8_t> response;
    if (!transaction_locked(kMethodChannelBind, append, response, err, timeout_ms)) {
        return false;
    }
    {
        std::lock_guard state(state_mutex_);
        const std::int64_t expiry = timing_.now() + kChannelLifetimeUs;
        auto it = std::find_if(channels_.begin(), channels_.end(), [&](const TurnChannel& c) {
            return c.peer == peer && c.port == port;
        });
        if (it != channels_.end()) {
            it->channel = channel;
            it->expiry_us = expiry;
        } else {
            channels_.push_back({channel, peer, port, expiry});
        }
    }
    spdlog::debug("TURN: channel 0x{:04x} bound to {}:{}", channel, peer, port);
    return true;
}

std::string TurnClient::relayed_endpoint() const {
    std::lock_guard state(state_mutex_);
    if (!allocated_.load() || relayed_address_.empty()) {
        return {};
    }
    return relayed_address_ + ":" + std::to_string(relayed_port_);
}

std::string TurnClient::relayed_address() const {
    std::lock_guard state(state_mutex_);
    return allocated_.load() ? relayed_address_ : std::string();
}

std::uint16_t TurnClient::relayed_port() const {
    std::lock_guard state(state_mutex_);
    return allocated_.load() ? relayed_port_ : 0;
}

std::uint32_t TurnClient::allocation_lifetime() const {
    std::lock_guard state(state_mutex_);
    return lifetime_;
}

void TurnClient::enable_qos(std::uint8_t traffic_type) {
    qos_.enable(traffic_type, "relay");
}

TurnCounters TurnClient::counters() const {
    std::lock_guard state(state_mutex_);
    return counters_;
}

std::uint16_t TurnClient::local_port() const {
    std::lock_guard state(state_mutex_);
    if (!socket_.is_open()) {
        return 0;
    }
    std::error_code ec;
    const auto local = socket_.local_endpoint(ec);
    return ec ? 0 : local.port();
}

std::vector<TurnChannel> TurnClient::channels() const {
    std::lock_guard state(state_mutex_);
    return channels_;
}

}  // namespace vx::network
