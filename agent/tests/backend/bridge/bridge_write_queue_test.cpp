#include "backend/bridge/bridge_write_queue.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace vx::network {
namespace {

using Q = BridgeWriteQueue;

TEST(BridgeWriteQueue, StartsClosedAndCountsRefusedChunks) {
    Q q;
    EXPECT_TRUE(q.closed());
    EXPECT_EQ(q.push({1}), Q::push_closed);
    EXPECT_EQ(q.drops(), 1u);
    EXPECT_EQ(q.size(), 0u);
}

TEST(BridgeWriteQueue, RefusesThe65thChunkAndAfterCloseEverything) {
    Q q;
    q.open();
    for (int i = 0; i < 64; ++i) {
        ASSERT_EQ(q.push({static_cast<std::uint8_t>(i)}), Q::push_ok);
    }
    EXPECT_EQ(q.push({65}), Q::push_full);
    EXPECT_EQ(q.drops(), 1u);
    EXPECT_EQ(q.size(), 64u);

    q.close();
    EXPECT_EQ(q.size(), 0u);
    EXPECT_EQ(q.push({1}), Q::push_closed);
    EXPECT_EQ(q.push({2}), Q::push_closed);
    EXPECT_EQ(q.drops(), 3u);
    q.reset_drops();
    EXPECT_EQ(q.drops(), 0u);
}

TEST(BridgeWriteQueue, ConsumerGetsChunksInOrderAndEndsOnClose) {
    Q q;
    q.open();
    std::vector<Q::Chunk> got;
    std::thread consumer([&] {
        while (auto chunk = q.wait_pop()) {
            got.push_back(*chunk);
            if (got.size() == 3) {
                q.close();
            }
        }
    });
    EXPECT_EQ(q.push({1}), Q::push_ok);
    EXPECT_EQ(q.push({2, 2}), Q::push_ok);
    EXPECT_EQ(q.push({3}), Q::push_ok);
    consumer.join();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], (Q::Chunk{1}));
    EXPECT_EQ(got[1], (Q::Chunk{2, 2}));
    EXPECT_EQ(got[2], (Q::Chunk{3}));
}

TEST(BridgeWriteQueue, ReopenEmptiesTheQueue) {
    Q q;
    q.open();
    ASSERT_EQ(q.push({1}), Q::push_ok);
    q.open();
    EXPECT_EQ(q.size(), 0u);
    EXPECT_FALSE(q.closed());
}

}  // namespace
}  // namespace vx::network
