// The built agent run as a process: exit codes, early answers, the single-instance lock and the
// stop signals, observed through its exit status, its console output and its agent.log.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace vx {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kUnshare = "/usr/bin/unshare";
// As a console for `AgentSandbox::start`: standard output and error closed.
constexpr const char* kClosedConsole = "<closed>";

struct ProcessExit {
    bool exited = false;
    int code = -1;
    int signal = 0;
};

int count(const std::string& haystack, const std::string& needle) {
    int n = 0;
    for (auto at = haystack.find(needle); at != std::string::npos;
         at = haystack.find(needle, at + needle.size())) {
        ++n;
    }
    return n;
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A private folder for whole-agent runs: its own hard link (or copy) of the agent binary, so the
// agent.log the agent writes beside itself belongs to this test alone, and its own LOCALAPPDATA,
// so the single-instance lock is this test's too. Each agent runs in a network namespace of its
// own (unshare execs the agent, so the pid is the agent's).
class AgentSandbox {
  public:
    AgentSandbox() {
        char pattern[] = "entry-sandbox-XXXXXX";  // beside the build, for the hard link
        if (::mkdtemp(pattern) != nullptr) {
            folder_ = std::filesystem::absolute(pattern);
        }
        binary_ = folder_ / "velmora-agent";
        std::error_code ec;
        std::filesystem::create_hard_link(VX_AGENT_BINARY, binary_, ec);
        if (ec) {
            std::filesystem::copy_file(VX_AGENT_BINARY, binary_, ec);
        }
    }

    ~AgentSandbox() {
        for (const auto& [pid, run] : runs_) {
            if (::waitpid(pid, nullptr, WNOHANG) == 0) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
            }
        }
        std::error_code ec;
        std::filesystem::remove_all(folder_, ec);
    }

    static bool namespaces_available() {
        static const bool available = [] {
            return std::system("/usr/bin/unshare -rn /bin/true >/dev/null 2>&1") == 0;
        }();
        return available;
    }

    // Standard output goes to a file of the run's own, or to `stdout_path` when one is given.
    pid_t start(const std::vector<std::string>& args, const std::string& stdout_path = {}) {
        const int run = next_run_++;
        std::vector<std::string> argv_text{kUnshare, "-rn", binary_.string()};
        argv_text.insert(argv_text.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : argv_text) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        std::vector<std::string> env_text = environment();
        std::vector<char*> envp;
        for (auto& e : env_text) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        if (stdout_path == kClosedConsole) {
            posix_spawn_file_actions_addclose(&actions, 1);
            posix_spawn_file_actions_addclose(&actions, 2);
        } else {
            if (stdout_path.empty()) {
                posix_spawn_file_actions_addopen(&actions, 1, output(run, "out").c_str(),
                                                 O_WRONLY | O_CREAT | O_TRUNC, 0644);
            } else {
                posix_spawn_file_actions_addopen(&actions, 1, stdout_path.c_str(), O_WRONLY, 0);
            }
            posix_spawn_file_actions_addopen(&actions, 2, output(run, "err").c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0644);
        }
        // A test run under nohup must not hand its ignored hang-up to the agent, which keeps it
        // ignored then.
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t hangup;
        sigemptyset(&hangup);
        sigaddset(&hangup, SIGHUP);
        posix_spawnattr_setsigdefault(&attributes, &hangup);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
        pid_t pid = -1;
        const int rc =
            ::posix_spawn(&pid, kUnshare, &actions, &attributes, argv.data(), envp.data());
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            ADD_FAILURE() << "posix_spawn failed: " << rc;
            return -1;
        }
        runs_[pid] = run;
        return pid;
    }

    // Waits at most `limit` for the process to end; nothing when it did not.
    std::optional<ProcessExit> wait_exit(pid_t pid, std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            const pid_t done = ::waitpid(pid, &status, WNOHANG);
            if (done == pid) {
                ProcessExit e;
                e.exited = WIFEXITED(status);
                e.code = e.exited ? WEXITSTATUS(status) : -1;
                e.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
                return e;
            }
            if (done < 0) {
                return std::nullopt;
            }
            std::this_thread::sleep_for(10ms);
        }
        return std::nullopt;
    }

    ProcessExit run(const std::vector<std::string>& args, const std::string& stdout_path = {}) {
        const pid_t pid = start(args, stdout_path);
        last_pid_ = pid;
        const auto e = wait_exit(pid, 60s);
        if (!e) {
            ADD_FAILURE() << "the agent did not end within 60 s";
            return {};
        }
        return *e;
    }

    // Polls agent.log (beside the agent, unless `file` is given) until it holds `text` at least
    // `times` times; bounded.
    bool wait_for_log(const std::string& text, int times = 1, std::chrono::milliseconds limit = 60s,
                      const std::filesystem::path& file = {}) const {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            if (count(file.empty() ? log() : read_file(file), text) >= times) {
                return true;
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    std::string log() const { return read_file(folder_ / "agent.log"); }
    std::string console_of(pid_t pid) const {
        const int run = runs_.at(pid);
        return read_file(output(run, "out")) + read_file(output(run, "err"));
    }
    std::string stdout_of(pid_t pid) const { return read_file(output(runs_.at(pid), "out")); }
    std::string stderr_of(pid_t pid) const { return read_file(output(runs_.at(pid), "err")); }
    pid_t last_pid() const { return last_pid_; }
    const std::filesystem::path& folder() const { return folder_; }

  private:
    std::filesystem::path output(int run, const char* kind) const {
        return folder_ / ("run" + std::to_string(run) + "." + kind);
    }

    std::vector<std::string> environment() const {
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            if (entry.rfind("LOCALAPPDATA=", 0) != 0 && entry.rfind("VX_", 0) != 0) {
                env.push_back(entry);
            }
        }
        env.push_back("LOCALAPPDATA=" + (folder_ / "state").string());
        env.push_back("VX_LANG=en");
        return env;
    }

    std::filesystem::path folder_;
    std::filesystem::path binary_;
    std::map<pid_t, int> runs_;
    int next_run_ = 0;
    pid_t last_pid_ = -1;
};

