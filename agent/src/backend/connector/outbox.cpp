#include "backend/connector/outbox.hpp"

#include <spdlog/spdlog.h>

#include "backend/messages/messages.hpp"

namespace vx::network {

Outbox::Outbox(const SaasConfig& config, const ConnectorSeams& seams)
    : config_(config), seams_(seams) {}

void Outbox::push_message(const nlohmann::json& message) {
    queue_->push(dump_message(message));
}

void Outbox::session_ready(const std::string& session_id, const std::string& public_ip,
                           std::uint16_t video_port, std::uint16_t audio_port,
                           std::uint16_t input_port) {
    queue_->push_session_ready(dump_message(
        build_session_ready(session_id, public_ip, video_port, audio_port, input_port)));
}

void Outbox::session_ended(const std::string& session_id, const std::string& reason,
                           std::uint32_t duration_sec) {
    queue_->clear_session_ready();
    std::string text = dump_message(build_session_ended(session_id, reason, duration_sec));
    queue_->store_terminal(session_id, text);
    queue_->push(std::move(text));
    if (auto upload = seams_.log_upload.get()) {
        upload->upload_session_log(session_id, reason);
    }
}

void Outbox::error(const std::string& code, const std::string& message,
                   const std::string& session_id) {
    std::string text = dump_message(build_error(code, message, session_id));
    if (!session_id.empty()) {
        queue_->store_terminal(session_id + "#err", text);
    }
    queue_->push(std::move(text));
}

void Outbox::ice_candidate(const std::string& session_id, const std::string& ip,
                           const std::string& kind, std::uint16_t port,
                           const std::optional<natwave::Profile>& profile) {
    auto message = build_ice_candidate(session_id, ip, kind, port, profile);
    if (!message) {
        return;
    }
    push_message(*message);
    spdlog::info("SaasConnector: published ICE candidate {}:{} ({} nat={})", ip, port, kind,
                 profile ? natwave::profile_kind_name(profile->kind) : "none");
}

namespace {

void log_register(const RegisterPayload& p) {
    spdlog::info("SaasConnector: sent register (gpu={} vram={}MB port_base={})", p.gpu_model,
                 p.gpu_vram_mb, p.port_base);
}

}  // namespace

std::string Outbox::register_text() {
    std::lock_guard lock(register_mutex_);
    return dump_message(build_register(register_));
}

void Outbox::set_register_public_ip(std::string public_ip) {
    std::lock_guard lock(register_mutex_);
    register_.public_ip = std::move(public_ip);
}

void Outbox::register_agent() {
    queue_->push(register_text());
    log_register(config_.register_payload);
}

void Outbox::heartbeat() {
    if (auto upload = seams_.log_upload.get()) {
        upload->report_agent_log();
    }
    spdlog::debug("SaasConnector: queueing heartbeat");
    push_message(build_heartbeat());
}

std::size_t Outbox::replay() {
    // "register" must be the connection's first message, even when another thread queues
    // something while the replay runs.
    const std::size_t stale = queue_->restart_with(register_text());
    if (stale > 0) {
        spdlog::warn("SaasConnector: discarding {} stale queued messages on reconnect", stale);
    }
    log_register(config_.register_payload);
    if (queue_->requeue_session_ready()) {
        spdlog::info("SaasConnector: re-sending cached session_ready after reconnect");
    }
    // The log parts go onto the upload's own paced queue, so they follow what comes next.
    if (auto upload = seams_.log_upload.get()) {
        upload->requeue_unconfirmed();
    }
    for (const std::string& key : queue_->requeue_terminal()) {
        spdlog::info("SaasConnector: re-sending cached terminal message after reconnect (key={})",
                     key);
    }
    return stale;
}

}  // namespace vx::network
