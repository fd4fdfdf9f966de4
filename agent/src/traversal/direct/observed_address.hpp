#pragma once

#include <string>

namespace vx::network {

// This PC's public address as the backend observes it. The driver owns it (it arrives on the
// connector's thread); the direct path only reads it.
class ObservedAddress {
  public:
    virtual ~ObservedAddress() = default;
    // An address has arrived.
    virtual bool published() const = 0;
    // The address that arrived; empty before.
    virtual std::string published_via() const = 0;
    // True when no address has arrived yet, or when it equals `address` byte for byte.
    virtual bool matches_via(const std::string& address) const = 0;
};

}  // namespace vx::network