class AgentProcess : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!AgentSandbox::namespaces_available()) {
            GTEST_SKIP() << "network namespaces (unshare -rn) are not available here";
        }
        ASSERT_TRUE(std::filesystem::exists(VX_AGENT_BINARY)) << VX_AGENT_BINARY;
    }

    // Starts the sandbox's `nth` agent and waits until it has read its configuration.
    pid_t start_ready(const std::vector<std::string>& args = {}, int nth = 1) {
        const pid_t pid = sandbox_.start(args);
        EXPECT_TRUE(sandbox_.wait_for_log("Config: ", nth)) << sandbox_.log();
        return pid;
    }

    ProcessExit stop_with(pid_t pid, int signal_number) {
        EXPECT_EQ(::kill(pid, signal_number), 0);
        const auto e = sandbox_.wait_exit(pid, 60s);
        EXPECT_TRUE(e.has_value()) << "the agent did not stop";
        return e.value_or(ProcessExit{});
    }

    AgentSandbox sandbox_;
};

TEST_F(AgentProcess, VersionPrintsTheVersionAndWritesNoLog) {
    for (const char* option : {"--version", "-v"}) {
        const ProcessExit e = sandbox_.run({option});
        EXPECT_TRUE(e.exited);
        EXPECT_EQ(e.code, 0);
        EXPECT_EQ(sandbox_.stdout_of(sandbox_.last_pid()), "0.4.448\n");
    }
    EXPECT_FALSE(std::filesystem::exists(sandbox_.folder() / "agent.log"));
    EXPECT_FALSE(std::filesystem::exists(sandbox_.folder() / "state" / "Velmora"));
}

TEST_F(AgentProcess, HelpPrintsTheUsageEvenBesideABadNumber) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--help"}, {"-h"}, {"--port-base", "x", "--help"}}) {
        const ProcessExit e = sandbox_.run(args);
        EXPECT_EQ(e.code, 0);
        const std::string out = sandbox_.stdout_of(sandbox_.last_pid());
        EXPECT_THAT(out, HasSubstr("--port-base"));
        EXPECT_THAT(out, HasSubstr("UDP P+4"));
    }
}

// Answers that could not be written are failures: `--version > /dev/full` must not say 0.
TEST_F(AgentProcess, VersionAndHelpThatCannotBeWrittenEndWithCodeOne) {
    for (const char* option : {"--version", "--help"}) {
        SCOPED_TRACE(option);
        const ProcessExit e = sandbox_.run({option}, "/dev/full");
        EXPECT_TRUE(e.exited);
        EXPECT_EQ(e.code, 1);
        EXPECT_THAT(sandbox_.stderr_of(sandbox_.last_pid()),
                    HasSubstr("cannot write to standard output"));
    }
}

