#pragma once

#include <chrono>
#include <string>

namespace vx::diag {

struct LoggingOptions {
    std::string directory;  // where "agent.log" goes; empty = the working directory
    bool console = false;   // plain-log mode: also write the log to the console in colour
    // Where "agent.log" goes when `directory` cannot hold it (made when missing); empty = nowhere.
    std::string fallback_directory;
    // Each line is written before the log call returns, on the caller's thread: for a run that
    // writes its own output between the log's lines on the same console (--check-direct).
    bool synchronous = false;
};

inline constexpr const char* kLoggerName = "agent";
// "%*" writes the line's text with its control characters defused (log_payload.hpp).
inline constexpr const char* kLogPattern = "[%Y-%m-%d %H:%M:%S.%e] [%^%l%$] [%t] %*";

// Sets up the "agent" logger as the default logger: asynchronous (unless asked to be synchronous),
// one worker, a queue of 8192 that overwrites its oldest message, the rotating file, the
// diagnostics store and, in plain-log mode, the console. Returns the log file's path (the fallback
// folder's when the first folder could not hold it, which the log then says once), or an empty text
// when no file could be opened (the other sinks still work). Calling it again replaces the previous
// set-up.
std::string init_logging(const LoggingOptions& options);

// The path of "agent.log" in `directory` (the working directory when empty).
std::string log_file_path(const std::string& directory);

// Waits, at most `limit`, until every line logged before the call has reached the sinks (the
// diagnostics store among them): lines are written on the logger's own thread, and an upload of
// a session's log right after its end must not miss the session's last lines.
void wait_logged(std::chrono::milliseconds limit);

// Writes out what is queued (waiting at most a few seconds), stops the periodic flush, and
// leaves a default logger without sinks, so a late log call is harmless. The worker thread
// stays for the rest of the process, idle.
void shutdown_logging();

}  // namespace vx::diag
