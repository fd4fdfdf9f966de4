// The IGD search's decisions on a virtual clock: a LAN of gateways that answer at given times
// and whose tries take given times, run the way the socket loop runs them.
#include "traversal/router/igd_search.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace vx::network {
namespace {

using Clock = IgdSearch::Clock;
using std::chrono::milliseconds;

enum class Kind { igd, root, st_only };  // scores 3, 0 and 2

struct Answer {
    int at_ms;
    std::string location;
    Kind kind = Kind::igd;
};

struct Behaviour {
    bool works = false;
    int takes_ms = 5;
};

struct SearchRun {
    std::vector<std::string> tried;
    int ended_ms = 0;
    int bursts = 0;
    std::string error;
};

IgdCandidate candidate(const Answer& answer) {
    const std::string igd = "urn:schemas-upnp-org:device:InternetGatewayDevice:1";
    switch (answer.kind) {
        case Kind::igd:
            return {200, answer.location, igd, "uuid:x::" + igd, ""};
        case Kind::st_only:
            return {200, answer.location, igd, "uuid:x", ""};
        case Kind::root:
            break;
    }
    return {200, answer.location, "upnp:rootdevice", "uuid:x::upnp:rootdevice", ""};
}

int ms_since(Clock::time_point start, Clock::time_point now) {
    return static_cast<int>(std::chrono::duration_cast<milliseconds>(now - start).count());
}

// The socket loop on a virtual clock: answers are read when they are due, a try moves the clock
// by its length, and a wait moves it to the next answer or the search's own wake.
SearchRun run(std::vector<Answer> answers, const std::map<std::string, Behaviour>& lan,
              int wait_ms = 1800, int sent_per_burst = 6) {
    std::stable_sort(answers.begin(), answers.end(),
                     [](const Answer& a, const Answer& b) { return a.at_ms < b.at_ms; });
    const Clock::time_point start{};
    Clock::time_point now = start;
    IgdSearch search(start, milliseconds(wait_ms));
    SearchRun result;
    std::size_t next = 0;
    for (int step = 0; step < 1000; ++step) {
        for (; next < answers.size() && answers[next].at_ms <= ms_since(start, now); ++next)
            search.offer(candidate(answers[next]));
        if (search.finished(now))
            break;
        if (search.burst_due(now)) {
            search.burst_sent(now, sent_per_burst);
            ++result.bursts;
        } else if (const auto chosen = search.next_attempt(now)) {
            const Behaviour behaviour = lan.at(chosen->location);
            result.tried.push_back(chosen->location);
            now += milliseconds(behaviour.takes_ms);
            if (behaviour.works)
                search.attempt_succeeded();
            else
                search.attempt_failed("failed: " + chosen->location);
        } else if (!search.finished(now)) {
            Clock::time_point wake = search.wake();
            if (next < answers.size())
                wake = std::min(wake, start + milliseconds(answers[next].at_ms));
            now = std::max(wake, now + milliseconds(1));
        }
    }
    result.ended_ms = ms_since(start, now);
    result.error = search.error();
    return result;
}

const Behaviour kWorks{true, 10};
const Behaviour kRefuses{false, 5};
const Behaviour kSilent{false, 1500};  // a LOCATION that never answers: the request time-out

TEST(IgdSearch, TriesTheGatewaysThatCanBeInTheBestTwo) {
    struct Case {
        const char* name;
        std::vector<Answer> answers;
        std::map<std::string, Behaviour> lan;
        std::vector<std::string> tried;
        int ended_ms;
        std::string error;
        int wait_ms = 1800;
    };
    const Case cases[] = {
        {"one gateway: done once it answered and worked",
         {{5, "igd"}},
         {{"igd", kWorks}},
         {"igd"},
         15,
         ""},
        {"a bridge-mode box answers first with a dead LOCATION, the gateway later",
         {{50, "box"}, {450, "igd"}},
         {{"box", kRefuses}, {"igd", kWorks}},
         {"box", "igd"},
         460,
         ""},
        {"the box's LOCATION is silent; the gateway's answer waits on the socket meanwhile",
         {{50, "box"}, {700, "igd"}},
         {{"box", kSilent}, {"igd", kWorks}},
         {"box", "igd"},
         1560,
         ""},
        {"a media server's root-device answer is not tried while a gateway may come",
         {{10, "media", Kind::root}, {300, "igd"}},
         {{"media", kRefuses}, {"igd", kWorks}},
         {"igd"},
         310,
         ""},
        {"a failed gateway leaves its place to the best of the rest once the search ends",
         {{10, "media", Kind::root}, {300, "igd"}},
         {{"media", kRefuses}, {"igd", kRefuses}},
         {"igd", "media"},
         1805,
         "failed: media"},
        {"two gateways failed: the third is never tried and the search ends at once",
         {{10, "a"}, {20, "b"}, {30, "c"}},
         {{"a", kRefuses}, {"b", kRefuses}, {"c", kWorks}},
         {"a", "b"},
         25,
         "failed: b"},
        {"a gateway named only by its ST might be outranked: it waits for the search's end",
         {{10, "igd", Kind::st_only}},
         {{"igd", kWorks}},
         {"igd"},
         1810,
         ""},
        {"a gateway whose root-device answer came first is tried once its IGD answer comes",
         {{10, "igd", Kind::root}, {20, "box"}, {40, "igd"}},
         {{"igd", kWorks}, {"box", kRefuses}},
         {"box", "igd"},
         50,
         ""},
        {"four gateways end the search; the best two are tried",
         {{10, "a", Kind::st_only},
          {11, "b", Kind::st_only},
          {12, "c", Kind::st_only},
          {13, "d", Kind::st_only}},
         {{"a", kRefuses}, {"b", kWorks}},
         {"a", "b"},
         28,
         ""},
        {"the description budget runs from the first try",
         {{10, "a"}, {20, "b"}},
         {{"a", {false, 4000}}, {"b", kWorks}},
         {"a"},
         4010,
         "UPnP description budget exhausted"},
        {"nothing answers: the search ends at its wait",
         {},
         {},
         {},
         1800,
         "no SSDP response from an InternetGatewayDevice"},
        {"a wait below the floor listens 200 ms",
         {},
         {},
         {},
         200,
         "no SSDP response from an InternetGatewayDevice",
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const SearchRun result = run(c.answers, c.lan, c.wait_ms);
        EXPECT_EQ(result.tried, c.tried);
        EXPECT_EQ(result.ended_ms, c.ended_ms);
        EXPECT_EQ(result.error, c.error);
    }
}

TEST(IgdSearch, BurstsEveryHalfSecondWhileListening) {
    EXPECT_EQ(run({}, {}).bursts, 4);  // at 0, 500, 1000 and 1500 ms of 1800
    EXPECT_EQ(run({{5, "igd"}}, {{"igd", kWorks}}).bursts, 1);
    // No search could leave (no route at all): no answer can come, so nothing is waited for.
    const SearchRun unroutable = run({}, {}, 1800, 0);
    EXPECT_EQ(unroutable.bursts, 1);
    EXPECT_EQ(unroutable.ended_ms, 0);
}

TEST(IgdSearch, BudgetLeftForEachTry) {
    const Clock::time_point start{};
    IgdSearch search(start, milliseconds(1800));
    EXPECT_EQ(search.budget_left_ms(start), 4000);
    search.offer(candidate({0, "a"}));
    search.burst_sent(start, 6);
    ASSERT_TRUE(search.next_attempt(start + milliseconds(100)));
    EXPECT_EQ(search.budget_left_ms(start + milliseconds(1600)), 2500);
}

}  // namespace
}  // namespace vx::network
