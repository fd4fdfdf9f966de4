// One TURN request/response transaction: retransmissions, authentication challenges and the
// checks on the response.

#include <algorithm>

#include <spdlog/spdlog.h>

#include "traversal/turn/turn_client.hpp"

namespace vx::network {

namespace {

// RFC 5389 allows the server to challenge a request; more than this many in a row means the
// credentials or the server are broken.
constexpr int kMaxChallenges = 4;

enum class ErrorOutcome { retry_with_new_nonce, fail };

}  // namespace

struct TurnClient::Exchange {
    std::uint16_t method = 0;
    int attempts_used = 0;
    int challenges = 0;
    bool authenticated = false;
    std::string sent_nonce;
};

bool TurnClient::derive_long_term_key(std::string& err) {
    if (username_.empty() || realm_.empty() || password_.empty()) {
        err = "TURN: cannot derive the long-term key without username, realm and password";
        return false;
    }
    if (!compute_long_term_key(username_, realm_, password_, key_)) {
        err = "TURN: MD5 is unavailable; cannot derive the TURN long-term key";
        key_valid_ = false;
        return false;
    }
    key_valid_ = true;
    return true;
}

bool TurnClient::exchange_once_locked(const std::vector<std::uint8_t>& request,
                                      const StunTransactionId& id,
                                      std::vector<std::uint8_t>& response,
                                      std::int32_t timeout_ms) {
    bool sent = false;
    {
        std::lock_guard state(state_mutex_);
        waiter_.transaction_id = id;
        waiter_.waiting = true;
        waiter_.ready = false;
        waiter_.response.clear();
        sent = socket_.is_open() && send_to_server(request.data(), request.size());
    }
    const bool arrived = sent && wait_for_response_locked(id, response, timeout_ms);
    std::lock_guard state(state_mutex_);
    waiter_.waiting = false;
    if (!arrived) {
        waiter_.ready = false;
        waiter_.response.clear();
    }
    return arrived;
}

// A retransmission must carry the same bytes and the same transaction id (RFC 5389 section
// 7.2.1): the server then answers from its cache instead of treating it as a new request, which
// for a retried Allocate whose first answer was lost would be 437 Allocation Mismatch. Only an
// authentication challenge starts a new transaction, with the new nonce.
bool TurnClient::transaction_locked(std::uint16_t method, const StunAttributeAppender& append,
                                    std::vector<std::uint8_t>& response, std::string& err,
                                    std::int32_t timeout_ms) {
    response.clear();
    {
        std::lock_guard state(state_mutex_);
        if (!socket_.is_open()) {
            err = "TURN: client socket is not open";
            return false;
        }
    }
    if (timeout_ms < 1) {
        timeout_ms = config_.timeout_ms;
    }
    const int attempts = std::max(config_.attempts, 1);
    Exchange exchange;
    exchange.method = method;
    std::vector<std::uint8_t> request;
    StunTransactionId id{};
    bool need_request = true;
    for (;;) {
        if (need_request) {
            exchange.authenticated = key_valid_ && !realm_.empty() && !nonce_.empty();
            exchange.sent_nonce = nonce_;
            if (!random_(id.data(), id.size())) {
                err = "TURN: RAND_bytes failed; refusing a predictable transaction id";
                return false;
            }
            if (!encode_stun_request(request, method, id, append, exchange.authenticated, username_,
                                     realm_, nonce_, key_)) {
                err = "TURN: request is too large to encode";
                return false;
            }
            need_request = false;
        }
        std::vector<std::uint8_t> bytes;
        if (!exchange_once_locked(request, id, bytes, timeout_ms)) {
            if (++exchange.attempts_used >= attempts) {
                err = "TURN: no response from " + server_text_ + " for method " +
                      format_stun_method(method) + " after " + std::to_string(attempts) +
                      " attempt(s)";
                return false;
            }
            spdlog::debug("TURN: retrying method {} (attempt {}/{})", format_stun_method(method),
                          exchange.attempts_used + 1, attempts);
            continue;
        }
        StunMessage message;
        if (!parse_stun_message(bytes.data(), bytes.size(), message)) {
            if (++exchange.attempts_used >= attempts) {
                err = "TURN: relay sent a malformed response";
                return false;
            }
            continue;
        }
        if (message.method() != method) {
            err = "TURN: response method does not match the request";
            return false;
        }
        const std::uint8_t message_class = message.message_class();
        if (message_class == kStunSuccess) {
            if (exchange.authenticated &&
                !check_message_integrity(bytes.data(), bytes.size(), message, key_)) {
                err =
                    "TURN: MESSAGE-INTEGRITY verification failed on the response (possible "
                    "spoofing or a wrong password)";
                return false;
            }
            response = std::move(bytes);
            return true;
        }
        if (message_class != kStunError) {
            err = "TURN: unexpected response class";
            return false;
        }
        if (handle_error_response(exchange, message, err) !=
            static_cast<int>(ErrorOutcome::retry_with_new_nonce)) {
            return false;
        }
        need_request = true;
    }
}

int TurnClient::handle_error_response(Exchange& exchange, const StunMessage& message,
                                      std::string& err) {
    const StunErrorCode error = read_error_code(message);
    const std::string method = format_stun_method(exchange.method);
    const std::string reason(stun_error_reason(error.code));
    if (error.code != 401 && error.code != 438) {
        err = "TURN: method " + method + " failed with error " + std::to_string(error.code) + " (" +
              reason + ")";
        if (!error.reason.empty()) {
            err += ": " + error.reason;
        }
        return static_cast<int>(ErrorOutcome::fail);
    }
    if (++exchange.challenges > kMaxChallenges) {
        err = "TURN: too many authentication challenges (last error " + std::to_string(error.code) +
              " " + reason + ")";
        return static_cast<int>(ErrorOutcome::fail);
    }
    const std::string realm = read_text_attribute(message, kAttrRealm);
    const std::string nonce = read_text_attribute(message, kAttrNonce);
    if (nonce.empty()) {
        err = "TURN: authentication challenge carried no NONCE";
        return static_cast<int>(ErrorOutcome::fail);
    }
    if (realm.empty() && realm_.empty()) {
        err = "TURN: authentication challenge carried no REALM/NONCE";
        return static_cast<int>(ErrorOutcome::fail);
    }
    if (error.code == 401 && exchange.authenticated && nonce == exchange.sent_nonce) {
        err =
            "TURN: authentication rejected (401 Unauthorized); check the TURN "
            "username/password/realm";
        return static_cast<int>(ErrorOutcome::fail);
    }
    if (!realm.empty()) {
        realm_ = realm;
    }
    nonce_ = nonce;
    if (!derive_long_term_key(err)) {
        return static_cast<int>(ErrorOutcome::fail);
    }
    spdlog::debug("TURN: {} challenge for method {}, retrying with the server nonce", error.code,
                  method);
    return static_cast<int>(ErrorOutcome::retry_with_new_nonce);
}

}  // namespace vx::network
