#include <spdlog/spdlog.h>

#include "backend/connector/dispatcher.hpp"
#include "link/pong.hpp"

namespace vx::network {

namespace {

// One app-ping log line per minute and connection thread; the rest are counted.
struct PingLogThrottle {
    std::uint64_t seen = 0;
    std::uint64_t suppressed = 0;
    std::int64_t next_log_us = 0;
};

thread_local PingLogThrottle t_ping_log;

constexpr std::int64_t kPingLogPeriodUs = 60'000'000;

}  // namespace

void Dispatcher::note_heard(std::int64_t now_us) {
    std::int64_t seen = last_heard_us_.load();
    while (now_us > seen && !last_heard_us_.compare_exchange_weak(seen, now_us)) {
    }
}

void Dispatcher::reset_connection_liveness(std::int64_t now_us) {
    last_heard_us_.store(now_us);
    app_pings_arriving_.store(false);
    app_pings_.store(0);
    t_ping_log = PingLogThrottle{};
}

void Dispatcher::on_ping(const nlohmann::json& message) {
    const std::int64_t now = now_us();
    note_heard(now);
    app_pings_arriving_.store(true);
    const std::uint64_t count = app_pings_.fetch_add(1) + 1;

    const std::string pong = make_pong(ping_timestamp_text(message));
    const std::shared_ptr<ControlTransport> transport = seams_.transport.get();
    const bool accepted = transport && transport->send_control_text(pong);

    PingLogThrottle& log = t_ping_log;
    ++log.seen;
    if (now >= log.next_log_us) {
        log.next_log_us = now + kPingLogPeriodUs;
        spdlog::info(
            "SaasConnector: app ping received (#{} on this connection) - app pong {} the control "
            "lane ({} seen, {} suppressed in the last window)",
            count, accepted ? "queued on" : "REFUSED by", log.seen, log.suppressed);
        log.suppressed = 0;
    } else {
        ++log.suppressed;
    }

    if (!accepted) {
        spdlog::error(
            "SaasConnector: the app pong could not be queued (control lane refused: {} dropped, "
            "closed={}) - closing the connection instead of missing the backend's heartbeat "
            "timeout",
            transport ? transport->control_drops() : 0,
            transport ? transport->control_closed() : true);
        if (transport) {
            transport->abort_connection("pong refused");
        }
    }
}

}  // namespace vx::network
