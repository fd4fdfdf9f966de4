#pragma once

// Small peers on loopback for the router transports: sockets bound to 127.0.0.1, a poll thread
// that stops at once, and a scripted HTTP peer that answers each connection with given bytes.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "traversal/router/http/xml_text.hpp"
#include "traversal/router/natpmp_codec.hpp"
#include "traversal/router/router_scope.hpp"

namespace vx::network::test {

// A socket bound to an address (127.0.0.1 unless told) on a free port, or on the port given;
// listening when it is TCP.
class LoopbackSocket {
  public:
    explicit LoopbackSocket(int type, const char* address = "127.0.0.1", std::uint16_t port = 0)
        : fd_(::socket(AF_INET, type | SOCK_CLOEXEC, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        ::inet_pton(AF_INET, address, &a.sin_addr);
        const int on = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        socklen_t size = sizeof a;
        if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            (type != SOCK_STREAM || ::listen(fd_, 16) == 0) &&
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size) == 0)
            port_ = ntohs(a.sin_port);
    }
    ~LoopbackSocket() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    LoopbackSocket(const LoopbackSocket&) = delete;
    LoopbackSocket& operator=(const LoopbackSocket&) = delete;
    int fd() const { return fd_; }
    std::uint16_t port() const { return port_; }

  private:
    int fd_;
    std::uint16_t port_ = 0;
};

// Runs `serve(fd)` for every socket that becomes readable until the owner stops it; stopping
// wakes the thread through a pipe at once. A peer that acts at times of its own passes `tick`:
// it runs before every wait and returns how long the wait may last (-1: until a socket is ready).
class PollThread {
  public:
    void start(std::vector<int> fds, std::function<void(int)> serve,
               std::function<int()> tick = {}) {
        if (::pipe2(wake_, O_CLOEXEC) != 0)
            return;
        thread_ = std::thread(
            [this, fds = std::move(fds), serve = std::move(serve), tick = std::move(tick)] {
                std::vector<pollfd> entries{{wake_[0], POLLIN, 0}};
                for (int fd : fds)
                    entries.push_back({fd, POLLIN, 0});
                while (::poll(entries.data(), entries.size(), tick ? tick() : -1) >= 0 &&
                       entries[0].revents == 0) {
                    for (std::size_t i = 1; i < entries.size(); ++i) {
                        if (entries[i].revents != 0)
                            serve(entries[i].fd);
                    }
                }
            });
    }
    void stop() {
        if (!thread_.joinable())
            return;
        const char byte = 0;
        (void)::write(wake_[1], &byte, 1);
        thread_.join();
        ::close(wake_[0]);
        ::close(wake_[1]);
    }
    ~PollThread() { stop(); }

  private:
    int wake_[2] = {-1, -1};
    std::thread thread_;
};

// Reads one HTTP request (head and Content-Length body) within two seconds.
inline std::string read_request(int fd) {
    std::string request;
    char buffer[4096];
    for (int i = 0; i < 200; ++i) {
        const auto head_end = request.find("\r\n\r\n");
        if (head_end != std::string::npos) {
            const auto at = request.find("Content-Length: ");
            const std::size_t body =
                at == std::string::npos ? 0 : std::stoul(request.substr(at + 16));
            if (request.size() >= head_end + 4 + body)
                return request;
        }
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 2000) <= 0)
            return request;
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0)
            return request;
        request.append(buffer, static_cast<std::size_t>(got));
    }
    return request;
}

inline void send_all(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        sent += static_cast<std::size_t>(n);
    }
}

// Accepts connections and answers each with the next script: its pieces written one after the
// other, then a close, or the connection held open until the peer is destroyed.
class ScriptedHttpPeer {
  public:
    struct Script {
        std::vector<std::string> pieces;
        bool close = true;
    };
    explicit ScriptedHttpPeer(std::vector<Script> scripts) : scripts_(std::move(scripts)) {
        poll_.start({listener_.fd()}, [this](int fd) { serve(fd); });
    }
    ~ScriptedHttpPeer() {
        poll_.stop();
        for (int fd : held_)
            ::close(fd);
    }
    std::uint16_t port() const { return listener_.port(); }
    std::string url(const std::string& path = "/") const {
        return "http://127.0.0.1:" + std::to_string(port()) + path;
    }
    std::vector<std::string> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }

  private:
    void serve(int listener) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return;
        const std::string request = read_request(fd);
        Script script;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
            if (next_ < scripts_.size())
                script = scripts_[next_++];
        }
        for (const auto& piece : script.pieces)
            send_all(fd, piece);
        if (script.close)
            ::close(fd);
        else
            held_.push_back(fd);
    }

    LoopbackSocket listener_{SOCK_STREAM};
    std::vector<Script> scripts_;
    std::size_t next_ = 0;
    std::vector<int> held_;
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    PollThread poll_;
};

}  // namespace vx::network::test
