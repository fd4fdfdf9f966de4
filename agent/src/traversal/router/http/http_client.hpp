#pragma once

// The small blocking HTTP/1.1 client the port mapper talks to the router's UPnP services with:
// one GET for the description, one POST per SOAP action, each on a connection of its own. One
// deadline bounds the whole exchange (resolution, connect, send, receive).

#include <cstdint>
#include <string>
#include <string_view>

#include <asio/ip/tcp.hpp>

#include "traversal/router/http/http_message.hpp"
#include "traversal/router/http/socket_fd.hpp"
#include "traversal/router/http/url.hpp"

namespace vx::network {

inline constexpr std::string_view kRouterUserAgent = "VelmoraAgent/1.0 UPnP/1.1";

struct HttpRequest {
    std::string_view method;  // "GET" or "POST"
    std::string_view url;
    std::string_view soap_action;  // empty for a plain GET
    std::string_view body;
    std::int64_t timeout_ms = 0;
};

HttpResult http_request(const HttpRequest& request);

// The same request sent to an address the caller has already resolved and checked: the URL
// gives only the Host header and the path, so no second lookup can name another host.
HttpResult http_request_to(const asio::ip::tcp::endpoint& endpoint, const HttpRequest& request);

// The request's bytes: request line, Host, User-Agent, Accept, "Connection: close", the SOAP
// headers when there is an action, Content-Length for a body or any POST, then the body.
std::string build_http_request(const HttpRequest& request, const ParsedUrl& url);

// Transport steps, each bounded by the same deadline and giving its own error text.
bool tcp_connect_with_timeout(SocketFd& socket, const asio::ip::tcp::endpoint& endpoint,
                              Deadline deadline, std::string& error);
bool send_with_timeout(int fd, std::string_view bytes, Deadline deadline, std::string& error);
HttpResult read_http_response(int fd, Deadline deadline);

}  // namespace vx::network
