#include "traversal/router/http/resolve.hpp"

#include <asio/error.hpp>

#include "util/error_text.hpp"
#include "util/io/name_lookup.hpp"
#include "util/outside_text.hpp"

namespace vx::network {

bool resolve_with_timeout(const std::string& host, std::uint16_t port, Deadline deadline,
                          asio::ip::tcp::endpoint& endpoint, std::string& error,
                          const NameLookup& lookup) {
    std::error_code parse_error;
    const auto literal = asio::ip::make_address(host, parse_error);
    if (!parse_error) {
        endpoint = {literal, port};
        return true;
    }
    if (remaining_ms(deadline) < 1) {
        error = "resolve timeout";
        return false;
    }
    NameLookupFn ask = [](const std::string& name) {
        return system_name_lookup(name, NameFamily::any);
    };
    if (lookup) {
        ask = [lookup, port](const std::string& name) {
            std::optional<asio::ip::tcp::endpoint> found;
            NameAnswer answer;
            answer.error = lookup(name, port, found);
            if (found)
                answer.addresses.push_back(found->address());
            return answer;
        };
    }
    NameAnswer answer;
    try {
        const PendingNameLookup pending(host, std::move(ask));
        if (!pending.wait_until(deadline)) {
            error = "resolve: " + util::describe_error(asio::error::operation_aborted);
            return false;
        }
        answer = pending.answer();
    } catch (const std::system_error& failure) {
        error = "resolve: " + util::describe_error(failure.code());
        return false;
    }
    if (answer.error || answer.addresses.empty()) {
        error = answer.error ? "resolve: " + util::describe_error(answer.error)
                             : "resolve timeout for " + util::quote_outside_text(host);
        return false;
    }
    endpoint = {answer.addresses.front(), port};
    return true;
}

}  // namespace vx::network
