#include "driver/session_driver.hpp"

#include <sodium.h>
#include <spdlog/spdlog.h>

#include <utility>

#include "config/command_line.hpp"
#include "config/environment.hpp"
#include "driver/backend_wiring.hpp"
#include "driver/session_runner.hpp"
#include "platform/stop_signals.hpp"
#include "status/status_board.hpp"
#include "traversal/direct/check_direct_report.hpp"
#include "traversal/firewall/firewall_rules.hpp"
#include "util/outside_text.hpp"

namespace vx {

SessionDriver::SessionDriver(std::vector<std::string> args, FirewallStep firewall)
    : args_(std::move(args)), firewall_(std::move(firewall)) {
    if (!firewall_)
        firewall_ = [](std::uint16_t port_base) { network::setup_firewall_rules(port_base); };
}

int SessionDriver::run() {
    // The stop signals are blocked since the entry's first line; from here on they arrive on
    // the watcher's thread, where taking the board's mutex is allowed.
    platform::StopSignalWatcher stop_signals(
        [this](int signal_number) { on_stop_signal(signal_number); });
    if (!init_libraries()) {
        return fail("libsodium init failed");
    }
    read_configuration();
    if (config_.check_direct) {
        return network::check_direct_report(config_);
    }
    spdlog::info("Velmora host agent {}", kAgentVersion);
    log_configuration();
    // At every start, standalone too: there is no capture adapter to choose before them here.
    firewall_(config_.port_base);
    if (config_.saas_host.empty()) {
        spdlog::info("No --saas-host given - running standalone");
        status_board().set_link_state(LinkState::standalone, LinkTransport::none);
    }
    status_board().add_event(StatusEventKind::started);
    if (config_.saas_host.empty()) {
        // The one session is all a standalone agent is for: its failure is the run's.
        const SessionResult session = run_standalone_session(config_, running_, orders_);
        if (session.setup_failed) {
            spdlog::error("Standalone: the session failed - the agent stops (exit code 1)");
            return fail("the standalone session failed: " + session.failure);
        }
    } else {
        run_with_backend(config_, orders_, running_, stop_requested_);
    }
    spdlog::info("Agent stopped cleanly");
    return 0;
}

int SessionDriver::fail(std::string why) {
    status_board().add_event(StatusEventKind::failed);
    failure_ = std::move(why);
    return 1;
}

void SessionDriver::request_stop() {
    stop_requested_.store(true);
    running_.store(false);
    {
        // Taken so the outer loop cannot miss the wake between its check and its wait.
        std::lock_guard lock(orders_.mutex);
    }
    orders_.wake.notify_all();
    status_board().set_stopping();
}

void SessionDriver::on_stop_signal(int signal_number) {
    if (!stop_requested_.load()) {
        spdlog::info("{} received - stopping", platform::signal_name(signal_number));
    }
    request_stop();
}

bool SessionDriver::init_libraries() {
    if (sodium_init() < 0) {
        spdlog::critical("libsodium init failed");
        return false;
    }
    return true;
}

void SessionDriver::read_configuration() {
    CommandLineResult parsed = parse_command_line(args_);
    if (!parsed.ok()) {
        throw CommandLineError(parsed.error + " (run with --help to see the options)");
    }
    config_ = std::move(parsed.config);
    apply_environment(config_);
}

void SessionDriver::log_configuration() const {
    spdlog::info("Config: {}x{} @{} fps, {} kbps, codec={}", config_.width, config_.height,
                 config_.fps, config_.bitrate / 1000, util::quote_outside_text(config_.codec));
    if (config_.client_idle_timeout_sec == 0) {
        spdlog::warn(
            "Client idle timeout is 0 - the presence watchdog is off: a player who vanishes "
            "keeps the session until it is ended");
    } else {
        spdlog::info("Client idle timeout: {} s", config_.client_idle_timeout_sec);
    }
}

}  // namespace vx
