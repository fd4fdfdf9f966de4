#include "diag/logging.hpp"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include <fmt/format.h>
#include <spdlog/async.h>
#include <spdlog/async_logger.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include "diag/delayed_flush.hpp"
#include "diag/diagnostic_sink.hpp"
#include "diag/log_payload.hpp"
#include "diag/overflow_watch_sink.hpp"
#include "platform/thread_name.hpp"

namespace vx::diag {
namespace {

constexpr std::size_t kQueueSize = 8192;
constexpr std::size_t kFileBytes = 10u * 1024 * 1024;
constexpr std::size_t kFileCount = 3;
// Lines below the flush-on level reach the file at most this long after they were written.
constexpr std::chrono::milliseconds kFlushInterval{1000};
constexpr auto kFlushOnLevel = spdlog::level::info;

// How long the end of logging waits for the worker to write what is queued; a stalled disk
// must not keep the agent from exiting.
constexpr auto kDrainTimeout = std::chrono::seconds(5);

std::mutex g_mutex;
// The set-up in use; guarded by g_mutex.
std::shared_ptr<spdlog::logger> g_logger;
std::shared_ptr<util::detail::overflow_watch_sink> g_watch;
std::uint64_t g_markers_posted = 0;  // drain markers posted to g_watch, under g_mutex
std::unique_ptr<DelayedFlush> g_flush;

// One worker for the whole run, created on first use and never destroyed: a thread that already
// holds a replaced logger may still post to it at any moment, and an asynchronous logger whose
// pool is gone throws from calls that have no way to report it (a plain-text spdlog::info ends
// the process through std::terminate).
const std::shared_ptr<spdlog::details::thread_pool>& shared_pool() {
    static auto* pool = new std::shared_ptr<spdlog::details::thread_pool>(
        std::make_shared<spdlog::details::thread_pool>(
            kQueueSize, 1, [] { platform::name_this_thread("vx-log"); }));
    return *pool;
}

// The shared queue's overwritten messages since now. The pool outlives every sink that reads it;
// its counter runs for the whole process, so each set-up counts from where it stood when the
// set-up began.
std::function<std::size_t()> queue_overruns() {
    spdlog::details::thread_pool* counter = shared_pool().get();
    return [counter, base = counter->overrun_counter()]() -> std::size_t {
        return counter->overrun_counter() - base;
    };
}

struct FileSink {
    spdlog::sink_ptr sink;
    std::string path;
    std::string error;
};

FileSink open_file_sink(const std::string& directory) {
    FileSink out;
    out.path = log_file_path(directory);
    try {
        out.sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(out.path, kFileBytes,
                                                                          kFileCount);
    } catch (const std::exception& e) {
        out.error = e.what();
    }
    return out;
}

// The fallback folder is the agent's own state folder, which may not exist yet.
FileSink open_fallback_sink(const std::string& directory) {
    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
    return open_file_sink(directory);
}

// spdlog::info() and its kin call the default logger through a raw pointer, so a thread may be
// inside a logger at the moment another one replaces it. A logger that has been the default is
// therefore never destroyed: it is kept here (never freed, like the diagnostics store). The end
// of logging switches the asynchronous one off, so a late call returns at its level check.
std::vector<std::shared_ptr<spdlog::logger>>& retired_loggers() {
    static auto* retired = new std::vector<std::shared_ptr<spdlog::logger>>();
    return *retired;
}

void replace_default_locked(std::shared_ptr<spdlog::logger> next) {
    if (auto old = spdlog::default_logger()) {
        retired_loggers().push_back(std::move(old));
    }
    spdlog::set_default_logger(std::move(next));
}

// Everything queued before the marker is written once the worker reaches it. Returns the number
// of markers the watch sink will have seen by then.
std::uint64_t post_drain_marker_locked() {
    g_logger->log(spdlog::level::critical, util::detail::overflow_watch_sink::kDrainMarker);
    return ++g_markers_posted;
}

void shutdown_locked() {
    // Late callers on other threads now log into nothing.
    replace_default_locked(std::make_shared<spdlog::logger>(kLoggerName));
    if (!g_logger) {
        return;
    }
    g_watch->wait_for_markers(post_drain_marker_locked(), kDrainTimeout);
    g_logger->set_level(spdlog::level::off);
    g_watch->set_unflushed_hook(spdlog::level::off, {});
    g_flush.reset();
    g_watch->flush();
    g_logger.reset();
    g_watch.reset();
}

}  // namespace

std::string init_logging(const LoggingOptions& options) {
    std::lock_guard lock(g_mutex);
    shutdown_locked();
    auto watch = std::make_shared<util::detail::overflow_watch_sink>(
        options.synchronous ? [] { return std::size_t{0}; } : queue_overruns(), util::NowFn{});

    const FileSink wanted = open_file_sink(options.directory);
    FileSink file = wanted;
    if (!wanted.sink && !options.fallback_directory.empty()) {
        file = open_fallback_sink(options.fallback_directory);
    }
    if (file.sink) {
        watch->add_sink(file.sink);
    }
    watch->add_sink(std::make_shared<diagnostic_sink>());
    if (options.console) {
        watch->add_sink(std::make_shared<spdlog::sinks::stdout_color_sink_mt>());
    }

    std::shared_ptr<spdlog::logger> logger =
        options.synchronous ? std::make_shared<spdlog::logger>(kLoggerName, watch)
                            : std::make_shared<spdlog::async_logger>(
                                  kLoggerName, spdlog::sinks_init_list{watch}, shared_pool(),
                                  spdlog::async_overflow_policy::overrun_oldest);
    auto formatter = std::make_unique<spdlog::pattern_formatter>();
    formatter->add_flag<log_payload_flag>(log_payload_flag::kFlag).set_pattern(kLogPattern);
    logger->set_formatter(std::move(formatter));
    logger->set_level(spdlog::level::info);
    logger->flush_on(kFlushOnLevel);
    replace_default_locked(logger);
    // What is not flushed as it is written is flushed within the interval, by a thread that
    // sleeps while nothing waits.
    g_flush = std::make_unique<DelayedFlush>(logger, kFlushInterval);
    watch->set_unflushed_hook(kFlushOnLevel, [flush = g_flush.get()] { flush->request(); });
    g_logger = logger;
    g_watch = watch;
    g_markers_posted = 0;

    if (!wanted.sink && file.sink) {
        logger->warn("Log file {} could not be opened ({}) - logging to {} instead", wanted.path,
                     wanted.error, file.path);
    }
    if (!file.sink) {
        const std::string fallback_failed =
            file.path == wanted.path ? std::string()
                                     : fmt::format(", nor {} ({})", file.path, file.error);
        logger->warn("Log file {} could not be opened ({}){} - logging to memory{} only",
                     wanted.path, wanted.error, fallback_failed,
                     options.console ? " and the console" : "");
        return {};
    }
    return file.path;
}

std::string log_file_path(const std::string& directory) {
    return directory.empty() ? std::string("agent.log")
                             : (std::filesystem::path(directory) / "agent.log").string();
}

void wait_logged(std::chrono::milliseconds limit) {
    std::shared_ptr<util::detail::overflow_watch_sink> watch;
    std::uint64_t marker = 0;
    {
        std::lock_guard lock(g_mutex);
        if (!g_logger) {
            return;
        }
        marker = post_drain_marker_locked();
        watch = g_watch;
    }
    watch->wait_for_markers(marker, limit);
}

void shutdown_logging() {
    std::lock_guard lock(g_mutex);
    shutdown_locked();
}

}  // namespace vx::diag
