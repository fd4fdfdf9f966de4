#pragma once

// Devices that answer an SSDP search as a script says: every M-SEARCH that reaches the socket
// is answered with each scripted answer after its own delay, as devices on a LAN answer at
// their own pace. The delays are the devices' own; the test waits on its search, not on them.

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <string>
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
        poll_.start(
            {socket_.fd()}, [this](int) { take_search(); }, [this] { return send_due(); });
    }
    ~ScriptedSsdpResponder() { poll_.stop(); }
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

    // On the poll thread only, as is `due_`.
    void take_search() {
        std::array<char, 2048> buffer{};
        sockaddr_in from{};
        socklen_t size = sizeof from;
        const ssize_t got = ::recvfrom(socket_.fd(), buffer.data(), buffer.size(), 0,
                                       reinterpret_cast<sockaddr*>(&from), &size);
        if (got <= 0 || std::string_view(buffer.data(), 8) != "M-SEARCH")
            return;
        for (const Answer& answer : script_)
            due_.push_back({Clock::now() + answer.delay, answer.text, from});
    }

    // Sends what is due; the milliseconds until the next answer is, or -1 when none waits.
    int send_due() {
        const auto now = Clock::now();
        for (const Due& answer : due_) {
            if (answer.at <= now)
                ::sendto(socket_.fd(), answer.text.data(), answer.text.size(), 0,
                         reinterpret_cast<const sockaddr*>(&answer.to), sizeof answer.to);
        }
        std::erase_if(due_, [&](const Due& answer) { return answer.at <= now; });
        if (due_.empty())
            return -1;
        const auto next = std::min_element(due_.begin(), due_.end(),
                                           [](const Due& a, const Due& b) { return a.at < b.at; });
        return static_cast<int>(
            std::chrono::ceil<std::chrono::milliseconds>(next->at - now).count());
    }

    std::vector<Answer> script_;
    LoopbackSocket socket_;
    std::string address_;
    std::vector<Due> due_;
    PollThread poll_;
};

}  // namespace vx::network::test
