#include "diag/logging.hpp"

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <vector>

#include <spdlog/async.h>
#include <spdlog/async_logger.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include "diag/diagnostic_sink.hpp"
#include "diag/overflow_watch_sink.hpp"

namespace vx::diag {
namespace {

constexpr std::size_t kQueueSize = 8192;
constexpr std::size_t kFileBytes = 10u * 1024 * 1024;
constexpr std::size_t kFileCount = 3;
constexpr auto kFlushInterval = std::chrono::seconds(1);

std::mutex g_mutex;
std::shared_ptr<spdlog::details::thread_pool> g_pool;  // guarded by g_mutex

struct FileSink {
    spdlog::sink_ptr sink;
    std::string path;
    std::string error;
};

FileSink open_file_sink(const std::string& directory) {
    FileSink out;
    const std::filesystem::path path = directory.empty()
                                           ? std::filesystem::path("agent.log")
                                           : std::filesystem::path(directory) / "agent.log";
    try {
        out.sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(path.string(), kFileBytes,
                                                                          kFileCount);
        out.path = path.string();
    } catch (const std::exception& e) {
        out.error = e.what();
        out.path = path.string();
    }
    return out;
}

void install_quiet_default() {
    auto quiet = std::make_shared<spdlog::logger>(kLoggerName);
    spdlog::set_default_logger(std::move(quiet));
}

void shutdown_locked() {
    auto old = spdlog::default_logger();
    // Late callers on other threads now log into nothing instead of a dying logger.
    install_quiet_default();
    spdlog::flush_every(std::chrono::seconds(0));  // a zero interval stops the periodic flush
    if (old) {
        old->flush();
        old.reset();
    }
    // The pool's destructor lets the worker write every queued message, then joins it.
    g_pool.reset();
}

}  // namespace

std::string init_logging(const LoggingOptions& options) {
    std::lock_guard lock(g_mutex);
    if (g_pool) {
        shutdown_locked();
    }
    g_pool = std::make_shared<spdlog::details::thread_pool>(kQueueSize, 1);
    // Only the pool's own worker calls the sink, so the pool is alive whenever the counter is
    // read, even while its destructor drains the queue (a weak pointer would already be empty).
    spdlog::details::thread_pool* pool = g_pool.get();
    auto watch = std::make_shared<util::detail::overflow_watch_sink>(
        [pool]() -> std::size_t { return pool->overrun_counter(); }, util::NowFn{});

    FileSink file = open_file_sink(options.directory);
    if (file.sink) {
        watch->add_sink(file.sink);
    }
    watch->add_sink(std::make_shared<diagnostic_sink>());
    if (options.console) {
        watch->add_sink(std::make_shared<spdlog::sinks::stdout_color_sink_mt>());
    }

    auto logger =
        std::make_shared<spdlog::async_logger>(kLoggerName, spdlog::sinks_init_list{watch}, g_pool,
                                               spdlog::async_overflow_policy::overrun_oldest);
    logger->set_pattern(kLogPattern);
    logger->set_level(spdlog::level::info);
    logger->flush_on(spdlog::level::info);
    spdlog::set_default_logger(logger);
    spdlog::flush_every(kFlushInterval);

    if (!file.sink) {
        logger->warn("Log file {} could not be opened ({}) - logging to memory{} only", file.path,
                     file.error, options.console ? " and the console" : "");
        return {};
    }
    return file.path;
}

void shutdown_logging() {
    std::lock_guard lock(g_mutex);
    shutdown_locked();
}

}  // namespace vx::diag
