#include "backend/ws/saas_stream.hpp"

#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "util/clock.hpp"
#include "util/error_text.hpp"
#include "util/io/name_lookup.hpp"

namespace vx::network {

namespace {

using Clock = std::chrono::steady_clock;

// No descriptor becomes ready when the peer acknowledges: the count is looked at this often.
constexpr std::chrono::milliseconds kAckLook{10};

// Waits until `fd` is ready for `events` (true) or a wake-up descriptor is readable or the time
// is up (false).
bool wait_fd(int fd, short events, std::chrono::milliseconds limit,
             const std::array<int, SocketWaits::kMaxWakeFds>& wake_fds) {
    std::array<pollfd, 1 + SocketWaits::kMaxWakeFds> fds{};
    fds[0] = {fd, events, 0};
    nfds_t n = 1;
    for (const int w : wake_fds) {
        if (w >= 0)
            fds[n++] = {w, POLLIN, 0};
    }
    const int timeout_ms = static_cast<int>(std::max<std::int64_t>(limit.count(), 0));
    for (;;) {
        const int ready = ::poll(fds.data(), n, timeout_ms);
        if (ready < 0 && errno == EINTR)
            continue;
        // An error or hang-up on the socket is for the call that follows to report.
        return ready > 0 && fds[0].revents != 0;
    }
}

asio::error_code errno_code(int e) {
    return asio::error_code(e, asio::system_category());
}

}  // namespace

std::size_t PolledSocket::read_some_bytes(void* data, std::size_t size, asio::error_code& ec) {
    ec.clear();
    const int fd = socket_->native_handle();
    if (!wait_fd(fd, POLLIN, waits_->read, waits_->wake_fds)) {
        ec = asio::error::would_block;
        return 0;
    }
    for (;;) {
        const ssize_t n = ::recv(fd, data, size, MSG_DONTWAIT);
        if (n > 0)
            return static_cast<std::size_t>(n);
        if (n == 0) {
            ec = size == 0 ? asio::error_code{} : asio::error::eof;
            return 0;
        }
        if (errno == EINTR)
            continue;
        ec = (errno == EAGAIN || errno == EWOULDBLOCK) ? asio::error::would_block
                                                       : errno_code(errno);
        return 0;
    }
}

std::size_t PolledSocket::write_some_bytes(const void* data, std::size_t size,
                                           asio::error_code& ec) {
    ec.clear();
    const int fd = socket_->native_handle();
    const auto deadline = Clock::now() + waits_->write;
    for (;;) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0)
            return static_cast<std::size_t>(n);
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            ec = errno_code(errno);
            return 0;
        }
        // Only the stream's own shutdown ends a write's wait: a wake-up meant for a read (TLS
        // writes inside a read now and then) must not fail it.
        if (!wait_fd(fd, POLLOUT, util::time_left(deadline), {waits_->wake_fds[0], -1, -1, -1})) {
            ec = util::time_left(deadline).count() == 0 ? asio::error::timed_out
                                                        : asio::error::shut_down;
            return 0;
        }
    }
}

bool ws_read_side_closed(const std::error_code& ec) {
    return ec == asio::error::eof || ec == asio::error::connection_reset ||
           ec == asio::error::connection_aborted || ec == asio::error::broken_pipe ||
           ec == asio::error::not_connected || ec == asio::error::bad_descriptor ||
           ec == asio::error::operation_aborted || ec == asio::error::shut_down ||
           ec == asio::error::timed_out || ec == asio::ssl::error::stream_truncated;
}

bool ws_read_nothing_yet(const std::error_code& ec) {
    return ec == asio::error::would_block || ec == asio::error::try_again;
}

SaasStream::SaasStream(asio::io_context& io, bool tls, asio::ssl::context* tls_context)
    : socket_(io), tls_(tls), polled_(socket_, waits_) {
    waits_.read = kReadWait;
    waits_.write = kWriteLimit;
    waits_.wake_fds[0] = shut_wake_.native_handle();
    if (tls_ && tls_context != nullptr)
        ssl_.emplace(polled_, *tls_context);
    if (tls_ && tls_context == nullptr)
        tls_ = false;
}

SaasStream::~SaasStream() {
    close();
}

