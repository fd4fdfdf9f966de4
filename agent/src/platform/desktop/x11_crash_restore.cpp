// Bringing the minimised windows back while the process dies.

#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/desktop/x11_desktop.hpp"

namespace vx::platform::x11 {
namespace {

// The child runs Xlib on this stack: the crashing thread may be on its small alternate stack.
constexpr std::size_t kChildStackSize = 512 * 1024;
alignas(16) char g_child_stack[kChildStackSize];

// The child gets 2 s: enough for a local X server to restore a few hundred windows.
constexpr int kWaitSteps = 200;
constexpr timespec kWaitStep{0, 10'000'000};

struct CrashJob {
    const char* display_name;
    const WindowId* windows;
    std::size_t count;
};

int restore_in_child(void* argument) {
    const auto* job = static_cast<const CrashJob*>(argument);
    std::string error;
    if (auto display = XDisplay::open(job->display_name, error)) {
        ErrorTrap trap(*display);
        const bool wm_activates = wm_takes_activation(*display);
        for (std::size_t i = 0; i < job->count; ++i) {
            const auto window = static_cast<Window>(job->windows[i]);
            if (is_minimized(*display, window)) {
                activate_window(*display, window, wm_activates);
            }
        }
        trap.synced_ok();
    }
    return 0;  // the end of the child: clone's caller side exits with this value
}

void reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

void restore_windows_after_crash(const char* display_name, const WindowId* windows,
                                 std::size_t count) noexcept {
    if (count == 0) {
        return;
    }
    CrashJob job{display_name, windows, count};
    // A copy of this process does the X work: a lock that another thread held when the crash
    // came (Xlib's, the allocator's) can only stop the copy, and the copy is killed when its time
    // is up. clone() without CLONE_VM runs no fork handlers and is safe in a signal handler.
    const pid_t pid =
        ::clone(restore_in_child, g_child_stack + sizeof g_child_stack, SIGCHLD, &job);
    if (pid < 0) {
        return;
    }
    for (int step = 0; step < kWaitSteps; ++step) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) {
            return;
        }
        timespec left = kWaitStep;
        ::nanosleep(&left, nullptr);
    }
    ::kill(pid, SIGKILL);
    reap(pid);
}

}  // namespace vx::platform::x11
