#include "backend/dispatch_address.hpp"

#include <asio/ip/address_v6.hpp>

#include <array>
#include <cstdint>
#include <string>

#include "util/address.hpp"

namespace vx::network {

namespace {

struct Range4 {
    std::uint32_t base;
    int bits;
};

constexpr std::uint32_t v4(int a, int b, int c, int d) {
    return (static_cast<std::uint32_t>(a) << 24) | (static_cast<std::uint32_t>(b) << 16) |
           (static_cast<std::uint32_t>(c) << 8) | static_cast<std::uint32_t>(d);
}

// Special-purpose blocks that are not globally reachable (IANA IPv4 special-purpose registry).
constexpr std::array<Range4, 14> kNotPublic4{{
    {v4(0, 0, 0, 0), 8},
    {v4(10, 0, 0, 0), 8},
    {v4(100, 64, 0, 0), 10},
    {v4(127, 0, 0, 0), 8},
    {v4(169, 254, 0, 0), 16},
    {v4(172, 16, 0, 0), 12},
    {v4(192, 0, 0, 0), 24},
    {v4(192, 0, 2, 0), 24},
    {v4(192, 168, 0, 0), 16},
    {v4(198, 18, 0, 0), 15},
    {v4(198, 51, 100, 0), 24},
    {v4(203, 0, 113, 0), 24},
    {v4(224, 0, 0, 0), 4},
    {v4(240, 0, 0, 0), 4},
}};

bool in_range(std::uint32_t address, std::uint32_t base, int bits) {
    const std::uint32_t mask = bits == 0 ? 0 : ~std::uint32_t{0} << (32 - bits);
    return (address & mask) == (base & mask);
}

bool is_public_v4(std::uint32_t address) {
    // PCP and TURN anycast (192.0.0.9, 192.0.0.10) are globally reachable inside 192.0.0.0/24.
    if (address == v4(192, 0, 0, 9) || address == v4(192, 0, 0, 10)) {
        return true;
    }
    for (const Range4& range : kNotPublic4) {
        if (in_range(address, range.base, range.bits)) {
            return false;
        }
    }
    return true;
}

using Bytes6 = std::array<unsigned char, 16>;

struct Range6 {
    Bytes6 base;
    int bits;
};

bool in_range6(const Bytes6& address, const Range6& range) {
    int bits = range.bits;
    for (std::size_t i = 0; i < 16 && bits > 0; ++i, bits -= 8) {
        const unsigned mask = bits >= 8 ? 0xFFu : (0xFFu << (8 - bits)) & 0xFFu;
        if ((address[i] & mask) != (range.base[i] & mask)) {
            return false;
        }
    }
    return true;
}

Range6 r6(const char* text, int bits) {
    return {asio::ip::make_address_v6(text).to_bytes(), bits};
}

bool is_public_v6(const Bytes6& a) {
    static const Range6 mapped = r6("::ffff:0:0", 96);
    if (in_range6(a, mapped)) {
        return is_public_v4(v4(a[12], a[13], a[14], a[15]));
    }
    static const Range6 ietf = r6("2001::", 23);
    if (in_range6(a, ietf)) {
        static const std::array<Range6, 6> exceptions{r6("2001:1::1", 128), r6("2001:1::2", 128),
                                                      r6("2001:3::", 32),   r6("2001:4:112::", 48),
                                                      r6("2001:20::", 28),  r6("2001:30::", 28)};
        for (const Range6& range : exceptions) {
            if (in_range6(a, range)) {
                return true;
            }
        }
        return false;
    }
    static const std::array<Range6, 10> not_public{
        r6("::1", 128),       r6("::", 128),    r6("64:ff9b:1::", 48), r6("100::", 64),
        r6("2001:db8::", 32), r6("2002::", 16), r6("3fff::", 20),      r6("fc00::", 7),
        r6("fe80::", 10),     r6("ff00::", 8)};
    for (const Range6& range : not_public) {
        if (in_range6(a, range)) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool is_public_address(std::string_view text) {
    if (text.empty()) {
        return false;
    }
    asio::error_code ec;
    const auto v6 = asio::ip::make_address_v6(std::string(text), ec);
    if (!ec) {
        return is_public_v6(v6.to_bytes());
    }
    const auto v4bytes = util::parse_ipv4(text);
    if (!v4bytes) {
        return false;
    }
    const auto& b = *v4bytes;
    return is_public_v4(v4(b[0], b[1], b[2], b[3]));
}

}  // namespace vx::network