bool SaasStream::resolve(const std::string& host, std::uint16_t port,
                         const std::atomic<bool>& running, Clock::time_point deadline,
                         std::vector<asio::ip::tcp::endpoint>& endpoints, std::string& error) {
    NameAnswer answer;
    try {
        const PendingNameLookup lookup(host, [](const std::string& name) {
            return system_name_lookup(name, NameFamily::any);
        });
        // The lookup's ready event stands in for the socket: a shutdown ends the wait at once.
        if (!wait_fd(lookup.ready_fd(), POLLIN, util::time_left(deadline), waits_.wake_fds)) {
            error = "resolve: " +
                    std::string(running.load() && !shut_.load() ? "timed out" : "stopped");
            return false;
        }
        answer = lookup.answer();
    } catch (const std::system_error& failure) {
        error = "resolve: " + util::describe_error(failure.code());
        return false;
    }
    if (answer.error) {
        error = "resolve: " + answer.error.message();
        return false;
    }
    endpoints.clear();
    for (const asio::ip::address& address : answer.addresses)
        endpoints.emplace_back(address, port);
    return true;
}

bool SaasStream::connect(const std::string& host, std::uint16_t port,
                         const std::atomic<bool>& running, std::chrono::milliseconds limit,
                         std::string& error) {
    const auto deadline = Clock::now() + limit;
    std::vector<asio::ip::tcp::endpoint> endpoints;
    if (!running.load() || shut_.load()) {
        error = "resolve: stopped";
        return false;
    }
    if (!resolve(host, port, running, deadline, endpoints, error))
        return false;
    error = "connect: no address";
    for (const auto& ep : endpoints) {
        if (!running.load() || shut_.load()) {
            error = "connect: stopped";
            return false;
        }
        if (connect_endpoint(ep, running, deadline, error)) {
            tune_socket();
            return true;
        }
        if (util::time_left(deadline).count() == 0)
            break;
    }
    return false;
}

bool SaasStream::connect_endpoint(const asio::ip::tcp::endpoint& ep,
                                  const std::atomic<bool>& running, Clock::time_point deadline,
                                  std::string& error) {
    asio::error_code ec;
    {
        std::lock_guard lock(fd_mutex_);
        if (shut_.load())
            return false;
        if (socket_.is_open())
            socket_.close(ec);
        socket_.open(ep.protocol(), ec);
        if (ec) {
            error = "connect: " + ec.message();
            return false;
        }
        open_ = true;
    }
    const int fd = socket_.native_handle();
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    if (::connect(fd, ep.data(), static_cast<socklen_t>(ep.size())) == 0)
        return true;
    if (errno != EINPROGRESS) {
        error = "connect: " + errno_code(errno).message();
        return false;
    }
    // Even while the address swallows our SYNs, a shutdown from another thread ends the wait.
    if (!wait_fd(fd, POLLOUT, util::time_left(deadline), waits_.wake_fds)) {
        error = !running.load() || shut_.load()
                    ? std::string("connect: stopped")
                    : "connect: " + asio::error_code(asio::error::timed_out).message();
        return false;
    }
    int so_error = 0;
    socklen_t len = sizeof so_error;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len);
    if (so_error == 0)
        return true;
    error = "connect: " + errno_code(so_error).message();
    return false;
}

