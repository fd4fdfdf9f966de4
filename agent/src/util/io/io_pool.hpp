#pragma once

#include <asio.hpp>
#include <optional>
#include <thread>
#include <vector>

namespace vx {

// Threads that run the shared I/O context under a work guard.
class IoPool {
  public:
    explicit IoPool(asio::io_context& io) : io_(io) {}
    ~IoPool() { stop(); }
    IoPool(const IoPool&) = delete;
    IoPool& operator=(const IoPool&) = delete;

    // min(max(2, hardware threads), 4)
    static unsigned default_threads();

    // Restarts the context if it was stopped and runs it on `threads` threads. No effect while
    // running.
    void start(unsigned threads = default_threads());
    // Releases the guard, stops the context and joins the threads. Idempotent.
    void stop();
    bool running() const { return !threads_.empty(); }

  private:
    asio::io_context& io_;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> guard_;
    std::vector<std::thread> threads_;
};

}  // namespace vx
