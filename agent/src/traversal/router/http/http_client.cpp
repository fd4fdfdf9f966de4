#include "traversal/router/http/http_client.hpp"

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>

#include "traversal/router/http/resolve.hpp"
#include "traversal/router/http/router_text.hpp"
#include "util/error_text.hpp"

namespace vx::network {
namespace {

constexpr std::size_t kReadPiece = 4096;

bool in_progress(int code) {
    return code == EINPROGRESS || code == EALREADY || code == EAGAIN || code == EWOULDBLOCK;
}

std::string with_error(const char* prefix, const std::error_code& ec) {
    return prefix + util::describe_error(ec);
}

// The URL's checks before anything is sent; empty when the request may go.
std::string check_url(const ParsedUrl& url) {
    if (!url.valid)
        return "invalid router URL";
    if (url.scheme != "http")
        return "https router control URL is not supported";
    // A space would split the request line as surely as a control byte would.
    if (has_unsafe_header_bytes(url.authority) || has_unsafe_header_bytes(url.path) ||
        url.authority.find(' ') != std::string::npos || url.path.find(' ') != std::string::npos)
        return "invalid characters in router URL";
    return {};
}

// Waits for the pending connect; SO_ERROR tells how it ended.
bool finish_connect(int fd, Deadline deadline, std::string& error) {
    const std::int64_t left = remaining_ms(deadline);
    if (left < 1 || !wait_socket(fd, true, left)) {
        error = "connect timeout";
        return false;
    }
    int code = 0;
    socklen_t size = sizeof(code);
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &code, &size) != 0)
        code = errno;
    if (code != 0 && code != EISCONN) {
        error = with_error("connect: ", {code, std::system_category()});
        return false;
    }
    return true;
}

HttpResult exchange(const asio::ip::tcp::endpoint& endpoint, const HttpRequest& request,
                    const ParsedUrl& url, Deadline deadline) {
    HttpResult result;
    SocketFd socket;
    if (!tcp_connect_with_timeout(socket, endpoint, deadline, result.error) ||
        !send_with_timeout(socket.get(), build_http_request(request, url), deadline, result.error))
        return result;
    result = read_http_response(socket.get(), deadline);
    if (result.ok)
        ::shutdown(socket.get(), SHUT_RDWR);
    return result;
}

HttpResult failed(std::string error) {
    HttpResult result;
    result.error = std::move(error);
    return result;
}

// The URL's host is looked up only when the caller has not resolved and checked it already.
HttpResult run_request(const HttpRequest& request, const asio::ip::tcp::endpoint* endpoint) {
    const Deadline deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(request.timeout_ms);
    const ParsedUrl url = parse_url(request.url);
    if (std::string refusal = check_url(url); !refusal.empty())
        return failed(std::move(refusal));
    asio::ip::tcp::endpoint resolved;
    std::string error;
    if (endpoint == nullptr) {
        if (!resolve_with_timeout(url.host, url.port, deadline, resolved, error))
            return failed(std::move(error));
        endpoint = &resolved;
    }
    return exchange(*endpoint, request, url, deadline);
}

}  // namespace

std::string build_http_request(const HttpRequest& request, const ParsedUrl& url) {
    std::string text;
    text.reserve(request.body.size() + 256);
    text.append(request.method).append(" ").append(url.path).append(" HTTP/1.1\r\nHost: ");
    text.append(url.authority).append("\r\nUser-Agent: ").append(kRouterUserAgent);
    text.append("\r\nAccept: */*\r\nConnection: close\r\n");
    if (!request.soap_action.empty()) {
        text.append("Content-Type: text/xml; charset=\"utf-8\"\r\nSOAPAction: \"");
        text.append(request.soap_action).append("\"\r\n");
    }
    if (!request.body.empty() || request.method == "POST")
        text.append("Content-Length: ").append(std::to_string(request.body.size())).append("\r\n");
    text.append("\r\n").append(request.body);
    return text;
}

bool tcp_connect_with_timeout(SocketFd& socket, const asio::ip::tcp::endpoint& endpoint,
                              Deadline deadline, std::string& error) {
    std::error_code ec;
    socket = open_socket(endpoint.protocol().family(), SOCK_STREAM, ec);
    if (!socket.valid()) {
        error = with_error("socket: ", ec);
        return false;
    }
    if (endpoint.address().is_v6()) {
        const int off = 0;
        ::setsockopt(socket.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off));
    }
    if (::connect(socket.get(), endpoint.data(), endpoint.size()) == 0)
        return true;
    if (!in_progress(errno)) {
        error = with_error("connect: ", last_socket_error());
        return false;
    }
    return finish_connect(socket.get(), deadline, error);
}

bool send_with_timeout(int fd, std::string_view bytes, Deadline deadline, std::string& error) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(sent));
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const std::int64_t left = remaining_ms(deadline);
            if (left < 1 || !wait_socket(fd, true, left)) {
                error = "send timeout";
                return false;
            }
            continue;
        }
        error = with_error("send: ", last_socket_error());
        return false;
    }
    return true;
}

HttpResult read_http_response(int fd, Deadline deadline) {
    HttpResponseReader reader;
    std::array<char, kReadPiece> piece{};
    bool closed = false;
    while (!reader.complete()) {
        if (reader.size() >= kMaxHttpResponse)
            break;
        const std::int64_t left = remaining_ms(deadline);
        if (left < 1 || !wait_socket(fd, false, left))
            break;
        const ssize_t got = ::recv(fd, piece.data(), piece.size(), 0);
        if (got == 0) {
            closed = true;
            break;
        }
        if (got < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                continue;
            return failed(with_error("read: ", last_socket_error()));
        }
        reader.feed({piece.data(), static_cast<std::size_t>(got)});
    }
    return reader.finish(closed);
}

HttpResult http_request_to(const asio::ip::tcp::endpoint& endpoint, const HttpRequest& request) {
    return run_request(request, &endpoint);
}

HttpResult http_request(const HttpRequest& request) {
    return run_request(request, nullptr);
}

}  // namespace vx::network
