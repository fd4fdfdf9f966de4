#pragma once

#include <asio.hpp>
#include <asio/ssl.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>

namespace vx::network {

// The TCP socket under the TLS engine, read and written with poll-bounded calls: asio's
// synchronous calls wait without limit on POSIX and ignore SO_RCVTIMEO/SO_SNDTIMEO.
class PolledSocket {
  public:
    using lowest_layer_type = asio::ip::tcp::socket::lowest_layer_type;
    using executor_type = asio::ip::tcp::socket::executor_type;

    PolledSocket(asio::ip::tcp::socket& socket, const int& read_wait_ms, const int& write_wait_ms)
        : socket_(&socket), read_wait_ms_(&read_wait_ms), write_wait_ms_(&write_wait_ms) {}

    lowest_layer_type& lowest_layer() { return socket_->lowest_layer(); }
    const lowest_layer_type& lowest_layer() const { return socket_->lowest_layer(); }
    executor_type get_executor() { return socket_->get_executor(); }

    // Nothing readable within the read wait: would_block. A closed peer: eof.
    std::size_t read_some_bytes(void* data, std::size_t size, asio::error_code& ec);
    // Everything not written within the write wait: timed_out.
    std::size_t write_some_bytes(const void* data, std::size_t size, asio::error_code& ec);

    template <typename MutableBuffers>
    std::size_t read_some(const MutableBuffers& buffers, asio::error_code& ec) {
        const asio::mutable_buffer b = *asio::buffer_sequence_begin(buffers);
        return read_some_bytes(b.data(), b.size(), ec);
    }
    template <typename ConstBuffers>
    std::size_t write_some(const ConstBuffers& buffers, asio::error_code& ec) {
        const asio::const_buffer b = *asio::buffer_sequence_begin(buffers);
        return write_some_bytes(b.data(), b.size(), ec);
    }

  private:
    asio::ip::tcp::socket* socket_;
    const int* read_wait_ms_;
    const int* write_wait_ms_;
};

// The byte stream under one WebSocket connection attempt: TCP, plain or wrapped in TLS.
// Threads other than the owner only call `shutdown`; the owner alone closes the descriptor (a
// descriptor closed under a reader would be reused by the next socket at once).
class SaasStream {
  public:
    static constexpr int kReadWaitMs = 100;     // readiness wait before a read
    static constexpr int kRecvLimitMs = 2000;   // a read that started never takes longer
    static constexpr int kWriteLimitMs = 5000;  // one write step
    static constexpr std::size_t kWritePiece = 65536;

    SaasStream(asio::io_context& io, bool tls, asio::ssl::context* tls_context);
    ~SaasStream();
    SaasStream(const SaasStream&) = delete;
    SaasStream& operator=(const SaasStream&) = delete;

    // Resolves and connects to the first endpoint that accepts, waiting in 100 ms slices while
    // `running` holds and no shutdown came, at most `limit`. Sets keep-alive and no-delay.
    bool connect(const std::string& host, std::uint16_t port, const std::atomic<bool>& running,
                 std::chrono::milliseconds limit, std::string& error);
    // TLS 1.2+ handshake with peer and host-name verification and SNI. True at once without TLS.
    bool start_tls(const std::string& host, const std::atomic<bool>& running,
                   std::chrono::milliseconds limit, std::string& error);

    // Writes everything or throws std::system_error.
    void write(const std::uint8_t* data, std::size_t size);
    // At most one piece, bounded in time; nothing within the readiness wait is would_block.
    std::size_t read(std::uint8_t* buffer, std::size_t size, std::error_code& ec);

    // Any thread: shuts both directions down and wakes a blocked reader; never closes.
    void shutdown();
    // Owner only.
    void close();

    bool valid() const { return open_.load() && !shut_.load(); }
    bool tls() const { return tls_; }

  private:
    bool connect_endpoint(const asio::ip::tcp::endpoint& ep, const std::atomic<bool>& running,
                          std::chrono::steady_clock::time_point deadline, std::string& error);
    void tune_socket();

    asio::ip::tcp::socket socket_;
    bool tls_;
    int read_wait_ms_ = kReadWaitMs;
    int write_wait_ms_ = kWriteLimitMs;
    PolledSocket polled_;
    std::optional<asio::ssl::stream<PolledSocket&>> ssl_;
    std::mutex fd_mutex_;  // the descriptor's life against shutdown from other threads
    std::atomic<bool> open_{false};
    std::atomic<bool> shut_{false};
};

// True for the errors that mean the peer or a shutdown closed the read side. On Linux a recv
// failing with ETIMEDOUT means TCP keep-alive gave up on the peer, so it counts as closed too.
bool ws_read_side_closed(const std::error_code& ec);
// Readiness time-out or would-block: nothing this time.
bool ws_read_nothing_yet(const std::error_code& ec);

}  // namespace vx::network
