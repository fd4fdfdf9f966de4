#pragma once

// The log upload: windows of the diagnostics store go to the backend as "diagnostic_log_part"
// messages, and every upload is kept until the backend confirms it with "diagnostic_log_stored".
// Two kinds: a session upload, once per session id, at the session's end or failed set-up (its
// lines with 200 lines of context), and agent reports from the heartbeat (the whole store once the
// link has been up 5 s, later the lines since the previous report when they hold a warning or
// worse, between sessions and at most every 15 minutes).
//
// Threads: upload_session_log runs on the session driver's thread, the rest on the connection
// thread. One mutex guards the start marks, the unconfirmed uploads and the paced queue; the
// store's mutex may be taken inside it, and the outgoing queue is reached only after it was
// released.

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "backend/diagnostics/log_part_message.hpp"
#include "backend/diagnostics/log_report.hpp"
#include "backend/diagnostics/log_upload.hpp"
#include "backend/diagnostics/part_pacing.hpp"
#include "backend/diagnostics/upload_cache.hpp"
#include "diag/diagnostics_store.hpp"
#include "diag/logging.hpp"
#include "util/clock.hpp"
#include "util/seen_id_set.hpp"

namespace vx::network {

// What the log upload needs of the connector and the process.
struct DiagnosticsSeams {
    // Appends one serialised message to the connection's outgoing queue. False = refused: the
    // part stays first in the paced queue and goes at a later pacing tick.
    std::function<bool(const std::string& text)> queue_message;
    // Steady-clock time at which the current backend connection came up; 0 while it is down.
    std::function<std::int64_t()> link_up_since_us;
    // New parts wait for their pace: the connection loop, which may be asleep until its next
    // timer, is to come round for them.
    std::function<void()> parts_ready;
    util::NowFn now_us = util::steady_now_us;
    util::RandomFn random = util::sodium_random();
    diag::DiagnosticsStore* store = &diag::diagnostics_store();
    // Returns once the lines logged so far are in the store (bounded): the logger writes them on
    // its own thread.
    std::function<void()> wait_logged = [] { diag::wait_logged(std::chrono::seconds(1)); };
};

class Diagnostics final : public LogUpload {
  public:
    static constexpr std::size_t kStartMarks = 16;
    // A session without a start mark covers the store's last lines.
    static constexpr std::uint64_t kUnmarkedSessionLines = 3000;
    static constexpr std::uint64_t kSessionContextLines = 200;
    static constexpr std::int64_t kFirstReportAfterUs = 5'000'000;
    static constexpr std::int64_t kReportSpacingUs = 900'000'000;

    // An empty identity.full_version becomes the version with this build's identifier.
    Diagnostics(ReportIdentity identity, DiagnosticsSeams seams);

    // The session's log, once per session id; reason: the end reason, or the failed set-up
    // stage with ": " and its text.
    void upload_session_log(const std::string& session_id, const std::string& reason) override;
    // Start of every heartbeat: an agent report when one is due.
    void report_agent_log() override;
    // Hands at most one waiting part to the outgoing queue when the pacing allows it; true when
    // one was queued. Called by the connection loop on each pass.
    bool send_next_paced_part() override;
    bool parts_waiting() const override { return paced_parts() > 0; }
    // The pacing of the current transport (WebSocketPacing until another is set).
    void set_pacing(std::shared_ptr<PartPacing> pacing) override;

    // A prepare_session with a non-empty id was accepted: a session is active until its upload
    // starts or the driver waits again without one, whichever comes first.
    void note_session_start(const std::string& session_id) override;
    // The session driver waits for an order again and no session runs; session_id is the newest
    // order it received: a session that ends without an upload must not keep the agent reports
    // off for good. Nothing changes when a newer session was accepted since.
    void note_back_to_waiting(const std::string& session_id) override;
    // "diagnostic_log_stored": the backend keeps the upload.
    void on_log_stored(const std::string& upload_id) override;
    // A new connection is up: the unconfirmed uploads go again, whole, oldest first.
    void requeue_unconfirmed() override;

    bool session_active() const { return session_active_.load(); }
    std::uint64_t last_reported_line() const { return last_reported_line_.load(); }
    std::size_t paced_parts() const;
    std::size_t unconfirmed_uploads() const;
    std::uint64_t unconfirmed_bytes() const;

  private:
    void upload_session(const std::string& session_id, const std::string& reason);
    std::uint64_t take_session_start(const std::string& session_id);
    // The session is over: no longer active unless a newer one started since.
    void end_session(const std::string& session_id);
    void first_agent_report(std::int64_t now);
    void later_agent_report(std::int64_t now);
    void queue_log_upload(const std::string& session_id, const std::string& kind,
                          const LogReport& report);
    std::string new_upload_id();
    void raise_last_reported(std::uint64_t line);

    const ReportIdentity identity_;
    const DiagnosticsSeams seams_;
    util::SeenIdSet uploaded_sessions_;

    std::atomic<bool> session_active_{false};
    std::atomic<std::uint64_t> last_reported_line_{0};
    // Connection thread only (report_agent_log).
    bool agent_report_done_ = false;
    std::int64_t last_agent_report_us_ = 0;
    std::uint64_t info_only_until_ = 0;  // lines before it, since the last report, hold no warning

    mutable std::mutex mutex_;
    std::map<std::string, std::uint64_t> start_marks_;
    std::deque<std::string> recent_sessions_;  // start marks in arrival order
    std::string active_session_id_;            // the session whose start set session_active_
    UploadCache cache_;
    std::shared_ptr<PartPacing> pacing_ = std::make_shared<WebSocketPacing>();
};

}  // namespace vx::network
