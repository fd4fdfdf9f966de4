#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace vx {

enum class ProblemKind : std::uint8_t {
    nvidia_driver_missing = 0,
    capture_failed = 1,
    encoder_failed = 2,
    port_busy = 3,
    token_rejected = 4,   // the backend refused the agent token
    duplicate_agent = 5,  // a second agent with the same token replaced this one
    no_uinput = 6,
    none = 7,
};
inline constexpr std::size_t kProblemKinds = 7;

enum class StatusEventKind : std::uint8_t {
    started = 0,
    platform_connected = 1,
    platform_lost = 2,
    rented = 3,
    player_connected = 4,
    session_ended = 5,
    session_failed = 6,
    player_dropped = 7,
    player_back = 8,
    moved_to_relay = 9,
    went_direct = 10,
    problem = 11,
    stopping = 12,
    failed = 13,
};

enum class LinkState : std::uint8_t { connecting = 0, connected = 1, lost = 2, standalone = 3 };
enum class LinkTransport : std::uint8_t { none = 0, udp = 1, udp_relay = 2, websocket = 3 };
enum class SessionState : std::uint8_t { idle = 0, rented = 1, player_connected = 2 };
enum class MediaPathKind : std::uint8_t { none = 0, direct = 1, relay = 2 };

// Direct-reachability verdict shown on the status screen.
enum class DirectVerdict : std::uint8_t {
    none = 0,
    set_by_hand = 1,
    upnp_ports_open = 2,
    upnp_supported = 3,
    no_upnp = 4,
    behind_cgnat = 5,
};

struct StatusEvent {
    std::uint64_t seq = 0;  // increasing from 1
    std::string time_text;  // local "HH:MM"
    StatusEventKind kind = StatusEventKind::started;
    std::int64_t value = 0;  // seconds or a port, depending on the kind
    ProblemKind problem = ProblemKind::none;
};

inline constexpr std::size_t kMaxStatusEvents = 8;

struct StatusSnapshot {
    std::uint8_t flags = 0;  // passed on to problem_hint only
    std::string version;
    std::string computer_name;
    std::string log_path;
    LinkState link = LinkState::connecting;
    LinkTransport transport = LinkTransport::none;
    std::int64_t link_changed_s = 0;  // seconds since 1970, 0 = never
    std::string public_address;
    DirectVerdict verdict = DirectVerdict::none;
    std::string gpu_name;
    std::string encoder_name;
    SessionState session = SessionState::idle;
    std::int64_t session_start_s = 0;  // seconds since 1970
    std::string codec;                 // "H.264" or "HEVC"
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t fps = 0;
    double sent_mbps = -1.0;  // negative = unknown
    MediaPathKind path = MediaPathKind::none;
    double ping_ms = -1.0;   // negative = unknown
    double loss_pct = -1.0;  // negative = unknown
    bool stopping = false;
    std::array<bool, kProblemKinds> problems{};
    std::uint16_t busy_port = 0;
    std::vector<StatusEvent> events;  // oldest first, at most kMaxStatusEvents
};

// The process-wide board the console screen shows. Every change happens under `mutex`, raises
// `change_counter` by one and notifies `changed`, so a waiting reader never misses one.
class StatusBoard {
  public:
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::uint64_t change_counter = 0;  // guarded by mutex

    StatusSnapshot snapshot() const;

    void set_identity(std::string version, std::string computer_name, std::string log_path);
    void set_link_state(LinkState state, LinkTransport transport);
    // Sets the problem's mark; a mark that goes from clear to set adds a `problem` event.
    void report_problem(ProblemKind kind, std::uint16_t port = 0);
    void clear_problem(ProblemKind kind);
    void clear_duplicate_agent() { clear_problem(ProblemKind::duplicate_agent); }
    void set_public_address(std::string address);
    void set_verdict(DirectVerdict verdict);
    // Sets `verdict` only while the board shows `shown` (another writer may have changed it
    // since it was read); true when it did.
    bool replace_verdict(DirectVerdict shown, DirectVerdict verdict);
    void set_gpu(std::string gpu_name, std::string encoder_name);
    void set_session_state(SessionState state, std::int64_t start_s);
    void set_stream(std::string codec, std::uint32_t width, std::uint32_t height,
                    std::uint32_t fps);
    void set_sent_rate(double mbps);
    void set_path(MediaPathKind kind, double ping_ms, double loss_pct);
    void add_event(StatusEventKind kind, std::int64_t value = 0);
    // Sets the stopping flag; the first call also adds the `stopping` event.
    void set_stopping();
    // Raises the counter and wakes every waiter without changing anything (used to stop a reader).
    void poke();
    // Waits until the change counter differs from `seen` or the timeout passes; returns the
    // counter as it then stands.
    std::uint64_t wait_for_change(std::uint64_t seen, std::chrono::milliseconds timeout);

    // Tests replace the wall clock that stamps events and link changes (seconds since 1970).
    void set_wall_clock_for_test(std::int64_t (*now_s)());

  private:
    void changed_locked();
    std::int64_t now_s() const;
    void add_event_locked(StatusEventKind kind, std::int64_t value, ProblemKind problem);

    StatusSnapshot snap_;
    std::uint64_t next_seq_ = 1;
    std::int64_t (*now_s_)() = nullptr;
};

// The board, created on first use.
StatusBoard& status_board();

}  // namespace vx
