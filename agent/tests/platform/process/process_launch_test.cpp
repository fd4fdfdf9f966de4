#include "platform/process_launch.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace vx::platform {
namespace {

using namespace std::chrono_literals;

constexpr auto kPatience = 10s;  // a safety net: every wait below ends on its own event

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

ProcessOutcome shell(const std::string& script, std::chrono::milliseconds wait = kPatience,
                     OnTimeout on_timeout = OnTimeout::kill,
                     std::optional<std::string> input = std::nullopt) {
    return run_process({"/bin/sh", {"-c", script}, std::move(input)}, wait, on_timeout);
}

bool process_gone(pid_t pid) {
    // A zombie still has its /proc entry; a reaped process has none.
    return !std::filesystem::exists("/proc/" + std::to_string(pid));
}

TEST(ProcessLaunch, ReportsHowTheChildEnded) {
    struct Case {
        const char* script;
        ProcessState state;
        int status;
        std::string text;
    };
    const Case cases[] = {
        {"exit 0", ProcessState::exited, 0, "exit status 0"},
        {"exit 3", ProcessState::exited, 3, "exit status 3"},
        {"kill -TERM $$", ProcessState::signalled, SIGTERM, "ended by signal 15"},
    };
    for (const Case& c : cases) {
        const ProcessOutcome out = shell(c.script);
        EXPECT_EQ(out.state, c.state) << c.script;
        EXPECT_EQ(out.status, c.status) << c.script;
        EXPECT_EQ(out.describe(), c.text) << c.script;
        EXPECT_TRUE(process_gone(out.pid)) << c.script;
    }
}

TEST(ProcessLaunch, WhatCannotStartSaysWhy) {
    const ProcessOutcome missing = run_process({"/nonexistent/steam", {}, {}}, 1s, OnTimeout::kill);
    EXPECT_EQ(missing.state, ProcessState::not_started);
    EXPECT_EQ(missing.error, ENOENT);
    EXPECT_EQ(missing.describe(), "No such file or directory");
    EXPECT_EQ(missing.pid, 0);
    // A relative path would depend on the agent's working folder.
    EXPECT_EQ(run_process({"sh", {"-c", "exit 0"}, {}}, 1s, OnTimeout::kill).error, EINVAL);
    test::TempDir dir;
    const auto not_executable = dir.write("steam.sh", "#!/bin/sh\n");
    EXPECT_EQ(run_process({not_executable.string(), {}, {}}, 1s, OnTimeout::kill).error, EACCES);
}

// The value of a "Name:\tvalue" line of /proc/PID/status.
std::string status_field(pid_t pid, const std::string& name) {
    std::istringstream lines(read_file("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with(name + ":\t")) {
            return line.substr(name.size() + 2);
        }
    }
    return {};
}

// Started either way, a child holds nothing of ours: no descriptor, no blocked or ignored
// signal, not our session.
TEST(ProcessLaunch, TheChildStartsCleanInASessionOfItsOwn) {
    const PreparedStart prepared({"/bin/sleep", {"30"}, {}});
    struct Way {
        const char* name;
        std::function<pid_t()> start;
    };
    const Way ways[] = {
        {"run_process",
         [] {
             const ProcessOutcome out =
                 run_process({"/bin/sleep", {"30"}, {}}, 0ms, OnTimeout::leave_running);
             EXPECT_EQ(out.state, ProcessState::running) << out.describe();
             return out.pid;  // reaped by the launcher's background wait
         }},
        {"PreparedStart",
         [&] {
             const pid_t pid = prepared.start();
             // Nobody waits for it: it is reaped here, once killed.
             std::thread([pid] { wait_for_child(pid, kPatience); }).detach();
             return pid;
         }},
    };
    for (const Way& way : ways) {
        SCOPED_TRACE(way.name);
        // Our side: a descriptor without close-on-exec, a blocked and an ignored signal.
        const int leaked = ::open("/dev/null", O_RDONLY);
        sigset_t usr1;
        sigemptyset(&usr1);
        sigaddset(&usr1, SIGUSR1);
        sigset_t old_mask;
        ::pthread_sigmask(SIG_BLOCK, &usr1, &old_mask);
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        struct sigaction old_action {};
        ::sigaction(SIGUSR2, &ignore, &old_action);

        const pid_t pid = way.start();

        ::sigaction(SIGUSR2, &old_action, nullptr);
        ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
        ::close(leaked);
        ASSERT_GT(pid, 0);
        const std::filesystem::path proc = "/proc/" + std::to_string(pid);
        // What the program inherited, seen once it sleeps: before, /proc shows the spawning copy
        // of this process, and then the program's own start-up opening and closing its files.
        const auto until = std::chrono::steady_clock::now() + 10s;
        while (read_file(proc / "wchan").find("nanosleep") == std::string::npos &&
               std::chrono::steady_clock::now() < until) {
            std::this_thread::yield();
        }
        std::vector<std::string> fds;
        for (const auto& entry : std::filesystem::directory_iterator(proc / "fd")) {
            fds.push_back(entry.path().filename().string() + " " +
                          std::filesystem::read_symlink(entry.path()).string());
        }
        std::sort(fds.begin(), fds.end());
        EXPECT_EQ(fds, (std::vector<std::string>{"0 /dev/null", "1 /dev/null", "2 /dev/null"}));
        std::istringstream stat(read_file(proc / "stat"));
        std::string field;
        for (int i = 0; i < 6; ++i) {
            stat >> field;  // pid, comm, state, ppid, pgrp, session
        }
        EXPECT_EQ(field, std::to_string(pid));
        EXPECT_EQ(status_field(pid, "SigBlk"), "0000000000000000");
        // glibc's spawn leaves its two reserved signals (32, 33) ignored; the child's own C
        // library takes them over. Every signal a program can use is at its default.
        const std::uint64_t ignored = std::stoull(status_field(pid, "SigIgn"), nullptr, 16);
        EXPECT_EQ(ignored & ~(std::uint64_t{3} << 31), 0u) << std::hex << ignored;
        ::kill(pid, SIGKILL);
    }
}

TEST(ProcessLaunch, APreparedStartIsWaitedForWithinItsBound) {
    struct Case {
        ProcessRequest request;
        std::string outcome;
    };
    const Case cases[] = {
        {{"/bin/sh", {"-c", "exit 3"}, {}}, "exit status 3"},
        {{"/nonexistent/program", {}, {}}, "exit status 127"},
    };
    for (const Case& c : cases) {
        const PreparedStart prepared(c.request);
        EXPECT_EQ(wait_for_child(prepared.start(), kPatience).describe(), c.outcome)
            << c.request.path;
    }
    const PreparedStart sleeper({"/bin/sleep", {"30"}, {}});
    const ProcessOutcome running = wait_for_child(sleeper.start(), 0ms);
    EXPECT_EQ(running.state, ProcessState::running);
    ::kill(running.pid, SIGKILL);
    EXPECT_EQ(wait_for_child(running.pid, kPatience).describe(), "ended by signal 9");
    // Already reaped: no child of ours.
    const PreparedStart quick({"/bin/true", {}, {}});
    const pid_t pid = quick.start();
    ASSERT_TRUE(wait_for_child(pid, kPatience).exited_ok());
    const ProcessOutcome again = wait_for_child(pid, 0ms);
    EXPECT_EQ(again.state, ProcessState::not_started);
    EXPECT_EQ(again.error, ECHILD);
}

TEST(ProcessLaunch, StdinCarriesTheScriptToTheEnd) {
    test::TempDir dir;
    const auto copy = dir.path() / "copy";
    std::string script;
    for (int i = 0; i < 40000; ++i) {
        script += "add rule inet velmora_agent input udp dport " + std::to_string(i) + " accept\n";
    }
    ASSERT_GT(script.size(), 1u << 20);  // far more than a pipe holds: fed while it reads
    const ProcessOutcome out = shell("cat > " + copy.string(), kPatience, OnTimeout::kill, script);
    ASSERT_TRUE(out.exited_ok()) << out.describe();
    EXPECT_EQ(read_file(copy), script);

    EXPECT_TRUE(
        shell("read line; test \"$line\" = one", kPatience, OnTimeout::kill, std::string("one\n"))
            .exited_ok());
    EXPECT_TRUE(
        shell("test \"$(cat)\" = ''", kPatience, OnTimeout::kill, std::string()).exited_ok());
}

TEST(ProcessLaunch, AChildThatStopsReadingEndsTheFeedingNotUs) {
    // The child leaves without reading a big stdin: our writes meet a closed pipe.
    const ProcessOutcome out =
        shell("exit 5", kPatience, OnTimeout::kill, std::string(4 << 20, 'x'));
    EXPECT_EQ(out.state, ProcessState::exited);
    EXPECT_EQ(out.status, 5);
}

TEST(ProcessLaunch, AChildThatOutlivesTheWaitIsKilledWithWhatItStarted) {
    test::TempDir dir;
    const auto grandchild = dir.path() / "grandchild";
    const ProcessOutcome out =
        shell("sleep 30 & echo $! > " + grandchild.string() + "; wait", 300ms);
    EXPECT_EQ(out.state, ProcessState::killed);
    EXPECT_TRUE(process_gone(out.pid));  // killed and reaped: no zombie
    // The grandchild went with the group: its pidfd (or its absence) says it has ended.
    const pid_t sleeper = std::stoi(read_file(grandchild));
    const int exit_fd = static_cast<int>(::syscall(SYS_pidfd_open, sleeper, 0));
    if (exit_fd >= 0) {
        pollfd ended{exit_fd, POLLIN, 0};
        EXPECT_EQ(::poll(&ended, 1, static_cast<int>(kPatience / 1ms)), 1);
        ::close(exit_fd);
    }
}

TEST(ProcessLaunch, AChildLeftRunningIsReapedWhenItEnds) {
    const ProcessOutcome out = shell("read line", 0ms, OnTimeout::leave_running, std::string());
    // stdin is closed at once: the child ends by itself right after the check.
    if (out.state == ProcessState::running) {
        const auto until = std::chrono::steady_clock::now() + kPatience;
        while (!process_gone(out.pid) && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(10ms);
        }
    }
    EXPECT_TRUE(process_gone(out.pid));
    int status = 0;
    EXPECT_EQ(::waitpid(out.pid, &status, WNOHANG), -1);  // someone else reaped it
}

TEST(ProcessLaunch, FindsProgramsOnlyInAbsolutePathFolders) {
    test::TempDir dir;
    const auto tool = dir.write("bin/xdg-open", "#!/bin/sh\n");
    ::chmod(tool.c_str(), 0755);
    dir.write("bin/plain", "not executable");
    dir.write("rel/xdg-open", "#!/bin/sh\n");
    ::chmod((dir.path() / "rel/xdg-open").c_str(), 0755);
    const test::ScopedEnv path("PATH", ("rel:" + (dir.path() / "bin").string()).c_str());
    EXPECT_EQ(find_in_path("xdg-open"), tool.string());
    EXPECT_EQ(find_in_path("plain"), "");
    EXPECT_EQ(find_in_path("missing"), "");
    EXPECT_EQ(find_in_path("bin/xdg-open"), "");
}

}  // namespace
}  // namespace vx::platform
