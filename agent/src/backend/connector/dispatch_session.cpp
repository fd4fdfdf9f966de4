#include <spdlog/spdlog.h>

#include <algorithm>

#include "backend/connector/dispatcher.hpp"
#include "backend/messages/messages.hpp"

namespace vx::network {

using nlohmann::json;

bool Dispatcher::was_handled(const std::string& session_id) const {
    return std::find(handled_session_ids_.begin(), handled_session_ids_.end(), session_id) !=
           handled_session_ids_.end();
}

void Dispatcher::remember_handled(const std::string& session_id) {
    handled_session_ids_.push_back(session_id);
    while (handled_session_ids_.size() > kHandledSessionIds) {
        handled_session_ids_.pop_front();
    }
}

// A new session starts from a closed control bridge: a relayed control connection of an
// earlier session ends here.
void Dispatcher::begin_session(const std::string& session_id) {
    {
        std::lock_guard lock(session_mutex_);
        current_session_id_ = session_id;
    }
    if (!session_id.empty()) {
        if (auto upload = seams_.log_upload.get()) {
            upload->note_session_start(session_id);
        }
    }
    if (auto bridge = seams_.bridge.get()) {
        bridge->stop();
    }
    last_control_data_us_.store(0);
    bridge_queue_->reset_drops();
}

void Dispatcher::on_prepare_session(const json& message, const std::string& raw) {
    if (!on_prepare_session_) {
        return;
    }
    const std::string session_id = read_string(message, "session_id", "");
    if (!session_id.empty()) {
        if (was_handled(session_id)) {
            spdlog::info(
                "SaasConnector: prepare_session {} ignored - this session was already handled or "
                "terminated (a copy re-sent after a reconnect, or one that arrived late)",
                log_field(session_id));
            return;
        }
        remember_handled(session_id);
    }
    // The whole order is read before anything changes: a malformed one must not end the
    // running session's bridge or replace the current session id.
    PrepareSessionRead order;
    try {
        order = read_prepare_session(message);
    } catch (const std::exception& e) {
        spdlog::error("SaasConnector: error processing prepare_session: {} raw={}", e.what(),
                      log_excerpt(raw, kLongExcerpt));
        return;
    }
    begin_session(session_id);
    for (const std::string& note : order.notes) {
        spdlog::warn("{}", note);
    }
    const PrepareSessionParams& p = order.params;
    spdlog::info(
        "SaasConnector: prepare_session id={} codec={} res={} fps={} bitrate={}kbps "
        "hide_desktop={} launch_steam={} steam_app_id={}",
        log_field(p.session_id), log_field(p.codec), log_field(p.resolution), p.max_fps,
        p.bitrate_kbps, p.hide_desktop, p.launch_steam, log_field_or_none(p.steam_app_id));
    try {
        on_prepare_session_(p);
    } catch (const std::exception& e) {
        // The driver's waiting loop, which knows whether a session runs, ends the session mark
        // the order set: another session may be running now.
        spdlog::error("SaasConnector: error processing prepare_session: {} raw={}", e.what(),
                      log_excerpt(raw, kLongExcerpt));
    }
}

void Dispatcher::on_terminate_session(const json& message) {
    const std::string session_id = read_string(message, "session_id", "");
    if (!session_id.empty() && !was_handled(session_id)) {
        remember_handled(session_id);
    }
    if (!on_session_terminated_) {
        return;
    }
    // The reason only goes into the driver's log line: one of another type must not cost the
    // order, or the session would go on streaming after the backend ended it.
    std::string reason = "saas_terminated";
    const auto it = message.find("reason");
    if (it != message.end() && it->is_string()) {
        reason = it->get<std::string>();
    } else if (it != message.end()) {
        spdlog::warn(
            "SaasConnector: terminate_session {} has a reason that is not a string ({}) — "
            "ending it as {}",
            log_field_or_none(session_id), it->type_name(), reason);
    }
    on_session_terminated_(session_id, reason);
}

}  // namespace vx::network
