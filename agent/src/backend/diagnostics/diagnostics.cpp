#include "backend/diagnostics/diagnostics.hpp"

#include <algorithm>

#include <spdlog/spdlog.h>

#include "backend/diagnostics/build_id.hpp"
#include "backend/diagnostics/log_text.hpp"
#include "util/outside_text.hpp"

namespace vx::network {

namespace {

ReportIdentity with_full_version(ReportIdentity identity) {
    if (identity.full_version.empty()) {
        identity.full_version = full_version_text(identity.agent_version);
    }
    return identity;
}

}  // namespace

Diagnostics::Diagnostics(ReportIdentity identity, DiagnosticsSeams seams)
    : identity_(with_full_version(std::move(identity))), seams_(std::move(seams)) {}

// ---- Session uploads (session driver's thread) ----

void Diagnostics::upload_session_log(const std::string& session_id, const std::string& reason) {
    if (session_id.empty()) {
        return;
    }
    try {
        upload_session(session_id, reason);
    } catch (const std::exception& e) {
        spdlog::warn("Diagnostics: session log upload failed for session {}: {}",
                     util::quote_outside_text(session_id), e.what());
    } catch (...) {
        spdlog::warn("Diagnostics: session log upload failed for session {} (unknown exception)",
                     util::quote_outside_text(session_id));
    }
}

void Diagnostics::upload_session(const std::string& session_id, const std::string& reason) {
    // Counts as uploaded from here on, whatever follows: one upload per session id.
    // The backend's id, as the report's text and the log show it.
    const std::string shown_id = util::quote_outside_text(session_id);
    if (!uploaded_sessions_.insert(session_id)) {
        spdlog::debug("Diagnostics: session {} already uploaded - not repeating", shown_id);
        return;
    }
    end_session(session_id);
    // The session's last lines (the launcher's goodbye, the end's reason) may still be on their
    // way to the store.
    if (seams_.wait_logged) {
        seams_.wait_logged();
    }
    const std::uint64_t from = take_session_start(session_id);
    const diag::LogSnapshot snapshot = seams_.store->snapshot_range(from, kSessionContextLines);
    raise_last_reported(snapshot.total);
    const std::string ended = "session " + shown_id + " ended: ";
    const LogReport report =
        assemble_report(snapshot, build_report_header(identity_, ended + reason),
                        ended + (reason.empty() ? "unknown" : reason));
    if (snapshot.lines.empty() || report.content.empty()) {
        spdlog::info("Diagnostics: no captured log lines for session {} - nothing uploaded",
                     shown_id);
        return;
    }
    queue_log_upload(session_id, "session", report);
}

// The first line of the session's window: its start mark (used up), else the store's last
// lines.
std::uint64_t Diagnostics::take_session_start(const std::string& session_id) {
    std::lock_guard lock(mutex_);
    const auto mark = start_marks_.find(session_id);
    if (mark != start_marks_.end()) {
        const std::uint64_t from = mark->second;
        start_marks_.erase(mark);
        std::erase(recent_sessions_, session_id);
        return from;
    }
    const std::uint64_t count = seams_.store->line_count();
    return count > kUnmarkedSessionLines ? count - kUnmarkedSessionLines : 0;
}

// ---- Agent reports (connection thread) ----

void Diagnostics::report_agent_log() {
    try {
        const std::int64_t now = seams_.now_us();
        if (!agent_report_done_) {
            first_agent_report(now);
        } else {
            later_agent_report(now);
        }
    } catch (const std::exception& e) {
        spdlog::warn("Diagnostics: agent log upload failed: {}", e.what());
    }
}

void Diagnostics::first_agent_report(std::int64_t now) {
    const std::int64_t up_since = seams_.link_up_since_us ? seams_.link_up_since_us() : 0;
    if (up_since == 0 || now - up_since < kFirstReportAfterUs) {
        return;
    }
    agent_report_done_ = true;
    const std::uint64_t mark = seams_.store->line_count();
    const diag::LogSnapshot snapshot = seams_.store->snapshot_range(0, 0);
    const LogReport report = assemble_report(
        snapshot, build_report_header(identity_, "agent started"),
        "agent " + identity_.agent_version + " started (" + identity_.gpu_model + ")");
    raise_last_reported(mark);
    last_agent_report_us_ = now;
    if (!snapshot.lines.empty()) {
        queue_log_upload("", "agent", report);
    }
}

void Diagnostics::later_agent_report(std::int64_t now) {
    if (session_active_.load() || now - last_agent_report_us_ < kReportSpacingUs) {
        return;
    }
    // Only the lines not yet found info-only are read again on each heartbeat.
    const std::uint64_t last = last_reported_line_.load();
    const std::uint64_t from = std::max(last, info_only_until_);
    diag::LogSnapshot snapshot = seams_.store->snapshot_range(from, 0);
    if (snapshot.lines.empty()) {
        return;
    }
    if (log_text::log_level_name(snapshot.lines) == "info") {
        info_only_until_ = snapshot.total;
        return;
    }
    if (from != last) {
        snapshot = seams_.store->snapshot_range(last, 0);
    }
    // Without head lines the report itself must say how many of its lines left the ring: the
    // store counts them only for a window that has none.
    const std::uint64_t first_kept = snapshot.total - snapshot.lines.size();
    snapshot.lost = first_kept > last ? first_kept - last : 0;
    snapshot.head_lines.clear();
    snapshot.omitted = 0;
    const LogReport report = assemble_report(
        snapshot, build_report_header(identity_, "agent log since the previous report"),
        "agent " + identity_.agent_version + " log (warnings between sessions)");
    raise_last_reported(snapshot.total);
    last_agent_report_us_ = now;
    queue_log_upload("", "agent", report);
}

void Diagnostics::raise_last_reported(std::uint64_t line) {
    std::uint64_t seen = last_reported_line_.load();
    while (seen < line && !last_reported_line_.compare_exchange_weak(seen, line)) {
    }
}

// ---- Queueing, pacing and confirmation ----

std::string Diagnostics::new_upload_id() {
    std::string id = make_upload_id(seams_.random);
    std::lock_guard lock(mutex_);
    // Two uploads under one id would mix their parts; a working generator never repeats.
    for (int attempt = 0; attempt < 4 && cache_.contains(id); ++attempt) {
        id = make_upload_id(seams_.random);
    }
    return id;
}

void Diagnostics::queue_log_upload(const std::string& session_id, const std::string& kind,
                                   const LogReport& report) {
    std::vector<std::string> parts = split_report(report.content);
    if (parts.empty()) {
        return;
    }
    cap_parts(parts);
    const std::string upload_id = new_upload_id();
    std::vector<std::string> messages = build_log_part_messages(
        {upload_id, kind, session_id, identity_.agent_version}, report, parts);
    std::uint64_t bytes = 0;
    for (const std::string& message : messages) {
        bytes += message.size();
    }
    std::vector<UploadCache::Dropped> dropped;
    {
        std::lock_guard lock(mutex_);
        dropped = cache_.make_room(bytes);
        cache_.add(upload_id, std::move(messages));
    }
    if (seams_.parts_ready) {
        seams_.parts_ready();
    }
    for (const UploadCache::Dropped& d : dropped) {
        spdlog::warn("Diagnostics: dropping unconfirmed log upload {} ({} part(s)) - cache full",
                     d.upload_id, d.messages);
    }
    spdlog::info(
        "Diagnostics: queued {} log upload {} (session={}, level={}, lines={}, {} bytes in {} "
        "part(s){})",
        kind, upload_id, session_id.empty() ? "-" : util::quote_outside_text(session_id),
        report.level, report.lines, report.bytes, parts.size(),
        report.truncated ? ", middle trimmed" : "");
}

bool Diagnostics::send_next_paced_part() {
    std::shared_ptr<PartPacing> pacing;
    {
        std::lock_guard lock(mutex_);
        if (cache_.paced() == 0) {
            return false;
        }
        pacing = pacing_;
    }
    const std::int64_t now = seams_.now_us();
    if (pacing && !pacing->may_release(now)) {
        return false;
    }
    std::optional<UploadCache::Next> next;
    {
        std::lock_guard lock(mutex_);
        next = cache_.take_next();
    }
    if (!next) {
        return false;
    }
    if (pacing) {
        pacing->released(now);
    }
    if (seams_.queue_message && seams_.queue_message(next->text)) {
        return true;
    }
    std::lock_guard lock(mutex_);
    cache_.put_back(std::move(*next));
    return false;
}

void Diagnostics::set_pacing(std::shared_ptr<PartPacing> pacing) {
    std::lock_guard lock(mutex_);
    pacing_ = std::move(pacing);
}

void Diagnostics::note_session_start(const std::string& session_id) {
    if (session_id.empty()) {
        return;
    }
    std::lock_guard lock(mutex_);
    if (start_marks_.count(session_id) == 0) {
        start_marks_[session_id] = seams_.store->line_count();
        recent_sessions_.push_back(session_id);
        while (recent_sessions_.size() > kStartMarks) {
            start_marks_.erase(recent_sessions_.front());
            recent_sessions_.pop_front();
        }
    }
    active_session_id_ = session_id;
    session_active_.store(true);
}

void Diagnostics::note_back_to_waiting(const std::string& session_id) {
    end_session(session_id);
}

void Diagnostics::end_session(const std::string& session_id) {
    std::lock_guard lock(mutex_);
    if (!session_id.empty() && session_id == active_session_id_) {
        active_session_id_.clear();
        session_active_.store(false);
    }
}

void Diagnostics::on_log_stored(const std::string& upload_id) {
    bool known;
    {
        std::lock_guard lock(mutex_);
        known = cache_.confirm(upload_id);
    }
    if (known) {
        spdlog::info("Diagnostics: log upload {} stored by the backend", upload_id);
    }
}

void Diagnostics::requeue_unconfirmed() {
    std::size_t uploads;
    {
        std::lock_guard lock(mutex_);
        uploads = cache_.requeue();
    }
    if (uploads > 0 && seams_.parts_ready) {
        seams_.parts_ready();
    }
    if (uploads > 0) {
        spdlog::info("Diagnostics: re-sending {} unconfirmed log upload(s) after reconnect",
                     uploads);
    }
}

std::size_t Diagnostics::paced_parts() const {
    std::lock_guard lock(mutex_);
    return cache_.paced();
}

std::size_t Diagnostics::unconfirmed_uploads() const {
    std::lock_guard lock(mutex_);
    return cache_.uploads();
}

std::uint64_t Diagnostics::unconfirmed_bytes() const {
    std::lock_guard lock(mutex_);
    return cache_.bytes();
}

}  // namespace vx::network
