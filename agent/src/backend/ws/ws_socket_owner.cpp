#include "backend/ws/ws_socket_owner.hpp"

namespace vx::network {

SocketOwner::Guard SocketOwner::acquire_for_read() {
    std::unique_lock lock(mutex_);
    const auto free = [&] { return !owned_ && writers_waiting_ == 0; };
    if (!free() && !cv_.wait_for(lock, kWait, free))
        return Guard{};
    owned_ = true;
    // No writer waits now; one that comes later signals anew.
    writer_waiting_.clear();
    return Guard{this};
}

SocketOwner::Guard SocketOwner::acquire_for_write() {
    std::unique_lock lock(mutex_);
    if (!owned_ && writers_waiting_ == 0) {
        owned_ = true;
        return Guard{this};
    }
    const std::int64_t start = now_();
    ++writers_waiting_;
    writer_waiting_.signal();
    const bool got = cv_.wait_for(lock, kWait, [&] { return !owned_; });
    --writers_waiting_;
    ++writer_waits;
    if (!got) {
        ++writer_give_ups;
        lock.unlock();
        cv_.notify_all();
        return Guard{};
    }
    owned_ = true;
    note_writer_wait(now_() - start);
    return Guard{this};
}

void SocketOwner::note_writer_wait(std::int64_t waited_us) {
    const auto waited = static_cast<std::uint64_t>(waited_us < 0 ? 0 : waited_us);
    std::uint64_t seen = max_writer_wait_us.load();
    while (waited > seen && !max_writer_wait_us.compare_exchange_weak(seen, waited)) {
    }
    if (waited >= kLongWaitUs)
        writer_waited_long_ = true;
}

SocketOwner::WriterTry SocketOwner::try_for_writer(Guard& guard,
                                                   const std::function<bool()>& ending,
                                                   int attempts, std::chrono::milliseconds pause) {
    for (int attempt = 0; attempt < attempts; ++attempt) {
        guard = acquire_for_write();
        if (guard.owns())
            return WriterTry::owned;
        if (ending())
            return WriterTry::ending;
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, pause, [&] { return !owned_; });
    }
    return ending() ? WriterTry::ending : WriterTry::stuck;
}

void SocketOwner::release() {
    {
        std::lock_guard lock(mutex_);
        owned_ = false;
    }
    cv_.notify_all();
}

bool SocketOwner::take_writer_waited_long() {
    std::lock_guard lock(mutex_);
    const bool was = writer_waited_long_;
    writer_waited_long_ = false;
    return was;
}

void SocketOwner::reset_connection_stats() {
    std::lock_guard lock(mutex_);
    writer_waited_long_ = false;
    max_writer_wait_us = 0;
}

}  // namespace vx::network
