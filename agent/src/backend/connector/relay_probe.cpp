#include "backend/connector/relay_probe.hpp"

#include <spdlog/spdlog.h>

#include <thread>

#include "backend/messages/messages.hpp"
#include "platform/thread_name.hpp"

namespace vx::network {

bool RelayBook::replace_control_relays(std::vector<RelayNode> nodes) {
    std::lock_guard lock(mutex_);
    const bool worth_logging = !(nodes.empty() && control_relays_.empty());
    control_relays_ = std::move(nodes);
    return worth_logging;
}

std::vector<RelayNode> RelayBook::control_relays() const {
    std::lock_guard lock(mutex_);
    return control_relays_;
}

void RelayBook::record_rtts(const std::map<std::string, std::int32_t>& rtts) {
    std::lock_guard lock(mutex_);
    for (const auto& [id, ms] : rtts) {
        rtts_ms_[id] = static_cast<std::uint32_t>(ms < 0 ? 0 : ms);
    }
}

std::map<std::string, std::uint32_t> RelayBook::rtts() const {
    std::lock_guard lock(mutex_);
    return rtts_ms_;
}

struct RelayProbe::Shared {
    explicit Shared(RelayProbeSetup s) : setup(std::move(s)) {}

    RelayProbeSetup setup;
    std::mutex mutex;
    std::condition_variable idle;
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> stop_token;
    DoneFlagPtr done;
    bool in_flight = false;
    bool probed = false;
    std::string last_signature;
    std::int64_t last_start_us = 0;
    std::vector<RelayNode> pending;
    std::string pending_signature;
    std::uint64_t runs = 0;
    std::chrono::milliseconds join_deadline = kJoinDeadline;
};

RelayProbe::RelayProbe(RelayProbeSetup setup)
    : shared_(std::make_shared<Shared>(std::move(setup))) {}

RelayProbe::~RelayProbe() {
    stop();
}

void RelayProbe::start(std::vector<RelayNode> nodes) {
    if (nodes.empty()) {
        return;
    }
    Shared& s = *shared_;
    std::thread previous;
    {
        std::lock_guard lock(s.mutex);
        std::string signature = relay_list_signature(nodes);
        const std::int64_t now = s.setup.now_us();
        if (s.in_flight) {
            if (signature != s.pending_signature) {
                s.pending = std::move(nodes);
                s.pending_signature = std::move(signature);
                spdlog::debug(
                    "SaasConnector: relay_list changed while a probe run is in flight — queued "
                    "for one more run");
            }
            return;
        }
        if (s.probed && signature == s.last_signature && now - s.last_start_us < kRepeatWindowUs) {
            spdlog::debug(
                "SaasConnector: relay_list unchanged and probed {} ms ago — not probing "
                "again",
                (now - s.last_start_us) / 1000);
            return;
        }
        auto stop_token = std::make_shared<std::atomic<bool>>(false);
        auto done = std::make_shared<DoneFlag>();
        try {
            std::thread next(&RelayProbe::run, shared_, std::move(nodes), stop_token, done);
            previous = std::move(s.thread);
            s.thread = std::move(next);
        } catch (const std::exception& e) {
            spdlog::warn("SaasConnector: cannot start the relay RTT probe: {}", e.what());
            return;
        }
        s.in_flight = true;
        s.probed = true;
        s.last_signature = std::move(signature);
        s.last_start_us = now;
        s.stop_token = std::move(stop_token);
        s.done = std::move(done);
        ++s.runs;
    }
    // The previous run has finished its work (in_flight was clear); only its exit is left.
    if (previous.joinable()) {
        previous.join();
    }
}

JoinResult RelayProbe::stop() {
    Shared& s = *shared_;
    std::thread thread;
    DoneFlagPtr done;
    std::chrono::milliseconds deadline;
    {
        std::lock_guard lock(s.mutex);
        s.in_flight = false;
        s.pending.clear();
        s.pending_signature.clear();
        if (s.thread.joinable()) {
            s.stop_token->store(true);
            thread = std::move(s.thread);
            done = s.done;
        }
        deadline = s.join_deadline;
        s.idle.notify_all();
    }
    const JoinResult result = join_with_deadline(thread, done, deadline);
    if (result == JoinResult::timed_out) {
        spdlog::error(
            "SaasConnector: the relay RTT probe did not exit within {} ms — detached (its stop "
            "token is set, so it touches nothing else)",
            deadline.count());
    }
    return result;
}

bool RelayProbe::wait_idle(std::chrono::milliseconds timeout) {
    Shared& s = *shared_;
    std::unique_lock lock(s.mutex);
    return s.idle.wait_for(lock, timeout, [&] { return !s.in_flight; });
}

bool RelayProbe::in_flight() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->in_flight;
}

