#include <netdb.h>
#include <poll.h>

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>

#include "backend/vxcp/vxcp_path.hpp"
#include "util/error_text.hpp"
#include "util/io/name_lookup.hpp"
#include "util/io/udp_socket.hpp"
#include "util/outside_text.hpp"

namespace vx::network {

bool vxcp_resolve(const std::string& host, std::uint16_t port, VxcpEndpoint& out,
                  std::string& err) {
    const NameAnswer answer = lookup_name(host, NameFamily::ipv4);
    if (answer.error) {
        err =
            "resolve " + util::quote_outside_text(host) + ": " + util::describe_error(answer.error);
        return false;
    }
    if (answer.addresses.empty()) {
        err = "resolve " + util::quote_outside_text(host) + ": no address";
        return false;
    }
    out.address = answer.addresses.front().to_string();
    out.port = port;
    return true;
}

namespace {

class DirectPath final : public DatagramPath {
  public:
    DirectPath(const VxcpEndpoint& backend)
        : socket_(io_), backend_(asio::ip::make_address_v4(backend.address), backend.port) {}

    bool open(std::string& err) {
        std::error_code ec;
        socket_.open(asio::ip::udp::v4(), ec);
        if (!ec) {
            socket_.non_blocking(true, ec);
        }
        if (ec) {
            err = "socket: " + util::describe_error(ec);
            return false;
        }
        util::disable_udp_connreset(socket_);
        return true;
    }

    void send(ByteView datagram) override {
        std::error_code ec;
        socket_.send_to(asio::buffer(datagram.data(), datagram.size()), backend_, 0, ec);
    }

    std::size_t receive(std::uint8_t* buffer, std::size_t capacity, int timeout_ms,
                        std::uint64_t& dropped) override {
        if (timeout_ms > 0) {
            pollfd fds[2] = {{socket_.native_handle(), POLLIN, 0}, {wake_fd_, POLLIN, 0}};
            if (::poll(fds, 2, timeout_ms) <= 0 || fds[0].revents == 0) {
                return 0;
            }
        }
        for (int skipped = 0; skipped < kVxcpMaxSkippedPerReceive; ++skipped) {
            asio::ip::udp::endpoint from;
            std::error_code ec;
            std::size_t n = socket_.receive_from(asio::buffer(buffer, capacity), from, 0, ec);
            // Windows reports an over-long datagram as an error where Linux cuts it silently;
            // either way it is handled as cut to the buffer (and then fails authentication).
            if (ec == asio::error::message_size) {
                n = capacity;
            } else if (ec) {
                return 0;
            }
            if (from == backend_) {
                return n;
            }
            ++dropped;
        }
        return 0;
    }

  private:
    asio::io_context io_;
    asio::ip::udp::socket socket_;
    asio::ip::udp::endpoint backend_;
};

}  // namespace

std::unique_ptr<DatagramPath> open_direct_path(const VxcpEndpoint& backend, std::string& err) {
    auto path = std::make_unique<DirectPath>(backend);
    if (!path->open(err)) {
        return nullptr;
    }
    return path;
}

}  // namespace vx::network
