#include "backend/connector/saas_connector.hpp"

#include <openssl/ssl.h>
#include <spdlog/spdlog.h>
#include <asio/io_context.hpp>
#include <asio/ssl/context.hpp>

#include <filesystem>
#include <system_error>

#include "backend/diagnostics/diagnostics.hpp"
#include "backend/messages/messages.hpp"
#include "backend/ws/websocket_session.hpp"
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

std::unique_ptr<RelayProbe> make_relay_probe(std::shared_ptr<OutgoingQueue> queue,
                                             std::shared_ptr<RelayBook> book) {
    RelayProbeSetup setup;
    setup.probe = stun_binding_probe;
    setup.now_us = util::steady_now_us;
    setup.book = std::move(book);
    // Holds the queue itself, not the connector: a detached probe may still report.
    setup.enqueue = [queue = std::move(queue)](const nlohmann::json& message) {
        queue->push(dump_message(message));
    };
    return std::make_unique<RelayProbe>(std::move(setup));
}

ReportIdentity report_identity(const SaasConfig& config) {
    const RegisterPayload& r = config.register_payload;
    ReportIdentity identity;
    identity.agent_version = r.agent_version;
    identity.server_id = config.server_id;
    identity.gpu_model = r.gpu_model;
    identity.cpu_model = r.cpu_model;
    identity.os_version = r.os_version;
    return identity;
}

}  // namespace

// The log upload hands its parts to the queue itself (not to the connector), reads the time the
// current connection came up, and runs on the connector's steady clock.
std::shared_ptr<LogUpload> SaasConnector::make_log_upload() {
    DiagnosticsSeams seams;
    seams.queue_message = [queue = outbox_.shared_queue()](const std::string& text) {
        queue->push(text);
        return true;
    };
    seams.link_up_since_us = [this] { return loop_.connected_since_us(); };
    seams.parts_ready = [queue = outbox_.shared_queue()] { queue->wake_drainer(); };
    seams.now_us = [&clocks = clocks_] { return clocks.steady_us(); };
    return std::make_shared<Diagnostics>(report_identity(config_), std::move(seams));
}

SaasConnector::SaasConnector(asio::io_context& io, SaasConfig config)
    : io_(io),
      config_(std::move(config)),
      tls_(make_tls_context(config_.tls)),
      outbox_(config_, seams_),
      relay_probe_(make_relay_probe(outbox_.shared_queue(), relay_book_)),
      dispatcher_(config_, clocks_, seams_, *relay_book_, *relay_probe_),
      loop_(io_, config_.tls ? tls_.get() : nullptr, config_, clocks_, seams_, dispatcher_, outbox_,
            *relay_book_) {
    seams_.log_upload.set(make_log_upload());
}

SaasConnector::~SaasConnector() {
    stop();
    if (auto bridge = control_bridge()) {
        bridge->stop();
    }
}

void SaasConnector::set_on_prepare_session(PrepareSessionHandler handler) {
    dispatcher_.set_on_prepare_session(std::move(handler));
}

void SaasConnector::set_on_session_terminated(SessionTerminatedHandler handler) {
    dispatcher_.set_on_session_terminated(std::move(handler));
}

void SaasConnector::set_on_client_candidate(ClientCandidateHandler handler) {
    dispatcher_.set_on_client_candidate(std::move(handler));
}

void SaasConnector::set_on_observed_ip(ObservedIpHandler handler) {
    dispatcher_.set_on_observed_ip(std::move(handler));
}

void SaasConnector::start() {
    loop_.start();
}

void SaasConnector::stop() {
    loop_.stop();
    if (auto bridge = control_bridge()) {
        bridge->stop();
    }
    join_relay_probe();
}

void SaasConnector::send_session_ready(const std::string& session_id, const std::string& public_ip,
                                       std::uint16_t video_port, std::uint16_t audio_port,
                                       std::uint16_t input_port) {
    outbox_.session_ready(session_id, public_ip, video_port, audio_port, input_port);
}

void SaasConnector::clear_cached_session_ready() {
    outbox_.shared_queue()->clear_session_ready();
}

void SaasConnector::send_session_ended(const std::string& session_id, const std::string& reason,
                                       std::uint32_t duration_sec) {
    outbox_.session_ended(session_id, reason, duration_sec);
}

void SaasConnector::send_error(const std::string& code, const std::string& message,
                               const std::string& session_id) {
    outbox_.error(code, message, session_id);
}

void SaasConnector::send_ice_candidate(const std::string& session_id, const std::string& ip,
                                       const std::string& kind, std::uint16_t port,
                                       const std::optional<natwave::Profile>& profile) {
    outbox_.ice_candidate(session_id, ip, kind, port, profile);
}

void SaasConnector::send_register() {
    outbox_.register_agent();
}

void SaasConnector::set_register_public_ip(std::string public_ip) {
    outbox_.set_register_public_ip(std::move(public_ip));
}

void SaasConnector::send_heartbeat() {
    outbox_.heartbeat();
}

void SaasConnector::enqueue_message(const nlohmann::json& message) {
    outbox_.push_message(message);
}

void SaasConnector::enqueue_text(std::string text) {
    outbox_.shared_queue()->push(std::move(text));
}

std::vector<std::string> SaasConnector::take_outgoing() {
    return outbox_.shared_queue()->take_all();
}

std::size_t SaasConnector::resend_after_reconnect() {
    return outbox_.replay();
}

void SaasConnector::handle_message(const std::string& text) {
    dispatcher_.handle_message(text);
}

WsStats SaasConnector::websocket_stats() const {
    return loop_.websocket().stats();
}

std::string SaasConnector::transport_name() const {
    return loop_.transport_name();
}

void SaasConnector::reset_connection_liveness(std::int64_t now_us) {
    dispatcher_.reset_connection_liveness(now_us);
}

void SaasConnector::set_transport(std::shared_ptr<ControlTransport> transport) {
    seams_.transport.set(std::move(transport));
}

std::shared_ptr<ControlTransport> SaasConnector::transport() const {
    return seams_.transport.get();
}

void SaasConnector::set_control_bridge(std::shared_ptr<BridgeControl> bridge) {
    seams_.bridge.set(std::move(bridge));
}

std::shared_ptr<BridgeControl> SaasConnector::control_bridge() const {
    return seams_.bridge.get();
}

void SaasConnector::set_log_upload(std::shared_ptr<LogUpload> upload) {
    seams_.log_upload.set(std::move(upload));
}

std::shared_ptr<LogUpload> SaasConnector::log_upload() const {
    return seams_.log_upload.get();
}

void SaasConnector::set_relay_probe(RelayProbeFn probe) {
    relay_probe_->set_probe(std::move(probe));
}

void SaasConnector::set_clocks(util::NowFn steady_now_us, util::NowFn wall_now_ms) {
    relay_probe_->set_clock(steady_now_us);
    clocks_.steady_us = std::move(steady_now_us);
    clocks_.wall_ms = std::move(wall_now_ms);
}

std::string SaasConnector::current_session_id() const {
    return dispatcher_.current_session_id();
}

std::optional<std::uint16_t> SaasConnector::control_port() const {
    return dispatcher_.control_port();
}

void SaasConnector::handle_relay_list(const nlohmann::json& message) {
    dispatcher_.handle_relay_list(message);
}

void SaasConnector::start_relay_probe(std::vector<RelayNode> nodes) {
    relay_probe_->start(std::move(nodes));
}

void SaasConnector::join_relay_probe() {
    relay_probe_->stop();
}

}  // namespace vx::network
