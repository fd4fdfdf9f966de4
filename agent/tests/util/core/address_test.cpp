#include "util/address.hpp"

#include <gtest/gtest.h>

#include <string>

namespace vx::util {
namespace {

struct Edge {
    const char* text;
    AddressClass cls;
};

// First and last address of every special block, and the public neighbours just outside it.
const Edge kEdges[] = {
    {"0.0.0.0", AddressClass::reserved},       {"0.255.255.255", AddressClass::reserved},
    {"1.0.0.0", AddressClass::public_},        {"9.255.255.255", AddressClass::public_},
    {"10.0.0.0", AddressClass::private_},      {"10.255.255.255", AddressClass::private_},
    {"11.0.0.0", AddressClass::public_},       {"100.63.255.255", AddressClass::public_},
    {"100.64.0.0", AddressClass::cgnat},       {"100.127.255.255", AddressClass::cgnat},
    {"100.128.0.0", AddressClass::public_},    {"126.255.255.255", AddressClass::public_},
    {"127.0.0.0", AddressClass::loopback},     {"127.255.255.255", AddressClass::loopback},
    {"128.0.0.0", AddressClass::public_},      {"169.253.255.255", AddressClass::public_},
    {"169.254.0.0", AddressClass::link_local}, {"169.254.255.255", AddressClass::link_local},
    {"169.255.0.0", AddressClass::public_},    {"172.15.255.255", AddressClass::public_},
    {"172.16.0.0", AddressClass::private_},    {"172.31.255.255", AddressClass::private_},
    {"172.32.0.0", AddressClass::public_},     {"191.255.255.255", AddressClass::public_},
    {"192.0.0.0", AddressClass::reserved},     {"192.0.0.255", AddressClass::reserved},
    {"192.0.1.0", AddressClass::public_},      {"192.0.1.255", AddressClass::public_},
    {"192.0.2.0", AddressClass::reserved},     {"192.0.2.255", AddressClass::reserved},
    {"192.0.3.0", AddressClass::public_},      {"192.167.255.255", AddressClass::public_},
    {"192.168.0.0", AddressClass::private_},   {"192.168.255.255", AddressClass::private_},
    {"192.169.0.0", AddressClass::public_},    {"198.17.255.255", AddressClass::public_},
    {"198.18.0.0", AddressClass::reserved},    {"198.19.255.255", AddressClass::reserved},
    {"198.20.0.0", AddressClass::public_},     {"198.51.99.255", AddressClass::public_},
    {"198.51.100.0", AddressClass::reserved},  {"198.51.100.255", AddressClass::reserved},
    {"198.51.101.0", AddressClass::public_},   {"203.0.112.255", AddressClass::public_},
    {"203.0.113.0", AddressClass::reserved},   {"203.0.113.255", AddressClass::reserved},
    {"203.0.114.0", AddressClass::public_},    {"223.255.255.255", AddressClass::public_},
    {"224.0.0.0", AddressClass::multicast},    {"239.255.255.255", AddressClass::multicast},
    {"240.0.0.0", AddressClass::reserved},     {"255.255.255.255", AddressClass::reserved},
    {"8.8.8.8", AddressClass::public_},
};

TEST(ClassifyIpv4, RangeEdgesOfEveryClass) {
    for (const Edge& edge : kEdges) {
        EXPECT_EQ(classify_ipv4(edge.text), edge.cls) << edge.text;
    }
    EXPECT_TRUE(is_public_ipv4("1.0.0.0"));
    EXPECT_FALSE(is_public_ipv4("100.64.0.1"));
}

TEST(ParseIpv4, ReadsTheFourBytes) {
    const auto bytes = parse_ipv4("192.0.2.255");
    ASSERT_TRUE(bytes.has_value());
    EXPECT_EQ(*bytes, (std::array<std::uint8_t, 4>{192, 0, 2, 255}));
    EXPECT_EQ(*parse_ipv4("0.0.0.0"), (std::array<std::uint8_t, 4>{0, 0, 0, 0}));
}

TEST(ParseIpv4, RefusesMalformedQuads) {
    const char* bad[] = {
        "",
        ".",
        "1.2.3",
        "1.2.3.4.5",
        "1.2.3.",
        ".1.2.3",
        "1..2.3",
        "1.2.3.4.",
        "256.1.1.1",
        "1.1.1.256",
        "1.1.1.1000",
        "-1.1.1.1",
        "+1.1.1.1",
        " 1.1.1.1",
        "1.1.1.1 ",
        "1.1.1.1\n",
        "1.1.1.a",
        "0x1.1.1.1",
        "1,1,1,1",
        "1.1.1.1:80",
        "::1",
        "01.1.1.1",                    // leading zero
        "1.1.1.00",                    // leading zero
        "10.0.0.010",                  // would be octal 8 elsewhere
        "12345678901234567890.1.1.1",  // 20 digits: must not wrap around to a valid byte
        "1.1.1.18446744073709551617",  // 2^64 + 1
        "1.1.1.4294967297",            // 2^32 + 1
    };
    for (const char* text : bad) {
        EXPECT_FALSE(parse_ipv4(text).has_value()) << '"' << text << '"';
        EXPECT_EQ(classify_ipv4(text), AddressClass::invalid) << '"' << text << '"';
    }
    const std::string with_nul("1.1.1.1\0", 8);
    EXPECT_FALSE(parse_ipv4(with_nul).has_value());
}

}  // namespace
}  // namespace vx::util
