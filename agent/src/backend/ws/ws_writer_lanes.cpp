#include "backend/ws/ws_writer_lanes.hpp"

namespace vx::network {

WsPushResult WsWriterLanes::refuse_locked(bool control, WsPushResult why) {
    ++(control ? control_dropped_ : data_dropped_);
    return why;
}

bool WsWriterLanes::wait_room_locked(std::unique_lock<std::mutex>& lock, bool control,
                                     std::chrono::milliseconds room_wait) {
    const auto& lane = control ? control_ : data_;
    const std::size_t cap = control ? control_cap_ : data_cap_;
    const auto room = [&] { return closed_ || lane.size() < cap; };
    if (!room() && room_wait.count() > 0) {
        ++room_waiters_;
        cv_.wait_for(lock, room_wait, room);
        --room_waiters_;
    }
    return !closed_ && lane.size() < cap;
}

WsPushResult WsWriterLanes::push(WsFrameBytes frame, bool control, std::uint8_t opcode,
                                 std::chrono::milliseconds room_wait) {
    {
        std::unique_lock lock(mutex_);
        if (!wait_room_locked(lock, control, room_wait))
            return refuse_locked(control, closed_ ? WsPushResult::closed : WsPushResult::full);
        (control ? control_ : data_).push_back(WsLaneFrame{std::move(frame), control, opcode});
        ++pushed_;
    }
    cv_.notify_all();
    return WsPushResult::accepted;
}

WsPushResult WsWriterLanes::push_pong(WsFrameBytes frame, std::uint8_t opcode,
                                      std::chrono::milliseconds room_wait) {
    {
        std::unique_lock lock(mutex_);
        if (closed_)
            return refuse_locked(true, WsPushResult::closed);
        for (auto& queued : control_) {
            if (queued.opcode == opcode) {
                queued.bytes = std::move(frame);
                return WsPushResult::accepted;
            }
        }
        if (!wait_room_locked(lock, true, room_wait))
            return refuse_locked(true, closed_ ? WsPushResult::closed : WsPushResult::full);
        control_.push_back(WsLaneFrame{std::move(frame), true, opcode});
        ++pushed_;
    }
    cv_.notify_all();
    return WsPushResult::accepted;
}

bool WsWriterLanes::pop_locked(WsLaneFrame& out) {
    auto& lane = !control_.empty() ? control_ : data_;
    if (lane.empty())
        return false;
    out = std::move(lane.front());
    lane.pop_front();
    if (room_waiters_ > 0 || (control_.empty() && data_.empty()))
        cv_.notify_all();  // a pusher waiting for room, wait_drained
    return true;
}

bool WsWriterLanes::pop(WsLaneFrame& out) {
    std::lock_guard lock(mutex_);
    return pop_locked(out);
}

bool WsWriterLanes::wait_pop(WsLaneFrame& out, const std::atomic<bool>* retired) {
    std::unique_lock lock(mutex_);
    const auto is_retired = [&] { return retired != nullptr && retired->load(); };
    cv_.wait(lock, [&] { return is_retired() || closed_ || !control_.empty() || !data_.empty(); });
    return !is_retired() && pop_locked(out);
}

bool WsWriterLanes::wait_drained(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return control_.empty() && data_.empty(); });
}

void WsWriterLanes::open() {
    {
        std::lock_guard lock(mutex_);
        closed_ = false;
        control_.clear();
        data_.clear();
    }
    cv_.notify_all();
}

void WsWriterLanes::close() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    cv_.notify_all();
}

void WsWriterLanes::close_unless(const std::atomic<bool>& retired) {
    {
        std::lock_guard lock(mutex_);
        if (retired.load())
            return;
        closed_ = true;
    }
    cv_.notify_all();
}

void WsWriterLanes::discard() {
    {
        std::lock_guard lock(mutex_);
        control_.clear();
        data_.clear();
    }
    cv_.notify_all();
}

void WsWriterLanes::wake_all() {
    {
        // Taken so a waiter between its check and its wait cannot miss the wake.
        std::lock_guard lock(mutex_);
    }
    cv_.notify_all();
}

bool WsWriterLanes::is_closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}
std::size_t WsWriterLanes::data_pending() const {
    std::lock_guard lock(mutex_);
    return data_.size();
}
std::size_t WsWriterLanes::control_pending() const {
    std::lock_guard lock(mutex_);
    return control_.size();
}
std::uint64_t WsWriterLanes::data_dropped() const {
    std::lock_guard lock(mutex_);
    return data_dropped_;
}
std::uint64_t WsWriterLanes::control_dropped() const {
    std::lock_guard lock(mutex_);
    return control_dropped_;
}
std::uint64_t WsWriterLanes::pushed() const {
    std::lock_guard lock(mutex_);
    return pushed_;
}

}  // namespace vx::network
