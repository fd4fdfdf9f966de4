#pragma once

// A small TURN server behaviour for the scripted peer: long-term authentication with one nonce,
// Allocate, Refresh, CreatePermission and ChannelBind answered with success. Tests change its
// knobs to drop, reorder or corrupt answers.

#include <atomic>
#include <mutex>
#include <string>

#include "scripted_udp_peer.hpp"

namespace vx::test {

class FakeTurnLogic {
  public:
    std::string realm = "vx.test";
    std::string nonce = "nonce-1";
    std::string user = "vxuser";
    std::string pass = "vxpass";
    network::Ipv4Bytes relayed_ip = {127, 0, 0, 1};
    std::uint16_t relayed_port = 50000;
    std::uint32_t granted_lifetime = 600;      // 0 echoes the requested lifetime
    std::atomic<int> drop_authenticated = 0;   // authenticated requests to ignore
    std::atomic<int> stale_nonce_answers = 0;  // 438 answers before success
    std::atomic<bool> omit_integrity = false;
    std::atomic<bool> relayed_after_integrity = false;
    std::atomic<int> error_code = 0;  // answer every authenticated request with this error
    std::string error_phrase;

    // Changes non-atomic knobs while the server thread may be answering.
    template <class F>
    void set(F change) {
        std::lock_guard lock(mutex_);
        change(*this);
    }

    network::TurnKey key() const {
        network::TurnKey k{};
        network::compute_long_term_key(user, realm, pass, k);
        return k;
    }

    std::vector<Bytes> handle(const Bytes& request) {
        std::lock_guard lock(mutex_);
        network::StunMessage m;
        if (!network::parse_stun_message(request.data(), request.size(), m) ||
            m.message_class() != network::kStunRequest) {
            return {};
        }
        const auto method = m.method();
        const auto error_type = network::stun_message_type(method, network::kStunError);
        const network::TurnKey k = key();
        if (m.find(network::kAttrMessageIntegrity) == nullptr ||
            !network::check_message_integrity(request.data(), request.size(), m, k)) {
            return {challenge(error_type, m.transaction_id, 401)};
        }
        if (drop_authenticated > 0) {
            --drop_authenticated;
            return {};
        }
        if (stale_nonce_answers > 0) {
            --stale_nonce_answers;
            nonce += "x";
            return {challenge(error_type, m.transaction_id, 438)};
        }
        if (error_code != 0) {
            const Bytes value = error_value(error_code, error_phrase);
            return {build_stun(error_type, m.transaction_id, [&](Bytes& out) {
                network::append_stun_attribute(out, network::kAttrErrorCode, value.data(),
                                               value.size());
            })};
        }
        return {success(m, k)};
    }

  private:
    std::mutex mutex_;

    Bytes challenge(std::uint16_t type, const network::StunTransactionId& id, int code) {
        const Bytes value = error_value(code);
        return build_stun(type, id, [&](Bytes& out) {
            network::append_stun_attribute(out, network::kAttrErrorCode, value.data(),
                                           value.size());
            network::append_stun_attribute(out, network::kAttrRealm, realm);
            network::append_stun_attribute(out, network::kAttrNonce, nonce);
        });
    }

    Bytes success(const network::StunMessage& m, const network::TurnKey& k) {
        const auto type = network::stun_message_type(m.method(), network::kStunSuccess);
        std::uint32_t requested = 0;
        network::read_u32_attribute(m, network::kAttrLifetime, requested);
        const std::uint32_t lifetime = granted_lifetime == 0 ? requested : granted_lifetime;
        const bool allocate = m.method() == network::kMethodAllocate;
        const bool refresh = m.method() == network::kMethodRefresh;
        const Bytes relayed = xor_address_value(relayed_ip, relayed_port);
        auto attributes = [&](Bytes& out) {
            if (allocate && !relayed_after_integrity) {
                network::append_stun_attribute(out, network::kAttrXorRelayedAddress, relayed.data(),
                                               relayed.size());
            }
            if (allocate || refresh) {
                network::append_u32_attribute(out, network::kAttrLifetime,
                                              refresh ? requested : lifetime);
            }
        };
        std::span<const std::uint8_t> key_span;
        if (!omit_integrity) {
            key_span = k;
        }
        Bytes out = build_stun(type, m.transaction_id, attributes, key_span);
        if (allocate && relayed_after_integrity) {
            network::append_stun_attribute(out, network::kAttrXorRelayedAddress, relayed.data(),
                                           relayed.size());
            const std::size_t body = out.size() - 20;
            out[2] = static_cast<std::uint8_t>(body >> 8);
            out[3] = static_cast<std::uint8_t>(body);
        }
        return out;
    }
};

}  // namespace vx::test
