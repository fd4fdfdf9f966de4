#pragma once

#include <poll.h>

#include <algorithm>
#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

namespace vx::test {

// A launcher stand-in on the control connection: blocking calls, one line at a time.
class LineClient {
  public:
    // Connects to 127.0.0.1:port; with `patience`, a refused connect is tried again until the
    // server listens or the patience runs out (the last failure is thrown).
    explicit LineClient(std::uint16_t port,
                        std::chrono::milliseconds patience = std::chrono::milliseconds(0))
        : socket_(io_) {
        const auto until = std::chrono::steady_clock::now() + patience;
        const asio::ip::tcp::endpoint server(asio::ip::address_v4::loopback(), port);
        for (;;) {
            std::error_code ec;
            socket_.connect(server, ec);
            if (!ec)
                return;
            socket_.close();
            if (std::chrono::steady_clock::now() >= until)
                throw std::system_error(ec);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    void send(const std::string& text) { asio::write(socket_, asio::buffer(text)); }
    // The next line without its newline; "<closed>" when the server closed first, "<silence>"
    // when nothing complete came within `limit` (a safety net: a test fails instead of hanging).
    std::string line(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        const auto until = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const auto data = buffer_.data();
            const auto begin = asio::buffers_begin(data);
            const auto end = asio::buffers_end(data);
            const auto newline = std::find(begin, end, '\n');
            if (newline != end) {
                std::string text(begin, newline);
                buffer_.consume(text.size() + 1);
                return text;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            pollfd p{socket_.native_handle(), POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                return "<silence>";
            std::error_code ec;
            const std::size_t n = socket_.read_some(buffer_.prepare(4096), ec);
            if (ec)
                return "<closed>";
            buffer_.commit(n);
        }
    }
    // True when the server closed the connection (nothing more to read) within `limit`.
    bool closed_by_server(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        pollfd p{socket_.native_handle(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0)
            return false;
        std::error_code ec;
        char c;
        socket_.read_some(asio::buffer(&c, 1), ec);
        return ec == asio::error::eof || ec == asio::error::connection_reset;
    }
    void close() { socket_.close(); }

  private:
    asio::io_context io_;
    asio::ip::tcp::socket socket_;
    asio::streambuf buffer_;
};

}  // namespace vx::test
