#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "config/agent_config.hpp"
#include "driver/session_orders.hpp"

namespace vx {

// Owns the agent's run between the entry's set-up and its exit: the stop signals, the libraries,
// the configuration, and (as they arrive) the backend link and the sessions it starts. Every
// long-lived component is created and wired here and stopped here in reverse order.
class SessionDriver {
  public:
    // Renews the firewall rules for the port base at start; tests that run the driver in the
    // test's own process hand in one that leaves the host's firewall alone.
    using FirewallStep = std::function<void(std::uint16_t port_base)>;

    // `args` are the command-line arguments after the program name.
    explicit SessionDriver(std::vector<std::string> args, FirewallStep firewall = {});
    SessionDriver(const SessionDriver&) = delete;
    SessionDriver& operator=(const SessionDriver&) = delete;

    // Runs until a stop is requested (standalone: until its one session is over) and returns the
    // process exit code: 1 with `failure` telling why when the run failed. An unusable command
    // line throws `CommandLineError`; the entry turns every exception into the fatal path (exit 1).
    int run();
    // Why the run failed; empty when it did not.
    const std::string& failure() const { return failure_; }

    // Ends the run: sets the stop flag, clears the running flag, marks the status board as
    // stopping and wakes every wait. Any thread may call it (never a signal handler).
    void request_stop();

    bool stop_requested() const { return stop_requested_.load(); }
    bool running() const { return running_.load(); }
    const AgentConfig& config() const { return config_; }

  private:
    void on_stop_signal(int signal_number);
    static bool init_libraries();
    void read_configuration();
    void log_configuration() const;

    // Marks the run failed (the reason is logged where it arose); returns the exit code.
    int fail(std::string why);

    std::vector<std::string> args_;
    FirewallStep firewall_;
    AgentConfig config_;
    std::string failure_;

    // The stop flag ends the agent; the running flag ends every wait and the current session (a
    // requested session end clears it too, and the outer loop sets it again).
    std::atomic<bool> stop_requested_{false};
    std::atomic<bool> running_{true};
    // The backend's orders and the session slots; the outer loop waits on them.
    SessionOrders orders_;
};

}  // namespace vx
