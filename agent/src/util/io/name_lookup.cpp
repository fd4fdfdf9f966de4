#include "util/io/name_lookup.hpp"

#include <netdb.h>
#include <sys/socket.h>

#include <asio/error.hpp>
#include <asio/ip/tcp.hpp>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/thread_name.hpp"
#include "platform/wake_event.hpp"

namespace vx::network {
namespace {

// getaddrinfo's codes with its own texts ("Name or service not known").
class AddrinfoCategory final : public std::error_category {
  public:
    const char* name() const noexcept override { return "getaddrinfo"; }
    std::string message(int code) const override { return ::gai_strerror(code); }
};

const std::error_category& addrinfo_category() {
    static const AddrinfoCategory category;
    return category;
}

}  // namespace

NameAnswer system_name_lookup(const std::string& host, NameFamily family) {
    NameAnswer answer;
    addrinfo hints{};
    hints.ai_family = family == NameFamily::ipv4 ? AF_INET : AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;  // one entry per address
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc == EAI_SYSTEM) {
        answer.error = std::error_code(errno, std::generic_category());
    } else if (rc != 0) {
        answer.error = std::error_code(rc, addrinfo_category());
    }
    for (const addrinfo* ai = rc == 0 ? found : nullptr; ai != nullptr; ai = ai->ai_next) {
        asio::ip::tcp::endpoint endpoint;
        if (ai->ai_addrlen <= endpoint.capacity()) {
            std::memcpy(endpoint.data(), ai->ai_addr, ai->ai_addrlen);
            endpoint.resize(ai->ai_addrlen);
            answer.addresses.push_back(endpoint.address());
        }
    }
    if (found != nullptr)
        ::freeaddrinfo(found);
    return answer;
}

struct PendingNameLookup::Job {
    std::mutex mutex;
    platform::WakeEvent ready;
    bool done = false;  // guarded by mutex
    NameAnswer answer;  // guarded by mutex
};

PendingNameLookup::PendingNameLookup(std::string host, NameLookupFn lookup)
    : job_(std::make_shared<Job>()) {
    thread_ = std::thread([job = job_, host = std::move(host), lookup = std::move(lookup)] {
        platform::name_this_thread("vx-resolve");
        NameAnswer answer = lookup(host);
        {
            std::lock_guard lock(job->mutex);
            job->answer = std::move(answer);
            job->done = true;
        }
        job->ready.signal();
    });
}

PendingNameLookup::~PendingNameLookup() {
    bool done;
    {
        std::lock_guard lock(job_->mutex);
        done = job_->done;
    }
    if (done) {
        thread_.join();  // its last step was the signal
    } else {
        thread_.detach();  // it holds only its job, and ends when the name server answers
    }
}

int PendingNameLookup::ready_fd() const {
    return job_->ready.native_handle();
}

bool PendingNameLookup::wait_until(std::chrono::steady_clock::time_point deadline) const {
    for (;;) {
        {
            std::lock_guard lock(job_->mutex);
            if (job_->done)
                return true;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        job_->ready.wait(-1, left);
    }
}

NameAnswer PendingNameLookup::answer() const {
    std::lock_guard lock(job_->mutex);
    if (!job_->done)
        return {{}, asio::error::timed_out};
    return job_->answer;
}

NameAnswer lookup_name(const std::string& host, NameFamily family,
                       std::chrono::milliseconds limit) {
    std::error_code not_literal;
    const asio::ip::address literal = asio::ip::make_address(host, not_literal);
    if (!not_literal && (family == NameFamily::any || literal.is_v4()))
        return {{literal}, {}};
    const auto deadline = std::chrono::steady_clock::now() + limit;
    try {
        const PendingNameLookup pending(
            host, [family](const std::string& name) { return system_name_lookup(name, family); });
        pending.wait_until(deadline);
        return pending.answer();
    } catch (const std::system_error& failure) {
        return {{}, failure.code()};
    }
}

}  // namespace vx::network
