#include "platform/crash_handler.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <mutex>

#include "platform/console.hpp"
#include "platform/crash_line.hpp"

namespace vx::platform {
namespace {

// SIGQUIT (Ctrl+\) is no fault, but its default action dumps core with the terminal still in
// the screen's modes: it is reported like a crash, which gives the terminal back first.
constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGQUIT};

std::atomic<CrashHook> g_hooks[2] = {nullptr, nullptr};
std::atomic<int> g_log_fd{-1};
// The log's path, for the handler to open afresh: the rotating log renames its file and starts a
// new one under the old name, so the descriptor opened at start-up ends up in an old file (after
// a few rotations, a deleted one). That descriptor stays as the fallback for a crash with no
// descriptor to spare. A new path goes into the other buffer, never the one a crash may read.
char g_log_path_text[2][PATH_MAX];
std::atomic<int> g_log_path_slot{-1};
std::atomic<long> g_utc_offset_s{0};  // local time minus UTC, taken outside the handler
std::atomic<bool> g_crashing{false};
std::mutex g_log_path_mutex;
std::filesystem::path g_log_path;  // for the restore process, which writes to the log by name

alignas(16) char g_alt_stack[64 * 1024];

constexpr timespec kOtherReportWait{2, 0};

void refresh_utc_offset() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (::localtime_r(&now, &local) != nullptr) {
        g_utc_offset_s.store(local.tm_gmtoff);
    }
}

CrashFacts facts_of(int signal_number, const siginfo_t* info) {
    CrashFacts facts;
    facts.signal_number = signal_number;
    if (info != nullptr) {
        facts.signal_code = info->si_code;
        facts.address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    }
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    facts.local_time_ms = static_cast<std::int64_t>(now.tv_sec + g_utc_offset_s.load()) * 1000 +
                          now.tv_nsec / 1'000'000;
    facts.thread_id = static_cast<long>(::syscall(SYS_gettid));
    return facts;
}

void write_everywhere(const char* line, std::size_t size) {
    write_fd(STDERR_FILENO, line, size);
    const int slot = g_log_path_slot.load();
    const int fd =
        slot < 0 ? -1
                 : ::open(g_log_path_text[slot], O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        write_fd(g_log_fd.load(), line, size);
        return;
    }
    write_fd(fd, line, size);
    ::close(fd);
}

void report_crash(int signal_number, const siginfo_t* info) {
    for (auto& slot : g_hooks) {
        if (CrashHook hook = slot.exchange(nullptr)) {
            hook();
        }
    }
    char line[256];
    write_everywhere(line, compose_crash_line(facts_of(signal_number, info), line, sizeof line));
}

void on_fatal_signal(int signal_number, siginfo_t* info, void*) {
    if (!g_crashing.exchange(true)) {
        report_crash(signal_number, info);
    } else {
        // Another thread is reporting (and leaving the screen): a second fault must not end the
        // process under it. Its own end comes first; this wait only bounds a report that hangs.
        // A fault inside the report itself lands here too and waits out the bound.
        timespec left = kOtherReportWait;
        while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
        }
    }
    // Back to the default action: a fault repeats on return and ends the process with the
    // original signal; a raised signal is delivered again once this handler returns.
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
}

}  // namespace

void set_crash_hook(CrashHookSlot slot, CrashHook hook) {
    g_hooks[static_cast<int>(slot)].store(hook);
}

void write_crash_note(const char* level, const char* text, std::size_t size) noexcept {
    char line[512];
    write_everywhere(
        line, compose_crash_note(facts_of(0, nullptr), level, text, size, line, sizeof line));
}

bool install_crash_handler() {
    refresh_utc_offset();
    stack_t stack{};
    stack.ss_sp = g_alt_stack;
    stack.ss_size = sizeof g_alt_stack;
    bool ok = ::sigaltstack(&stack, nullptr) == 0;
    struct sigaction action {};
    action.sa_sigaction = on_fatal_signal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int signal_number : kFatalSignals) {
        ok = ::sigaction(signal_number, &action, nullptr) == 0 && ok;
    }
    return ok;
}

bool set_crash_log_file(const std::filesystem::path& path) {
    {
        std::lock_guard lock(g_log_path_mutex);
        g_log_path = path;
        const std::string& text = path.native();
        const int slot = g_log_path_slot.load() == 0 ? 1 : 0;
        if (text.size() < sizeof g_log_path_text[slot]) {
            std::memcpy(g_log_path_text[slot], text.c_str(), text.size() + 1);
            g_log_path_slot.store(slot);
        } else {
            g_log_path_slot.store(-1);  // too long to open by name: the descriptor alone
        }
    }
    refresh_utc_offset();
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    const int old = g_log_fd.exchange(fd);
    if (old >= 0) {
        ::close(old);
    }
    return fd >= 0;
}

std::filesystem::path crash_log_file() {
    std::lock_guard lock(g_log_path_mutex);
    return g_log_path;
}

}  // namespace vx::platform
