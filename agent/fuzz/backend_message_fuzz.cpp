// Backend messages through the one reader of everything the backend sends,
// SaasConnector::handle_message. The driver's callbacks, the transport, the control bridge and
// the relay measurement are stand-ins that keep nothing and send nothing: no byte leaves the
// process. The input is a sequence of messages separated by NUL bytes (JSON text holds none), so
// orders and the messages that refer to them meet.
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <asio/io_context.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "backend/connector/saas_connector.hpp"
#include "fuzz_input.hpp"
#include "util/clock.hpp"

namespace {

using namespace vx::network;

class NullTransport : public ControlTransport {
  public:
    bool send_control_text(const std::string& text) override { return text.size() % 17 != 0; }
    std::uint64_t control_drops() const override { return 0; }
    bool control_closed() const override { return false; }
    void abort_connection(const std::string&) override {}
    void wake_for_stop() override {}
};

// Opens the connector's write queue as a connected bridge would; the target empties it after
// every input, as the bridge's writer would.
class QueueBridge : public BridgeControl {
  public:
    explicit QueueBridge(std::shared_ptr<BridgeWriteQueue> queue) : queue_(std::move(queue)) {}
    void open(std::uint16_t) override {
        open_ = true;
        queue_->open();
    }
    void stop() override {
        open_ = false;
        queue_->close();
    }
    bool is_socket_open() const override { return open_; }
    void count_drop(const std::string&) override {}

  private:
    std::shared_ptr<BridgeWriteQueue> queue_;
    bool open_ = false;
};

struct Rig {
    Rig() : connector(io, config()) {
        spdlog::set_default_logger(std::make_shared<spdlog::logger>(
            "fuzz", std::make_shared<spdlog::sinks::null_sink_mt>()));
        connector.set_clocks([this] { return steady_us.load(); },
                             [] { return std::int64_t{1'700'000'000'000}; });
        connector.set_on_prepare_session([](const PrepareSessionParams&) {});
        connector.set_on_session_terminated([](const std::string&, const std::string&) {});
        connector.set_on_client_candidate([](std::string, std::uint16_t) {});
        connector.set_on_observed_ip([](std::string) {});
        connector.set_transport(std::make_shared<NullTransport>());
        connector.set_control_bridge(std::make_shared<QueueBridge>(connector.bridge_queue()));
        connector.set_relay_probe([](const std::string&, std::uint16_t, std::chrono::milliseconds) {
            return std::optional<std::int32_t>(7);
        });
    }
    static SaasConfig config() {
        SaasConfig c;
        c.host = "127.0.0.1";
        c.port = 9;
        c.tls = false;
        return c;
    }
    void drain_bridge_queue() {
        const auto queue = connector.bridge_queue();
        while (queue->size() > 0) {
            queue->wait_pop();
        }
    }

    asio::io_context io;
    std::atomic<std::int64_t> steady_us{1'000'000};
    SaasConnector connector;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Rig* rig = new Rig();  // lives for the whole run, as the connector does
    for (const std::string& message : vx::fuzz::split_at(vx::fuzz::as_text(data, size), '\0')) {
        rig->connector.handle_message(message);
    }
    rig->connector.relay_probe().wait_idle(std::chrono::seconds(10));
    rig->steady_us += 16'000'000;  // a relay list may be measured again
    rig->drain_bridge_queue();
    return 0;
}
