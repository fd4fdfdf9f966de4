#include "backend/connector/dispatch_address.hpp"

#include <asio/ip/address_v6.hpp>

#include <array>
#include <cstdint>
#include <string>

#include "util/address.hpp"

namespace vx::network {

namespace {

bool is_public_v4(const std::array<std::uint8_t, 4>& bytes) {
    return util::classify_ipv4(bytes) == util::AddressClass::public_;
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
        return is_public_v4({a[12], a[13], a[14], a[15]});
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
    return util::is_public_ipv4(text);
}

}  // namespace vx::network
