#include <gtest/gtest.h>

#include <vector>

#include "traversal/router/address_text.hpp"
#include "traversal/router/natpmp_codec.hpp"
#include "traversal/router/pcp_codec.hpp"

namespace vx::network {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(NatPmpCodec, RequestLayouts) {
    const auto map = build_natpmp_map_request(48002, 48002, 600);
    EXPECT_EQ(Bytes(map.begin(), map.end()),
              (Bytes{0x00, 0x01, 0x00, 0x00, 0xBB, 0x82, 0xBB, 0x82, 0x00, 0x00, 0x02, 0x58}));
    const auto remove = build_natpmp_map_request(48002, 0, 0);
    EXPECT_EQ(Bytes(remove.begin(), remove.end()),
              (Bytes{0x00, 0x01, 0x00, 0x00, 0xBB, 0x82, 0, 0, 0, 0, 0, 0}));
    const auto address = build_natpmp_address_request();
    EXPECT_EQ(Bytes(address.begin(), address.end()), (Bytes{0x00, 0x00}));
}

// RFC 6886 section 3.3 answer layout: version, 129, result, epoch, internal, external, lifetime.
Bytes map_answer(std::uint16_t result, std::uint16_t internal, std::uint16_t external,
                 std::uint32_t lifetime) {
    Bytes answer(16, 0);
    answer[1] = 129;
    write_u16(&answer[2], result);
    write_u32(&answer[4], 77);
    write_u16(&answer[8], internal);
    write_u16(&answer[10], external);
    write_u32(&answer[12], lifetime);
    return answer;
}

TEST(NatPmpCodec, MapAnswerChecks) {
    struct Case {
        Bytes bytes;
        const char* error;
    };
    Bytes wrong_version = map_answer(0, 48002, 48002, 600);
    wrong_version[0] = 2;
    const Case cases[] = {
        {map_answer(0, 48002, 48002, 600), ""},
        {map_answer(0, 48002, 50000, 120), ""},
        {map_answer(0, 48002, 0, 600), "NAT-PMP map result code 0"},
        {map_answer(3, 48002, 48002, 600), "NAT-PMP map result code 3"},
        {map_answer(0, 48003, 48002, 600), "NAT-PMP response is for internal port 48003"},
        {map_answer(0, 48002, 48002, 0), "NAT-PMP granted lifetime 0 (the mapping was deleted)"},
        {Bytes(15, 0), "malformed NAT-PMP map response"},
        {wrong_version, "malformed NAT-PMP map response"},
    };
    for (const auto& c : cases) {
        NatPmpMapResponse answer;
        std::string error;
        EXPECT_EQ(check_natpmp_map_answer(c.bytes, 48002, answer, error), *c.error == '\0');
        EXPECT_EQ(error, c.error);
    }
    NatPmpMapResponse granted;
    std::string error;
    ASSERT_TRUE(check_natpmp_map_answer(map_answer(0, 48002, 50000, 120), 48002, granted, error));
    EXPECT_EQ(granted.external_port, 50000);
    EXPECT_EQ(granted.lifetime, 120u);
    EXPECT_EQ(granted.epoch, 77u);
}

TEST(NatPmpCodec, AddressAndDeleteAnswers) {
    Bytes address{0, 128, 0, 0, 0, 0, 0, 9, 100, 128, 0, 2};
    std::string text, error;
    EXPECT_TRUE(check_natpmp_address_answer(address, text, error));
    EXPECT_EQ(text, "100.128.0.2");
    EXPECT_FALSE(
        check_natpmp_address_answer(Bytes(address.begin(), address.end() - 1), text, error));
    EXPECT_EQ(error, "malformed NAT-PMP response");
    address[3] = 2;
    EXPECT_FALSE(check_natpmp_address_answer(address, text, error));
    EXPECT_EQ(error, "NAT-PMP result code 2");

    EXPECT_TRUE(check_natpmp_delete_answer(map_answer(0, 48002, 0, 0), error));
    EXPECT_FALSE(check_natpmp_delete_answer(map_answer(2, 48002, 0, 0), error));
    EXPECT_EQ(error, "NAT-PMP delete result code 2");
    EXPECT_FALSE(check_natpmp_delete_answer(Bytes(12, 0), error));
    EXPECT_EQ(error, "malformed NAT-PMP delete response");
}

const PcpNonce kNonce = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

TEST(PcpCodec, MapRequestLayout) {
    const auto request = build_pcp_map_request(48002, 48002, 600, kNonce, "192.168.77.20");
    Bytes expected(60, 0);
    expected[0] = 2;
    expected[1] = 1;
    write_u32(&expected[4], 600);
    expected[18] = expected[19] = 0xFF;  // client ::ffff:192.168.77.20
    expected[20] = 192, expected[21] = 168, expected[22] = 77, expected[23] = 20;
    std::copy(kNonce.begin(), kNonce.end(), expected.begin() + 24);
    expected[36] = 17;
    write_u16(&expected[40], 48002);
    write_u16(&expected[42], 48002);
    expected[54] = expected[55] = 0xFF;  // suggested external ::ffff:0.0.0.0
    EXPECT_EQ(Bytes(request.begin(), request.end()), expected);

    const auto anonymous = build_pcp_map_request(48002, 0, 0, kNonce, "192.168.077.20");
    EXPECT_TRUE(std::all_of(anonymous.begin() + 8, anonymous.begin() + 24,
                            [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(read_u32(anonymous, 4), 0u);
    EXPECT_EQ(read_u16(anonymous, 42), 0);
}

Bytes pcp_answer(std::uint8_t result, std::uint16_t port, const std::array<std::uint8_t, 16>& ext,
                 std::uint32_t lifetime = 600) {
    Bytes answer(60, 0);
    answer[0] = 2;
    answer[1] = 0x81;
    answer[3] = result;
    write_u32(&answer[4], lifetime);
    std::copy(kNonce.begin(), kNonce.end(), answer.begin() + 24);
    answer[36] = 17;
    write_u16(&answer[40], port);
    write_u16(&answer[42], port);
    std::copy(ext.begin(), ext.end(), answer.begin() + 44);
    return answer;
}

constexpr std::array<std::uint8_t, 16> kMapped(std::uint8_t a, std::uint8_t b, std::uint8_t c,
                                               std::uint8_t d) {
    return {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, a, b, c, d};
}

TEST(PcpCodec, MapAnswerChecks) {
    Bytes other_nonce = pcp_answer(0, 48002, kMapped(100, 128, 0, 2));
    other_nonce[35] ^= 1;
    Bytes tcp = pcp_answer(0, 48002, kMapped(100, 128, 0, 2));
    tcp[36] = 6;
    Bytes request_not_answer = pcp_answer(0, 48002, kMapped(100, 128, 0, 2));
    request_not_answer[1] = 0x01;
    std::array<std::uint8_t, 16> half_mapped = kMapped(100, 128, 0, 2);
    half_mapped[10] = 0;  // ::00ff:... is not the IPv4-mapped prefix
    std::array<std::uint8_t, 16> compatible = kMapped(100, 128, 0, 2);
    compatible[10] = compatible[11] = 0;
    const std::array<std::uint8_t, 16> v6 = {0x20, 0x01, 0x0d, 0xb8, 0,   0,   0, 0,
                                             0,    0,    0xFF, 0xFF, 100, 128, 0, 2};
    struct Case {
        Bytes bytes;
        const char* error;
    };
    const Case cases[] = {
        {pcp_answer(0, 48002, kMapped(100, 128, 0, 2)), ""},
        {pcp_answer(0, 48002, compatible), ""},
        {other_nonce, "PCP response does not match the request (nonce/protocol/port)"},
        {tcp, "PCP response does not match the request (nonce/protocol/port)"},
        {pcp_answer(0, 48003, kMapped(100, 128, 0, 2)),
         "PCP response does not match the request (nonce/protocol/port)"},
        {pcp_answer(0, 48002, kMapped(100, 64, 1, 2)),
         "PCP assigned non-public address '100.64.1.2'"},
        {pcp_answer(0, 48002, kMapped(203, 0, 113, 7)),
         "PCP assigned non-public address '203.0.113.7'"},
        {pcp_answer(0, 48002, half_mapped), "PCP assigned non-public address ''"},
        {pcp_answer(0, 48002, v6), "PCP assigned non-public address ''"},
        {pcp_answer(8, 48002, kMapped(100, 128, 0, 2)), "PCP result code 8"},
        {pcp_answer(0, 48002, kMapped(100, 128, 0, 2), 0),
         "PCP granted lifetime 0 (the mapping was deleted)"},
        {request_not_answer, "malformed PCP response"},
        {Bytes(59, 0), "malformed PCP response"},
    };
    for (const auto& c : cases) {
        PcpMapResponse answer;
        std::string error;
        EXPECT_EQ(check_pcp_map_answer(c.bytes, 48002, kNonce, answer, error), *c.error == '\0');
        EXPECT_EQ(error, c.error);
    }
    std::string error;
    EXPECT_TRUE(check_pcp_delete_answer(pcp_answer(0, 48002, kMapped(0, 0, 0, 0), 0), 48002, kNonce,
                                        error));
    EXPECT_FALSE(
        check_pcp_delete_answer(pcp_answer(0, 48002, kMapped(0, 0, 0, 0)), 1, kNonce, error));
    EXPECT_EQ(error, "PCP delete response does not match the mapping");
    EXPECT_FALSE(check_pcp_delete_answer(pcp_answer(3, 48002, {}), 48002, kNonce, error));
    EXPECT_EQ(error, "PCP delete result code 3");
}

TEST(GatewayCodecs, EveryPrefixOfAValidAnswerIsRefused) {
    const Bytes pcp = pcp_answer(0, 48002, kMapped(100, 128, 0, 2));
    const Bytes natpmp = map_answer(0, 48002, 48002, 600);
    for (std::size_t size = 0; size < pcp.size(); ++size) {
        EXPECT_FALSE(parse_pcp_map_response(ByteView(pcp.data(), size))) << size;
        if (size < natpmp.size()) {
            EXPECT_FALSE(parse_natpmp_response(ByteView(natpmp.data(), size))) << size;
        }
    }
}

TEST(GatewayCodecs, NoncesAreFresh) {
    EXPECT_NE(pcp_nonce(), pcp_nonce());
}

TEST(AddressText, RendersPacketBytes) {
    EXPECT_EQ(format_ipv4({0xC0, 0xA8, 0x01, 0x01}), "192.168.1.1");
    EXPECT_EQ(format_ipv4({0, 0, 0, 0}), "0.0.0.0");
}

// A PC whose interfaces hold 127.0.0.1 and 192.168.77.20, and whose route towards 192.168.77.21
// starts from that address, as if it were added after the interfaces were listed. Every other
// route starts from 192.168.77.20.
ThisPcAddresses lab_pc() {
    ThisPcAddresses pc;
    pc.interfaces = [] {
        return std::vector<std::array<std::uint8_t, 4>>{{127, 0, 0, 1}, {192, 168, 77, 20}};
    };
    pc.route_source = [](const std::array<std::uint8_t, 4>& to, std::uint16_t) {
        const std::array<std::uint8_t, 4> late{192, 168, 77, 21};
        return std::optional<std::string>(to == late ? "192.168.77.21" : "192.168.77.20");
    };
    return pc;
}

// The check of every address a router names, for the description (LOCATION) and the control
// URL alike: another LAN host may be the router; this PC never is, by any of its addresses,
// not even when a test's gateway on loopback stands for the router.
TEST(AddressText, WhereTheRouterMaySendTheAgent) {
    struct Case {
        const char* address;
        bool lan;
    };
    const Case cases[] = {
        {"192.168.77.1", true},     {"10.1.2.3", true},      {"172.16.0.1", true},
        {"169.254.1.1", true},      {"100.64.0.1", true},    {"192.168.77.20", false},
        {"192.168.77.21", false},   {"127.0.0.1", false},    {"0.0.0.1", false},
        {"239.255.255.250", false}, {"198.51.100.1", false}, {"8.8.8.8", false},
        {"fe80::1", false},
    };
    const ThisPcAddresses pc = lab_pc();
    for (const auto& c : cases) {
        const auto address = asio::ip::make_address(c.address);
        EXPECT_EQ(is_router_lan_address(address, false, pc), c.lan) << c.address;
        EXPECT_EQ(is_router_lan_address(address, true, pc), c.lan || address.is_loopback())
            << c.address;
    }
}

}  // namespace
}  // namespace vx::network
