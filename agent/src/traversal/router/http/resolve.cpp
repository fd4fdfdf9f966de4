#include "traversal/router/http/resolve.hpp"

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include "util/error_text.hpp"

namespace vx::network {

bool resolve_with_timeout(const std::string& host, std::uint16_t port, Deadline deadline,
                          asio::ip::tcp::endpoint& endpoint, std::string& error) {
    std::error_code parse_error;
    const auto literal = asio::ip::make_address(host, parse_error);
    if (!parse_error) {
        endpoint = {literal, port};
        return true;
    }
    const std::int64_t left = remaining_ms(deadline);
    if (left < 1) {
        error = "resolve timeout";
        return false;
    }
    asio::io_context io;
    asio::ip::tcp::resolver resolver(io);
    asio::steady_timer timer(io, std::chrono::milliseconds(left));
    bool found = false;
    std::error_code failure;
    resolver.async_resolve(host, std::to_string(port),
                           [&](const std::error_code& ec, auto results) {
                               if (!ec && !results.empty()) {
                                   endpoint = results.begin()->endpoint();
                                   found = true;
                               } else {
                                   failure = ec;
                               }
                               timer.cancel();
                           });
    timer.async_wait([&](const std::error_code& ec) {
        if (!ec)
            resolver.cancel();
    });
    io.run();
    if (found)
        return true;
    error = failure ? "resolve: " + util::describe_error(failure) : "resolve timeout for " + host;
    return false;
}

}  // namespace vx::network
