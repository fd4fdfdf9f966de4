#include "backend/connector/saas_connector.hpp"

#include <openssl/ssl.h>
#include <spdlog/spdlog.h>
#include <asio/io_context.hpp>
#include <asio/ssl/context.hpp>

#include <filesystem>
#include <system_error>

#include "backend/messages/messages.hpp"
#include "platform/paths.hpp"
#include "traversal/stun/relay_rtt_probe.hpp"
#include "util/error_text.hpp"

namespace vx::network {

namespace {

void load_cacert_beside_executable(asio::ssl::context& ctx) {
    const std::filesystem::path folder = platform::executable_folder();
    const std::filesystem::path file = folder.empty() ? folder : folder / "cacert.pem";
    std::error_code exists_ec;
    if (file.empty() || !std::filesystem::exists(file, exists_ec)) {
        spdlog::warn(
            "SaasConnector: cacert.pem not found next to the executable; TLS verification may "
            "fail");
        return;
    }
    asio::error_code ec;
    ctx.load_verify_file(file.string(), ec);
    if (ec) {
        spdlog::warn("SaasConnector: cannot load {}: {}", file.string(), util::describe_error(ec));
    }
}

std::unique_ptr<asio::ssl::context> make_tls_context(bool tls) {
    auto ctx = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_client);
    SSL_CTX_set_min_proto_version(ctx->native_handle(), TLS1_VERSION);
    ctx->set_options(asio::ssl::context::no_compression);
    if (!tls) {
        return ctx;
    }
    ctx->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                     asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                     asio::ssl::context::no_tlsv1_1);
    SSL_CTX_set_min_proto_version(ctx->native_handle(), TLS1_2_VERSION);
    ctx->set_verify_mode(asio::ssl::verify_peer);
    asio::error_code ignored;
    ctx->set_default_verify_paths(ignored);
    load_cacert_beside_executable(*ctx);
    return ctx;
}

}  // namespace

SaasConnector::SaasConnector(asio::io_context& io, SaasConfig config)
    : io_(io),
      config_(std::move(config)),
      tls_(make_tls_context(config_.tls)),
      steady_now_us_(util::steady_now_us),
      wall_now_ms_(util::wall_now_ms),
      queue_(std::make_shared<OutgoingQueue>()),
      bridge_queue_(std::make_shared<BridgeWriteQueue>(kBridgeQueueCapacity)),
      relay_book_(std::make_shared<RelayBook>()) {
    RelayProbeSetup setup;
    setup.probe = stun_binding_probe;
    setup.now_us = util::steady_now_us;
    setup.book = relay_book_;
    // Holds the queue itself, not the connector: a detached probe may still report.
    setup.enqueue = [queue = queue_](const nlohmann::json& message) {
        queue->push(dump_message(message));
    };
    relay_probe_ = std::make_unique<RelayProbe>(std::move(setup));
}

SaasConnector::~SaasConnector() {
    stop();
    if (auto bridge = control_bridge()) {
        bridge->stop();
    }
}

void SaasConnector::set_on_prepare_session(PrepareSessionHandler handler) {
    on_prepare_session_ = std::move(handler);
}

void SaasConnector::set_on_session_terminated(SessionTerminatedHandler handler) {
    on_session_terminated_ = std::move(handler);
}

void SaasConnector::set_on_client_candidate(ClientCandidateHandler handler) {
    on_client_candidate_ = std::move(handler);
}

void SaasConnector::set_on_observed_ip(ObservedIpHandler handler) {
    on_observed_ip_ = std::move(handler);
}

void SaasConnector::start() {
    std::lock_guard lock(lifecycle_mutex_);
    if (thread_.joinable()) {
        spdlog::warn("SaasConnector: start() called while the connection thread runs — ignored");
        return;
    }
    running_.store(true);
    thread_ = std::thread([this] { run(); });
}

void SaasConnector::stop() {
    running_.store(false);
    connected_.store(false);
    if (auto transport = this->transport()) {
        transport->wake_for_stop();
    }
    std::thread thread;
    {
        std::lock_guard lock(lifecycle_mutex_);
        if (thread_.joinable() && thread_.get_id() == std::this_thread::get_id()) {
            throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur),
                                    "SaasConnector::stop on the connection thread");
        }
        thread = std::move(thread_);
    }
    if (thread.joinable()) {
        thread.join();
    }
    if (auto bridge = control_bridge()) {
        bridge->stop();
    }
    join_relay_probe();
}

void SaasConnector::set_link_up(std::string transport_name, std::int64_t now_us) {
    {
        std::lock_guard lock(link_mutex_);
        transport_name_ = std::move(transport_name);
    }
    connected_since_us_.store(now_us);
    connected_.store(true);
}

void SaasConnector::set_link_down() {
    connected_.store(false);
    connected_since_us_.store(0);
    std::lock_guard lock(link_mutex_);
    transport_name_.clear();
}

std::string SaasConnector::transport_name() const {
    std::lock_guard lock(link_mutex_);
    return transport_name_;
}

void SaasConnector::set_transport(std::shared_ptr<ControlTransport> transport) {
    std::lock_guard lock(seams_mutex_);
    transport_ = std::move(transport);
}

std::shared_ptr<ControlTransport> SaasConnector::transport() const {
    std::lock_guard lock(seams_mutex_);
    return transport_;
}

void SaasConnector::set_control_bridge(std::shared_ptr<BridgeControl> bridge) {
    std::lock_guard lock(seams_mutex_);
    bridge_ = std::move(bridge);
}

std::shared_ptr<BridgeControl> SaasConnector::control_bridge() const {
    std::lock_guard lock(seams_mutex_);
    return bridge_;
}

void SaasConnector::set_log_upload(std::shared_ptr<LogUpload> upload) {
    std::lock_guard lock(seams_mutex_);
    log_upload_ = std::move(upload);
}

std::shared_ptr<LogUpload> SaasConnector::log_upload() const {
    std::lock_guard lock(seams_mutex_);
    return log_upload_;
}

void SaasConnector::set_relay_probe(RelayProbeFn probe) {
    relay_probe_->set_probe(std::move(probe));
}

void SaasConnector::set_clocks(util::NowFn steady_now_us, util::NowFn wall_now_ms) {
    relay_probe_->set_clock(steady_now_us);
    steady_now_us_ = std::move(steady_now_us);
    wall_now_ms_ = std::move(wall_now_ms);
}

std::string SaasConnector::current_session_id() const {
    std::lock_guard lock(session_mutex_);
    return current_session_id_;
}

std::optional<std::uint16_t> SaasConnector::control_port() const {
    const unsigned port = config_.register_payload.port_base + 3u;
    if (port > 65535u) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(port);
}

void SaasConnector::note_heard(std::int64_t now_us) {
    std::int64_t seen = last_heard_us_.load();
    while (now_us > seen && !last_heard_us_.compare_exchange_weak(seen, now_us)) {
    }
}

}  // namespace vx::network
