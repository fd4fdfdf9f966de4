#pragma once

// Devices that answer an SSDP search as a script says: every M-SEARCH that reaches the socket
// is answered with each scripted answer after its own delay, as devices on a LAN answer at
// their own pace. The delays are the devices' own; the test waits on its search, not on them.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <asio/ip/udp.hpp>

#include "traversal/router/loopback_peers.hpp"

namespace vx::network::test {

class ScriptedSsdpResponder {
  public:
    using Clock = std::chrono::steady_clock;
    struct Answer {
        std::chrono::milliseconds delay;
        std::string text;
    };

    explicit ScriptedSsdpResponder(std::vector<Answer> script, const char* address = "127.0.0.1")
        : script_(std::move(script)), socket_(SOCK_DGRAM, address), address_(address) {
        if (::pipe2(wake_, O_CLOEXEC) == 0)
            thread_ = std::thread([this] { run(); });
    }
    ~ScriptedSsdpResponder() {
        if (!thread_.joinable())
            return;
        const char byte = 0;
        (void)::write(wake_[1], &byte, 1);
        thread_.join();
        ::close(wake_[0]);
        ::close(wake_[1]);
    }
    ScriptedSsdpResponder(const ScriptedSsdpResponder&) = delete;
    ScriptedSsdpResponder& operator=(const ScriptedSsdpResponder&) = delete;

    // Where a search must be sent to reach the script.
    asio::ip::udp::endpoint endpoint() const {
        return {asio::ip::make_address_v4(address_), socket_.port()};
    }

  private:
    struct Due {
        Clock::time_point at;
        std::string text;
        sockaddr_in to;
    };

    void run() {
        std::vector<Due> due;
        for (;;) {
            int timeout_ms = -1;
            if (!due.empty()) {
                const auto first = std::min_element(due.begin(), due.end(),
                                                    [](auto& a, auto& b) { return a.at < b.at; });
                timeout_ms = static_cast<int>(std::max<long>(
                    0, std::chrono::ceil<std::chrono::milliseconds>(first->at - Clock::now())
                           .count()));
            }
            pollfd entries[2] = {{wake_[0], POLLIN, 0}, {socket_.fd(), POLLIN, 0}};
            if (::poll(entries, 2, timeout_ms) < 0 || entries[0].revents != 0)
                return;
            if (entries[1].revents != 0)
                take_search(due);
            send_due(due);
        }
    }

    void take_search(std::vector<Due>& due) {
        std::array<char, 2048> buffer{};
        sockaddr_in from{};
        socklen_t size = sizeof from;
        const ssize_t got = ::recvfrom(socket_.fd(), buffer.data(), buffer.size(), 0,
                                       reinterpret_cast<sockaddr*>(&from), &size);
        if (got <= 0 || std::string_view(buffer.data(), 8) != "M-SEARCH")
            return;
        for (const Answer& answer : script_)
            due.push_back({Clock::now() + answer.delay, answer.text, from});
    }

    void send_due(std::vector<Due>& due) {
        const auto now = Clock::now();
        for (const Due& answer : due) {
            if (answer.at <= now)
                ::sendto(socket_.fd(), answer.text.data(), answer.text.size(), 0,
                         reinterpret_cast<const sockaddr*>(&answer.to), sizeof answer.to);
        }
        std::erase_if(due, [&](const Due& answer) { return answer.at <= now; });
    }

    std::vector<Answer> script_;
    LoopbackSocket socket_;
    std::string address_;
    int wake_[2] = {-1, -1};
    std::thread thread_;
};

}  // namespace vx::network::test
