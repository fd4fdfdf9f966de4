#pragma once

#include <asio/ip/address.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace vx::network {

// What one lookup found: the addresses in the resolver's order, or why there are none. No
// addresses and no error: the name has no address of the family asked for.
struct NameAnswer {
    std::vector<asio::ip::address> addresses;
    std::error_code error;  // getaddrinfo's own texts; asio::error::timed_out past a deadline
};

enum class NameFamily : std::uint8_t { any, ipv4 };

// getaddrinfo, blocking.
NameAnswer system_name_lookup(const std::string& host, NameFamily family);

using NameLookupFn = std::function<NameAnswer(const std::string& host)>;

// getaddrinfo cannot be interrupted, so a lookup runs on a thread of its own that owns its
// answer: a caller that stops waiting leaves the thread behind, holding nothing of the caller's,
// and a slow name server never holds the caller.
class PendingNameLookup {
  public:
    // Throws std::system_error when no thread or eventfd can be had.
    PendingNameLookup(std::string host, NameLookupFn lookup);
    ~PendingNameLookup();  // joins a lookup that answered, leaves one that did not
    PendingNameLookup(const PendingNameLookup&) = delete;
    PendingNameLookup& operator=(const PendingNameLookup&) = delete;

    // Readable once the answer is in: for a caller that polls it with descriptors of its own.
    int ready_fd() const;
    // True once the answer is in, false when the deadline passed first.
    bool wait_until(std::chrono::steady_clock::time_point deadline) const;
    // The answer; asio::error::timed_out while there is none.
    NameAnswer answer() const;

  private:
    struct Job;
    std::shared_ptr<Job> job_;
    std::thread thread_;
};

// How long a peer's name may take before the agent gives up on it: a name server that never
// answers must not hold a connection attempt, or a stop waiting for one, for good.
inline constexpr std::chrono::seconds kNameLookupLimit{5};

// A literal of the family asked for at once; a name through the system resolver, bounded.
NameAnswer lookup_name(const std::string& host, NameFamily family,
                       std::chrono::milliseconds limit = kNameLookupLimit);

}  // namespace vx::network
