#include "link/qos_flow_worker.hpp"

#include <netinet/in.h>
#include <netinet/ip.h>
#include <sys/socket.h>

#include <cerrno>
#include <system_error>

#include <spdlog/spdlog.h>

#include "platform/thread_name.hpp"
#include "util/error_text.hpp"

namespace vx {

namespace {

std::string endpoint_text(std::uint32_t address, std::uint16_t port) {
    return std::to_string((address >> 24) & 0xFF) + "." + std::to_string((address >> 16) & 0xFF) +
           "." + std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF) +
           ":" + std::to_string(port);
}

std::string last_error_text() {
    return util::describe_error(std::error_code(errno, std::system_category()));
}

}  // namespace

// The code points the Windows flow API assigns to these traffic types: audio/video CS5, voice
// and control CS7. SO_PRIORITY stays at or below 6, the highest an unprivileged process may set.
QosMarking qos_marking_for(std::uint8_t traffic_type) {
    switch (static_cast<QosTrafficType>(traffic_type)) {
        case QosTrafficType::audio_video:
            return {40, 5};
        case QosTrafficType::voice:
            return {56, 6};
        case QosTrafficType::control:
            return {56, 6};
        default:
            return {0, 0};
    }
}

void default_qos_event_handler(const QosEvent& event) {
    switch (event.kind) {
        case QosEvent::Kind::flow_added:
            spdlog::debug("QoS: {} flow marked toward {}", event.label, event.destination);
            break;
        case QosEvent::Kind::flow_removed:
            spdlog::debug("QoS: {} flow toward {} released", event.label, event.destination);
            break;
        case QosEvent::Kind::failed:
            spdlog::warn("QoS: {} flow toward {} not marked: {}", event.label, event.destination,
                         event.detail);
            break;
    }
}

QosFlowWorker::QosFlowWorker(QosEventHandler handler) : handler_(std::move(handler)) {}

QosFlowWorker::~QosFlowWorker() {
    stop();
}

bool QosFlowWorker::enable(std::uint8_t traffic_type, const std::string& label) {
    if (qos_marking_for(traffic_type).dscp == 0) {
        return false;
    }
    std::lock_guard lock(mutex_);
    if (enabled_) {
        return true;
    }
    traffic_type_ = traffic_type;
    label_ = label;
    stopping_ = false;
    enabled_ = true;
    thread_ = std::thread([this] { run(); });
    return true;
}

void QosFlowWorker::set_destination(int socket, std::uint32_t address, std::uint16_t port) {
    if (address == 0 || port == 0 || socket < 0) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        const Flow flow{socket, address, port};
        if (!enabled_ || stopping_ || flow == last_requested_) {
            return;
        }
        last_requested_ = flow;
        pending_ = flow;
        has_pending_ = true;
    }
    wake_.notify_one();
}

void QosFlowWorker::reset() {
    std::unique_lock lock(mutex_);
    has_pending_ = false;
    idle_.wait(lock, [this] { return !busy_; });
    if (has_current_) {
        const Flow forgotten = current_;
        has_current_ = false;
        current_ = Flow{};
        last_requested_ = Flow{};
        lock.unlock();
        report(QosEvent::Kind::flow_removed, forgotten, {});
        return;
    }
    last_requested_ = Flow{};
}

void QosFlowWorker::stop() {
    {
        std::lock_guard lock(mutex_);
        if (!enabled_) {
            return;
        }
        stopping_ = true;
        has_pending_ = false;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
    std::lock_guard lock(mutex_);
    enabled_ = false;
    has_current_ = false;
    last_requested_ = Flow{};
}

bool QosFlowWorker::enabled() const {
    std::lock_guard lock(mutex_);
    return enabled_ && !stopping_;
}

std::uint64_t QosFlowWorker::flows_applied() const {
    std::lock_guard lock(mutex_);
    return flows_applied_;
}

void QosFlowWorker::run() {
    platform::name_this_thread("vx-qos");
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || has_pending_; });
        if (stopping_) {
            break;
        }
        const Flow flow = pending_;
        has_pending_ = false;
        busy_ = true;
        lock.unlock();
        apply(flow);
        lock.lock();
        busy_ = false;
        idle_.notify_all();
    }
    busy_ = false;
    idle_.notify_all();
}

void QosFlowWorker::apply(const Flow& flow) {
    const QosMarking marking = qos_marking_for(traffic_type_);
    const int tos = marking.dscp << 2;
    if (::setsockopt(flow.socket, IPPROTO_IP, IP_TOS, &tos, sizeof tos) != 0) {
        report(QosEvent::Kind::failed, flow, "IP_TOS: " + last_error_text());
        return;
    }
    // SO_PRIORITY picks the queueing class on the way out; IP_TOS alone only marks the packets.
    if (::setsockopt(flow.socket, SOL_SOCKET, SO_PRIORITY, &marking.priority,
                     sizeof marking.priority) != 0) {
        report(QosEvent::Kind::failed, flow, "SO_PRIORITY: " + last_error_text());
        return;
    }
    {
        std::lock_guard lock(mutex_);
        current_ = flow;
        has_current_ = true;
        ++flows_applied_;
    }
    report(QosEvent::Kind::flow_added, flow, {});
}

void QosFlowWorker::report(QosEvent::Kind kind, const Flow& flow, const std::string& detail) {
    if (!handler_) {
        return;
    }
    std::string label;
    {
        std::lock_guard lock(mutex_);
        label = label_;
    }
    handler_(QosEvent{kind, label, endpoint_text(flow.address, flow.port), detail});
}

}  // namespace vx
