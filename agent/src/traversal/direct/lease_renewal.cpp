#include "traversal/direct/lease_renewal.hpp"
#include "platform/thread_name.hpp"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>

namespace vx::network {
namespace {

// The longest a row waits between renewals; a pass with nothing mapped sleeps as long.
constexpr std::int64_t kLongestWaitUs = 240'000'000;
// A failed renewal is tried again after a quarter of the grant: the mapping still has the
// second half of its lease, so a retry or two fit before it lapses.
constexpr std::int64_t kMinRetryUs = 1'000'000;
constexpr std::int64_t kMaxRetryUs = 30'000'000;

std::int64_t retry_delay_us(const PortMapping& row) {
    const std::int64_t quarter = static_cast<std::int64_t>(row.granted_lifetime_s) * 250'000;
    if (row.granted_lifetime_s == 0)
        return kMaxRetryUs;
    return std::clamp(quarter, kMinRetryUs, kMaxRetryUs);
}

}  // namespace

LeaseRenewal::LeaseRenewal(DirectPortMapper& mapper, std::vector<std::uint16_t> ports,
                           std::uint32_t lease_s, util::NowFn now)
    : mapper_(mapper), ports_(std::move(ports)), lease_s_(lease_s), now_(std::move(now)) {}

LeaseRenewal::~LeaseRenewal() {
    stop();
}

void LeaseRenewal::start() {
    std::lock_guard lock(mutex_);
    if (thread_.joinable() || stop_)
        return;
    thread_ = std::thread([this] { run(); });
}

void LeaseRenewal::stop() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

std::int64_t LeaseRenewal::due_at(std::uint16_t port, const PortMapping& row) const {
    const auto retry = retry_at_.find(port);
    return retry == retry_at_.end() ? row.renew_due_us : std::max(row.renew_due_us, retry->second);
}

std::int64_t LeaseRenewal::renew_due(std::int64_t now_us) {
    std::int64_t next = now_us + kLongestWaitUs;
    for (const std::uint16_t port : ports_) {
        // Each renewal may hold the mapper for seconds with a slow router; a session that ends
        // meanwhile must not wait for the others too.
        if (stopping())
            break;
        auto row = mapper_.mapping(port);
        if (!row)
            continue;
        if (due_at(port, *row) <= now_us) {
            if (mapper_.renew(port, lease_s_)) {
                retry_at_.erase(port);
            } else {
                spdlog::warn("Direct path: lease renewal for UDP {} skipped: {}", port,
                             mapper_.last_error());
                retry_at_[port] = now_us + retry_delay_us(*row);
            }
            row = mapper_.mapping(port);  // renewed, or released meanwhile
            if (!row)
                continue;
        }
        next = std::min(next, due_at(port, *row));
    }
    return next;
}

bool LeaseRenewal::stopping() {
    std::lock_guard lock(mutex_);
    return stop_;
}

void LeaseRenewal::run() {
    platform::name_this_thread("vx-lease");
    std::unique_lock lock(mutex_);
    while (!stop_) {
        lock.unlock();
        const std::int64_t next = renew_due(now_());
        lock.lock();
        const std::int64_t wait_us = std::clamp<std::int64_t>(next - now_(), 0, kLongestWaitUs);
        wake_.wait_for(lock, std::chrono::microseconds(wait_us), [this] { return stop_; });
    }
}

}  // namespace vx::network
