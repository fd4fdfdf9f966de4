#include <gtest/gtest.h>
#include <poll.h>

#include <functional>
#include <map>
#include <set>
#include <thread>

#include "connector_test_support.hpp"

namespace vx::network {
namespace {

// Four driver threads queue messages while the connection thread drains and replays, as in a
// burst of reconnects, and a fifth works the caches (session_ready, session_ended, error with a
// session id). Every message must reach the drain or be counted as a stale drop, none twice,
// each sender's in order; no lock-order inversion (run under ThreadSanitizer as well).
TEST(QueueStress, FourSendersADrainerAndReplaysLoseNothingUncounted) {
    test::ConnectorRig rig;
    SaasConnector& c = rig.connector;
    constexpr int kSenders = 4;
    constexpr int kPerSender = 2000;
    constexpr int kCached = 1000;
    constexpr int kReplays = 200;

    std::atomic<int> done{0};
    std::vector<std::thread> threads;
    for (int s = 0; s < kSenders; ++s) {
        threads.emplace_back([&, s] {
            for (int i = 0; i < kPerSender; ++i) {
                const std::string id = std::to_string(s) + "-" + std::to_string(i);
                if (i % 2 == 0) {
                    c.send_error("E", id, "");
                } else {
                    c.enqueue_text("raw " + id);
                }
            }
            done.fetch_add(1);
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < kCached; ++i) {
            const std::string session = "s-" + std::to_string(i % 12);
            c.send_session_ready(session, "1.2.3.4", 1, 2, 3);
            if (i % 3 == 0) {
                c.clear_cached_session_ready();
            }
            c.send_error("E", "cached", session);
            c.send_session_ended(session, "r", 1);
        }
        done.fetch_add(1);
    });

    std::size_t stale = 0;
    std::vector<std::string> drained;
    const auto drain = [&] {
        for (std::string& text : c.take_outgoing()) {
            drained.push_back(std::move(text));
        }
    };
    for (int replays = 0; done.load() < kSenders + 1 || replays < kReplays; ++replays) {
        if (replays < kReplays) {
            stale += c.resend_after_reconnect();
        }
        drain();
    }
    for (std::thread& t : threads) {
        t.join();
    }
    drain();

    std::set<std::string> seen;
    std::map<int, int> last_index;
    std::size_t direct = 0;
    for (const std::string& text : drained) {
        std::string id;
        if (text.rfind("raw ", 0) == 0) {
            id = text.substr(4);
        } else if (text.find(R"("type":"error")") != std::string::npos &&
                   text.find(R"("session_id")") == std::string::npos) {
            id = nlohmann::json::parse(text).at("message").get<std::string>();
        } else {
            continue;  // register, cache traffic
        }
        ++direct;
        ASSERT_TRUE(seen.insert(id).second) << "twice: " << id;
        const int sender = std::stoi(id.substr(0, id.find('-')));
        const int index = std::stoi(id.substr(id.find('-') + 1));
        EXPECT_LT(last_index.count(sender) ? last_index[sender] : -1, index) << id;
        last_index[sender] = index;
    }
    // What the four senders queued was either drained or dropped as stale; the stale count also
    // holds dropped cache traffic (three messages per cached round at most).
    const std::size_t sent = kSenders * kPerSender;
    EXPECT_GE(direct + stale, sent);
    EXPECT_LE(direct + stale, sent + 3 * kCached);
    EXPECT_EQ(c.outgoing().terminal_cache().size(), 8u);
    EXPECT_EQ(c.outgoing().cached_session_ready(), "");
}

// The connection thread sleeps on the queue's wake-up: every way a text joins the queue must
// signal it, and only taking the queue clears it.
TEST(OutgoingQueueWake, EveryWayInSignalsTheDrainerAndTakingClears) {
    const auto readable = [](const OutgoingQueue& q) {
        pollfd p{q.drainer_wake_fd(), POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    };
    const std::vector<std::pair<const char*, std::function<void(OutgoingQueue&)>>> ways = {
        {"push", [](OutgoingQueue& q) { q.push("a"); }},
        {"return_front",
         [](OutgoingQueue& q) {
             q.return_front({"a", "b"});
         }},
        {"restart_with", [](OutgoingQueue& q) { q.restart_with("register"); }},
        {"push_session_ready", [](OutgoingQueue& q) { q.push_session_ready("ready"); }},
        {"requeue_session_ready",
         [](OutgoingQueue& q) {
             q.push_session_ready("ready");
             q.take_all();
             q.requeue_session_ready();
         }},
        {"requeue_terminal",
         [](OutgoingQueue& q) {
             q.store_terminal("s1", "ended");
             q.requeue_terminal();
         }},
        {"wake_drainer", [](OutgoingQueue& q) { q.wake_drainer(); }},
    };
    for (const auto& [name, way] : ways) {
        OutgoingQueue q;
        EXPECT_FALSE(readable(q)) << name;
        way(q);
        EXPECT_TRUE(readable(q)) << name;
        q.take_all();
        EXPECT_FALSE(readable(q)) << name;
    }
    OutgoingQueue q;
    q.store_terminal("s1", "ended");
    EXPECT_FALSE(readable(q)) << "caching alone queues nothing";
    q.return_front({});
    EXPECT_FALSE(readable(q)) << "nothing returned";
}

}  // namespace
}  // namespace vx::network
