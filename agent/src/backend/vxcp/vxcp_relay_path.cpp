#include <spdlog/spdlog.h>

#include "backend/vxcp/vxcp_path.hpp"
#include "traversal/turn/turn_url.hpp"

namespace vx::network {

namespace {

class RelayPath final : public DatagramPath {
  public:
    RelayPath(std::unique_ptr<TurnClient> client, const VxcpEndpoint& backend)
        : client_(std::move(client)), backend_(backend) {}
    ~RelayPath() override { client_->close(); }

    void send(ByteView datagram) override {
        client_->send(backend_.address, backend_.port, datagram.data(), datagram.size());
    }

    std::size_t receive(std::uint8_t* buffer, std::size_t capacity, int timeout_ms,
                        std::uint64_t& dropped) override {
        int wait = std::max(timeout_ms, 0);
        for (int skipped = 0; skipped < kVxcpMaxSkippedPerReceive; ++skipped) {
            std::string peer;
            std::uint16_t port = 0;
            const std::int32_t n = client_->receive(buffer, capacity, peer, port, wait, wake_fd_);
            if (n <= 0) {
                return 0;
            }
            if (peer == backend_.address && port == backend_.port) {
                return static_cast<std::size_t>(n);
            }
            ++dropped;
            wait = 0;
        }
        return 0;
    }

    bool is_relay() const override { return true; }
    std::string relayed_endpoint() const override { return client_->relayed_endpoint(); }
    bool maintain(std::string& err) override { return client_->maintain(err); }

  private:
    std::unique_ptr<TurnClient> client_;
    VxcpEndpoint backend_;
};

}  // namespace

std::unique_ptr<DatagramPath> open_relay_path(const TurnConfig& config, const VxcpEndpoint& backend,
                                              std::string& err) {
    auto client = std::make_unique<TurnClient>();
    std::string why;
    if (!client->allocate(config, why)) {
        // The relay's host comes from the backend's relay list; the error goes into log lines.
        err = "relay allocation on " + server_text_for_messages(config.server) + ": " + why;
        return nullptr;
    }
    if (!client->create_permission(backend.address, why)) {
        err = "relay permission for " + backend.address + ": " + why;
        client->close();
        return nullptr;
    }
    if (!client->bind_channel(backend.address, backend.port, why)) {
        spdlog::info("VXCP: relay channel binding refused ({}) - using Send indications", why);
    }
    return std::make_unique<RelayPath>(std::move(client), backend);
}

}  // namespace vx::network
