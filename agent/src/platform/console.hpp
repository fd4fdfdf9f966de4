#pragma once

#include <cstddef>
#include <string_view>

// The console as the status screen uses it: standard output, its size, and the few process-wide
// settings the screen changes while it holds the terminal.
namespace vx::platform {

struct ConsoleSize {
    int columns = 80;
    int rows = 25;

    bool operator==(const ConsoleSize&) const = default;
};

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed (a starter may close them), so
// no file or socket opened later gets one of those numbers: what is meant for the console would
// go into it. Call in main before anything is opened.
void open_missing_standard_descriptors();

// Writes all bytes to `fd` in pieces of at most 1 MiB, retrying EINTR and waiting for room when
// the file is non-blocking; stops when a write fails or writes nothing (errno then tells why).
// True when every byte was written. Async-signal-safe.
bool write_fd(int fd, const char* data, std::size_t size);

// write_fd on standard output. Async-signal-safe (used by the crash handler's screen hook).
bool write_console(const char* data, std::size_t size);
inline bool write_console(std::string_view bytes) {
    return write_console(bytes.data(), bytes.size());
}

// write_fd on standard error.
bool write_error_console(std::string_view bytes);

bool stdout_is_terminal();

// A terminal that cannot take escape sequences: TERM unset, empty or "dumb".
bool terminal_is_dumb(const char* term);

// The window size of the terminal on standard output; 80 x 25 when the query fails or reports a
// size that is not positive.
ConsoleSize console_size();

// Ctrl+Z would stop the agent with the terminal left in the alternate screen: ignore it while
// the screen is up. restore_terminal_stop puts the previous action back.
void ignore_terminal_stop();
void restore_terminal_stop();

// Keys typed at the screen would echo into the frame, and Enter would scroll it: while the screen
// is up, echo and canonical input are off on the terminal of `fd` (signal keys stay on), and so is
// Ctrl+S, which would freeze the output and with it the screen's stop. Only the
// first call saves the terminal's modes; false when `fd` is not a terminal, or is the controlling
// terminal of another foreground job (changing it from the background would stop the agent).
// restore_terminal_input puts back exactly the saved modes and drops the keys typed meanwhile,
// which were meant for the screen and not for the shell that gets the terminal back. It is
// async-signal-safe (the crash path calls it) and does nothing when nothing is saved.
bool quiet_terminal_input(int fd);
void restore_terminal_input();
// quiet_terminal_input on the terminal of standard output, the one the screen draws on.
bool quiet_console_input();

// While the screen is up, writes to standard error (a library's warning, a sanitizer report)
// would land in the middle of the frame. When standard error is a terminal, point it at
// `path` (appending; /dev/null when empty or it cannot be opened) until restore_stderr.
// restore_stderr is async-signal-safe, so a crash report reaches the console again.
void divert_stderr(const char* path);
void restore_stderr();

}  // namespace vx::platform
