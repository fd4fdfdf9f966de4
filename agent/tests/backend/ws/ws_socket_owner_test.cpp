#include "backend/ws/ws_socket_owner.hpp"

#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>
#include <future>

namespace vx::network {
namespace {

TEST(SocketOwner, AWaitingWriterHoldsBackNewReaders) {
    SocketOwner owner;
    std::promise<void> writer_waiting;
    auto reader = std::make_unique<SocketOwner::Guard>(owner.acquire_for_read());
    ASSERT_TRUE(reader->owns());
    auto writer = std::async(std::launch::async, [&] {
        auto g = owner.acquire_for_write();
        return g.owns();
    });
    // The writer either waits now or already has the socket; both hold the next reader back
    // until the first reader lets go, after which the writer wins.
    reader.reset();
    EXPECT_TRUE(writer.get());
    EXPECT_EQ(owner.writer_give_ups.load(), 0u);
}

bool readable(int fd, int wait_ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, wait_ms) == 1;
}

// The reader's readiness wait watches the gate's descriptor: a writer that finds the socket taken
// makes it readable, so the reader lets go at once instead of at the end of its wait.
TEST(SocketOwner, AWaitingWriterWakesTheReaderAndTheNextReaderStartsClear) {
    SocketOwner owner;
    {
        auto free_write = owner.acquire_for_write();
        ASSERT_TRUE(free_write.owns());
    }
    EXPECT_FALSE(readable(owner.writer_waiting_fd(), 0)) << "a writer that did not wait";

    auto reader = std::make_unique<SocketOwner::Guard>(owner.acquire_for_read());
    auto writer = std::async(std::launch::async, [&] { return owner.acquire_for_write().owns(); });
    ASSERT_TRUE(readable(owner.writer_waiting_fd(), 5000)) << "the reader was not woken";
    reader.reset();
    EXPECT_TRUE(writer.get());
    EXPECT_EQ(owner.writer_give_ups.load(), 0u);

    auto next = owner.acquire_for_read();
    ASSERT_TRUE(next.owns());
    EXPECT_FALSE(readable(owner.writer_waiting_fd(), 0)) << "a stale wake-up would end every wait";
}

TEST(SocketOwner, AReaderThatCannotOwnComesBackEmptyHanded) {
    SocketOwner owner;
    auto held = owner.acquire_for_write();
    ASSERT_TRUE(held.owns());
    const auto start = std::chrono::steady_clock::now();
    auto r = std::async(std::launch::async, [&] { return owner.acquire_for_read().owns(); });
    EXPECT_FALSE(r.get());
    EXPECT_GE(std::chrono::steady_clock::now() - start, SocketOwner::kWait);
}

TEST(SocketOwner, WriterGivesUpAfterTheWaitAndIsCounted) {
    SocketOwner owner;
    auto held = owner.acquire_for_read();
    auto w = std::async(std::launch::async, [&] { return owner.acquire_for_write().owns(); });
    EXPECT_FALSE(w.get());
    EXPECT_EQ(owner.writer_waits.load(), 1u);
    EXPECT_EQ(owner.writer_give_ups.load(), 1u);
}

// The writer's tries for a socket the reader holds: lanes that close meanwhile are the end of
// the connection, told apart from a socket that stays taken through every try.
TEST(SocketOwner, AWriterStopsTryingQuietlyWhenTheConnectionEnds) {
    SocketOwner owner;
    auto held = owner.acquire_for_read();
    std::atomic<bool> closed{true};
    SocketOwner::Guard guard;
    EXPECT_EQ(owner.try_for_writer(
                  guard, [&] { return closed.load(); }, 20, std::chrono::milliseconds(5)),
              SocketOwner::WriterTry::ending);
    EXPECT_FALSE(guard.owns());
    EXPECT_EQ(owner.writer_give_ups.load(), 1u) << "one try, not twenty";
    closed = false;
    EXPECT_EQ(owner.try_for_writer(
                  guard, [&] { return closed.load(); }, 2, std::chrono::milliseconds(5)),
              SocketOwner::WriterTry::stuck);
    held = SocketOwner::Guard{};
    EXPECT_EQ(owner.try_for_writer(
                  guard, [&] { return closed.load(); }, 2, std::chrono::milliseconds(5)),
              SocketOwner::WriterTry::owned);
    EXPECT_TRUE(guard.owns());
}

}  // namespace
}  // namespace vx::network
