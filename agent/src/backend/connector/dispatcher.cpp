#include <spdlog/spdlog.h>

#include "backend/connector/dispatcher.hpp"
#include "backend/messages/messages.hpp"
#include "util/session_ports.hpp"

namespace vx::network {

using nlohmann::json;

namespace {

// Our messages nest a few levels at most. Serialising and comparing JSON recurse, so a
// pathologically deep document (a "turn" block of a million brackets) would overflow the stack.
constexpr int kMaxNesting = 64;

bool nests_deeper_than(const std::string& text, int limit) {
    int depth = 0;
    bool in_string = false;
    bool escaped = false;
    for (const char ch : text) {
        if (in_string) {
            if (escaped) {
                escaped = false;
            } else if (ch == '\\') {
                escaped = true;
            } else if (ch == '"') {
                in_string = false;
            }
        } else if (ch == '"') {
            in_string = true;
        } else if (ch == '[' || ch == '{') {
            if (++depth > limit) {
                return true;
            }
        } else if (ch == ']' || ch == '}') {
            --depth;
        }
    }
    return false;
}

}  // namespace

Dispatcher::Dispatcher(const SaasConfig& config, const ConnectorClocks& clocks,
                       const ConnectorSeams& seams, RelayBook& relays, RelayProbe& probe)
    : config_(config), clocks_(clocks), seams_(seams), relays_(relays), probe_(probe) {}

void Dispatcher::set_on_prepare_session(PrepareSessionHandler handler) {
    on_prepare_session_ = std::move(handler);
}

void Dispatcher::set_on_session_terminated(SessionTerminatedHandler handler) {
    on_session_terminated_ = std::move(handler);
}

void Dispatcher::set_on_client_candidate(ClientCandidateHandler handler) {
    on_client_candidate_ = std::move(handler);
}

void Dispatcher::set_on_observed_ip(ObservedIpHandler handler) {
    on_observed_ip_ = std::move(handler);
}

std::string Dispatcher::current_session_id() const {
    std::lock_guard lock(session_mutex_);
    return current_session_id_;
}

std::optional<std::uint16_t> Dispatcher::control_port() const {
    const std::uint32_t port = util::session_ports(config_.register_payload.port_base).control;
    if (port > 65535u) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(port);
}

void Dispatcher::handle_message(const std::string& text) {
    messages_received_.fetch_add(1);
    if (nests_deeper_than(text, kMaxNesting)) {
        spdlog::warn("SaasConnector: message nested deeper than {} levels — dropped: {}",
                     kMaxNesting, log_excerpt(text, kShortExcerpt));
        return;
    }
    json message = json::parse(text, nullptr, false);
    if (message.is_discarded()) {
        spdlog::warn("SaasConnector: invalid JSON: {}", log_excerpt(text, kShortExcerpt));
        return;
    }
    // A malformed message is the backend's fault, not the connection's: dropping it keeps the
    // link up, where ending the connection would only bring the same message back after the
    // reconnect, once a second, for as long as the backend re-sends it.
    if (!message.is_object()) {
        spdlog::warn("SaasConnector: message is not a JSON object — dropped: {}",
                     log_excerpt(text, kShortExcerpt));
        return;
    }
    std::string type;
    try {
        type = read_string(message, "type", "");
        dispatch(type, message, text);
    } catch (const MessageFormatError& e) {
        spdlog::warn("SaasConnector: malformed '{}' message dropped ({}): {}", log_field(type),
                     e.what(), log_excerpt(text, kLongExcerpt));
    } catch (const std::exception& e) {
        // A callback of the driver failed; the message is lost, the connection is not.
        spdlog::warn("SaasConnector: error handling a '{}' message: {}", log_field(type), e.what());
    } catch (...) {
        spdlog::warn("SaasConnector: error handling a '{}' message: unknown exception",
                     log_field(type));
    }
}

void Dispatcher::dispatch(const std::string& type, const json& message, const std::string& raw) {
    if (type == "ping") {
        on_ping(message);
    } else if (type == "control_open") {
        on_control_open();
    } else if (type == "control_close") {
        on_control_close();
    } else if (type == "control_data") {
        on_control_data(message);
    } else if (type == "prepare_session") {
        on_prepare_session(message, raw);
    } else if (type == "terminate_session") {
        on_terminate_session(message);
    } else if (type == "observed_ip") {
        on_observed_ip(message);
    } else if (type == "client_candidate") {
        on_client_candidate(message);
    } else if (type == "diagnostic_log_stored") {
        on_log_stored(message);
    } else if (type == "relay_list") {
        handle_relay_list(message);
    } else {
        spdlog::debug("SaasConnector: unhandled message type '{}'", log_field(type));
    }
}

void Dispatcher::on_log_stored(const json& message) {
    const std::string upload_id = read_string(message, "upload_id", "");
    if (auto upload = seams_.log_upload.get()) {
        upload->on_log_stored(upload_id);
    }
}

}  // namespace vx::network
