#pragma once

// Runs a Python peer from agent/tests/peers for one test, started with --port-file and
// --control-port-file in its own temporary folder.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/python_peer.hpp"

namespace vx::test {

// A VXCP/1 server script in a temporary file: the same steps for every connection, or (with
// per_connection) an object from connection number ("1", "2", ..., "*") to its steps.
class ScriptFile {
  public:
    enum class Scope : std::uint8_t { every_connection, per_connection };

    explicit ScriptFile(const std::string& steps, Scope scope = Scope::every_connection) {
        char tmpl[] = "/tmp/vx-vxcp-script-XXXXXX";
        const int fd = ::mkstemp(tmpl);
        if (fd < 0) {
            throw std::runtime_error("cannot create a script file");
        }
        path_ = tmpl;
        const std::string text = scope == Scope::every_connection
                                     ? R"({"connections": {"*": )" + steps + "}}"
                                     : R"({"connections": )" + steps + "}";
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
    PeerProcess(const std::string& script, std::vector<std::string> args) : peer_("vx-vxcp-peer") {
        std::vector<std::string> argv{"--quiet", "--port-file", dir() + "/port",
                                      "--control-port-file", dir() + "/control"};
        argv.insert(argv.end(), args.begin(), args.end());
        peer_.start(script, std::move(argv));
        port_ = read_port(dir() + "/port");
        control_port_ = read_port(dir() + "/control");
    }

    std::uint16_t port() const { return port_; }
    const std::string& dir() const { return peer_.dir(); }

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

    PythonPeer peer_;
    std::uint16_t port_ = 0;
    std::uint16_t control_port_ = 0;
};

}  // namespace vx::test
