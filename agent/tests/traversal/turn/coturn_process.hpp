#pragma once

// Starts a coturn server for one test on ports nobody else holds, and stops it by its pid.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>

#include "traversal/stun/relay_rtt_probe.hpp"

extern char** environ;

namespace vx::test {

inline constexpr const char* kTurnServerBinary = "/usr/bin/turnserver";

inline bool coturn_available() {
    return ::access(kTurnServerBinary, X_OK) == 0;
}

// A UDP port on `address` that is free now, together with the next one (coturn also listens on
// port + 1 for RFC 5780 tests). Taken from 10000-19999, below the relay ranges and the kernel's
// ephemeral ports, so no socket bound to port 0 elsewhere can take it before coturn binds it.
inline std::uint16_t free_udp_port_pair(const char* address = "127.0.0.1") {
    static std::atomic<int> salt{0};
    asio::io_context io;
    const int start = (static_cast<int>(::getpid()) * 37 + salt.fetch_add(1) * 211) % 4999;
    for (int tries = 0; tries < 200; ++tries) {
        const auto port = static_cast<std::uint16_t>(10000 + ((start + tries * 13) % 4999) * 2);
        asio::ip::udp::socket a(io);
        asio::ip::udp::socket b(io);
        std::error_code ec;
        a.open(asio::ip::udp::v4(), ec);
        a.bind(asio::ip::udp::endpoint(asio::ip::make_address(address), port), ec);
        if (ec)
            continue;
        b.open(asio::ip::udp::v4(), ec);
        b.bind(asio::ip::udp::endpoint(asio::ip::make_address(address), port + 1), ec);
        if (!ec)
            return port;
    }
    return 0;
}

// A relay port range chosen from the pid so parallel tests rarely overlap; coturn skips busy
// ports inside the range by itself.
inline std::pair<int, int> relay_port_range(int salt) {
    const int base = 20000 + ((static_cast<int>(::getpid()) * 7 + salt * 101) % 300) * 64;
    return {base, base + 63};
}

class CoturnProcess {
  public:
    struct Options {
        std::string listen_ip = "127.0.0.1";
        std::uint16_t port = 0;  // 0: a free pair on listen_ip
        std::string user = "vxuser";
        std::string password = "vxpass";
        std::string realm = "vx.test";
        std::vector<std::string> extra;  // more options (REST secret, lifetimes, stale nonce)
        std::string netns;               // run inside this network namespace
        bool long_term = true;
    };

    explicit CoturnProcess(Options options) : options_(std::move(options)) {
        port_chosen_here_ = options_.port == 0;
        if (port_chosen_here_)
            options_.port = free_udp_port_pair(options_.listen_ip.c_str());
        make_dir();
        start();
    }
    ~CoturnProcess() { stop(); }
    CoturnProcess(const CoturnProcess&) = delete;
    CoturnProcess& operator=(const CoturnProcess&) = delete;

    std::uint16_t port() const { return options_.port; }
    pid_t pid() const { return pid_; }

    // Waits until the server answers a STUN Binding (bounded); call from a thread that is in the
    // server's network namespace.
    // A server on a port it chose itself that does not come up (the port was taken between the
    // check and coturn's bind) is started once more on another port.
    bool wait_ready(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (wait_ready_once(limit))
                return true;
            if (!port_chosen_here_)
                return false;
            stop();
            options_.port = free_udp_port_pair(options_.listen_ip.c_str());
            make_dir();
            start();
        }
        return false;
    }

    bool wait_ready_once(std::chrono::milliseconds limit) const {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            if (network::stun_binding_probe(options_.listen_ip, options_.port,
                                            std::chrono::milliseconds(100))) {
                return true;
            }
            int status = 0;
            if (pid_ <= 0 || ::waitpid(pid_, &status, WNOHANG) == pid_) {
                return false;
            }
        }
        return false;
    }

    std::string log() const {
        std::ifstream in(dir_ / "turn.log");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            for (int i = 0; i < 300; ++i) {
                if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                    pid_ = -1;
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            if (pid_ > 0) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                pid_ = -1;
            }
        }
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

  private:
    void make_dir() {
        dir_ = std::filesystem::temp_directory_path() /
               ("vx-coturn-" + std::to_string(::getpid()) + "-" + std::to_string(options_.port));
        std::filesystem::create_directories(dir_);
    }

    void start() {
        const auto [min_port, max_port] = relay_port_range(options_.port);
        std::vector<std::string> args;
        if (!options_.netns.empty()) {
            args = {"/usr/sbin/ip", "netns", "exec", options_.netns};
        }
        const std::vector<std::string> base = {
            kTurnServerBinary,
            "-n",
            "--listening-ip=" + options_.listen_ip,
            "--relay-ip=" + options_.listen_ip,
            "--listening-port=" + std::to_string(options_.port),
            "--alt-listening-port=" + std::to_string(options_.port + 1),
            "--realm=" + options_.realm,
            "--no-tls",
            "--no-dtls",
            "--no-cli",
            "--allow-loopback-peers",
            "--min-port=" + std::to_string(min_port),
            "--max-port=" + std::to_string(max_port),
            "--userdb=" + (dir_ / "turndb").string(),
            "-m",
            "1",
            "--log-file=stdout",
            "--simple-log",
            "--pidfile=" + (dir_ / "turn.pid").string()};
        args.insert(args.end(), base.begin(), base.end());
        if (options_.long_term) {
            args.push_back("--lt-cred-mech");
            args.push_back("--user=" + options_.user + ":" + options_.password);
        }
        args.insert(args.end(), options_.extra.begin(), options_.extra.end());

        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string log_path = (dir_ / "turn.log").string();
        posix_spawn_file_actions_addopen(&actions, 1, log_path.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }

    Options options_;
    bool port_chosen_here_ = false;
    std::filesystem::path dir_;
    pid_t pid_ = -1;
};

}  // namespace vx::test
