#include "util/seen_id_set.hpp"

#include <gtest/gtest.h>

#include <string>

#include "util/natwave_profile.hpp"

namespace vx::util {
namespace {

TEST(SeenIdSet, RefusesEmptyAndRepeatedIds) {
    SeenIdSet set;
    EXPECT_FALSE(set.insert(""));
    EXPECT_TRUE(set.insert("a"));
    EXPECT_FALSE(set.insert("a"));
    EXPECT_TRUE(set.insert("b"));
}

TEST(SeenIdSet, ForgetsTheOldestAtTheCapacityPlusOne) {
    SeenIdSet set;
    for (std::size_t i = 1; i <= SeenIdSet::kCapacity; ++i) {
        ASSERT_TRUE(set.insert("id" + std::to_string(i)));
    }
    // All 256 are still remembered.
    EXPECT_FALSE(set.insert("id1"));
    EXPECT_FALSE(set.insert("id256"));
    // The 257th pushes out id1 only.
    EXPECT_TRUE(set.insert("id257"));
    EXPECT_FALSE(set.insert("id2"));
    EXPECT_TRUE(set.insert("id1"));  // forgotten, so new again (and now id2 is out)
    EXPECT_TRUE(set.insert("id2"));
    EXPECT_FALSE(set.insert("id257"));
}

TEST(NatwaveProfile, KindNames) {
    EXPECT_EQ(natwave::profile_kind_name(0), "unknown");
    EXPECT_EQ(natwave::profile_kind_name(1), "eim");
    EXPECT_EQ(natwave::profile_kind_name(2), "adm");
    EXPECT_EQ(natwave::profile_kind_name(3), "pdm-seq");
    EXPECT_EQ(natwave::profile_kind_name(4), "pdm-pba");
    EXPECT_EQ(natwave::profile_kind_name(5), "pdm-rand");
    EXPECT_EQ(natwave::profile_kind_name(6), "unknown");
    EXPECT_EQ(natwave::profile_kind_name(255), "unknown");
}

}  // namespace
}  // namespace vx::util
