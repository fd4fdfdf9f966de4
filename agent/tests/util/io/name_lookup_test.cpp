#include "util/io/name_lookup.hpp"

#include <gtest/gtest.h>

#include <asio/error.hpp>
#include <future>

#include <poll.h>

namespace vx::network {
namespace {

using namespace std::chrono_literals;

TEST(NameLookup, LiteralsOfTheFamilyAskedForNeedNoResolver) {
    const NameAnswer v4 = lookup_name("192.0.2.7", NameFamily::ipv4);
    ASSERT_FALSE(v4.error);
    EXPECT_EQ(v4.addresses, std::vector{asio::ip::make_address("192.0.2.7")});
    EXPECT_EQ(lookup_name("::1", NameFamily::any).addresses,
              std::vector{asio::ip::make_address("::1")});
    // An IPv6 literal is no IPv4 peer.
    const NameAnswer v6_for_v4 = lookup_name("::1", NameFamily::ipv4);
    EXPECT_TRUE(v6_for_v4.error || v6_for_v4.addresses.empty());
    const NameAnswer local = lookup_name("localhost", NameFamily::ipv4);
    ASSERT_FALSE(local.error) << local.error.message();
    ASSERT_FALSE(local.addresses.empty());
    EXPECT_TRUE(local.addresses.front().is_loopback());
}

// A name server that never answers holds only the lookup's own thread: the caller leaves at its
// deadline, and the lookup may finish after its owner is gone.
TEST(NameLookup, AStuckLookupHoldsNeitherTheCallerNorItsOwner) {
    std::promise<void> gate;
    std::promise<void> finished;
    std::future<void> lookup_done = finished.get_future();
    {
        const PendingNameLookup pending(
            "slow.example", [opened = gate.get_future().share(), &finished](const std::string&) {
                opened.wait_for(10s);
                finished.set_value();
                return NameAnswer{{asio::ip::make_address("192.0.2.1")}, {}};
            });
        EXPECT_FALSE(pending.wait_until(std::chrono::steady_clock::now() + 20ms));
        EXPECT_EQ(pending.answer().error, asio::error::timed_out);
    }
    gate.set_value();
    EXPECT_EQ(lookup_done.wait_for(10s), std::future_status::ready);
}

TEST(NameLookup, AnAnswerWakesTheReadyDescriptor) {
    const PendingNameLookup pending("router.lan", [](const std::string& host) {
        return NameAnswer{{},
                          host == "router.lan" ? asio::error::host_not_found : std::error_code{}};
    });
    ASSERT_TRUE(pending.wait_until(std::chrono::steady_clock::now() + 10s));
    pollfd ready{pending.ready_fd(), POLLIN, 0};
    EXPECT_EQ(::poll(&ready, 1, 0), 1);
    EXPECT_EQ(pending.answer().error, asio::error::host_not_found);
}

}  // namespace
}  // namespace vx::network
