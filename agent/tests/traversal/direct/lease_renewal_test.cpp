#include "traversal/direct/lease_renewal.hpp"

#include <chrono>

#include "traversal/direct/direct_fixture.hpp"

namespace vx::network {
namespace {

constexpr std::int64_t kSecondUs = 1'000'000;

// A NAT-PMP router that grants the video port 20 s whatever was asked, the others 600 s.
class LeaseRenewalTest : public test::DirectPathFixture {
  protected:
    void SetUp() override {
        steps->natpmp_answers = true;
        steps->natpmp_mapper = [this](std::uint16_t port, NatPmpMapResponse& answer,
                                      std::string& error) {
            if (refuse) {
                error = "no response from gateway";
                return false;
            }
            answer = {0, 1, port, port, port == 48002 ? 20u : 600u};
            return true;
        };
        start_us = clock.now_us();
        for (std::uint16_t port : {48002, 48000, 48003}) {
            std::uint16_t external = 0;
            std::string ip, method;
            ASSERT_TRUE(mapper().map_port(port, external, ip, 600, method));
        }
        maps_after_setup = steps->natpmp_maps.size();
    }
    std::size_t renewals() const { return steps->natpmp_maps.size() - maps_after_setup; }

    bool refuse = false;
    std::int64_t start_us = 0;
    std::size_t maps_after_setup = 0;
};

// A 20 s grant is renewed after 10 s, not at a fixed 240 s cadence that would lose it; the
// others wait for their own time.
TEST_F(LeaseRenewalTest, EachPortIsRenewedWhenItsRowIsDue) {
    LeaseRenewal renewal(mapper(), {48002, 48000, 48003}, 600, clock.fn());
    EXPECT_EQ(renewal.renew_due(start_us + 9 * kSecondUs), start_us + 10 * kSecondUs);
    EXPECT_EQ(renewals(), 0u);

    clock.advance_us(10 * kSecondUs);
    EXPECT_EQ(renewal.renew_due(clock.now_us()), start_us + 20 * kSecondUs);
    EXPECT_EQ(renewals(), 1u);
    EXPECT_EQ(steps->natpmp_maps.back(), 48002);
    EXPECT_EQ(steps->natpmp_lifetimes.back(), 600u);  // the lease is stated again in full

    clock.advance_us(230 * kSecondUs);  // 240 s: every row is due
    renewal.renew_due(clock.now_us());
    EXPECT_EQ(renewals(), 4u);
    EXPECT_EQ(logs.count("DirectPortMapper: renewed UDP 48000 via natpmp for 600s"), 1);
}

// A refused renewal is said once and tried again after a quarter of the grant, not at once.
TEST_F(LeaseRenewalTest, AFailedRenewalWaitsBeforeTheNextTry) {
    LeaseRenewal renewal(mapper(), {48002, 48000, 48003}, 600, clock.fn());
    refuse = true;
    clock.advance_us(10 * kSecondUs);
    EXPECT_EQ(renewal.renew_due(clock.now_us()), clock.now_us() + 5 * kSecondUs);
    EXPECT_EQ(renewal.renew_due(clock.now_us()), clock.now_us() + 5 * kSecondUs);
    EXPECT_EQ(renewals(), 1u);
    EXPECT_EQ(logs.count("Direct path: lease renewal for UDP 48002 skipped: NAT-PMP renewal: no "
                         "response from gateway"),
              1);
    refuse = false;
    clock.advance_us(5 * kSecondUs);
    renewal.renew_due(clock.now_us());
    EXPECT_EQ(renewals(), 2u);
    EXPECT_EQ(logs.count("DirectPortMapper: renewed UDP 48002 via natpmp for 600s"), 1);
}

TEST_F(LeaseRenewalTest, AReleasedPortIsLeftAlone) {
    mapper().release(48002);
    LeaseRenewal renewal(mapper(), {48002, 48000, 48003}, 600, clock.fn());
    clock.advance_us(240 * kSecondUs);
    renewal.renew_due(clock.now_us());
    EXPECT_EQ(renewals(), 2u);
    EXPECT_EQ(logs.count("lease renewal for UDP 48002"), 0);
}

// A session that ends while a renewal is under way (its stop arrives during the exchange with a
// slow router) waits for that one exchange, not for the renewals of the ports after it: their
// mappings are about to be released anyway.
TEST_F(LeaseRenewalTest, AStopDuringAPassRenewsNoFurtherPort) {
    LeaseRenewal renewal(mapper(), {48002, 48000, 48003}, 600, clock.fn());
    steps->natpmp_mapper = [&](std::uint16_t port, NatPmpMapResponse& answer, std::string&) {
        renewal.stop();  // no thread was started: this only raises the stop flag
        answer = {0, 1, port, port, 600};
        return true;
    };
    clock.advance_us(240 * kSecondUs);  // every row is due
    renewal.renew_due(clock.now_us());
    EXPECT_EQ(renewals(), 1u);
    EXPECT_EQ(steps->natpmp_maps.back(), 48002);
}

// The thread renews what is due at once, then sleeps until the next row is due (10 s on this
// clock); its stop flag wakes it from that sleep, and stop joins it.
TEST_F(LeaseRenewalTest, TheThreadRenewsAndItsStopWakesItAtOnce) {
    clock.advance_us(10 * kSecondUs);
    LeaseRenewal renewal(mapper(), {48002, 48000, 48003}, 600, clock.fn());
    renewal.start();
    ASSERT_TRUE(logs.wait_for("DirectPortMapper: renewed UDP 48002 via natpmp for 600s"));
    const auto asked = std::chrono::steady_clock::now();
    renewal.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(5));
    EXPECT_EQ(renewals(), 1u);
    renewal.stop();  // again: nothing to do
}

}  // namespace
}  // namespace vx::network
