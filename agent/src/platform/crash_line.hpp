#pragma once

#include <cstddef>
#include <cstdint>

namespace vx::platform {

// What the crash handler knows about a fatal signal.
struct CrashFacts {
    int signal_number = 0;
    int signal_code = 0;             // si_code: what kind of fault
    std::uintptr_t address = 0;      // faulting address (SIGSEGV, SIGBUS, SIGILL, SIGFPE)
    std::int64_t local_time_ms = 0;  // milliseconds since 1970, shifted to local time
    long thread_id = 0;
};

// Writes the crash report line, in the log's own line format and ending in '\n':
//   "[2026-12-07 08:43:40.123] [critical] [4242] Fatal crash: Unhandled OS exception 0xB
//    (SIGSEGV, address not mapped, at 0x10)"
// into `out` (cut to `capacity`), returning the length. Uses no allocation, no locale and no
// library formatting, so it may run inside a signal handler.
std::size_t compose_crash_line(const CrashFacts& facts, char* out, std::size_t capacity);

// A crash hook's own line in the same format, "[<time>] [<level>] [<thread>] <text>\n", from
// the facts' time and thread only; the same rules as above.
std::size_t compose_crash_note(const CrashFacts& facts, const char* level, const char* text,
                               std::size_t text_size, char* out, std::size_t capacity);

}  // namespace vx::platform
