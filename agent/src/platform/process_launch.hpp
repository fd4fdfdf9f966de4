#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vx::platform {

// One program to start. The child gets nothing of the agent but its environment: stdio on
// /dev/null (or a pipe on stdin carrying `stdin_text`, for a script), every other descriptor
// closed, a session of its own, an empty signal mask and default signal actions. So it holds
// none of the agent's sockets and a Ctrl+C in the agent's terminal does not reach it.
struct ProcessRequest {
    std::string path;                       // absolute path of the executable
    std::vector<std::string> args;          // the arguments after argv[0]
    std::optional<std::string> stdin_text;  // written to the child's stdin, which is then closed
};

// What to do with a child still running when the wait ends.
enum class OnTimeout : std::uint8_t {
    kill,           // kill its process group and reap it
    leave_running,  // leave it; it is reaped in the background when it ends
};

enum class ProcessState : std::uint8_t {
    not_started,  // `error` says why
    exited,       // `status` is the exit code
    signalled,    // `status` is the signal that ended it
    killed,       // it outlived the wait and was killed (OnTimeout::kill)
    running,      // it outlived the wait and runs on (OnTimeout::leave_running)
};

struct ProcessOutcome {
    ProcessState state = ProcessState::not_started;
    int error = 0;   // errno when not started
    int status = 0;  // exit code or signal number
    pid_t pid = 0;   // 0 when not started

    bool exited_ok() const { return state == ProcessState::exited && status == 0; }
    // "exit status 3", "ended by signal 15", "still running after the wait", or the start
    // failure's system text: for log lines.
    std::string describe() const;
};

// Starts `request` and waits at most `wait` for it to end (a zero wait only checks once), feeding
// `stdin_text` meanwhile. Never leaves a zombie: an ended child is reaped here, a killed one is
// reaped before returning, one left running is reaped by a background thread when it ends.
ProcessOutcome run_process(const ProcessRequest& request, std::chrono::milliseconds wait,
                           OnTimeout on_timeout);

// A program prepared in ordinary code so that it can be started where only async-signal-safe
// calls are allowed (a crash handler). The child is set up as `run_process` sets its children up,
// with stdin on /dev/null too, and nothing waits for it: it may outlive this process.
class PreparedStart {
  public:
    explicit PreparedStart(ProcessRequest request);  // `stdin_text` is not used
    PreparedStart(const PreparedStart&) = delete;
    PreparedStart& operator=(const PreparedStart&) = delete;

    // Async-signal-safe: starts the program and returns its process id, or -1 when no process
    // could be made. A program that cannot be executed ends at once with exit status 127.
    pid_t start() const noexcept;

  private:
    ProcessRequest request_;
    std::vector<char*> argv_;
};

// Async-signal-safe: waits at most `wait` for the child `pid` to end and reaps it when it does;
// `running` when it outlived the wait (it is not touched then).
ProcessOutcome wait_for_child(pid_t pid, std::chrono::milliseconds wait) noexcept;

// A child that may run on: a background thread reaps it once it ends, so that it leaves no
// zombie behind in a process that runs on.
void reap_when_ended(pid_t pid);

// The absolute path of `name` in one of PATH's folders, executable by us; empty when none.
std::string find_in_path(const std::string& name);

}  // namespace vx::platform
