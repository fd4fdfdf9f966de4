#pragma once

#include <asio.hpp>
#include <asio/ssl.hpp>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/wake_event.hpp"

namespace vx::network {

// How long the poll-bounded socket calls wait, and the wake-up descriptors that end a wait early
// (a readable one makes the call come back with nothing, as a time-out does).
struct SocketWaits {
    static constexpr std::size_t kMaxWakeFds = 4;
    std::chrono::milliseconds read{100};
    std::chrono::milliseconds write{5000};
    std::array<int, kMaxWakeFds> wake_fds{-1, -1, -1, -1};  // [0]: the stream's shutdown
};

// The TCP socket under the TLS engine, read and written with poll-bounded calls: asio's
// synchronous calls wait without limit on POSIX and ignore SO_RCVTIMEO/SO_SNDTIMEO.
class PolledSocket {
  public:
    using lowest_layer_type = asio::ip::tcp::socket::lowest_layer_type;
    using executor_type = asio::ip::tcp::socket::executor_type;

    PolledSocket(asio::ip::tcp::socket& socket, const SocketWaits& waits)
        : socket_(&socket), waits_(&waits) {}

    lowest_layer_type& lowest_layer() { return socket_->lowest_layer(); }
    const lowest_layer_type& lowest_layer() const { return socket_->lowest_layer(); }
    executor_type get_executor() { return socket_->get_executor(); }

    // Nothing readable within the read wait, or a wake-up first: would_block. A closed peer: eof.
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
    const SocketWaits* waits_;
};

// The byte stream under one WebSocket connection attempt: TCP, plain or wrapped in TLS.
// Threads other than the owner only call `shutdown`; the owner alone closes the descriptor (a
// descriptor closed under a reader would be reused by the next socket at once).
class SaasStream {
  public:
    static constexpr std::chrono::milliseconds kReadWait{100};  // a read's default readiness wait
    static constexpr std::chrono::milliseconds kRecvLimit{
        2000};  // a started read never takes longer
    static constexpr std::chrono::milliseconds kWriteLimit{5000};  // one write step
    static constexpr std::size_t kWritePiece = 65536;

    // What ends one read's readiness wait besides data: its limit and up to three wake-up
    // descriptors of the caller (a stop, a waiting writer, queued messages).
    struct ReadWait {
        std::chrono::milliseconds limit{kReadWait};
        std::array<int, SocketWaits::kMaxWakeFds - 1> wake_fds{-1, -1, -1};
    };

    SaasStream(asio::io_context& io, bool tls, asio::ssl::context* tls_context);
    ~SaasStream();
    SaasStream(const SaasStream&) = delete;
    SaasStream& operator=(const SaasStream&) = delete;

    // Resolves and connects to the first endpoint that accepts, at most `limit`; a shutdown from
    // another thread ends the wait at once (and `running` is looked at before each step). Sets
    // keep-alive and no-delay.
    bool connect(const std::string& host, std::uint16_t port, const std::atomic<bool>& running,
                 std::chrono::milliseconds limit, std::string& error);
    // TLS 1.2+ handshake with peer and host-name verification and SNI. True at once without TLS.
    bool start_tls(const std::string& host, const std::atomic<bool>& running,
                   std::chrono::milliseconds limit, std::string& error);

    // Writes everything or throws std::system_error.
    void write(const std::uint8_t* data, std::size_t size);
    // At most one piece, bounded in time; nothing within the readiness wait (or a wake-up
    // first) is would_block.
    std::size_t read(std::uint8_t* buffer, std::size_t size, std::error_code& ec,
                     const ReadWait& wait);
    // The same with the default readiness wait and no wake-ups but a shutdown.
    std::size_t read(std::uint8_t* buffer, std::size_t size, std::error_code& ec);

    // Owner only, once nothing more is to be written: sends the end of stream after what was
    // written and waits until the peer has acknowledged all of it, the peer resets the
    // connection, the stream is shut down or `limit` passes; true in the first case. What the
    // peer still sends meanwhile is read and thrown away: a socket closed with unread bytes
    // resets the connection, and the reset throws away what has not left yet.
    bool finish_sending(std::chrono::milliseconds limit);
    // Any thread: shuts both directions down and wakes whatever waits on the stream (a read, a
    // write, the connect or the name lookup); never closes.
    void shutdown();
    // Owner only.
    void close();

    bool valid() const { return open_.load() && !shut_.load(); }
    bool tls() const { return tls_; }

  private:
    bool resolve(const std::string& host, std::uint16_t port, const std::atomic<bool>& running,
                 std::chrono::steady_clock::time_point deadline,
                 std::vector<asio::ip::tcp::endpoint>& endpoints, std::string& error);
    bool connect_endpoint(const asio::ip::tcp::endpoint& ep, const std::atomic<bool>& running,
                          std::chrono::steady_clock::time_point deadline, std::string& error);
    void tune_socket();
    // The waits of the calls that follow: `read` as given, wake-ups after the stream's own.
    void set_waits(std::chrono::milliseconds read, const std::array<int, 3>& wake_fds);

    asio::ip::tcp::socket socket_;
    bool tls_;
    // Signalled by shutdown(): every wait on the stream watches it.
    platform::WakeEvent shut_wake_;
    SocketWaits waits_;
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
