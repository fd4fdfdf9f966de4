#pragma once

#include <filesystem>

namespace vx::platform {

// Called first when the process crashes, inside the signal handler: it may only do
// async-signal-safe work (an atomic exchange and `write`). The status screen registers the hook
// that leaves the alternate screen, so the crash line lands on the user's normal console.
using CrashScreenHook = void (*)();
void set_crash_screen_hook(CrashScreenHook hook);

// Installs the handler for SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT on an alternate stack of
// the calling thread (so a stack overflow there can still be reported). On a crash it calls the
// screen hook, writes the crash line to standard error and to the crash log file, then lets the
// signal's default action end the process. Returns false when an action could not be installed.
bool install_crash_handler();

// Opens the file the crash line is appended to (the agent's log). Call from ordinary code, not
// from a handler; a later call replaces the file. Returns false when it cannot be opened.
bool set_crash_log_file(const std::filesystem::path& path);

}  // namespace vx::platform
