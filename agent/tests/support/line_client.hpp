#pragma once

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
    // The next line without its newline; "<closed>" when the server closed first.
    std::string line() {
        std::error_code ec;
        const std::size_t n = asio::read_until(socket_, buffer_, '\n', ec);
        if (ec)
            return "<closed>";
        std::string text(asio::buffers_begin(buffer_.data()),
                         asio::buffers_begin(buffer_.data()) + static_cast<std::ptrdiff_t>(n) - 1);
        buffer_.consume(n);
        return text;
    }
    // True when the server closed the connection (nothing more to read).
    bool closed_by_server() {
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
