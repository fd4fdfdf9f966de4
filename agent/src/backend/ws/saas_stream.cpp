#include "backend/ws/saas_stream.hpp"
#include "platform/thread_name.hpp"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <thread>
#include <vector>

namespace vx::network {

namespace {

using Clock = std::chrono::steady_clock;

int wait_fd(int fd, short events, int timeout_ms) {
    pollfd p{fd, events, 0};
    for (;;) {
        const int n = ::poll(&p, 1, timeout_ms);
        if (n < 0 && errno == EINTR)
            continue;
        return n;
    }
}

int ms_left(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

asio::error_code errno_code(int e) {
    return asio::error_code(e, asio::system_category());
}

}  // namespace

std::size_t PolledSocket::read_some_bytes(void* data, std::size_t size, asio::error_code& ec) {
    ec.clear();
    const int fd = socket_->native_handle();
    const int ready = wait_fd(fd, POLLIN, *read_wait_ms_);
    if (ready < 0) {
        ec = errno_code(errno);
        return 0;
    }
    if (ready == 0) {
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
    const auto deadline = Clock::now() + std::chrono::milliseconds(*write_wait_ms_);
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
        const int left = ms_left(deadline);
        if (left == 0 || wait_fd(fd, POLLOUT, left) == 0) {
            ec = asio::error::timed_out;
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
    : socket_(io), tls_(tls), polled_(socket_, read_wait_ms_, write_wait_ms_) {
    if (tls_ && tls_context != nullptr)
        ssl_.emplace(polled_, *tls_context);
    if (tls_ && tls_context == nullptr)
        tls_ = false;
}

SaasStream::~SaasStream() {
    close();
}

namespace {

// getaddrinfo cannot be interrupted: it runs on a thread of its own that owns its results, so a
// stop never waits for a slow name server.
struct ResolveJob {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    std::vector<asio::ip::tcp::endpoint> endpoints;
    std::string error;
};

void resolve_into(const std::shared_ptr<ResolveJob>& job, const std::string& host,
                  std::uint16_t port) {
    platform::name_this_thread("vx-resolve");
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    std::vector<asio::ip::tcp::endpoint> endpoints;
    for (addrinfo* ai = rc == 0 ? found : nullptr; ai != nullptr; ai = ai->ai_next) {
        asio::ip::tcp::endpoint ep;
        if (ai->ai_addrlen <= ep.capacity()) {
            std::memcpy(ep.data(), ai->ai_addr, ai->ai_addrlen);
            ep.resize(ai->ai_addrlen);
            endpoints.push_back(ep);
        }
    }
    if (found != nullptr)
        ::freeaddrinfo(found);
    std::lock_guard lock(job->mutex);
    job->endpoints = std::move(endpoints);
    if (rc != 0)
        job->error = ::gai_strerror(rc);
    job->done = true;
    job->cv.notify_all();
}

}  // namespace

bool SaasStream::connect(const std::string& host, std::uint16_t port,
                         const std::atomic<bool>& running, std::chrono::milliseconds limit,
                         std::string& error) {
    const auto deadline = Clock::now() + limit;
    auto job = std::make_shared<ResolveJob>();
    std::thread([job, host, port] { resolve_into(job, host, port); }).detach();
    std::vector<asio::ip::tcp::endpoint> endpoints;
    {
        std::unique_lock lock(job->mutex);
        while (!job->cv.wait_for(lock, std::chrono::milliseconds(100), [&] { return job->done; })) {
            if (!running.load() || shut_.load() || Clock::now() >= deadline) {
                error = "resolve: " + std::string(running.load() ? "timed out" : "stopped");
                return false;
            }
        }
        if (!job->error.empty()) {
            error = "resolve: " + job->error;
            return false;
        }
        endpoints = job->endpoints;
    }
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
        if (ms_left(deadline) == 0)
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
    // Wait in slices so a stop is noticed even while the address swallows our SYNs.
    while (running.load() && !shut_.load()) {
        const int left = ms_left(deadline);
        if (left == 0) {
            error = "connect: " + asio::error_code(asio::error::timed_out).message();
            return false;
        }
        if (wait_fd(fd, POLLOUT, std::min(left, 100)) == 0)
            continue;
        int so_error = 0;
        socklen_t len = sizeof so_error;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len);
        if (so_error == 0)
            return true;
        error = "connect: " + errno_code(so_error).message();
        return false;
    }
    error = "connect: stopped";
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
        ssl_->handshake(asio::ssl::stream_base::client, ec);
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
        if (ms_left(deadline) == 0) {
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

std::size_t SaasStream::read(std::uint8_t* buffer, std::size_t size, std::error_code& ec) {
    asio::error_code aec;
    std::size_t n = 0;
    if (!valid()) {
        ec = asio::error::bad_descriptor;
        return 0;
    }
    if (tls_) {
        n = ssl_->read_some(asio::buffer(buffer, size), aec);
    } else {
        n = polled_.read_some_bytes(buffer, size, aec);
    }
    ec = aec;
    return n;
}

void SaasStream::shutdown() {
    std::lock_guard lock(fd_mutex_);
    shut_ = true;
    if (socket_.is_open())
        ::shutdown(socket_.native_handle(), SHUT_RDWR);
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
