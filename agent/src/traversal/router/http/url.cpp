#include "traversal/router/http/url.hpp"

#include <vector>

#include "traversal/router/http/router_text.hpp"

namespace vx::network {
namespace {

constexpr std::string_view kSeparator = "://";

// 1 to 5 decimal digits, 1..65535.
bool parse_port(std::string_view text, std::uint16_t& port) {
    if (text.size() > 5)
        return false;
    const auto value = parse_decimal(text, 65535);
    if (!value || *value == 0)
        return false;
    port = static_cast<std::uint16_t>(*value);
    return true;
}

// Splits "host[:port]" or "[v6]:port"; false when the authority is unusable.
bool split_authority(std::string_view authority, ParsedUrl& url) {
    std::string_view port_text;
    bool has_port = false;
    if (authority.front() == '[') {
        const auto close = authority.find(']');
        if (close == std::string_view::npos)
            return false;
        url.host = std::string(authority.substr(1, close - 1));
        if (close + 1 < authority.size() && authority[close + 1] == ':') {
            port_text = authority.substr(close + 2);
            has_port = true;
        }
    } else {
        const auto colon = authority.rfind(':');
        url.host = std::string(authority.substr(0, colon));
        if (colon != std::string_view::npos) {
            port_text = authority.substr(colon + 1);
            has_port = true;
        }
    }
    if (has_port && !parse_port(port_text, url.port))
        return false;
    if (!has_port)
        url.port = url.scheme == "https" ? 443 : 80;
    return !url.host.empty();
}

}  // namespace

ParsedUrl parse_url(std::string_view text) {
    ParsedUrl url;
    const auto separator = text.find(kSeparator);
    if (text.size() < 3 || separator == std::string_view::npos)
        return url;
    url.scheme = to_lower_ascii(text.substr(0, separator));
    if (url.scheme != "http" && url.scheme != "https")
        return {};
    const std::string_view rest = text.substr(separator + kSeparator.size());
    const auto authority_end = std::min(rest.find_first_of("/?#"), rest.size());
    std::string_view authority = rest.substr(0, authority_end);
    const auto at = authority.rfind('@');
    if (at != std::string_view::npos)
        authority.remove_prefix(at + 1);
    if (authority.empty() || !split_authority(authority, url))
        return {};
    url.authority = std::string(authority);
    url.path = authority_end < rest.size() ? std::string(rest.substr(authority_end)) : "/";
    url.valid = true;
    return url;
}

std::string remove_dot_segments(std::string_view path) {
    std::vector<std::string_view> kept;
    std::size_t start = 0;
    while (start <= path.size()) {
        const auto slash = std::min(path.find('/', start), path.size());
        const std::string_view segment = path.substr(start, slash - start);
        if (segment == "..") {
            if (!kept.empty())
                kept.pop_back();
        } else if (!segment.empty() && segment != ".") {
            kept.push_back(segment);
        }
        start = slash + 1;
    }
    std::string out = (!path.empty() && path.front() == '/') ? "/" : "";
    for (std::size_t i = 0; i < kept.size(); ++i) {
        if (i > 0)
            out += '/';
        out += kept[i];
    }
    return out.empty() ? "/" : out;
}

std::string resolve_url(std::string_view base, std::string_view reference) {
    if (reference.empty())
        return std::string(base);
    if (starts_with_ignore_case(reference, "http://") ||
        starts_with_ignore_case(reference, "https://"))
        return std::string(reference);
    const ParsedUrl parsed = parse_url(base);
    if (!parsed.valid)
        return std::string(reference);
    if (reference.starts_with("//"))
        return parsed.scheme + ":" + std::string(reference);
    const std::string origin = parsed.scheme + "://" + parsed.authority;
    if (reference.front() == '/')
        return origin + std::string(reference);
    std::string directory = parsed.path.substr(0, parsed.path.find_first_of("?#"));
    const auto last_slash = directory.rfind('/');
    directory = last_slash == std::string::npos ? "/" : directory.substr(0, last_slash + 1);
    return origin + remove_dot_segments(directory + std::string(reference));
}

}  // namespace vx::network
