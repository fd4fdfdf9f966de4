#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "backend/messages/saas_connector_records.hpp"
#include "util/clock.hpp"
#include "util/io/join_with_deadline.hpp"

namespace vx::network {

// One STUN Binding round trip to a relay node: the round-trip time in whole milliseconds, or
// nothing when the node did not answer within `timeout`. Blocking; runs on the probe thread.
using RelayProbeFn = std::function<std::optional<std::int32_t>(
    const std::string& host, std::uint16_t port, std::chrono::milliseconds timeout)>;

// The relay nodes that can carry the control channel and the measured round-trip times, under
// the relay mutex. The connection loop reads them to choose a relay; the probe writes times.
class RelayBook {
  public:
    // Replaces the control-capable list; returns false when both the old and the new list are
    // empty (nothing worth logging).
    bool replace_control_relays(std::vector<RelayNode> nodes);
    std::vector<RelayNode> control_relays() const;

    void record_rtts(const std::map<std::string, std::int32_t>& rtts);
    std::map<std::string, std::uint32_t> rtts() const;

  private:
    mutable std::mutex mutex_;
    std::vector<RelayNode> control_relays_;
    std::map<std::string, std::uint32_t> rtts_ms_;
};

struct RelayProbeSetup {
    RelayProbeFn probe;
    util::NowFn now_us;  // steady clock
    std::shared_ptr<RelayBook> book;
    // Queues the "relay_rtts" message. It may run on a detached thread after the owner is gone,
    // so it must hold (shared ownership of) whatever it touches.
    std::function<void(const nlohmann::json&)> enqueue;
};

// Measures the relay nodes of a "relay_list" on one background thread at a time. A list equal
// to the last one is not measured again within 15 s; a different list arriving during a run is
// measured right after it (only the latest such list).
class RelayProbe {
  public:
    static constexpr std::chrono::milliseconds kProbeTimeout{350};
    static constexpr std::chrono::milliseconds kJoinDeadline{1500};
    static constexpr std::int64_t kRepeatWindowUs = 15'000'000;

    explicit RelayProbe(RelayProbeSetup setup);
    ~RelayProbe();
    RelayProbe(const RelayProbe&) = delete;
    RelayProbe& operator=(const RelayProbe&) = delete;

    void start(std::vector<RelayNode> nodes);

    // Sets the running probe's stop token and joins it within the join deadline, else detaches
    // it (everything it can still touch is shared with it).
    JoinResult stop();

    // Waits until no run is in flight; false when `timeout` passed first.
    bool wait_idle(std::chrono::milliseconds timeout);

    bool in_flight() const;
    // Probe runs started so far (a pending list taken by a running thread counts too).
    std::uint64_t runs_started() const;

    void set_join_deadline(std::chrono::milliseconds deadline);
    // Replace the probe function or the clock; a run in flight keeps the probe it started with.
    void set_probe(RelayProbeFn probe);
    void set_clock(util::NowFn now_us);

  private:
    struct Shared;
    static void run(std::shared_ptr<Shared> shared, std::vector<RelayNode> nodes,
                    std::shared_ptr<std::atomic<bool>> stop_token, DoneFlagPtr done);
    static bool measure(Shared& shared, const RelayProbeFn& probe,
                        const std::vector<RelayNode>& nodes, const std::atomic<bool>& stop_token);

    std::shared_ptr<Shared> shared_;
};

}  // namespace vx::network
