#pragma once

#include <memory>
#include <string>

#include "backend/diagnostics/part_pacing.hpp"

namespace vx::network {

// The log upload as the connector and the session driver reach it. The connector builds its
// Diagnostics and installs it as a shared_ptr (tests may install another); an empty one makes its
// uses no-ops.
class LogUpload {
  public:
    virtual ~LogUpload() = default;
    // A prepare_session with a non-empty id was accepted.
    virtual void note_session_start(const std::string& session_id) = 0;
    // The driver waits for an order again and no session runs; session_id is the newest order it
    // received, whatever became of it (run, dropped as stale, terminated before it started,
    // refused).
    virtual void note_back_to_waiting(const std::string& session_id) = 0;
    // The backend confirmed an upload ("diagnostic_log_stored").
    virtual void on_log_stored(const std::string& upload_id) = 0;
    // send_session_ended, or a failed session set-up: upload that session's log.
    virtual void upload_session_log(const std::string& session_id, const std::string& reason) = 0;
    // Start of every heartbeat: report the agent log between sessions when due.
    virtual void report_agent_log() = 0;
    // Reconnect replay, after "register" and the cached "session_ready": re-send the uploads
    // the backend has not confirmed.
    virtual void requeue_unconfirmed() = 0;
    // The connection loop, on the connection thread: the pace of the transport that just came
    // up, and on each pass, at most one waiting part into the outgoing queue when it allows.
    virtual void set_pacing(std::shared_ptr<PartPacing> pacing) = 0;
    virtual bool send_next_paced_part() = 0;
    // Parts wait for their pace: the connection loop comes round for them instead of sleeping
    // until its next timer.
    virtual bool parts_waiting() const { return false; }
};

}  // namespace vx::network
