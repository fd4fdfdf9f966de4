#include "link/control_connection.hpp"

#include <spdlog/spdlog.h>

#include "link/pong.hpp"
#include "util/error_text.hpp"
#include "util/io/strand_call.hpp"
#include "util/outside_text.hpp"

namespace vx::detail {
namespace {

constexpr std::string_view kSinceLastWarning = "more since the last such warning";

}  // namespace

ControlConnection::ControlConnection(asio::ip::tcp::socket socket, util::NowFn now,
                                     std::string peer)
    : socket_(std::move(socket)),
      strand_(asio::make_strand(socket_.get_executor())),
      now_(std::move(now)),
      peer_(std::move(peer)) {}

template <class F>
void ControlConnection::with_callbacks(F&& f) {
    std::lock_guard lock(callbacks_mutex_);
    if (!stopped_) {
        f(callbacks_);
    }
}

void ControlConnection::start(Callbacks callbacks, std::string already_received) {
    {
        std::lock_guard lock(callbacks_mutex_);
        callbacks_ = std::move(callbacks);
        started_ = true;
    }
    asio::post(strand_, [self = shared_from_this(), rest = std::move(already_received)]() mutable {
        std::size_t pos;
        while ((pos = rest.find('\n')) != std::string::npos) {
            std::string line = rest.substr(0, pos);
            rest.erase(0, pos + 1);
            if (!self->take_line(std::move(line))) {
                return;
            }
        }
        if (partial_line_too_long(rest, kMaxControlLineBytes)) {
            self->lost("line longer than 8192 bytes");
            return;
        }
        auto space = self->buffer_.prepare(rest.size());
        asio::buffer_copy(space, asio::buffer(rest));
        self->buffer_.commit(rest.size());
        self->read_next();
    });
}

void ControlConnection::stop() {
    bool started = false;
    {
        std::lock_guard lock(callbacks_mutex_);
        if (stopped_) {
            return;
        }
        stopped_ = true;
        started = started_;
        callbacks_ = {};
    }
    if (!started) {
        close_socket();  // nothing was queued on the strand: no I/O thread to wait for
        return;
    }
    // Shutting down (not closing) is safe beside a pending read: it wakes it with EOF, and the
    // handler closes the socket on the strand.
    shutdown_socket();
    call_on_strand(strand_, [self = shared_from_this()] { self->close_socket(); });
}

void ControlConnection::shutdown_socket() {
    std::lock_guard lock(socket_mutex_);
    std::error_code ignored;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
}

void ControlConnection::close_socket() {
    // Under the socket mutex so a shutdown from another thread never meets a descriptor that was
    // closed (and perhaps reused) under it.
    std::lock_guard lock(socket_mutex_);
    std::error_code ignored;
    socket_.close(ignored);
    open = false;
}

void ControlConnection::read_next() {
    asio::async_read_until(socket_, buffer_, '\n',
                           asio::bind_executor(strand_, [self = shared_from_this()](
                                                            const std::error_code& ec,
                                                            std::size_t) { self->on_read(ec); }));
}

void ControlConnection::on_read(const std::error_code& ec) {
    if (ec == asio::error::not_found) {
        lost("line longer than 8192 bytes");
        return;
    }
    if (ec) {
        lost(ec == asio::error::eof ? std::string("EOF") : util::describe_error(ec));
        return;
    }
    std::istream in(&buffer_);
    std::string line;
    std::getline(in, line);
    if (take_line(std::move(line))) {
        read_next();
    }
}

// False once the connection is lost.
bool ControlConnection::take_line(std::string line) {
    if (!trim_line(line, kMaxControlLineBytes)) {
        lost("line longer than 8192 bytes");
        return false;
    }
    handle_line(line);
    return open;
}

void ControlConnection::handle_line(const std::string& line) {
    if (line.empty()) {
        return;
    }
    const LauncherLine parsed = parse_launcher_line(line);
    if (parsed.kind == LauncherLineKind::invalid) {
        if (unreadable_lines_.due(now_())) {
            spdlog::warn(
                "TcpControlServer: ignoring a launcher line that is not a JSON object ({} "
                "bytes){}",
                line.size(),
                util::suppressed_note(unreadable_lines_.take_suppressed(), kSinceLastWarning));
        }
        return;
    }
    last_activity_us = now_();
    ++lines;
    if (parsed.kind == LauncherLineKind::ping) {
        send(make_pong(ping_timestamp_text(parsed.message)) + "\n");
    } else if (parsed.kind == LauncherLineKind::end_session) {
        spdlog::info("TcpControlServer: launcher requested end_session");
        with_callbacks([](Callbacks& c) {
            if (c.on_end_session)
                c.on_end_session();
        });
    } else if (parsed.kind == LauncherLineKind::unknown) {
        spdlog::debug("TcpControlServer: launcher message type '{}' not handled",
                      util::quote_outside_text(parsed.type));
    }
    with_callbacks([&parsed](Callbacks& c) {
        if (c.on_line)
            c.on_line(parsed);
    });
}

void ControlConnection::send(std::string text) {
    if (writes_.size() >= kMaxPendingWrites) {
        // A launcher that pings without reading its answers gets no more of them.
        if (dropped_pongs_.due(now_())) {
            spdlog::warn(
                "TcpControlServer: {} answers waiting for the launcher - dropping a pong{}",
                writes_.size(),
                util::suppressed_note(dropped_pongs_.take_suppressed(), kSinceLastWarning));
        }
        return;
    }
    writes_.push_back(std::move(text));
    if (writes_.size() == 1) {
        write_next();
    }
}

void ControlConnection::write_next() {
    asio::async_write(socket_, asio::buffer(writes_.front()),
                      asio::bind_executor(strand_, [self = shared_from_this()](
                                                       const std::error_code& ec, std::size_t) {
                          if (ec) {
                              // The read side notices the broken connection and reports it.
                              self->writes_.clear();
                              return;
                          }
                          self->writes_.pop_front();
                          if (!self->writes_.empty()) {
                              self->write_next();
                          }
                      }));
}

void ControlConnection::lost(const std::string& why) {
    if (!open.exchange(false)) {
        return;
    }
    close_socket();
    bool expected = false;
    {
        std::lock_guard lock(callbacks_mutex_);
        expected = stopped_;
    }
    if (expected) {
        return;
    }
    spdlog::info("TcpControlServer: launcher connection from {} closed ({})", peer_, why);
    with_callbacks([](Callbacks& c) {
        if (c.on_disconnected)
            c.on_disconnected();
    });
}

}  // namespace vx::detail
