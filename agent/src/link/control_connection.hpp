#pragma once

#include <asio.hpp>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "link/control_protocol.hpp"
#include "util/clock.hpp"
#include "util/rate_limited_log.hpp"

namespace vx::detail {

// One authenticated launcher connection, read and written on a strand of the I/O context.
// Handlers keep it alive through shared ownership; the owner's `stop` makes sure none of the
// owner's callbacks runs afterwards.
struct ControlConnection : std::enable_shared_from_this<ControlConnection> {
    struct Callbacks {
        std::function<void()> on_end_session;
        std::function<void()> on_disconnected;
        std::function<void(const LauncherLine&)> on_line;
    };

    static constexpr std::size_t kMaxPendingWrites = 64;

    ControlConnection(asio::ip::tcp::socket socket, util::NowFn now, std::string peer);

    // Feeds what arrived behind the auth line, then reads the socket.
    void start(Callbacks callbacks, std::string already_received);
    void stop();

    std::atomic<std::int64_t> last_activity_us{0};
    std::atomic<std::uint64_t> lines{0};
    std::atomic<bool> open{true};

  private:
    void read_next();
    void on_read(const std::error_code& ec);
    bool take_line(std::string line);
    void handle_line(const std::string& line);
    void send(std::string text);
    void write_next();
    void lost(const std::string& why);
    void shutdown_socket();
    void close_socket();
    template <class F>
    void with_callbacks(F&& f);

    asio::ip::tcp::socket socket_;
    asio::strand<asio::any_io_executor> strand_;
    asio::streambuf buffer_{kMaxControlLineBytes + 2};  // a whole line with its "\r\n"
    util::NowFn now_;
    std::string peer_;
    std::deque<std::string> writes_;  // strand only
    // What the launcher may repeat at will is warned about once in ten seconds (strand only).
    static constexpr std::chrono::seconds kWarnEvery{10};
    util::RateLimitedLog unreadable_lines_{kWarnEvery};
    util::RateLimitedLog dropped_pongs_{kWarnEvery};
    std::mutex socket_mutex_;  // closing (strand) against shutting down (any thread)

    std::mutex callbacks_mutex_;
    bool stopped_ = false;  // guarded by callbacks_mutex_
    bool started_ = false;  // guarded by callbacks_mutex_: handlers may be queued on the strand
    Callbacks callbacks_;   // guarded by callbacks_mutex_
};

}  // namespace vx::detail
