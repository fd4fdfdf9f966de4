#pragma once

#include <asio/io_context.hpp>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "backend/connector/saas_connector.hpp"
#include "support/fake_clock.hpp"

namespace vx::test {

// The transport of a pretend connection: records control texts, refuses on demand.
class FakeTransport : public network::ControlTransport {
  public:
    bool send_control_text(const std::string& text) override {
        std::lock_guard lock(mutex);
        if (refuse) {
            return false;
        }
        sent.push_back(text);
        return true;
    }
    std::uint64_t control_drops() const override { return 7; }
    bool control_closed() const override { return refuse; }
    void abort_connection(const std::string& reason) override {
        std::lock_guard lock(mutex);
        aborts.push_back(reason);
    }
    void wake_for_stop() override {
        std::lock_guard lock(mutex);
        ++wakes;
    }

    std::mutex mutex;
    bool refuse = false;
    std::vector<std::string> sent;
    std::vector<std::string> aborts;
    int wakes = 0;
};

// A control bridge that only records what the dispatcher asked of it.
class FakeBridge : public network::BridgeControl {
  public:
    explicit FakeBridge(std::shared_ptr<network::BridgeWriteQueue> queue, bool reachable = true)
        : queue_(std::move(queue)), reachable_(reachable) {}

    void open(std::uint16_t port) override {
        opens.push_back(port);
        stop();
        if (reachable_) {
            open_ = true;
            queue_->open();
        }
    }
    void stop() override {
        ++stops;
        open_ = false;
        queue_->close();
    }
    bool is_socket_open() const override { return open_; }
    void count_drop(const std::string& reason) override { drops.push_back(reason); }

    std::vector<std::uint16_t> opens;
    int stops = 0;
    std::vector<std::string> drops;

  private:
    std::shared_ptr<network::BridgeWriteQueue> queue_;
    bool reachable_;
    bool open_ = false;
};

class FakeLogUpload : public network::LogUpload {
  public:
    void note_session_start(const std::string& id) override { calls.push_back("start " + id); }
    void on_log_stored(const std::string& id) override { calls.push_back("stored " + id); }
    void upload_session_log(const std::string& id, const std::string& reason) override {
        calls.push_back("upload " + id + " " + reason);
    }
    void report_agent_log() override { calls.push_back("report"); }
    void requeue_unconfirmed() override { calls.push_back("requeue"); }
    void note_back_to_waiting(const std::string& id) override { calls.push_back("waiting " + id); }
    void set_pacing(std::shared_ptr<network::PartPacing>) override {}
    bool send_next_paced_part() override { return false; }

    std::vector<std::string> calls;
};

// A connector on fake clocks with no TLS and no thread running.
struct ConnectorRig {
    explicit ConnectorRig(network::SaasConfig config = plain_config())
        : connector(io, std::move(config)) {
        connector.set_clocks(clock.fn(), [this] { return wall_ms.load(); });
    }

    static network::SaasConfig plain_config() {
        network::SaasConfig config;
        config.host = "127.0.0.1";
        config.port = 9;  // nothing listens: a started loop only retries
        config.tls = false;
        return config;
    }

    asio::io_context io;
    FakeClock clock;
    std::atomic<std::int64_t> wall_ms{1'700'000'000'000};
    network::SaasConnector connector;
};

}  // namespace vx::test
