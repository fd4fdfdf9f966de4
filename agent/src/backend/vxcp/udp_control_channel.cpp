#include "backend/vxcp/udp_control_channel.hpp"

#include <sodium.h>
#include <spdlog/spdlog.h>

#include <algorithm>

namespace vx::network {

UdpControlChannel::UdpControlChannel(UdpControlChannelConfig config, VxcpSeams seams)
    : config_(std::move(config)), seams_(std::move(seams)) {
    clock_offset_ms_ = config_.clock_offset_ms;
}

UdpControlChannel::~UdpControlChannel() {
    wipe_secrets();
    keys_.wipe();
    sodium_memzero(hello_key_.data(), hello_key_.size());
    sodium_memzero(reset_token_.data(), reset_token_.size());
}

void UdpControlChannel::wipe_secrets() {
    sodium_memzero(secret_key_.data(), secret_key_.size());
}

std::string UdpControlChannel::path_name() const {
    return on_relay() ? "relay " + path_->relayed_endpoint() : "direct";
}

bool UdpControlChannel::open(std::string& err) {
    if (!vxcp_resolve(config_.host, config_.port, endpoint_, err)) {
        return false;
    }
    if (config_.relay) {
        path_ = seams_.open_relay(*config_.relay, endpoint_, err);
        relay_upkeep_us_ = now() + kRelayUpkeep.count();
    } else {
        path_ = seams_.open_direct(endpoint_, err);
    }
    if (path_) {
        path_->set_wake_fd(seams_.stop_wake_fd);
    }
    return path_ != nullptr;
}

void UdpControlChannel::make_key_pair() {
    seams_.random(secret_key_.data(), secret_key_.size());
    crypto_scalarmult_base(public_key_.data(), secret_key_.data());
}

void UdpControlChannel::rebuild_hello() {
    seams_.random(connection_id_.data(), connection_id_.size());
    seams_.random(hello_nonce_.data(), hello_nonce_.size());
    const std::uint64_t time_ms = vxcp_hello_time(seams_.wall_ms(), clock_offset_ms_);
    hello_ = vxcp_build_hello(
        HelloFields{connection_id_, config_.token, public_key_, hello_nonce_, time_ms}, hello_key_);
}

bool UdpControlChannel::connect(std::string& err) {
    if (!vxcp_sodium_ready()) {
        err = "libsodium init failed";
        return false;
    }
    if (config_.host.empty() || config_.port == 0 || config_.token.size() != kVxcpTokenSize ||
        config_.secret.empty()) {
        err = "control channel not configured";
        return false;
    }
    if (!open(err)) {
        return false;
    }
    hello_key_ = vxcp_hello_key(as_bytes(config_.secret));
    make_key_pair();
    rebuild_hello();
    const std::int64_t start = now();
    const std::int64_t deadline = start + std::int64_t{config_.handshake_timeout_ms} * 1000;
    std::int64_t next_send = start;
    bool retry_taken = false;
    while (now() < deadline) {
        if (seams_.keep_going && !seams_.keep_going()) {
            wipe_secrets();
            err = "stopped during the handshake";
            return false;
        }
        if (now() >= next_send) {
            path_->send(hello_);
            next_send = now() + std::int64_t{config_.hello_interval_ms} * 1000;
        }
        const int wait_ms = static_cast<int>((std::min(deadline, next_send) - now()) / 1000);
        for (int reads = 0; reads < kMaxDatagramsPerWake; ++reads) {
            const std::size_t n = receive(reads == 0 ? std::max(wait_ms, 1) : 0);
            if (n == 0) {
                break;
            }
            const auto step = on_handshake_datagram(ByteView(buffer_.data(), n), retry_taken);
            if (step == HandshakeStep::welcomed) {
                handshake_ms_ = (now() - start) / 1000;
                return true;
            }
            if (step == HandshakeStep::retried) {
                retry_taken = true;
                next_send = now();
            }
        }
    }
    wipe_secrets();
    err = "no WELCOME from " + endpoint_text() + (on_relay() ? " via " + path_name() : "") +
          " within " + std::to_string(config_.handshake_timeout_ms) + " ms" +
          (clock_retried_ ? " (after a clock RETRY)" : "");
    return false;
}

std::size_t UdpControlChannel::receive(int timeout_ms) {
    return path_->receive(buffer_.data(), buffer_.size(), timeout_ms, dropped_);
}

UdpControlChannel::HandshakeStep UdpControlChannel::on_handshake_datagram(ByteView datagram,
                                                                          bool retry_taken) {
    const auto header = vxcp_parse_header(datagram);
    if (header && header->version == kVxcpVersion && header->connection_id == connection_id_) {
        if (header->type == std::uint8_t(VxcpType::retry) && !retry_taken) {
            const ByteView hello_mac = ByteView(hello_).last(32);
            if (const auto backend_ms =
                    vxcp_check_retry(datagram, connection_id_, hello_key_, hello_mac)) {
                if (const auto offset = vxcp_clock_offset(*backend_ms, seams_.wall_ms())) {
                    clock_offset_ms_ = *offset;
                    clock_retried_ = true;
                    rebuild_hello();
                    return HandshakeStep::retried;
                }
                spdlog::warn(
                    "SaasConnector: the backend's RETRY gives its time as {} ms since 1970, which "
                    "is not plausible - RETRY ignored",
                    *backend_ms);
            }
        } else if (header->type == std::uint8_t(VxcpType::welcome) && accept_welcome(datagram)) {
            return HandshakeStep::welcomed;
        }
    }
    ++dropped_;
    return HandshakeStep::none;
}

bool UdpControlChannel::accept_welcome(ByteView datagram) {
    const auto backend_public = vxcp_welcome_public_key(datagram, connection_id_);
    if (!backend_public) {
        return false;
    }
    auto keys =
        vxcp_derive_keys(VxcpKeyInputs{as_bytes(config_.secret), connection_id_, secret_key_,
                                       public_key_, *backend_public, hello_nonce_});
    if (!keys) {
        return false;
    }
    const auto body = vxcp_open_welcome(datagram, keys->s2c);
    if (!body) {
        keys->wipe();
        return false;
    }
    keys_ = *keys;
    keys->wipe();
    wipe_secrets();
    reset_token_ = body->reset_token;
    if (const auto offset = vxcp_clock_offset(body->backend_time_ms, seams_.wall_ms())) {
        clock_offset_ms_ = *offset;
    } else {
        spdlog::warn(
            "SaasConnector: the backend's WELCOME gives its time as {} ms since 1970, which is not "
            "plausible - the clock offset stays {} ms",
            body->backend_time_ms, clock_offset_ms_);
    }
    const StreamSettings settings = vxcp_stream_settings(
        body->idle_timeout_ms, body->keepalive_ms, body->max_message, config_.keepalive_cap_ms);
    stream_ = std::make_unique<ReliableStream>(settings, now());
    path_->set_wake_fd(seams_.live_wake_fd);
    alive_ = true;
    end_reason_.clear();
    return true;
}

void UdpControlChannel::fail(const std::string& reason, bool path_failure) {
    if (!alive_) {
        return;
    }
    alive_ = false;
    end_reason_ = reason;
    path_failure_ = path_failure;
    keys_.wipe();
    wipe_secrets();
}

}  // namespace vx::network
