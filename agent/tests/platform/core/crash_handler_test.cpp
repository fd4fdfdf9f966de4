#include "platform/crash_handler.hpp"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "support/temp_dir.hpp"

namespace vx::platform {
namespace {

void leave_screen_hook() {
    const char text[] = "<left the screen>";
    [[maybe_unused]] auto n = ::write(STDERR_FILENO, text, sizeof text - 1);
}

void restore_desktop_hook() {
    const char text[] = "<restored the desktop>";
    [[maybe_unused]] auto n = ::write(STDERR_FILENO, text, sizeof text - 1);
}

// Runs in the death-test child: no core file, our handler, then the crash.
[[noreturn]] void crash_with(int signal_number, const std::filesystem::path& log) {
    rlimit no_core{0, 0};
    ::setrlimit(RLIMIT_CORE, &no_core);
    set_crash_hook(CrashHookSlot::isolation, restore_desktop_hook);
    set_crash_hook(CrashHookSlot::screen, leave_screen_hook);
    set_crash_log_file(log);
    if (!install_crash_handler()) {
        std::_Exit(3);
    }
    if (signal_number == SIGABRT) {
        std::abort();
    }
    ::raise(signal_number);
    std::_Exit(4);  // not reached: the default action ends the process
}

pthread_t g_second_thread;

// A screen hook during which a second thread faults, as when two threads trip over the same
// broken object.
void second_thread_crashes_hook() {
    ::pthread_kill(g_second_thread, SIGBUS);
    const timespec pause{0, 100'000'000};
    ::nanosleep(&pause, nullptr);
    const char text[] = "<hook done>";
    [[maybe_unused]] auto n = ::write(STDERR_FILENO, text, sizeof text - 1);
}

[[noreturn]] void crash_while_another_thread_crashes(const std::filesystem::path& log) {
    rlimit no_core{0, 0};
    ::setrlimit(RLIMIT_CORE, &no_core);
    std::thread second([] { std::this_thread::sleep_for(std::chrono::seconds(10)); });
    g_second_thread = second.native_handle();
    set_crash_hook(CrashHookSlot::screen, second_thread_crashes_hook);
    set_crash_log_file(log);
    if (!install_crash_handler()) {
        std::_Exit(3);
    }
    ::raise(SIGSEGV);
    std::_Exit(4);  // not reached: the default action ends the process
}

// The log rotates as the rotating file sink does it: the file is renamed and a new one takes its
// name. A crash after that belongs in the new file, which is the one anybody reads.
[[noreturn]] void crash_after_the_log_rotated(const std::filesystem::path& log) {
    rlimit no_core{0, 0};
    ::setrlimit(RLIMIT_CORE, &no_core);
    set_crash_log_file(log);
    if (!install_crash_handler()) {
        std::_Exit(3);
    }
    std::filesystem::rename(log, log.string() + ".1");
    std::ofstream{log};
    ::raise(SIGSEGV);
    std::_Exit(4);  // not reached: the default action ends the process
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class CrashHandler : public ::testing::Test {
  protected:
    void SetUp() override {
        // A forked child shares this fixture's temporary folder (a re-executed one would make its
        // own).
        GTEST_FLAG_SET(death_test_style, "fast");
        log_ = dir_.path() / "agent.log";
    }

    test::TempDir dir_{"vx-crash"};
    std::filesystem::path log_;
};

TEST_F(CrashHandler, SegfaultLeavesScreenThenReportsAndDiesOfTheSignal) {
    EXPECT_EXIT(crash_with(SIGSEGV, log_), ::testing::KilledBySignal(SIGSEGV),
                "<left the screen><restored the desktop>\\[.*\\] \\[critical\\] \\[[0-9]+\\] Fatal "
                "crash: Unhandled OS "
                "exception 0xB \\(SIGSEGV");
    EXPECT_NE(read_file(log_).find("Fatal crash: Unhandled OS exception 0xB (SIGSEGV"),
              std::string::npos);
}

// Ctrl+\ (SIGQUIT) is no fault, but it ends the process like one: the screen is left first.
TEST_F(CrashHandler, AbortAndQuitAreReportedOnceAfterTheHooks) {
    const struct {
        int signal_number;
        const char* report;
    } cases[] = {{SIGABRT, "0x6 \\(SIGABRT\\)"}, {SIGQUIT, "0x3 \\(SIGQUIT\\)"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.report);
        const std::filesystem::path log_path = dir_.path() / (std::string(c.report, 3) + ".log");
        EXPECT_EXIT(
            crash_with(c.signal_number, log_path), ::testing::KilledBySignal(c.signal_number),
            std::string("<left the screen><restored the desktop>.*Fatal crash: Unhandled OS "
                        "exception ") +
                c.report);
        const std::string log = read_file(log_path);
        const auto first = log.find("Fatal crash");
        ASSERT_NE(first, std::string::npos);
        EXPECT_EQ(log.find("Fatal crash", first + 1), std::string::npos);
    }
}

TEST_F(CrashHandler, LogFileThatCannotBeOpenedStillReportsOnStandardError) {
    EXPECT_FALSE(set_crash_log_file(dir_.path() / "missing" / "agent.log"));
    EXPECT_EXIT(crash_with(SIGFPE, dir_.path() / "missing" / "agent.log"),
                ::testing::KilledBySignal(SIGFPE), "Fatal crash: Unhandled OS exception 0x8");
}

TEST_F(CrashHandler, AfterTheLogRotatedTheReportGoesToTheCurrentLog) {
    EXPECT_EXIT(crash_after_the_log_rotated(log_), ::testing::KilledBySignal(SIGSEGV),
                "Fatal crash: Unhandled OS exception 0xB");
    EXPECT_NE(read_file(log_).find("Fatal crash"), std::string::npos);
    EXPECT_EQ(read_file(log_.string() + ".1").find("Fatal crash"), std::string::npos);
}

TEST_F(CrashHandler, ASecondCrashWaitsForTheFirstReport) {
    EXPECT_EXIT(crash_while_another_thread_crashes(log_), ::testing::KilledBySignal(SIGSEGV),
                "<hook done>\\[.*Fatal crash: Unhandled OS exception 0xB \\(SIGSEGV");
    const std::string log = read_file(log_);
    EXPECT_NE(log.find("(SIGSEGV"), std::string::npos);
    EXPECT_EQ(log.find("(SIGBUS"), std::string::npos) << "one report, of the first crash";
}

}  // namespace
}  // namespace vx::platform
