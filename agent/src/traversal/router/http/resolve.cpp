#include "traversal/router/http/resolve.hpp"

#include <asio/error.hpp>
#include <asio/io_context.hpp>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/thread_name.hpp"
#include "util/error_text.hpp"

namespace vx::network {
namespace {

// What the lookup thread hands back; shared, so a thread left behind at the deadline still has
// somewhere to put its answer.
struct LookupJob {
    std::mutex mutex;
    std::condition_variable answered;
    bool done = false;
    std::error_code error;
    std::optional<asio::ip::tcp::endpoint> found;
};

void run_lookup(const std::shared_ptr<LookupJob>& job, const NameLookup& lookup,
                const std::string& host, std::uint16_t port) {
    platform::name_this_thread("vx-resolve");
    std::optional<asio::ip::tcp::endpoint> found;
    const std::error_code error = lookup(host, port, found);
    {
        std::lock_guard lock(job->mutex);
        job->error = error;
        job->found = found;
        job->done = true;
    }
    job->answered.notify_all();
}

}  // namespace

std::error_code system_name_lookup(const std::string& host, std::uint16_t port,
                                   std::optional<asio::ip::tcp::endpoint>& found) {
    asio::io_context io;
    asio::ip::tcp::resolver resolver(io);
    std::error_code error;
    const auto results = resolver.resolve(host, std::to_string(port), error);
    if (!error && !results.empty())
        found = results.begin()->endpoint();
    return error;
}

bool resolve_with_timeout(const std::string& host, std::uint16_t port, Deadline deadline,
                          asio::ip::tcp::endpoint& endpoint, std::string& error,
                          const NameLookup& lookup) {
    std::error_code parse_error;
    const auto literal = asio::ip::make_address(host, parse_error);
    if (!parse_error) {
        endpoint = {literal, port};
        return true;
    }
    if (remaining_ms(deadline) < 1) {
        error = "resolve timeout";
        return false;
    }
    auto job = std::make_shared<LookupJob>();
    std::thread thread;
    try {
        thread = std::thread([job, lookup, host, port] { run_lookup(job, lookup, host, port); });
    } catch (const std::system_error& failure) {
        error = "resolve: " + util::describe_error(failure.code());
        return false;
    }
    std::unique_lock lock(job->mutex);
    if (!job->answered.wait_until(lock, deadline, [&] { return job->done; })) {
        lock.unlock();
        thread.detach();  // it holds only its job, and ends when the name server answers
        error = "resolve: " + util::describe_error(asio::error::operation_aborted);
        return false;
    }
    lock.unlock();
    thread.join();
    if (job->error || !job->found) {
        error = job->error ? "resolve: " + util::describe_error(job->error)
                           : "resolve timeout for " + host;
        return false;
    }
    endpoint = *job->found;
    return true;
}

}  // namespace vx::network
