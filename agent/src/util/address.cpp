#include "util/address.hpp"

namespace vx::util {
namespace {

// One decimal part of 1 to 3 digits without a leading zero; the digit cap keeps the value far
// from any overflow whatever the input length.
std::optional<std::uint8_t> parse_part(std::string_view part) {
    if (part.empty() || part.size() > 3) {
        return std::nullopt;
    }
    if (part.size() > 1 && part[0] == '0') {
        return std::nullopt;
    }
    unsigned value = 0;
    for (char c : part) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 255) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(value);
}

struct Block {
    std::uint32_t network;
    int prefix;
    AddressClass cls;
};

constexpr std::uint32_t quad(unsigned a, unsigned b, unsigned c, unsigned d) {
    return (a << 24) | (b << 16) | (c << 8) | d;
}

// Every special-purpose block is disjoint from the others, so the order does not matter.
constexpr Block kBlocks[] = {
    {quad(0, 0, 0, 0), 8, AddressClass::reserved},
    {quad(10, 0, 0, 0), 8, AddressClass::private_},
    {quad(100, 64, 0, 0), 10, AddressClass::cgnat},
    {quad(127, 0, 0, 0), 8, AddressClass::loopback},
    {quad(169, 254, 0, 0), 16, AddressClass::link_local},
    {quad(172, 16, 0, 0), 12, AddressClass::private_},
    {quad(192, 0, 0, 0), 24, AddressClass::reserved},
    {quad(192, 0, 2, 0), 24, AddressClass::reserved},
    {quad(192, 168, 0, 0), 16, AddressClass::private_},
    {quad(198, 18, 0, 0), 15, AddressClass::reserved},
    {quad(198, 51, 100, 0), 24, AddressClass::reserved},
    {quad(203, 0, 113, 0), 24, AddressClass::reserved},
    {quad(224, 0, 0, 0), 4, AddressClass::multicast},
    {quad(240, 0, 0, 0), 4, AddressClass::reserved},
};

bool in_block(std::uint32_t addr, const Block& block) {
    const std::uint32_t mask = ~std::uint32_t{0} << (32 - block.prefix);
    return (addr & mask) == block.network;
}

}  // namespace

std::optional<std::array<std::uint8_t, 4>> parse_ipv4(std::string_view text) {
    std::array<std::uint8_t, 4> bytes{};
    std::size_t pos = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const std::size_t dot = text.find('.', pos);
        const bool last = i + 1 == bytes.size();
        if (last != (dot == std::string_view::npos)) {
            return std::nullopt;  // too few or too many parts
        }
        const std::size_t end = last ? text.size() : dot;
        const auto part = parse_part(text.substr(pos, end - pos));
        if (!part) {
            return std::nullopt;
        }
        bytes[i] = *part;
        pos = end + 1;
    }
    return bytes;
}

AddressClass classify_ipv4(std::string_view text) {
    const auto bytes = parse_ipv4(text);
    return bytes ? classify_ipv4(*bytes) : AddressClass::invalid;
}

AddressClass classify_ipv4(const std::array<std::uint8_t, 4>& bytes) {
    const std::uint32_t addr = quad(bytes[0], bytes[1], bytes[2], bytes[3]);
    for (const Block& block : kBlocks) {
        if (in_block(addr, block)) {
            return block.cls;
        }
    }
    return AddressClass::public_;
}

std::string format_ipv4(const std::uint8_t* bytes) {
    return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
           std::to_string(bytes[2]) + "." + std::to_string(bytes[3]);
}

}  // namespace vx::util
