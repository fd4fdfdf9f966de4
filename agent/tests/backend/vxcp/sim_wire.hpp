#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <vector>

#include "backend/vxcp/vxcp_crypto.hpp"

// One direction of a simulated lossy path on a virtual clock: random and burst loss (two-state
// Gilbert model), jitter (which also reorders), duplication and black-out windows.
namespace vx::test {

struct WireProfile {
    double loss = 0.0;         // in the good state
    double burst_enter = 0.0;  // chance per datagram to enter the bad state
    double burst_exit = 0.3;   // chance per datagram to leave it
    double burst_loss = 0.6;   // loss in the bad state
    std::int64_t delay_us = 10'000;
    std::int64_t jitter_us = 0;  // extra uniform delay; arrivals otherwise keep their order
    double reorder = 0.0;        // chance that a datagram is held back and overtaken
    std::int64_t reorder_delay_us = 30'000;
    double duplicate = 0.0;
    std::int64_t blackout_from_us = -1;  // everything sent in [from, to) is lost
    std::int64_t blackout_to_us = -1;
};

struct WireDatagram {
    std::uint64_t number = 0;
    network::Bytes bytes;
};

class SimWire {
  public:
    SimWire(WireProfile profile, std::uint64_t seed) : profile_(profile), rng_(seed) {}

    void send(std::int64_t now, std::uint64_t number, const network::Bytes& bytes) {
        ++sent_;
        if (lost(now)) {
            ++dropped_;
            return;
        }
        schedule(now, number, bytes);
        if (chance(profile_.duplicate)) {
            schedule(now, number, bytes);
        }
    }

    std::vector<WireDatagram> take_arrived(std::int64_t now) {
        std::vector<WireDatagram> out;
        while (!queue_.empty() && queue_.begin()->first <= now) {
            out.push_back(std::move(queue_.begin()->second));
            queue_.erase(queue_.begin());
        }
        return out;
    }

    std::int64_t next_arrival(std::int64_t otherwise) const {
        return queue_.empty() ? otherwise : queue_.begin()->first;
    }
    std::uint64_t sent() const { return sent_; }
    std::uint64_t dropped() const { return dropped_; }

  private:
    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; }

    bool lost(std::int64_t now) {
        if (now >= profile_.blackout_from_us && now < profile_.blackout_to_us) {
            return true;
        }
        in_burst_ = in_burst_ ? !chance(profile_.burst_exit) : chance(profile_.burst_enter);
        return chance(in_burst_ ? profile_.burst_loss : profile_.loss);
    }

    void schedule(std::int64_t now, std::uint64_t number, const network::Bytes& bytes) {
        std::int64_t delay = profile_.delay_us;
        if (profile_.jitter_us > 0) {
            delay += std::uniform_int_distribution<std::int64_t>(0, profile_.jitter_us)(rng_);
        }
        std::int64_t at = std::max(now + delay, last_arrival_);
        last_arrival_ = at;
        if (chance(profile_.reorder)) {
            at += std::uniform_int_distribution<std::int64_t>(1, profile_.reorder_delay_us)(rng_);
        }
        queue_.emplace(at, WireDatagram{number, bytes});
    }

    WireProfile profile_;
    std::mt19937_64 rng_;
    bool in_burst_ = false;
    std::int64_t last_arrival_ = 0;
    std::multimap<std::int64_t, WireDatagram> queue_;
    std::uint64_t sent_ = 0;
    std::uint64_t dropped_ = 0;
};

}  // namespace vx::test