void SaasStream::tune_socket() {
    const int fd = socket_.native_handle();
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    // Keep-alive probes after 5 s idle, every 3 s; the kernel gives up after a few misses.
    const int idle = 5, interval = 3, count = 3;
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

bool SaasStream::start_tls(const std::string& host, const std::atomic<bool>& running,
                           std::chrono::milliseconds limit, std::string& error) {
    if (!tls_)
        return true;
    ssl_->set_verify_mode(asio::ssl::verify_peer);
    ssl_->set_verify_callback(asio::ssl::host_name_verification(host));
    if (!SSL_set_tlsext_host_name(ssl_->native_handle(), host.c_str())) {
        error = "SSL_set_tlsext_host_name failed";
        return false;
    }
    const auto deadline = Clock::now() + limit;
    for (;;) {
        asio::error_code ec;
        set_waits(util::time_left(deadline), {-1, -1, -1});
        ssl_->handshake(asio::ssl::stream_base::client, ec);
        set_waits(kReadWait, {-1, -1, -1});
        if (!ec)
            return true;
        if (!ws_read_nothing_yet(ec)) {
            error = ec.message();
            return false;
        }
        if (!running.load() || shut_.load()) {
            error = "stopped";
            return false;
        }
        if (util::time_left(deadline).count() == 0) {
            error = asio::error_code(asio::error::timed_out).message();
            return false;
        }
    }
}

void SaasStream::write(const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const std::size_t piece = std::min(size, kWritePiece);
        asio::error_code ec;
        std::size_t n = 0;
        if (tls_) {
            n = asio::write(*ssl_, asio::buffer(data, piece), ec);
        } else {
            n = polled_.write_some_bytes(data, piece, ec);
        }
        if (ec)
            throw std::system_error(ec, "write");
        data += n;
        size -= n;
    }
}

void SaasStream::set_waits(std::chrono::milliseconds read, const std::array<int, 3>& wake_fds) {
    waits_.read = read;
    for (std::size_t i = 0; i < wake_fds.size(); ++i)
        waits_.wake_fds[i + 1] = wake_fds[i];
}

std::size_t SaasStream::read(std::uint8_t* buffer, std::size_t size, std::error_code& ec,
                             const ReadWait& wait) {
    asio::error_code aec;
    std::size_t n = 0;
    if (!valid()) {
        ec = asio::error::bad_descriptor;
        return 0;
    }
    set_waits(wait.limit, wait.wake_fds);
    if (tls_) {
        n = ssl_->read_some(asio::buffer(buffer, size), aec);
    } else {
        n = polled_.read_some_bytes(buffer, size, aec);
    }
    // Writes wait for nobody's wake-ups but the stream's own.
    set_waits(kReadWait, {-1, -1, -1});
    ec = aec;
    return n;
}

std::size_t SaasStream::read(std::uint8_t* buffer, std::size_t size, std::error_code& ec) {
    return read(buffer, size, ec, ReadWait{});
}

bool SaasStream::finish_sending(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    int fd = -1;
    {
        std::lock_guard lock(fd_mutex_);
        if (shut_.load() || !socket_.is_open())
            return false;
        fd = socket_.native_handle();
        ::shutdown(fd, SHUT_WR);
    }
    bool peer_ended = false;  // the peer's end of stream came: nothing more to read
    for (;;) {
        int unacknowledged = 0;
        if (::ioctl(fd, SIOCOUTQ, &unacknowledged) != 0)
            return false;
        if (unacknowledged == 0)
            return true;
        // Bounded too: a peer that keeps the receive queue full must not hold the stop.
        while (!peer_ended && !shut_.load() && Clock::now() < deadline) {
            char discard[4096];
            const ssize_t n = ::recv(fd, discard, sizeof discard, MSG_DONTWAIT);
            if (n == 0) {
                peer_ended = true;
            } else if (n < 0 && errno != EINTR) {
                if (errno != EAGAIN && errno != EWOULDBLOCK)
                    return false;  // reset: what is left never leaves
                break;
            }
        }
        int error = 0;
        socklen_t len = sizeof error;
        if (peer_ended && (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0))
            return false;
        const auto step = std::min(util::time_left(deadline), kAckLook);
        if (step.count() == 0 || shut_.load())
            return false;
        // Past its end of stream the socket stays readable: then only a shutdown ends the wait.
        const int shut_fd = shut_wake_.native_handle();
        if (peer_ended)
            wait_fd(shut_fd, POLLIN, step, {-1, -1, -1, -1});
        else
            wait_fd(fd, POLLIN, step, {shut_fd, -1, -1, -1});
    }
}

void SaasStream::shutdown() {
    std::lock_guard lock(fd_mutex_);
    shut_ = true;
    if (socket_.is_open())
        ::shutdown(socket_.native_handle(), SHUT_RDWR);
    shut_wake_.signal();
}

void SaasStream::close() {
    shutdown();
    std::lock_guard lock(fd_mutex_);
    asio::error_code ec;
    if (socket_.is_open())
        socket_.close(ec);
    open_ = false;
}

}  // namespace vx::network
