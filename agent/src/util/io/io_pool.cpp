#include "util/io/io_pool.hpp"
#include "platform/thread_name.hpp"

#include <spdlog/spdlog.h>
#include <algorithm>

namespace vx {

unsigned IoPool::default_threads() {
    return std::min(std::max(2u, std::thread::hardware_concurrency()), 4u);
}

void IoPool::start(unsigned threads) {
    if (running()) {
        return;
    }
    if (io_.stopped()) {
        io_.restart();
    }
    guard_.emplace(asio::make_work_guard(io_));
    for (unsigned i = 0; i < std::max(1u, threads); ++i) {
        threads_.emplace_back([this] {
            platform::name_this_thread("vx-io");
            for (;;) {
                try {
                    io_.run();
                    return;
                } catch (const std::exception& e) {
                    // A handler that throws must not take the whole pool down with it.
                    spdlog::error("I/O pool: handler raised: {}", e.what());
                }
            }
        });
    }
}

void IoPool::stop() {
    if (!running()) {
        return;
    }
    guard_.reset();
    io_.stop();
    for (auto& t : threads_) {
        t.join();
    }
    threads_.clear();
}

}  // namespace vx