std::uint64_t RelayProbe::runs_started() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->runs;
}

void RelayProbe::set_join_deadline(std::chrono::milliseconds deadline) {
    std::lock_guard lock(shared_->mutex);
    shared_->join_deadline = deadline;
}

void RelayProbe::set_probe(RelayProbeFn probe) {
    std::lock_guard lock(shared_->mutex);
    shared_->setup.probe = std::move(probe);
}

void RelayProbe::set_clock(util::NowFn now_us) {
    std::lock_guard lock(shared_->mutex);
    shared_->setup.now_us = std::move(now_us);
}

// Returns false when the stop token ended the run.
bool RelayProbe::measure(Shared& s, const RelayProbeFn& probe, const std::vector<RelayNode>& nodes,
                         const std::atomic<bool>& stop_token) {
    std::map<std::string, std::int32_t> rtts;
    for (const RelayNode& node : nodes) {
        if (stop_token.load()) {
            return false;
        }
        std::optional<std::int32_t> rtt;
        try {
            rtt = probe ? probe(node.host, node.port, kProbeTimeout) : std::nullopt;
        } catch (const std::exception& e) {
            spdlog::debug("SaasConnector: relay {} probe failed: {}", log_field(node.id), e.what());
        } catch (...) {
            spdlog::debug("SaasConnector: relay {} probe failed", log_field(node.id));
        }
        if (rtt) {
            rtts[node.id] = *rtt < 0 ? 0 : *rtt;
        } else {
            spdlog::debug(
                "SaasConnector: relay {} ({}:{}) did not answer a STUN Binding request within {} "
                "ms",
                log_field(node.id), log_field(node.host), node.port, kProbeTimeout.count());
        }
    }
    if (stop_token.load()) {
        return false;
    }
    if (rtts.empty()) {
        spdlog::warn(
            "SaasConnector: none of the {} relay node(s) answered a STUN Binding request within "
            "{} ms — no relay_rtts sent",
            nodes.size(), kProbeTimeout.count());
        return true;
    }
    s.setup.book->record_rtts(rtts);
    if (auto message = build_relay_rtts(rtts)) {
        s.setup.enqueue(*message);
    }
    spdlog::info("SaasConnector: relay RTT probe reported {}/{} node(s)", rtts.size(),
                 nodes.size());
    return true;
}

void RelayProbe::run(std::shared_ptr<Shared> shared, std::vector<RelayNode> nodes,
                     std::shared_ptr<std::atomic<bool>> stop_token, DoneFlagPtr done) {
    platform::name_this_thread("vx-relay-probe");
    Shared& s = *shared;
    for (;;) {
        RelayProbeFn probe;
        {
            std::lock_guard lock(s.mutex);
            probe = s.setup.probe;
        }
        bool finished = true;
        try {
            finished = measure(s, probe, nodes, *stop_token);
        } catch (const std::exception& e) {
            // An exception must not end the process from this thread; the run counts as done.
            spdlog::warn("SaasConnector: relay RTT probe run failed: {}", e.what());
        }
        if (!finished) {
            break;  // the stopper has already cleared the probe state
        }
        std::lock_guard lock(s.mutex);
        if (stop_token->load()) {
            break;
        }
        if (s.pending_signature.empty()) {
            s.pending.clear();
            s.in_flight = false;
            s.idle.notify_all();
            break;
        }
        nodes = std::move(s.pending);
        s.pending.clear();
        s.last_signature = std::move(s.pending_signature);
        s.pending_signature.clear();
        s.last_start_us = s.setup.now_us();
        ++s.runs;
    }
    done->store(true);
}

}  // namespace vx::network
