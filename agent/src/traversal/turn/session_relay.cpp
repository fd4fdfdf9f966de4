#include "traversal/turn/session_relay.hpp"

#include <algorithm>
#include <array>

#include <spdlog/spdlog.h>

#include "platform/thread_name.hpp"
#include "traversal/turn/turn_credentials.hpp"

namespace vx::network {

namespace {

// The shortest wait between two upkeep calls, so an upkeep interval of 0 does not spin.
constexpr std::chrono::milliseconds kShortestWait{50};
constexpr std::size_t kDatagramBuffer = 2048;

}  // namespace

SessionRelay::SessionRelay(TurnTiming timing)
    : timing_(std::move(timing)), client_(std::make_unique<TurnClient>(timing_)) {
    if (!timing_.now) {
        timing_.now = util::steady_now_us;
    }
}

SessionRelay::~SessionRelay() {
    stop();
}

bool SessionRelay::start(const SessionRelayOptions& options, std::string& err) {
    err.clear();
    stop();
    TurnConfig config;
    if (!parse_turn_credentials(options.credentials_json, config, err)) {
        return false;
    }
    if (options.qos_traffic_type != 0) {
        client_->enable_qos(options.qos_traffic_type);
    }
    if (!client_->allocate(config, err)) {
        return false;
    }
    if (!options.launcher_address.empty() &&
        !client_->create_permission(options.launcher_address, err)) {
        client_->close();
        return false;
    }
    std::lock_guard lock(mutex_);
    options_ = options;
    stopping_ = false;
    stop_wake_.clear();
    running_ = true;
    poller_ = std::thread([this] { poll(); });
    return true;
}

void SessionRelay::stop() {
    {
        std::lock_guard lock(mutex_);
        if (!running_) {
            return;
        }
        stopping_ = true;
    }
    wake_.notify_all();
    stop_wake_.signal();
    poller_.join();
    client_->close();
    std::lock_guard lock(mutex_);
    running_ = false;
}

bool SessionRelay::active() const {
    std::lock_guard lock(mutex_);
    return running_ && client_->is_allocated();
}

bool SessionRelay::stopping() const {
    std::lock_guard lock(mutex_);
    return stopping_;
}

bool SessionRelay::wait_for_stop(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return wake_.wait_for(lock, limit, [this] { return stopping_; });
}

void SessionRelay::poll() {
    platform::name_this_thread("vx-turn-poll");
    std::array<std::uint8_t, kDatagramBuffer> buffer{};
    const std::int64_t interval_us =
        std::chrono::duration_cast<std::chrono::microseconds>(options_.maintain_interval).count();
    std::int64_t next_maintain = timing_.now() + interval_us;
    for (;;) {
        // Relayed datagrams and the stop end the wait; otherwise it lasts until the next upkeep.
        const std::int64_t until_us = std::max<std::int64_t>(next_maintain - timing_.now(), 0);
        const auto wait =
            std::max(kShortestWait, std::chrono::milliseconds((until_us + 999) / 1000));
        if (options_.on_datagram) {
            std::string peer;
            std::uint16_t port = 0;
            const std::int32_t n = client_->receive(buffer.data(), buffer.size(), peer, port,
                                                    static_cast<std::int32_t>(wait.count()),
                                                    stop_wake_.native_handle());
            if (n > 0) {
                options_.on_datagram(peer, port, buffer.data(), static_cast<std::size_t>(n));
            }
            // A closed socket answers at once; wait instead of spinning on it.
            if (n < 0 ? wait_for_stop(wait) : stopping()) {
                return;
            }
        } else if (wait_for_stop(wait)) {
            return;
        }
        if (timing_.now() >= next_maintain) {
            next_maintain = timing_.now() + interval_us;
            std::string err;
            if (client_->is_allocated() && !client_->maintain(err)) {
                spdlog::warn("TURN: relay upkeep failed: {}", err);
            }
        }
    }
}

}  // namespace vx::network
