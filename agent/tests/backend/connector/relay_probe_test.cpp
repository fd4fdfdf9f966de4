#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <map>

#include "connector_test_support.hpp"
#include "log_capture.hpp"

namespace vx::network {
namespace {

using namespace std::chrono_literals;

// A STUN probe stand-in: answers from a table and, when gated, blocks every call until the
// test opens the gate.
class ControlledProbe {
  public:
    std::map<std::string, std::int32_t> answers;  // host -> rtt; absent = no answer

    RelayProbeFn fn() {
        return [this](const std::string& host, std::uint16_t, std::chrono::milliseconds timeout) {
            std::unique_lock lock(mutex_);
            EXPECT_EQ(timeout, 350ms);
            calls_.push_back(host);
            cv_.notify_all();
            cv_.wait(lock, [&] { return !gated_; });
            const auto it = answers.find(host);
            return it == answers.end() ? std::nullopt : std::optional<std::int32_t>(it->second);
        };
    }
    void gate() {
        std::lock_guard lock(mutex_);
        gated_ = true;
    }
    void open() {
        std::lock_guard lock(mutex_);
        gated_ = false;
        cv_.notify_all();
    }
    bool wait_calls(std::size_t n) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, 10s, [&] { return calls_.size() >= n; });
    }
    std::vector<std::string> calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool gated_ = false;
    std::vector<std::string> calls_;
};

std::string node(const std::string& id, const std::string& host, const std::string& rest = "") {
    return R"({"id":")" + id + R"(","host":")" + host + "\"" + rest + "}";
}

std::string relay_list(const std::vector<std::string>& nodes) {
    std::string text = R"({"type":"relay_list","relays":[)";
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        text += (i ? "," : "") + nodes[i];
    }
    return text + "]}";
}

struct ProbeRig : test::ConnectorRig {
    ProbeRig() { connector.set_relay_probe(probe.fn()); }
    bool idle() { return connector.relay_probe().wait_idle(10s); }
    std::vector<std::string> queued() { return connector.take_outgoing(); }
    ControlledProbe probe;
};

TEST(RelayList, FortyNodesAreCutTo32AndMeasured) {
    test::LogCapture log;
    ProbeRig rig;
    std::vector<std::string> nodes;
    for (int i = 0; i < 40; ++i) {
        const std::string host = "10.9.0." + std::to_string(i);
        nodes.push_back(node("n" + std::to_string(i), host));
        if (i % 2 == 0) {
            rig.probe.answers[host] = i;
        }
    }
    rig.connector.handle_message(relay_list(nodes));
    ASSERT_TRUE(rig.idle());
    EXPECT_EQ(rig.probe.calls().size(), 32u);
    EXPECT_EQ(log.count("relay_list has more than 32 node(s) — the rest are ignored"), 1u);
    EXPECT_TRUE(log.has("relay_list with 32 node(s) — measuring RTTs in the background"));
    EXPECT_TRUE(log.has("SaasConnector: relay RTT probe reported 16/32 node(s)"));
    EXPECT_TRUE(
        log.has("SaasConnector: relay n1 (10.9.0.1:3478) did not answer a STUN Binding "
                "request within 350 ms"));
    const auto queued = rig.queued();
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_EQ(queued[0].rfind(R"({"rtts":{"n0":0,"n10":10,"n12":12,)", 0), 0u) << queued[0];
    EXPECT_EQ(rig.connector.relay_rtts().size(), 16u);
    EXPECT_EQ(rig.connector.relay_rtts().at("n30"), 30u);
}

