#pragma once

// One Python peer from agent/tests/peers run as a child process for one test, with a temporary
// folder of its own for port files and records. Stopped by its own pid (SIGTERM, then reaped).
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "support/temp_dir.hpp"

extern char** environ;

namespace vx::test {

class PythonPeer {
  public:
    explicit PythonPeer(const std::string& dir_prefix) : dir_(dir_prefix), dir_text_(dir_.path()) {}
    ~PythonPeer() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }
    PythonPeer(const PythonPeer&) = delete;
    PythonPeer& operator=(const PythonPeer&) = delete;

    const std::string& dir() const { return dir_text_; }

    // Runs /usr/bin/python3 <peers>/<script> <args...>; throws when it cannot be started.
    void start(const std::string& script, std::vector<std::string> args) {
        std::vector<std::string> argv{"/usr/bin/python3",
                                      std::string(VX_TEST_PEERS_DIR) + "/" + script};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> cargv;
        for (auto& a : argv) {
            cargv.push_back(a.data());
        }
        cargv.push_back(nullptr);
        if (::posix_spawn(&pid_, cargv[0], nullptr, nullptr, cargv.data(), environ) != 0) {
            pid_ = -1;
            throw std::runtime_error("cannot start " + script);
        }
    }

    // True once the peer has ended by itself (it is reaped then).
    bool exited() {
        int status = 0;
        if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return true;
        }
        return pid_ <= 0;
    }

  private:
    TempDir dir_;
    std::string dir_text_;
    pid_t pid_ = -1;
};

}  // namespace vx::test
