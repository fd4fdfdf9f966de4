#include "status/status_board.hpp"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <utility>

#include "util/clock.hpp"

namespace vx {
namespace {

std::int64_t wall_now_s() {
    return util::wall_now_ms() / 1000;
}

// "HH:MM" in local time; localtime_r keeps this safe on any thread.
std::string local_hh_mm(std::int64_t epoch_s) {
    std::time_t t = static_cast<std::time_t>(epoch_s);
    std::tm tm{};
    if (localtime_r(&t, &tm) == nullptr) {
        return "--:--";
    }
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02d:%02d", tm.tm_hour % 100, tm.tm_min % 100);
    return buf;
}

// Assigns and tells whether the value differed, so only real changes wake the screen.
template <typename T, typename U>
bool assign(T& field, U&& value) {
    if (field == value) {
        return false;
    }
    field = std::forward<U>(value);
    return true;
}

// Figures arrive from measurements that may be NaN or infinite; the board keeps one spelling of
// "unknown" (negative) so a NaN feed does not count as a change on every call.
double known_or_unknown(double value) {
    return std::isfinite(value) && value >= 0.0 ? value : -1.0;
}

bool valid_problem(ProblemKind kind) {
    return static_cast<std::size_t>(kind) < kProblemKinds;
}

}  // namespace

StatusSnapshot StatusBoard::snapshot() const {
    std::lock_guard lock(mutex);
    return snap_;
}

void StatusBoard::set_identity(std::string version, std::string computer_name,
                               std::string log_path) {
    std::lock_guard lock(mutex);
    bool changed = assign(snap_.version, std::move(version));
    changed = assign(snap_.computer_name, std::move(computer_name)) || changed;
    changed = assign(snap_.log_path, std::move(log_path)) || changed;
    if (changed) {
        changed_locked();
    }
}

void StatusBoard::set_link_state(LinkState state, LinkTransport transport) {
    std::lock_guard lock(mutex);
    bool changed = false;
    if (state == LinkState::connected) {
        changed =
            assign(snap_.problems[static_cast<std::size_t>(ProblemKind::token_rejected)], false);
    }
    const LinkState old = snap_.link;
    if (old != state) {
        snap_.link = state;
        snap_.link_changed_s = now_s();
        if (state == LinkState::connected) {
            add_event_locked(StatusEventKind::platform_connected, 0, ProblemKind::none);
        } else if (old == LinkState::connected && state == LinkState::lost) {
            add_event_locked(StatusEventKind::platform_lost, 0, ProblemKind::none);
        }
        changed = true;
    }
    const LinkTransport stored = state == LinkState::connected ? transport : LinkTransport::none;
    changed = assign(snap_.transport, stored) || changed;
    if (changed) {
        changed_locked();
    }
}

void StatusBoard::report_problem(ProblemKind kind, std::uint16_t port) {
    if (!valid_problem(kind)) {
        return;
    }
    std::lock_guard lock(mutex);
    bool changed = false;
    if (kind == ProblemKind::port_busy) {
        changed = assign(snap_.busy_port, port);
    }
    bool& mark = snap_.problems[static_cast<std::size_t>(kind)];
    if (!mark) {
        mark = true;
        const std::int64_t value = kind == ProblemKind::port_busy ? port : 0;
        add_event_locked(StatusEventKind::problem, value, kind);
        changed = true;
    }
    if (changed) {
        changed_locked();
    }
}

void StatusBoard::clear_problem(ProblemKind kind) {
    if (!valid_problem(kind)) {
        return;
    }
    std::lock_guard lock(mutex);
    if (assign(snap_.problems[static_cast<std::size_t>(kind)], false)) {
        changed_locked();
    }
}

void StatusBoard::set_public_address(std::string address) {
    std::lock_guard lock(mutex);
    if (assign(snap_.public_address, std::move(address))) {
        changed_locked();
    }
}

void StatusBoard::set_verdict(DirectVerdict verdict) {
    std::lock_guard lock(mutex);
    if (assign(snap_.verdict, verdict)) {
        changed_locked();
    }
}

bool StatusBoard::replace_verdict(DirectVerdict shown, DirectVerdict verdict) {
    std::lock_guard lock(mutex);
    if (snap_.verdict != shown) {
        return false;
    }
    if (assign(snap_.verdict, verdict)) {
        changed_locked();
    }
    return true;
}

void StatusBoard::set_gpu(std::string gpu_name, std::string encoder_name) {
    std::lock_guard lock(mutex);
    bool changed = assign(snap_.gpu_name, std::move(gpu_name));
    changed = assign(snap_.encoder_name, std::move(encoder_name)) || changed;
    if (changed) {
        changed_locked();
    }
}

void StatusBoard::set_session_state(SessionState state, std::int64_t start_s) {
    std::lock_guard lock(mutex);
    bool changed = assign(snap_.session, state);
    changed = assign(snap_.session_start_s, start_s) || changed;
    if (changed) {
        changed_locked();
    }
}

void StatusBoard::set_stream(std::string codec, std::uint32_t width, std::uint32_t height,
                             std::uint32_t fps) {
    std::lock_guard lock(mutex);
    bool changed = assign(snap_.codec, std::move(codec));
    changed = assign(snap_.width, width) || changed;
    changed = assign(snap_.height, height) || changed;
    changed = assign(snap_.fps, fps) || changed;
    if (changed) {
        changed_locked();
    }
}

void StatusBoard::set_sent_rate(double mbps) {
    std::lock_guard lock(mutex);
    if (assign(snap_.sent_mbps, known_or_unknown(mbps))) {
        changed_locked();
    }
}

void StatusBoard::set_path(MediaPathKind kind, double ping_ms, double loss_pct) {
    std::lock_guard lock(mutex);
    bool changed = assign(snap_.path, kind);
    changed = assign(snap_.ping_ms, known_or_unknown(ping_ms)) || changed;
    changed = assign(snap_.loss_pct, known_or_unknown(loss_pct)) || changed;
    if (changed) {
        changed_locked();
    }
}

void StatusBoard::add_event(StatusEventKind kind, std::int64_t value) {
    std::lock_guard lock(mutex);
    add_event_locked(kind, value, ProblemKind::none);
    changed_locked();
}

void StatusBoard::set_stopping() {
    std::lock_guard lock(mutex);
    if (snap_.stopping) {
        return;
    }
    snap_.stopping = true;
    add_event_locked(StatusEventKind::stopping, 0, ProblemKind::none);
    changed_locked();
}

void StatusBoard::poke() {
    std::lock_guard lock(mutex);
    changed_locked();
}

std::uint64_t StatusBoard::wait_for_change(std::uint64_t seen, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, timeout, [&] { return change_counter != seen; });
    return change_counter;
}

void StatusBoard::set_wall_clock_for_test(std::int64_t (*now_s)()) {
    std::lock_guard lock(mutex);
    now_s_ = now_s;
}

void StatusBoard::changed_locked() {
    ++change_counter;
    changed.notify_all();
}

std::int64_t StatusBoard::now_s() const {
    return now_s_ != nullptr ? now_s_() : wall_now_s();
}

void StatusBoard::add_event_locked(StatusEventKind kind, std::int64_t value, ProblemKind problem) {
    StatusEvent event;
    event.seq = next_seq_++;
    event.time_text = local_hh_mm(now_s());
    event.kind = kind;
    event.value = value;
    event.problem = problem;
    snap_.events.push_back(std::move(event));
    while (snap_.events.size() > kMaxStatusEvents) {
        snap_.events.erase(snap_.events.begin());
    }
}

StatusBoard& status_board() {
    // A function-local static is initialised exactly once, even with racing first callers.
    static StatusBoard board;
    return board;
}

}  // namespace vx