// The options are read before anything is shown or started: a mistyped one gets its error and
// the hint, and nothing else (no screen, no stop text, no log).
TEST_F(AgentProcess, BadOptionPrintsOnlyItsErrorAndEndsWithCodeOne) {
    const struct {
        std::vector<std::string> args;
        const char* error;
    } cases[] = {
        {{"--port-base", "x"}, "--port-base: 'x' is not a whole number"},
        {{"--verbose", "--fps", "99999999999"},
         "--fps: 99999999999 is out of range (0 to 4294967295)"},
        {{"--frames", "60"}, "unknown option '--frames'"},
        // Outside text is defused: the terminal gets no escape sequence from an argument.
        {{"--port-base", "\x1b[2J1"}, "--port-base: '?[2J1' is not a whole number"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        const ProcessExit e = sandbox_.run(c.args);
        EXPECT_TRUE(e.exited);
        EXPECT_EQ(e.code, 1);
        EXPECT_EQ(sandbox_.stdout_of(sandbox_.last_pid()), "");
        EXPECT_EQ(sandbox_.stderr_of(sandbox_.last_pid()),
                  std::string("velmora-agent: ") + c.error +
                      "\nRun velmora-agent --help to see the options.\n");
    }
    EXPECT_FALSE(std::filesystem::exists(sandbox_.folder() / "agent.log"));
}

// agent.log that cannot be made beside the program (a folder already has its name) goes to the
// agent's state folder: the console says so once, and the screen's "Full log" row shows it.
TEST_F(AgentProcess, LogThatCannotBeBesideTheProgramGoesToTheStateFolder) {
    ASSERT_TRUE(std::filesystem::create_directory(sandbox_.folder() / "agent.log"));
    const std::string moved = (sandbox_.folder() / "state" / "Velmora" / "agent.log").string();
    const pid_t pid = sandbox_.start({});
    EXPECT_TRUE(sandbox_.wait_for_log("Config: ", 1, 60s, moved));
    EXPECT_EQ(stop_with(pid, SIGTERM).code, 0);
    const std::string out = sandbox_.stdout_of(pid);
    EXPECT_EQ(count(out, "agent.log cannot be created in "), 1) << out;
    EXPECT_THAT(out, HasSubstr("; the log is kept in " + moved + ".\n"));
    EXPECT_THAT(out, HasSubstr("Full log: " + moved + "\n"));
    EXPECT_THAT(read_file(moved), HasSubstr("could not be opened"));
}

// Started with standard output and error closed (some service starters do that), the agent must
// not give descriptors 1 and 2 to its own files: whatever goes to the console (the log's console
// copy, the screen, a library's complaint) would land in them.
TEST_F(AgentProcess, ClosedStandardOutputAndErrorStayOutOfTheLog) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--verbose"}, {}}) {
        SCOPED_TRACE(args.empty() ? "status screen" : "full log");
        AgentSandbox sandbox;
        const pid_t pid = sandbox.start(args, kClosedConsole);
        ASSERT_TRUE(sandbox.wait_for_log("Config: ")) << sandbox.log();
        ASSERT_EQ(::kill(pid, SIGTERM), 0);
        EXPECT_EQ(sandbox.wait_exit(pid, 60s).value_or(ProcessExit{}).code, 0);
        EXPECT_EQ(count(sandbox.log(), "Config: "), 1) << sandbox.log();
        EXPECT_EQ(count(sandbox.log(), "Ctrl+C stops the agent"), 0) << sandbox.log();
    }
}

// SIGHUP is the terminal closing: as clean a stop as SIGTERM.
TEST_F(AgentProcess, SigtermAndSighupStopCleanly) {
    int nth = 0;
    for (const auto& [signal_number, name] : {std::pair{SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}}) {
        SCOPED_TRACE(name);
        const pid_t pid = start_ready({}, ++nth);
        const ProcessExit e = stop_with(pid, signal_number);
        EXPECT_TRUE(e.exited);
        EXPECT_EQ(e.code, 0);
        EXPECT_THAT(sandbox_.log(), HasSubstr(std::string(name) + " received - stopping"));
        EXPECT_EQ(count(sandbox_.log(), "Agent stopped cleanly"), nth);
    }
}

TEST_F(AgentProcess, SigintStopsCleanlyInPlainLogMode) {
    const pid_t pid = start_ready({"--verbose", "--client-idle-timeout", "0"});
    const ProcessExit e = stop_with(pid, SIGINT);
    EXPECT_EQ(e.code, 0);
    EXPECT_THAT(sandbox_.log(), HasSubstr("Client idle timeout is 0"));
    const std::string console = sandbox_.console_of(pid);
    EXPECT_THAT(console, HasSubstr("Config: 1920x1080 @60 fps, 30000 kbps, codec=h264"));
    EXPECT_THAT(console, HasSubstr("Agent stopped cleanly"));
}

TEST_F(AgentProcess, SecondInstanceExitsTwoWhileVersionStillAnswers) {
    const pid_t first = start_ready({"--port-base", "50000"});

    const ProcessExit second = sandbox_.run({});
    EXPECT_TRUE(second.exited);
    EXPECT_EQ(second.code, 2);
    EXPECT_THAT(sandbox_.log(),
                HasSubstr("another VelmoraAgent instance is already running; refusing to start a "
                          "duplicate (same server token)"));
    EXPECT_THAT(sandbox_.console_of(sandbox_.last_pid()), HasSubstr("already running"));

    // Asking a running agent's version or usage is not a second agent.
    EXPECT_EQ(sandbox_.run({"--version"}).code, 0);
    EXPECT_EQ(sandbox_.run({"--help"}).code, 0);

    EXPECT_EQ(stop_with(first, SIGTERM).code, 0);
    // The lock went with the first agent: a new one starts.
    const pid_t third = start_ready({}, 2);
    EXPECT_EQ(stop_with(third, SIGTERM).code, 0);
}

}  // namespace
}  // namespace vx
