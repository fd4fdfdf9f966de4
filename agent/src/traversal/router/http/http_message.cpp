#include "traversal/router/http/http_message.hpp"

#include <algorithm>
#include <vector>

#include "traversal/router/http/router_text.hpp"

namespace vx::network {
namespace {

// A blank line that ends in new bytes began at most this many bytes before them ("\n\r\n").
constexpr std::size_t kBlankLineOverlap = 2;

// Just after the first blank line at or after `from`, however its line ends are written. The
// earliest one counts: a head ended by bare line feeds must not run on to a CRLF blank line
// inside the body, which would read body bytes as headers and end the head at another place
// once more bytes arrive.
std::optional<std::size_t> head_end(std::string_view bytes, std::size_t from) {
    const auto crlf = bytes.find("\n\r\n", from);
    const auto lf = bytes.find("\n\n", from);
    if (crlf == std::string_view::npos && lf == std::string_view::npos)
        return std::nullopt;
    return crlf < lf ? crlf + 3 : lf + 2;
}

std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty())
        lines.push_back(take_line(text));
    return lines;
}

bool parse_status_line(std::string_view line, HttpResponseHead& head) {
    const auto space = line.find(' ');
    if (!starts_with_ignore_case(line, "HTTP/") || space == std::string_view::npos)
        return false;
    const std::string_view rest = trim_blanks(line.substr(space + 1));
    if (rest.size() < 3)
        return false;
    const auto status = parse_decimal(rest.substr(0, 3), 999);
    if (!status)
        return false;
    head.status = static_cast<std::uint32_t>(*status);
    if (rest.size() >= 5)
        head.reason = std::string(trim_blanks(rest.substr(4)));
    return true;
}

void add_header(std::string_view line, HttpResponseHead& head) {
    auto field = split_header_line(line);
    if (!field)
        return;
    if (field->name == "content-length") {
        head.content_length = parse_decimal(field->value, kMaxHttpLength);
    } else if (field->name == "transfer-encoding" &&
               contains_ignore_case(field->value, "chunked")) {
        head.chunked = true;
    }
    head.headers[std::move(field->name)] = std::move(field->value);
}

// The head whose blank line ends at `end`; none when its status line is not HTTP.
std::optional<HttpResponseHead> parse_head(std::string_view bytes, std::size_t end) {
    const auto lines = split_lines(bytes.substr(0, end));
    HttpResponseHead head;
    if (lines.empty() || !parse_status_line(lines.front(), head))
        return std::nullopt;
    for (std::size_t i = 1; i < lines.size(); ++i)
        add_header(lines[i], head);
    head.body_offset = end;
    return head;
}

// `searched`: how many of `bytes` an earlier scan went through without finding the blank line.
HttpHeadScan scan_http_head(std::string_view bytes, std::size_t searched) {
    const std::size_t from =
        std::min(bytes.size(), searched > kBlankLineOverlap ? searched - kBlankLineOverlap : 0);
    HttpHeadScan scan;
    scan.looked_at = bytes.size() - from;
    const auto end = head_end(bytes, from);
    if (!end)
        return scan;
    scan.head = parse_head(bytes, *end);
    scan.state = scan.head ? HttpHeadScan::State::whole : HttpHeadScan::State::malformed;
    return scan;
}

}  // namespace

std::optional<HttpResponseHead> parse_http_response(std::string_view bytes) {
    return scan_http_head(bytes, 0).head;
}

std::optional<HttpResponse> parse_http_message(std::string_view bytes) {
    const auto head = parse_http_response(bytes);
    if (!head)
        return std::nullopt;
    std::string_view rest = bytes.substr(head->body_offset);
    HttpResponse response{head->status, head->reason, head->headers, {}};
    if (head->chunked) {
        // Transfer-Encoding wins over Content-Length (RFC 9112 section 6.3).
        ChunkedDecoder decoder;
        decoder.feed(rest);
        if (decoder.failed() || decoder.cut_inside_chunk())
            return std::nullopt;
        response.body = decoder.body();
    } else {
        if (head->content_length && rest.size() > *head->content_length)
            rest = rest.substr(0, static_cast<std::size_t>(*head->content_length));
        response.body = std::string(rest);
    }
    return response;
}

void HttpResponseReader::feed(std::string_view bytes) {
    const std::size_t before = buffer_.size();
    buffer_.append(bytes);
    if (scan_.state == HttpHeadScan::State::need_more) {
        scan_ = scan_http_head(buffer_, before);
        head_bytes_searched_ += scan_.looked_at;
        if (scan_.head && scan_.head->chunked)
            chunks_.feed(std::string_view(buffer_).substr(scan_.head->body_offset));
        return;
    }
    if (scan_.head && scan_.head->chunked)
        chunks_.feed(std::string_view(buffer_).substr(before));
}

bool HttpResponseReader::complete() const {
    if (scan_.state == HttpHeadScan::State::malformed)
        return true;
    const auto& head = scan_.head;
    if (!head)
        return false;
    if (head->chunked)
        return chunks_.done() || chunks_.failed();
    return head->content_length && buffer_.size() - head->body_offset >= *head->content_length;
}

HttpResult HttpResponseReader::finish(bool closed) const {
    HttpResult result;
    if (buffer_.size() >= kMaxHttpResponse) {
        result.error = "HTTP response too large";
    } else if (buffer_.empty()) {
        result.error = "no HTTP response";
    } else if (scan_.state == HttpHeadScan::State::malformed) {
        result.error = "malformed HTTP response";
    } else if (!complete() && !closed) {
        result.error = "HTTP response timed out";
    } else if (const auto message = parse_http_message(buffer_)) {
        result.ok = true;
        result.status = static_cast<std::int32_t>(message->status);
        result.body = message->body;
    } else {
        result.error = "malformed HTTP response";
    }
    return result;
}

}  // namespace vx::network
