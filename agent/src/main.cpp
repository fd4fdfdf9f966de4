// The program's entry: answers --version and --help, refuses a command line it cannot run with,
// chooses the console's use, installs the crash handler and the log, makes sure this is the only
// agent, and runs the session driver.

#include <spdlog/spdlog.h>

#include <cerrno>
#include <exception>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "config/command_line.hpp"
#include "config/console_mode.hpp"
#include "desktop/restore_plan.hpp"
#include "diag/logging.hpp"
#include "driver/session_driver.hpp"
#include "platform/computer_name.hpp"
#include "platform/console.hpp"
#include "platform/crash_handler.hpp"
#include "platform/paths.hpp"
#include "platform/single_instance.hpp"
#include "platform/stop_signals.hpp"
#include "status/status_board.hpp"
#include "ui/status_screen.hpp"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitDuplicate = 2;

// --version and --help: their text is all they do, so a text that could not be written (a full
// disk, a closed pipe) is a failure, not a success.
int answer(std::string_view text) {
    if (vx::platform::write_console(text)) {
        return 0;
    }
    const std::error_code error(errno, std::generic_category());
    vx::platform::write_error_console(
        "velmora-agent: cannot write to standard output: " + error.message() + "\n");
    return kExitFailed;
}

// Another agent of this user holds the lock: say so in the log and, when the console shows the
// status screen instead of the log, on the console too.
void report_duplicate(const vx::ConsoleChoice& console) {
    spdlog::error(
        "another VelmoraAgent instance is already running; refusing to start a duplicate (same "
        "server token)");
    if (console.status_screen) {
        vx::platform::write_console(
            vx::ui_language_is_russian()
                ? "Агент Velmora уже запущен на этом компьютере. Второй экземпляр не "
                  "запускается.\n"
                : "A Velmora agent is already running on this PC. This second copy "
                  "will not start.\n");
    }
}

// agent.log could not be made beside the program: said once on the console, before the screen
// starts (in full-log mode the log's own warning is on the console already). The status screen's
// "Full log" row then shows the path in use.
void report_log_elsewhere(const std::string& wanted_folder, const std::string& log_path) {
    const bool russian = vx::ui_language_is_russian();
    std::string text =
        (russian ? "Не удалось создать agent.log в " : "agent.log cannot be created in ") +
        wanted_folder;
    if (log_path.empty()) {
        text +=
            russian ? "; лог ведётся только в памяти.\n" : "; the log is kept in memory only.\n";
    } else {
        text += (russian ? "; лог ведётся в " : "; the log is kept in ") + log_path + ".\n";
    }
    vx::platform::write_console(text);
}

// Runs the driver, keeping the reason of a failed run in `failure` for the console; every
// exception that leaves it ends the agent through the fatal path, its text kept there too.
int run_driver(const std::vector<std::string>& args, std::string& failure) {
    try {
        vx::SessionDriver driver(args);
        const int exit_code = driver.run();
        failure = driver.failure();
        return exit_code;
    } catch (const std::exception& e) {
        failure = e.what();
    } catch (...) {
        failure = "unknown exception";
    }
    spdlog::critical("Fatal crash: unhandled std::exception: {}", failure);
    vx::status_board().add_event(vx::StatusEventKind::failed);
    return kExitFailed;
}

int run_agent(const std::vector<std::string>& args, const vx::ConsoleChoice& console,
              const std::string& log_path) {
    const auto lock =
        vx::platform::SingleInstanceLock::try_acquire(vx::platform::agent_state_folder());
    if (lock.state() == vx::platform::InstanceLockState::held_elsewhere) {
        report_duplicate(console);
        return kExitDuplicate;
    }
    if (lock.state() == vx::platform::InstanceLockState::unavailable) {
        spdlog::warn("single-instance mutex unavailable (error {}) - continuing", lock.error());
    }
    // The screen leaves the terminal as it found it, also when an exception leaves the driver.
    vx::ui::StatusScreen screen;
    vx::ui::StatusScreenGuard screen_guard(screen);
    if (console.status_screen) {
        vx::status_board().set_identity(std::string(vx::kAgentVersion),
                                        vx::platform::computer_name(), log_path);
        screen.start(vx::ui_language_is_russian(), vx::status_board());
    }
    std::string failure;
    const int exit_code = run_driver(args, failure);
    screen.stop();
    // Only now: while the screen was up, stderr went to the log, and the user would never see why.
    if (!failure.empty() && console.status_screen) {
        vx::platform::write_error_console("velmora-agent: " + failure + "\n");
    }
    return exit_code;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    // Started by an agent whose desktop did not answer, to finish its restore: none of the
    // agent's start-up, not even its signal set-up.
    if (!args.empty() && args.front() == vx::desktop::kRestoreProcessOption) {
        return vx::desktop::run_restore_process(args);
    }
    // Before any thread exists, so every later thread inherits the blocked stop signals.
    const bool signals_ready = vx::platform::prepare_process_signals();

    // Answered before anything else: no log, no lock, no screen.
    switch (vx::find_early_action(args)) {
        case vx::EarlyAction::version:
            return answer(std::string(vx::kAgentVersion) + "\n");
        case vx::EarlyAction::help:
            return answer(vx::usage_text());
        case vx::EarlyAction::none:
            break;
    }
    // Only now: an early answer to a closed standard output is a failure, not a success.
    vx::platform::open_missing_standard_descriptors();
    // Read before anything is shown or started: a mistyped option gets its error and the hint,
    // not a flash of the status screen, its stop text and a log.
    const vx::CommandLineResult parsed = vx::parse_command_line(args);
    if (!parsed.ok()) {
        vx::platform::write_error_console(vx::command_line_error_text(parsed.error));
        return kExitFailed;
    }

    const vx::ConsoleChoice console =
        vx::console_log_requested(argc, argv, {"--help", "-h", "--check-direct"});
    vx::platform::install_crash_handler();
    const std::string beside_program = vx::platform::executable_folder().string();
    // The --check-direct report is written between the router mapper's log lines, in the order
    // of events only when each line is out before the next step.
    const std::string log_path = vx::diag::init_logging(
        {beside_program, console.full_log, vx::platform::agent_state_folder().string(),
         parsed.config.check_direct});
    if (log_path != vx::diag::log_file_path(beside_program) && console.status_screen) {
        report_log_elsewhere(beside_program, log_path);
    }
    if (!log_path.empty()) {
        vx::platform::set_crash_log_file(log_path);
    }
    if (!signals_ready) {
        spdlog::warn(
            "Stop signals could not be routed to their own thread - Ctrl+C may end the "
            "agent without a clean stop");
    }

    const int exit_code = run_agent(args, console, log_path);
    vx::diag::shutdown_logging();
    return exit_code;
}
