#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "backend/vxcp/vxcp_crypto.hpp"
#include "traversal/turn/turn_client.hpp"

// Where VXCP/1 datagrams travel: straight to the backend over UDP, or through a TURN relay.
namespace vx::network {

struct VxcpEndpoint {
    std::string address;  // dotted IPv4
    std::uint16_t port = 0;
    std::string text() const { return address + ":" + std::to_string(port); }
};

// Resolves an IPv4 UDP endpoint (the first address); false with "resolve <host>: ..." otherwise.
bool vxcp_resolve(const std::string& host, std::uint16_t port, VxcpEndpoint& out, std::string& err);

// Datagrams from anyone else that one receive skips before it gives up for this call, so a
// flood from a stranger cannot hold the connection thread.
inline constexpr int kVxcpMaxSkippedPerReceive = 1024;

class DatagramPath {
  public:
    virtual ~DatagramPath() = default;
    // Send errors are ignored: the reliable stream repeats what is lost.
    virtual void send(ByteView datagram) = 0;
    // The first datagram from the backend within `timeout_ms` (0: only what is already waiting):
    // its length, or 0 for none. Datagrams from anyone else are skipped and counted in `dropped`.
    // A datagram longer than `capacity` is returned cut to it.
    virtual std::size_t receive(std::uint8_t* buffer, std::size_t capacity, int timeout_ms,
                                std::uint64_t& dropped) = 0;
    virtual bool is_relay() const { return false; }
    // The relay's relayed transport address ("a.b.c.d:port"); empty on the direct path.
    virtual std::string relayed_endpoint() const { return {}; }
    // Refreshes a relay allocation; the direct path has nothing to keep up.
    virtual bool maintain(std::string& /*err*/) { return true; }
    // A descriptor whose readability ends a receive's wait early (0 returned); -1 for none.
    void set_wake_fd(int fd) { wake_fd_ = fd; }

  protected:
    int wake_fd_ = -1;
};

// A non-blocking IPv4 UDP socket that talks only to `backend`.
std::unique_ptr<DatagramPath> open_direct_path(const VxcpEndpoint& backend, std::string& err);

// A TURN allocation with a permission (and, when granted, a channel) for `backend`.
std::unique_ptr<DatagramPath> open_relay_path(const TurnConfig& config, const VxcpEndpoint& backend,
                                              std::string& err);

}  // namespace vx::network
