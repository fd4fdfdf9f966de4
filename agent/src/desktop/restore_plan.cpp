#include "desktop/restore_plan.hpp"

#include <fmt/format.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>

#include "platform/crash_handler.hpp"
#include "platform/desktop/open_desktop.hpp"

namespace vx::desktop {
namespace {

std::string hex_ids(const std::vector<platform::WindowId>& ids) {
    std::string out;
    for (const platform::WindowId id : ids) {
        out += (out.empty() ? "0x" : ",0x") + fmt::format("{:x}", id);
    }
    return out;
}

std::optional<platform::WindowId> parse_id(std::string_view text) {
    if (!text.starts_with("0x") || text.size() == 2) {
        return std::nullopt;
    }
    platform::WindowId id = 0;
    const auto [end, error] = std::from_chars(text.data() + 2, text.data() + text.size(), id, 16);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return id;
}

std::optional<std::vector<platform::WindowId>> parse_ids(std::string_view text) {
    std::vector<platform::WindowId> ids;
    if (text.empty()) {
        return ids;
    }
    for (;;) {
        const std::size_t comma = text.find(',');
        const auto id = parse_id(text.substr(0, comma));
        if (!id) {
            return std::nullopt;
        }
        ids.push_back(*id);
        if (comma == std::string_view::npos) {
            return ids;
        }
        text.remove_prefix(comma + 1);
    }
}

// The value of `arg` when it is "<key>=<value>".
std::optional<std::string_view> value_of(std::string_view arg, std::string_view key) {
    if (!arg.starts_with(key) || arg.size() <= key.size() || arg[key.size()] != '=') {
        return std::nullopt;
    }
    return arg.substr(key.size() + 1);
}

std::string what_of(const RestorePlan& plan) {
    return fmt::format("{} windows{}", plan.windows.size(),
                       plan.shell.empty() ? "" : " and the desktop shell");
}

// The restore process writes to the agent's log the way the crash handler does: one whole line
// per write, appended, the file opened by its name each time (the agent may have rotated it
// while this process waited).
void note(const std::string& log_path, const char* level, const std::string& text) {
    if (!log_path.empty()) {
        platform::set_crash_log_file(log_path);
    }
    platform::write_crash_note(level, text.data(), text.size());
}

// Composed before the wait, written by the alarm that ends it.
char g_wait_over_note[512];
std::size_t g_wait_over_size = 0;

void on_wait_over(int) {
    platform::write_crash_note("warning", g_wait_over_note, g_wait_over_size);
    ::_exit(1);
}

}  // namespace

void restore_windows(platform::DesktopConnection& desktop,
                     const std::vector<platform::WindowId>& windows) {
    for (const platform::WindowId window : windows) {
        const platform::WindowFacts facts = desktop.describe(window);
        if (facts.exists && facts.minimized) {
            desktop.restore(window);
        }
    }
}

void show_windows(platform::DesktopConnection& desktop,
                  const std::vector<platform::WindowId>& windows) {
    for (const platform::WindowId window : windows) {
        desktop.set_shown(window, true);
    }
}

void return_focus(platform::DesktopConnection& desktop, platform::WindowId focus) {
    if (focus != 0 && desktop.describe(focus).exists) {
        desktop.restore(focus);
    }
}

std::vector<std::string> restore_process_arguments(const RestorePlan& plan,
                                                   const std::string& log_path) {
    return {std::string(kRestoreProcessOption), "log=" + log_path, "shell=" + hex_ids(plan.shell),
            "windows=" + hex_ids(plan.windows), fmt::format("focus=0x{:x}", plan.focus)};
}

std::optional<RestoreOrder> parse_restore_process_arguments(const std::vector<std::string>& args) {
    if (args.size() != 5 || args[0] != kRestoreProcessOption) {
        return std::nullopt;
    }
    const auto log = value_of(args[1], "log");
    const auto shell = value_of(args[2], "shell");
    const auto windows = value_of(args[3], "windows");
    const auto focus = value_of(args[4], "focus");
    if (!log || !shell || !windows || !focus) {
        return std::nullopt;
    }
    RestoreOrder order;
    order.log_path = std::string(*log);
    const auto shell_ids = parse_ids(*shell);
    const auto window_ids = parse_ids(*windows);
    const auto focus_id = parse_id(*focus);
    if (!shell_ids || !window_ids || !focus_id) {
        return std::nullopt;
    }
    order.plan = {*shell_ids, *window_ids, *focus_id};
    return order;
}

int run_restore_process(const std::vector<std::string>& args) {
    const auto order = parse_restore_process_arguments(args);
    if (!order) {
        return 2;
    }
    const RestorePlan& plan = order->plan;
    const std::string what = what_of(plan);
    const auto wait_over = fmt::format_to_n(
        g_wait_over_note, sizeof g_wait_over_note,
        "SessionIsolation: restore process: the desktop did not answer within {} s - the {} stay "
        "as they are",
        kRestoreProcessWait.count(), what);
    g_wait_over_size = std::min(wait_over.size, sizeof g_wait_over_note);
    if (!order->log_path.empty()) {
        platform::set_crash_log_file(order->log_path);  // for the alarm's line
    }
    struct sigaction action {};
    action.sa_handler = on_wait_over;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGALRM, &action, nullptr);
    // Xlib has no time-outs: a desktop that does not answer holds the connection and every
    // request below for ever. The alarm bounds all of it.
    ::alarm(static_cast<unsigned>(kRestoreProcessWait.count()));

    std::string error;
    const auto desktop = platform::open_desktop_platform()->connect(error);
    if (!desktop) {
        ::alarm(0);  // the note and the exit below are not to be cut short
        note(order->log_path, "warning",
             fmt::format("SessionIsolation: restore process: no desktop ({}) - the {} stay as "
                         "they are",
                         error, what));
        return 1;
    }
    restore_windows(*desktop, plan.windows);
    show_windows(*desktop, plan.shell);
    return_focus(*desktop, plan.focus);
    desktop->refresh();
    ::alarm(0);
    note(
        order->log_path, "info",
        fmt::format("SessionIsolation: restore process: the desktop answered - restored {}", what));
    return 0;
}

}  // namespace vx::desktop
