#include "platform/local_addresses.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace vx::platform {
namespace {

// Every namespace the tests run in has its loopback up, so its address is always listed, in
// network byte order.
TEST(LocalAddresses, ListsTheLoopbackAddress) {
    const auto addresses = local_ipv4_addresses();
    const std::array<std::uint8_t, 4> loopback = {127, 0, 0, 1};
    EXPECT_NE(std::find(addresses.begin(), addresses.end(), loopback), addresses.end());
}

}  // namespace
}  // namespace vx::platform
