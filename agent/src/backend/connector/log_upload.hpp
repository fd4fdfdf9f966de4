#pragma once

#include <string>

namespace vx::network {

// The log upload's hooks into the connector's life. Installed on the connector as a shared_ptr;
// an empty one makes its uses no-ops.
class LogUpload {
  public:
    virtual ~LogUpload() = default;
    // A prepare_session with a non-empty id was accepted.
    virtual void note_session_start(const std::string& session_id) = 0;
    // The backend confirmed an upload ("diagnostic_log_stored").
    virtual void on_log_stored(const std::string& upload_id) = 0;
    // send_session_ended: upload that session's log.
    virtual void upload_session_log(const std::string& session_id, const std::string& reason) = 0;
    // Start of every heartbeat: report the agent log between sessions when due.
    virtual void report_agent_log() = 0;
    // Reconnect replay, after "register" and the cached "session_ready": re-send the uploads
    // the backend has not confirmed.
    virtual void requeue_unconfirmed() = 0;
};

}  // namespace vx::network
