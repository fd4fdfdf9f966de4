#pragma once

// The router's URLs: LOCATION of an SSDP answer and the control URLs of its description. Only
// what a UPnP gateway writes is understood: http(s)://[user@]host[:port][/path?query#fragment].

#include <cstdint>
#include <string>
#include <string_view>

namespace vx::network {

struct ParsedUrl {
    bool valid = false;
    std::string scheme;      // lower case: "http" or "https"
    std::string host;        // an IPv6 literal without its brackets
    std::uint16_t port = 0;  // 80 or 443 when the URL names none
    std::string authority;   // host[:port] as written, without user-info: the Host header
    std::string path;        // from the first '/', '?' or '#' after the authority; "/" when empty
};

ParsedUrl parse_url(std::string_view text);

// `reference` made absolute against `base` (a description's LOCATION).
std::string resolve_url(std::string_view base, std::string_view reference);

// Drops empty and "." segments and lets ".." remove the one before; a trailing '/' is not kept.
std::string remove_dot_segments(std::string_view path);

}  // namespace vx::network
