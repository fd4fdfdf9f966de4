#pragma once

#include <cstddef>
#include <filesystem>

namespace vx::platform {

// Called when the process crashes, inside the signal handler, before the crash line is written:
// a hook may only do async-signal-safe work (atomic exchanges, `write`). The status screen
// registers the one that leaves the alternate screen, so the crash line lands on the user's
// normal console; session isolation registers the one that brings the desktop back.
using CrashHook = void (*)();
enum class CrashHookSlot { screen = 0, isolation = 1 };  // called in this order
void set_crash_hook(CrashHookSlot slot, CrashHook hook);

// Installs the handler for SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT and SIGQUIT on an alternate
// stack of the calling thread (so a stack overflow there can still be reported). On a crash it
// calls the hooks, writes the crash line to standard error and to the crash log file, then lets the
// signal's default action end the process. Returns false when an action could not be installed.
bool install_crash_handler();

// Writes one line of a crash hook ("[<time>] [<level>] [<thread>] <text>") where the crash line
// goes: standard error and the crash log file. Async-signal-safe, for the hooks.
void write_crash_note(const char* level, const char* text, std::size_t size) noexcept;

// Opens the file the crash line is appended to (the agent's log). A crash opens it again by name,
// so a log that rotated meanwhile gets the line in its current file; the descriptor opened here
// serves when that fails. Call from ordinary code, not from a handler; a later call replaces the
// file. Returns false when it cannot be opened.
bool set_crash_log_file(const std::filesystem::path& path);
// The path last given to `set_crash_log_file`, empty before; ordinary code only.
std::filesystem::path crash_log_file();

}  // namespace vx::platform
