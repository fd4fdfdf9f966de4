#include "platform/stop_signals.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace vx::platform {
namespace {

// Collects what the watcher's handler saw; waits are bounded.
struct Seen {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<int> signals;

    void add(int signal_number) {
        std::lock_guard lock(mutex);
        signals.push_back(signal_number);
        cv.notify_all();
    }
    bool wait_for_count(std::size_t n) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, std::chrono::seconds(10), [&] { return signals.size() >= n; });
    }
};

// Takes a still-pending stop signal off the process so it cannot leak into later tests.
void drain_pending(int signal_number) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal_number);
    const timespec zero{0, 0};
    while (::sigtimedwait(&set, nullptr, &zero) == signal_number) {
    }
}

TEST(StopSignals, StopSignalsReachTheHandlerOnItsThread) {
    ASSERT_TRUE(prepare_process_signals());
    Seen seen;
    StopSignalWatcher watcher([&](int s) { seen.add(s); });
    ASSERT_EQ(::kill(::getpid(), SIGTERM), 0);
    ASSERT_TRUE(seen.wait_for_count(1));
    ASSERT_EQ(::kill(::getpid(), SIGINT), 0);
    ASSERT_TRUE(seen.wait_for_count(2));
    ASSERT_EQ(::kill(::getpid(), SIGHUP), 0);  // the terminal closed
    ASSERT_TRUE(seen.wait_for_count(3));
    watcher.stop();
    watcher.stop();  // idempotent
    std::lock_guard lock(seen.mutex);
    EXPECT_EQ(seen.signals, (std::vector<int>{SIGTERM, SIGINT, SIGHUP}));
}

// Under nohup the hang-up is ignored when the agent starts: closing the terminal must not stop
// it (a blocked signal would be queued for the watcher even though its action is to ignore it).
TEST(StopSignals, AnIgnoredHangUpStaysIgnored) {
    sigset_t hangup;
    sigemptyset(&hangup);
    sigaddset(&hangup, SIGHUP);
    sigset_t old_mask;
    ASSERT_EQ(::pthread_sigmask(SIG_UNBLOCK, &hangup, &old_mask), 0);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction old_action {};
    ASSERT_EQ(::sigaction(SIGHUP, &ignore, &old_action), 0);
    ASSERT_TRUE(prepare_process_signals());
    Seen seen;
    {
        StopSignalWatcher watcher([&](int s) { seen.add(s); });
        ASSERT_EQ(::kill(::getpid(), SIGHUP), 0);
        // Queued before it, a hang-up would be taken first (the lower number goes first).
        ASSERT_EQ(::kill(::getpid(), SIGTERM), 0);
        ASSERT_TRUE(seen.wait_for_count(1));
    }
    sigset_t pending;
    ASSERT_EQ(::sigpending(&pending), 0);
    EXPECT_EQ(sigismember(&pending, SIGHUP), 0);
    ::sigaction(SIGHUP, &old_action, nullptr);
    ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    std::lock_guard lock(seen.mutex);
    EXPECT_EQ(seen.signals, std::vector<int>{SIGTERM});
}

TEST(StopSignals, AfterStopASignalStaysPendingInsteadOfKilling) {
    ASSERT_TRUE(prepare_process_signals());
    Seen seen;
    {
        StopSignalWatcher watcher([&](int s) { seen.add(s); });
    }
    ASSERT_EQ(::kill(::getpid(), SIGINT), 0);
    sigset_t pending;
    ASSERT_EQ(::sigpending(&pending), 0);
    EXPECT_EQ(sigismember(&pending, SIGINT), 1);
    drain_pending(SIGINT);
    std::lock_guard lock(seen.mutex);
    EXPECT_TRUE(seen.signals.empty());
}

TEST(StopSignals, ClosedPipeGivesAnErrorNotADeath) {
    ASSERT_TRUE(prepare_process_signals());
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    errno = 0;
    EXPECT_EQ(::write(fds[1], "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    ::close(fds[1]);
}

TEST(StopSignals, Names) {
    EXPECT_STREQ(signal_name(SIGINT), "SIGINT");
    EXPECT_STREQ(signal_name(SIGTERM), "SIGTERM");
    EXPECT_STREQ(signal_name(0), "signal");
}

}  // namespace
}  // namespace vx::platform
