#pragma once

// A UDP proxy on 127.0.0.1 between one client and one server that records both directions and
// can drop chosen answers of the server (to play a lost datagram).

#include <poll.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>

namespace vx::test {

class UdpProxy {
  public:
    using Bytes = std::vector<std::uint8_t>;
    // Returns true to drop a datagram from the server instead of forwarding it.
    using DropFn = std::function<bool(const Bytes&)>;

    UdpProxy(asio::ip::udp::endpoint server, DropFn drop)
        : front_(io_, asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), 0)),
          back_(io_, asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), 0)),
          server_(server),
          drop_(std::move(drop)) {
        thread_ = std::thread([this] { run(); });
    }
    ~UdpProxy() {
        stop_ = true;
        thread_.join();
    }

    std::uint16_t port() const { return front_.local_endpoint().port(); }
    std::vector<Bytes> to_server() const {
        std::lock_guard lock(mutex_);
        return to_server_;
    }
    std::vector<Bytes> from_server() const {
        std::lock_guard lock(mutex_);
        return from_server_;
    }

  private:
    void run() {
        Bytes buffer(65536);
        while (!stop_) {
            pollfd fds[2] = {{front_.native_handle(), POLLIN, 0},
                             {back_.native_handle(), POLLIN, 0}};
            if (::poll(fds, 2, 10) <= 0)
                continue;
            std::error_code ec;
            asio::ip::udp::endpoint from;
            if (fds[0].revents & POLLIN) {
                const std::size_t n = front_.receive_from(asio::buffer(buffer), from, 0, ec);
                if (!ec) {
                    client_ = from;
                    Bytes d(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
                    record(to_server_, d);
                    back_.send_to(asio::buffer(d), server_, 0, ec);
                }
            }
            if (fds[1].revents & POLLIN) {
                const std::size_t n = back_.receive_from(asio::buffer(buffer), from, 0, ec);
                if (!ec) {
                    Bytes d(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
                    record(from_server_, d);
                    if (!(drop_ && drop_(d)))
                        front_.send_to(asio::buffer(d), client_, 0, ec);
                }
            }
        }
    }
    void record(std::vector<Bytes>& list, const Bytes& d) {
        std::lock_guard lock(mutex_);
        list.push_back(d);
    }

    asio::io_context io_;
    asio::ip::udp::socket front_;
    asio::ip::udp::socket back_;
    asio::ip::udp::endpoint server_;
    asio::ip::udp::endpoint client_;
    DropFn drop_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<Bytes> to_server_;
    std::vector<Bytes> from_server_;
    std::thread thread_;
};

}  // namespace vx::test