TEST(RelayList, ControlCredentialsAndTheirExpiry) {
    test::LogCapture log;
    ProbeRig rig;
    rig.connector.handle_message(relay_list({
        node("a", "10.0.0.1", R"(,"control":{"username":"u","credential":"p","ttl":60})"),
        node("b", "10.0.0.2", R"(,"control":{"username":"u","credential":"p","ttl":0})"),
    }));
    ASSERT_TRUE(rig.idle());
    EXPECT_EQ(rig.probe.calls().size(), 2u);  // b is probed all the same
    const auto control = rig.connector.control_relays();
    ASSERT_EQ(control.size(), 1u);
    EXPECT_EQ(control[0].id, "a");
    EXPECT_EQ(control[0].credential_expiry, (rig.wall_ms.load() + 60'000) * 10'000);
    EXPECT_TRUE(log.has("1 relay node(s) can carry the control channel if the direct path fails"));
    // A list without control nodes clears them and says so; an empty list after that is quiet.
    log.clear();
    rig.clock.advance_ms(20'000);
    rig.connector.handle_message(relay_list({node("b", "10.0.0.2")}));
    ASSERT_TRUE(rig.idle());
    EXPECT_TRUE(rig.connector.control_relays().empty());
    EXPECT_TRUE(log.has("0 relay node(s) can carry the control channel"));
    log.clear();
    rig.connector.handle_message(relay_list({node("c", "10.0.0.3")}));
    ASSERT_TRUE(rig.idle());
    EXPECT_FALSE(log.has("can carry the control channel"));
}

TEST(RelayList, NothingUsableOrNothingAnswered) {
    test::LogCapture log;
    ProbeRig rig;
    rig.connector.handle_message(R"({"type":"relay_list"})");
    EXPECT_TRUE(log.has("relay_list without a relays array — ignored"));
    rig.connector.handle_message(relay_list({node("", "h"), "7"}));
    EXPECT_TRUE(log.has("relay_list contained no usable node — nothing to probe"));
    EXPECT_EQ(rig.connector.relay_probe().runs_started(), 0u);
    rig.connector.handle_message(relay_list({node("a", "10.0.0.1"), node("b", "10.0.0.2")}));
    ASSERT_TRUE(rig.idle());
    EXPECT_TRUE(
        log.has("none of the 2 relay node(s) answered a STUN Binding request within 350 "
                "ms — no relay_rtts sent"));
    EXPECT_TRUE(rig.queued().empty());
}

TEST(RelayList, AProbeThatThrowsCountsAsNoAnswer) {
    test::LogCapture log;
    test::ConnectorRig rig;
    rig.connector.set_relay_probe(
        [](const std::string& host, std::uint16_t, std::chrono::milliseconds) {
            if (host == "10.0.0.1") {
                throw std::runtime_error("resolver broke");
            }
            if (host == "10.0.0.2") {
                throw 7;
            }
            return std::optional<std::int32_t>(3);
        });
    rig.connector.handle_message(
        relay_list({node("a", "10.0.0.1"), node("b", "10.0.0.2"), node("c", "10.0.0.3")}));
    ASSERT_TRUE(rig.connector.relay_probe().wait_idle(10s));
    EXPECT_TRUE(log.has("relay RTT probe reported 1/3 node(s)"));
    EXPECT_EQ(rig.connector.relay_rtts().count("c"), 1u);
}

TEST(RelayProbeScheduling, SameListWithin15sIsProbedOnce) {
    test::LogCapture log;
    ProbeRig rig;
    const std::string list = relay_list({node("a", "10.0.0.1")});
    rig.connector.handle_message(list);
    ASSERT_TRUE(rig.idle());
    rig.clock.advance_ms(14'999);
    rig.connector.handle_message(list);
    EXPECT_EQ(rig.connector.relay_probe().runs_started(), 1u);
    EXPECT_TRUE(log.has("relay_list unchanged and probed 14999 ms ago — not probing again"));
    rig.clock.advance_ms(1);
    rig.connector.handle_message(list);
    ASSERT_TRUE(rig.idle());
    EXPECT_EQ(rig.connector.relay_probe().runs_started(), 2u);
    EXPECT_EQ(rig.probe.calls().size(), 2u);
}

TEST(RelayProbeScheduling, ListsArrivingDuringARunGiveExactlyOneMoreRunWithTheLatest) {
    ProbeRig rig;
    rig.probe.gate();
    rig.connector.handle_message(relay_list({node("a", "10.0.0.1")}));
    ASSERT_TRUE(rig.probe.wait_calls(1));
    rig.connector.handle_message(relay_list({node("b", "10.0.0.2")}));
    rig.connector.handle_message(relay_list({node("c", "10.0.0.3")}));
    rig.connector.handle_message(relay_list({node("c", "10.0.0.3")}));
    // The same list as the running one becomes pending too: it may have changed meanwhile.
    EXPECT_TRUE(rig.connector.relay_probe().in_flight());
    rig.probe.open();
    ASSERT_TRUE(rig.idle());
    EXPECT_EQ(rig.probe.calls(), (std::vector<std::string>{"10.0.0.1", "10.0.0.3"}));
    EXPECT_EQ(rig.connector.relay_probe().runs_started(), 2u);
    // The pending run counts as the last run for the 15 s rule.
    rig.connector.handle_message(relay_list({node("c", "10.0.0.3")}));
    EXPECT_EQ(rig.connector.relay_probe().runs_started(), 2u);
}

TEST(RelayProbeScheduling, StopJoinsAProbeThatEndsWithinTheDeadline) {
    ProbeRig rig;
    rig.probe.answers["10.0.0.1"] = 5;
    rig.probe.gate();
    rig.connector.handle_message(relay_list({node("a", "10.0.0.1"), node("b", "10.0.0.2")}));
    ASSERT_TRUE(rig.probe.wait_calls(1));
    auto stopped =
        std::async(std::launch::async, [&] { return rig.connector.relay_probe().stop(); });
    // stop() clears in_flight and sets the stop token in one step; release the probe after it.
    ASSERT_TRUE(rig.idle());
    rig.probe.open();
    EXPECT_EQ(stopped.get(), JoinResult::joined);
    // The stop token ended the run: b was never probed and nothing was reported.
    EXPECT_EQ(rig.probe.calls().size(), 1u);
    EXPECT_TRUE(rig.queued().empty());
    EXPECT_FALSE(rig.connector.relay_probe().in_flight());
}

TEST(RelayProbeScheduling, SlowProbeIsDetachedAndOutlivesTheConnectorSafely) {
    test::LogCapture log;
    // Destroyed with the last owner of the probe's shared state.
    struct Sentinel {
        std::promise<void> gone;
        ~Sentinel() { gone.set_value(); }
    };
    auto sentinel = std::make_shared<Sentinel>();
    std::future<void> gone = sentinel->gone.get_future();
    ControlledProbe probe;
    probe.answers["10.0.0.1"] = 5;
    probe.gate();
    {
        test::ConnectorRig rig;
        rig.connector.set_relay_probe([fn = probe.fn(), keep = sentinel](
                                          const std::string& h, std::uint16_t p,
                                          std::chrono::milliseconds t) { return fn(h, p, t); });
        sentinel.reset();
        rig.connector.relay_probe().set_join_deadline(20ms);
        rig.connector.handle_message(relay_list({node("a", "10.0.0.1")}));
        ASSERT_TRUE(probe.wait_calls(1));
        rig.connector.stop();
        EXPECT_TRUE(
            log.has("SaasConnector: the relay RTT probe did not exit within 20 ms — "
                    "detached (its stop token is set, so it touches nothing else)"));
    }
    // The connector is gone; the detached probe returns and must not touch freed memory.
    probe.open();
    EXPECT_EQ(gone.wait_for(10s), std::future_status::ready);
}

TEST(JoinWithDeadline, JoinsAtOnceWhenDoneAndNotJoinableOtherwise) {
    auto done = std::make_shared<DoneFlag>();
    std::thread t([done] { done->store(true); });
    while (!done->load()) {
        std::this_thread::yield();
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(join_with_deadline(t, done, 1500ms), JoinResult::joined);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10ms);
    EXPECT_EQ(join_with_deadline(t, done, 1500ms), JoinResult::not_joinable);
}

TEST(JoinWithDeadline, DetachesFromItsOwnThread) {
    auto done = std::make_shared<DoneFlag>();
    std::promise<JoinResult> result;
    std::future<JoinResult> outcome = result.get_future();
    std::promise<void> go;
    std::thread t;
    // The thread owns its promise: once detached it must not touch the test's stack.
    t = std::thread([self = &t, done, go_f = go.get_future(), r = std::move(result)]() mutable {
        go_f.wait();  // until `t` holds this thread
        r.set_value(join_with_deadline(*self, done, 1500ms));
    });
    go.set_value();
    EXPECT_EQ(outcome.get(), JoinResult::detached_self);
}

}  // namespace
}  // namespace vx::network
