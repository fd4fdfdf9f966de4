#pragma once

// Runs a Python peer from agent/tests/peers for one test: started with --port-file and
// --control-port-file in a fresh temporary folder, stopped by its own pid.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace vx::test {

// A VXCP/1 server script that gives every connection the same steps, in a temporary file.
class ScriptFile {
  public:
    explicit ScriptFile(const std::string& steps) {
        char tmpl[] = "/tmp/vx-vxcp-script-XXXXXX";
        const int fd = ::mkstemp(tmpl);
        if (fd < 0) {
            throw std::runtime_error("cannot create a script file");
        }
        path_ = tmpl;
        const std::string text = R"({"connections": {"*": )" + steps + "}}";
        const bool written =
            ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        ::close(fd);
        if (!written) {
            throw std::runtime_error("cannot write " + path_);
        }
    }
    ~ScriptFile() {
        std::error_code ec;
        std::filesystem::remove(path_, ec);
    }
    ScriptFile(const ScriptFile&) = delete;
    ScriptFile& operator=(const ScriptFile&) = delete;

    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

class PeerProcess {
  public:
    PeerProcess(const std::string& script, std::vector<std::string> args) {
        char tmpl[] = "/tmp/vx-vxcp-peer-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        std::vector<std::string> argv{
            "/usr/bin/python3", std::string(VX_TEST_PEERS_DIR) + "/" + script,
            "--quiet",          "--port-file",
            dir_ + "/port",     "--control-port-file",
            dir_ + "/control"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> cargv;
        for (auto& a : argv) {
            cargv.push_back(a.data());
        }
        cargv.push_back(nullptr);
        if (::posix_spawn(&pid_, cargv[0], nullptr, nullptr, cargv.data(), environ) != 0) {
            throw std::runtime_error("cannot start " + script);
        }
        port_ = read_port(dir_ + "/port");
        control_port_ = read_port(dir_ + "/control");
    }

    ~PeerProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    std::uint16_t port() const { return port_; }
    const std::string& dir() const { return dir_; }

    // Sends one JSON line to the control port and returns the one-line answer.
    std::string control(const std::string& line) const {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(control_port_);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        std::string answer;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            const std::string out = line + "\n";
            if (::send(fd, out.data(), out.size(), 0) == static_cast<ssize_t>(out.size())) {
                char c = 0;
                while (::recv(fd, &c, 1, 0) == 1 && c != '\n') {
                    answer += c;
                }
            }
        }
        ::close(fd);
        return answer;
    }

  private:
    // The peer writes the file atomically once it listens; give it up to 10 s to start.
    static std::uint16_t read_port(const std::string& path) {
        for (int i = 0; i < 1000; ++i) {
            std::ifstream in(path);
            int port = 0;
            if (in >> port && port > 0) {
                return static_cast<std::uint16_t>(port);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        throw std::runtime_error("peer did not start: " + path);
    }

    std::string dir_;
    pid_t pid_ = -1;
    std::uint16_t port_ = 0;
    std::uint16_t control_port_ = 0;
};

}  // namespace vx::test
