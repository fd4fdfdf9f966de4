#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace vx {

// Traffic types a flow can carry; the values are those the callers pass to `enable`.
enum class QosTrafficType : std::uint8_t {
    none = 0,
    audio_video = 1,
    voice = 2,
    control = 3,
};

// DSCP code point and socket priority for a traffic type (none: 0 and 0).
struct QosMarking {
    int dscp = 0;
    int priority = 0;
};
QosMarking qos_marking_for(std::uint8_t traffic_type);

// What the worker reports: a socket marked for a destination, a flow forgotten, or a failure.
struct QosEvent {
    enum class Kind : std::uint8_t { flow_added, flow_removed, failed };
    Kind kind = Kind::flow_added;
    std::string label;
    std::string destination;  // "a.b.c.d:port"
    std::string detail;       // error text for `failed`
};
using QosEventHandler = std::function<void(const QosEvent&)>;

// Logs each event with the "QoS: " prefix.
void default_qos_event_handler(const QosEvent& event);

// Keeps one UDP socket marked for its current destination, on a thread of its own. On Linux the
// marking is IP_TOS (DSCP in the upper six bits) and SO_PRIORITY on the socket; the thread keeps
// the caller's send path free of system calls other than the send itself.
//
// Lock order: callers may hold their own locks when calling in; the worker's lock is the innermost.
class QosFlowWorker {
  public:
    explicit QosFlowWorker(QosEventHandler handler = default_qos_event_handler);
    ~QosFlowWorker();
    QosFlowWorker(const QosFlowWorker&) = delete;
    QosFlowWorker& operator=(const QosFlowWorker&) = delete;

    // Starts the thread for this traffic type; false (and nothing started) for type none or an
    // unknown type. A second call while enabled changes nothing and returns true.
    bool enable(std::uint8_t traffic_type, const std::string& label);

    // Marks `socket` for the IPv4 destination (address in host byte order). Ignored when not
    // enabled or when the address or port is 0; nothing happens when both equal the last ones.
    void set_destination(int socket, std::uint32_t address, std::uint16_t port);

    // Drops the pending destination, waits until the thread is idle and forgets the current flow.
    // Call it before the socket is closed or reopened.
    void reset();

    // Stops and joins the thread; idempotent. The destructor calls it.
    void stop();

    bool enabled() const;
    // Number of times a socket was marked (for tests and statistics).
    std::uint64_t flows_applied() const;

  private:
    struct Flow {
        int socket = -1;
        std::uint32_t address = 0;
        std::uint16_t port = 0;
        bool operator==(const Flow&) const = default;
    };

    void run();
    void apply(const Flow& flow);
    void report(QosEvent::Kind kind, const Flow& flow, const std::string& detail);

    QosEventHandler handler_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::thread thread_;
    bool enabled_ = false;
    bool stopping_ = false;
    bool busy_ = false;
    bool has_pending_ = false;
    bool has_current_ = false;
    Flow pending_;
    Flow current_;
    Flow last_requested_;
    std::uint8_t traffic_type_ = 0;
    std::string label_;
    std::uint64_t flows_applied_ = 0;
};

}  // namespace vx
